// The stand-in for what lies outside libtamb: the client core and the server. It implements
// the hooks of tamb/hooks.h and the least of a server that tests, benchmarks and tools need.
#ifndef TAMB_HOST_H
#define TAMB_HOST_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tamb/tamb.h"

namespace host {

// ---- Log ----------------------------------------------------------------------------------

enum class Level { error, info, trace };

struct Message {
  Level level;
  std::string text;
};

// The messages reported since the last clear, oldest first (at most the last 256).
std::vector<Message> log_messages();

// True when a message of that level with exactly that text was reported.
bool log_has(Level level, std::string_view text);

// Number of messages of that level reported since the last clear.
size_t log_count(Level level);

void log_clear();

// Whether errors and information are also printed to standard error (default: yes).
void log_set_echo(bool echo);

// ---- Server directory ---------------------------------------------------------------------

// Directory under which tamb_server_dir places each server's directory; empty restores the
// default /tmp/tamb-<uid>.
void server_dir_set_root(const std::string &root);

// ---- Requests -----------------------------------------------------------------------------

// Carries out one request in the server; its result becomes the request's status.
using RequestHandler = int (*)(tamb_client_t *client, tamb_request_t *request, void *arg);

// Registers the handler of one request type code; a null handler removes it.
void request_set_handler(int32_t type, RequestHandler handler, void *arg = nullptr);

// Number of requests delivered since start-up, whatever their outcome.
uint64_t request_count();

// ---- Processor ----------------------------------------------------------------------------

// Feature bits as they are stored in cpu_type: bit 1 SSE, bit 2 SSE2, bit 3 SSE3, bit 8 3DNow!.
int32_t cpu_detect();

// Name of the vector width the SSE kernels use on this machine ("avx2" or "sse").
const char *kernels_width();

// ---- Engine and clients -------------------------------------------------------------------

struct Client {
  tamb_client_internal_t internal;  // first: the engine's list holds its address
  tamb_client_t handle;
  std::vector<tamb_shm_info_t> port_segment;
  tamb_shm_info_t control_segment;  // the client control block's segment
};

// An in-process server. It registers under its name in the shared-memory registry and keeps
// the engine control block (room for port_capacity ports) and every client control block in
// segments allocated there, so other processes can attach them by registry index. Throws
// std::runtime_error when the registry or a segment refuses. Several servers of one process
// share its registration, which the last one to go ends.
class Server {
 public:
  explicit Server(uint32_t port_capacity = 256, uint32_t buffer_size = 1024,
                  const char *name = "default");
  ~Server();
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;

  tamb_engine_t *engine() { return &engine_; }
  tamb_control_t *control() { return engine_.control; }

  // Registry index of the engine control block's segment.
  int16_t control_index() const { return control_segment_.index; }

  // Creates a client with a new id and links it into the engine's client list.
  Client *add_client(const char *name);

  // Unlinks and frees a client.
  void remove_client(Client *client);

 private:
  tamb_engine_t engine_{};
  tamb_shm_info_t control_segment_{TAMB_SHM_NULL_INDEX, TAMB_SHM_NOT_ATTACHED};
  std::vector<Client *> clients_;
};

}  // namespace host

#endif
