// SPDX-License-Identifier: MIT
// The test kit: an in-process server with its clients over real System V segments, and
// namespace isolation, for tests, benchmarks, fuzz targets and the demo only; never installed.
// The outside hooks it answers requests through are those of hooks/; what their log kept is
// read through log_capture.h, which comes with the kit.
#ifndef TAMB_TESTKIT_KIT_H
#define TAMB_TESTKIT_KIT_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hooks.h"
#include "log_capture.h"
#include "tamb/tamb.h"

namespace kit {

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

// Gives an input its mix buffer, as the client core does when a second connection arrives: on a
// page boundary like the port segments' buffers, filled by the type's buffer_init. False when
// memory ran out.
bool mix_buffer_provide(tamb_port_t *port, uint64_t bytes, tamb_nframes_t nframes);

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

}  // namespace kit

#endif
