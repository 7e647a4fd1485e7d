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

// ---- Isolation ----------------------------------------------------------------------------

// Moves the calling process into a new System V IPC namespace of its own (with a user
// namespace that maps the caller onto itself when not root), so that its servers never meet a
// real server's registry and leave nothing behind. False with the reason when refused.
bool ipc_namespace_enter_new(std::string *why);

// The same once per process: the first call enters, later calls repeat its answer. For
// programs that must be private before their first registry use.
bool ipc_namespace_enter_private(std::string *why);

// ---- Segments -----------------------------------------------------------------------------

// Allocates, attaches and zeroes a segment of size bytes through the registry. Throws
// std::runtime_error naming what when the registry refuses.
tamb_shm_info_t segment_create(size_t size, const char *what);

// Detaches and destroys a segment and marks the descriptor empty.
void segment_free(tamb_shm_info_t *segment);

// ---- Engine and clients -------------------------------------------------------------------

struct Client {
  tamb_client_internal_t internal;  // first: the engine's list holds its address
  tamb_client_t handle;
  std::vector<tamb_shm_info_t> port_segment;  // this client's attachments, by port type id
  tamb_shm_info_t control_segment;            // the client control block's segment
  int server_fd = -1;  // the server's end of the request channel, when the client has one
};

// One connection of the server's graph: an output port id and an input port id.
struct Connection {
  uint32_t output;
  uint32_t input;
};

// The last rename request the server received.
struct Rename {
  std::string old_name;
  std::string new_name;
};

// An in-process server. It registers under its name in the shared-memory registry and keeps
// the engine control block (room for port_capacity ports) and every client control block in
// segments allocated there, so other processes can attach them by registry index. Its
// transport engine starts initialised (stopped, sample rate 0) and answers the timebase and
// slow-sync requests; clients are new to it when added and removed with exiting set. Throws
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

  // Unlinks and frees a client, its port objects and its attachments.
  void remove_client(Client *client);

  // Activation as the server does it: the client's active flag and the transport engine's
  // activation or deactivation step.
  void activate(Client *client);
  void deactivate(Client *client);

  // Stores the sample rate through the transport engine.
  void set_sample_rate(uint32_t sample_rate);

  // Gives the client a request channel, as a client in another process has: connection
  // answers then arrive as port ids on client->handle.request_fd.
  void open_channel(Client *client);

  // ---- Ports: the server side and the client core's part ----

  // Registry index of the segment holding the buffers of port type type_id.
  int16_t port_segment_index(int type_id) const { return port_segments_[type_id].index; }

  // Connects an output to an input of the same type, in the server's graph and in the client
  // cores of both owners: each owner's port object lists the other port, and an input with
  // several connections gets a mix buffer prepared by its type's buffer_init. 0 or an errno.
  int connect(uint32_t output_id, uint32_t input_id);
  int disconnect(uint32_t output_id, uint32_t input_id);

  const std::vector<Connection> &connections() const { return connections_; }
  const Rename &last_rename() const { return last_rename_; }

 private:
  static int handle_port_register(tamb_client_t *, tamb_request_t *request, void *arg);
  static int handle_port_unregister(tamb_client_t *, tamb_request_t *request, void *arg);
  static int handle_port_connections(tamb_client_t *client, tamb_request_t *request, void *arg);
  static int handle_port_rename(tamb_client_t *, tamb_request_t *request, void *arg);

  static int handle_timebase_set(tamb_client_t *, tamb_request_t *request, void *arg);
  static int handle_timebase_release(tamb_client_t *, tamb_request_t *request, void *arg);
  static int handle_sync_set(tamb_client_t *, tamb_request_t *request, void *arg);
  static int handle_sync_reset(tamb_client_t *, tamb_request_t *request, void *arg);
  static int handle_sync_timeout(tamb_client_t *, tamb_request_t *request, void *arg);

  void transport_start();
  void transport_stop();
  void ports_start();
  void ports_stop();
  Client *owner_of(uint32_t port_id);
  void core_link(Client *client, uint32_t own_id, uint32_t other_id);
  void core_unlink(Client *client, uint32_t own_id, uint32_t other_id);
  void core_free_ports(Client *client);

  tamb_engine_t engine_{};
  tamb_shm_info_t control_segment_{TAMB_SHM_NULL_INDEX, TAMB_SHM_NOT_ATTACHED};
  std::vector<tamb_shm_info_t> port_segments_;
  std::vector<Client *> clients_;
  std::vector<Connection> connections_;
  Rename last_rename_;
};

}  // namespace host

#endif
