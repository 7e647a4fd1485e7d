// SPDX-License-Identifier: MIT
// The in-process server, its clients and segments, and namespace isolation.
#include "kit.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace kit {

namespace {

bool write_file(const char *path, const std::string &text) {
  int fd = open(path, O_WRONLY);
  if (fd < 0) return false;
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

std::string enter_new_ipc() {
  if (unshare(CLONE_NEWIPC) == 0) return "";
  std::string uid = std::to_string(geteuid());
  std::string gid = std::to_string(getegid());
  if (unshare(CLONE_NEWUSER | CLONE_NEWIPC) != 0) {
    return std::string("unshare of the IPC namespace refused: ") + strerror(errno);
  }
  write_file("/proc/self/setgroups", "deny");
  if (!write_file("/proc/self/uid_map", uid + " " + uid + " 1\n") ||
      !write_file("/proc/self/gid_map", gid + " " + gid + " 1\n")) {
    return "cannot map the user into the new user namespace";
  }
  return "";
}

}  // namespace

bool ipc_namespace_enter_new(std::string *why) {
  std::string refusal = enter_new_ipc();
  if (why != nullptr) *why = refusal;
  return refusal.empty();
}

bool ipc_namespace_enter_private(std::string *why) {
  static const std::string refusal = enter_new_ipc();
  if (why != nullptr) *why = refusal;
  return refusal.empty();
}

namespace {

int servers_alive = 0;  // registration is per process; the last server to go ends it

}  // namespace

// Allocates and attaches a zeroed segment of size bytes through the registry.
tamb_shm_info_t segment_create(size_t size, const char *what) {
  tamb_shm_info_t segment{TAMB_SHM_NULL_INDEX, TAMB_SHM_NOT_ATTACHED};
  if (size > INT32_MAX || tamb_shmalloc(static_cast<int32_t>(size), &segment) != 0) {
    throw std::runtime_error(std::string("cannot allocate the segment of the ") + what);
  }
  if (tamb_attach_shm(&segment) != 0) {
    tamb_destroy_shm(&segment);
    throw std::runtime_error(std::string("cannot attach the segment of the ") + what);
  }
  memset(segment.address, 0, size);
  return segment;
}

void segment_free(tamb_shm_info_t *segment) {
  tamb_release_shm(segment);
  tamb_destroy_shm(segment);
  *segment = {TAMB_SHM_NULL_INDEX, TAMB_SHM_NOT_ATTACHED};
}

bool mix_buffer_provide(tamb_port_t *port, uint64_t bytes, tamb_nframes_t nframes) {
  void *buffer = nullptr;
  if (posix_memalign(&buffer, static_cast<size_t>(sysconf(_SC_PAGESIZE)), bytes) != 0) return false;
  port->functions.buffer_init(buffer, bytes, nframes);
  port->mix_buffer = buffer;
  return true;
}

Server::Server(uint32_t port_capacity, uint32_t buffer_size, const char *name) {
  int result = tamb_register_server(name, 0);
  if (result != 0) {
    throw std::runtime_error("cannot register the server: " + std::string(strerror(result)));
  }
  ++servers_alive;
  try {
    control_segment_ = segment_create(TAMB_CONTROL_SIZE(port_capacity), "engine control block");
  } catch (...) {
    if (--servers_alive == 0) tamb_unregister_server(name);
    throw;
  }
  auto *control = static_cast<tamb_control_t *>(control_segment_.address);
  control->port_capacity = port_capacity;
  control->buffer_size = buffer_size;
  engine_.control = control;
  pthread_rwlock_init(&engine_.client_lock, nullptr);
  transport_start();
  ports_start();
}

Server::~Server() {
  while (!clients_.empty()) remove_client(clients_.back());
  ports_stop();
  transport_stop();
  pthread_rwlock_destroy(&engine_.client_lock);
  segment_free(&control_segment_);
  if (--servers_alive == 0) tamb_unregister_server(nullptr);
}

Client *Server::add_client(const char *name) {
  tamb_shm_info_t segment = segment_create(sizeof(tamb_client_control_t), "client control block");
  auto *control = static_cast<tamb_client_control_t *>(segment.address);
  auto *node = static_cast<tamb_slist_t *>(calloc(1, sizeof(tamb_slist_t)));
  if (node == nullptr) abort();
  control->uuid = tamb_client_uuid_generate();
  snprintf(control->name, sizeof control->name, "%s", name);

  auto *client = new Client{};
  client->internal.control = control;
  client->control_segment = segment;
  client->port_segment.assign(TAMB_PORT_TYPES_MAX,
                              tamb_shm_info_t{TAMB_SHM_NULL_INDEX, TAMB_SHM_NOT_ATTACHED});
  client->handle.engine_control = engine_.control;
  client->handle.control = control;
  client->handle.request_fd = -1;
  client->handle.port_segment = client->port_segment.data();
  client->handle.process_thread = pthread_self();
  for (size_t type = 0; type < port_segments_.size(); ++type) {
    client->port_segment[type].index = port_segments_[type].index;
    tamb_attach_shm(&client->port_segment[type]);
  }

  tamb_transport_client_new(&client->internal);
  pthread_rwlock_wrlock(&engine_.client_lock);
  node->data = &client->internal;
  node->next = engine_.clients;
  engine_.clients = node;
  pthread_rwlock_unlock(&engine_.client_lock);
  clients_.push_back(client);
  return client;
}

// The server drops the client's ports with it, connections first, and its transport roles.
void Server::remove_client(Client *client) {
  tamb_control_t *control = engine_.control;
  client->handle.control->exiting = 1;
  client->handle.control->active = 0;
  pthread_rwlock_wrlock(&engine_.client_lock);
  tamb_transport_client_exit(&engine_, &client->internal);
  pthread_rwlock_unlock(&engine_.client_lock);
  for (uint32_t id = 0; id < control->port_capacity; ++id) {
    tamb_port_shared_t &record = control->port_table[id];
    if (record.in_use == 0 || record.client_id != client->handle.control->uuid) continue;
    std::vector<Connection> involved;
    for (const Connection &c : connections_) {
      if (c.output == id || c.input == id) involved.push_back(c);
    }
    for (const Connection &c : involved) disconnect(c.output, c.input);
    record.in_use = 0;
  }

  pthread_rwlock_wrlock(&engine_.client_lock);
  for (tamb_slist_t **link = &engine_.clients; *link != nullptr; link = &(*link)->next) {
    if ((*link)->data == &client->internal) {
      tamb_slist_t *node = *link;
      *link = node->next;
      free(node);
      break;
    }
  }
  if (engine_.timebase_client == &client->internal) engine_.timebase_client = nullptr;
  pthread_rwlock_unlock(&engine_.client_lock);
  std::erase(clients_, client);
  core_free_ports(client);
  for (tamb_shm_info_t &segment : client->port_segment) tamb_release_shm(&segment);
  if (client->server_fd >= 0) {
    close(client->handle.request_fd);
    close(client->server_fd);
  }
  segment_free(&client->control_segment);
  delete client;
}

}  // namespace kit

extern "C" {

tamb_client_internal_t *tamb_client_internal_by_id(tamb_engine_t *engine, tamb_uuid_t id) {
  for (tamb_slist_t *node = engine->clients; node != nullptr; node = node->next) {
    auto *client = static_cast<tamb_client_internal_t *>(node->data);
    if (client->control->uuid == id) return client;
  }
  return nullptr;
}

}  // extern "C"
