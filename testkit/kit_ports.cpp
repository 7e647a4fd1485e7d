// SPDX-License-Identifier: MIT
// The server side of ports and the client core's part of connections, the least that serves:
// a segment per port type with its silent buffer, the registration, unregistration,
// connection-list and rename requests, and connection lists with mix buffers in the clients.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "kit.h"
#include "tamb/port.h"

namespace kit {
namespace {

// Every port id has its buffer in its type's segment, after the silent buffer at offset 0.
uint64_t buffer_bytes(const tamb_control_t *control, int type_id) {
  return tamb_port_type_buffer_size(&control->port_types[type_id], control->buffer_size);
}

tamb_port_t *own_port(Client *client, uint32_t port_id) {
  for (tamb_slist_t *node = client->handle.own_ports; node != nullptr; node = node->next) {
    auto *port = static_cast<tamb_port_t *>(node->data);
    if (port->shared->id == port_id) return port;
  }
  return nullptr;
}

void list_append(tamb_slist_t **list, void *data) {
  auto *node = static_cast<tamb_slist_t *>(calloc(1, sizeof(tamb_slist_t)));
  if (node == nullptr) abort();
  node->data = data;
  while (*list != nullptr) list = &(*list)->next;
  *list = node;
}

void list_remove(tamb_slist_t **list, void *data) {
  for (; *list != nullptr; list = &(*list)->next) {
    if ((*list)->data == data) {
      tamb_slist_t *node = *list;
      *list = node->next;
      free(node);
      return;
    }
  }
}

void list_free(tamb_slist_t *list) {
  while (list != nullptr) {
    tamb_slist_t *next = list->next;
    free(list);
    list = next;
  }
}

void port_object_free(tamb_port_t *port) {
  list_free(port->connections);
  free(port->mix_buffer);
  pthread_mutex_destroy(&port->connection_lock);
  free(port);
}

}  // namespace

void Server::ports_start() {
  tamb_control_t *control = engine_.control;
  int count = 0;
  while (count < TAMB_PORT_TYPES_MAX && tamb_builtin_port_types[count].type_name[0] != '\0') {
    control->port_types[count] = tamb_builtin_port_types[count];
    ++count;
  }
  control->port_type_count = count;
  for (int type = 0; type < count; ++type) {
    uint64_t bytes = buffer_bytes(control, type);
    tamb_shm_info_t segment =
        segment_create(bytes * (control->port_capacity + 1), "port type buffers");
    control->port_types[type].type_id = type;
    control->port_types[type].segment_index = segment.index;
    control->port_types[type].silence_offset = 0;
    tamb_get_port_functions(type)->buffer_init(segment.address, bytes, control->buffer_size);
    port_segments_.push_back(segment);
  }
  hooks::request_set_handler(TAMB_REQ_PORT_REGISTER, handle_port_register, this);
  hooks::request_set_handler(TAMB_REQ_PORT_UNREGISTER, handle_port_unregister, this);
  hooks::request_set_handler(TAMB_REQ_PORT_GET_CONNECTIONS, handle_port_connections, this);
  hooks::request_set_handler(TAMB_REQ_PORT_RENAME, handle_port_rename, this);
}

void Server::ports_stop() {
  for (int32_t type : {TAMB_REQ_PORT_REGISTER, TAMB_REQ_PORT_UNREGISTER,
                       TAMB_REQ_PORT_GET_CONNECTIONS, TAMB_REQ_PORT_RENAME}) {
    hooks::request_set_handler(type, nullptr);
  }
  for (tamb_shm_info_t &segment : port_segments_) segment_free(&segment);
  port_segments_.clear();
}

void Server::open_channel(Client *client) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    throw std::runtime_error("cannot open a request channel");
  }
  client->handle.request_fd = fds[0];
  client->server_fd = fds[1];
}

Client *Server::owner_of(uint32_t port_id) {
  tamb_uuid_t owner = engine_.control->port_table[port_id].client_id;
  for (Client *client : clients_) {
    if (client->handle.control->uuid == owner) return client;
  }
  return nullptr;
}

int Server::handle_port_register(tamb_client_t *, tamb_request_t *request, void *arg) {
  auto *server = static_cast<Server *>(arg);
  tamb_control_t *control = server->engine_.control;
  const tamb_request_port_t &asked = request->body.port;
  int type = 0;
  while (type < control->port_type_count &&
         strncmp(control->port_types[type].type_name, asked.type_name, 32) != 0) {
    ++type;
  }
  if (type == control->port_type_count) return EINVAL;

  uint32_t free_id = control->port_capacity;
  for (uint32_t id = control->port_capacity; id-- > 0;) {
    const tamb_port_shared_t &record = control->port_table[id];
    if (record.in_use == 0) {
      free_id = id;
    } else if (strncmp(record.name, asked.name, sizeof asked.name) == 0) {
      return EEXIST;
    }
  }
  if (free_id == control->port_capacity) return ENOSPC;

  tamb_port_shared_t &record = control->port_table[free_id];
  uint64_t bytes = buffer_bytes(control, type);
  memset(&record, 0, sizeof record);
  record.type_id = type;
  record.offset = static_cast<int32_t>(bytes * (free_id + 1));
  record.id = free_id;
  record.uuid = tamb_port_uuid_generate(free_id);
  record.flags = asked.flags;
  memcpy(record.name, asked.name, sizeof asked.name);
  record.client_id = asked.client_id;
  char *buffer = static_cast<char *>(server->port_segments_[type].address) + record.offset;
  tamb_get_port_functions(type)->buffer_init(buffer, bytes, control->buffer_size);
  record.in_use = 1;
  request->body.port.port_id = free_id;
  return 0;
}

int Server::handle_port_unregister(tamb_client_t *, tamb_request_t *request, void *arg) {
  auto *server = static_cast<Server *>(arg);
  tamb_control_t *control = server->engine_.control;
  uint32_t port_id = request->body.port.port_id;
  if (port_id >= control->port_capacity) return EINVAL;
  tamb_port_shared_t &record = control->port_table[port_id];
  if (record.in_use == 0 || record.client_id != request->body.port.client_id) return EINVAL;
  std::vector<Connection> involved;
  for (const Connection &c : server->connections_) {
    if (c.output == port_id || c.input == port_id) involved.push_back(c);
  }
  for (const Connection &c : involved) server->disconnect(c.output, c.input);
  record.in_use = 0;
  return 0;
}

// In-process clients get the names as a list the server allocates; others get the port ids
// on their request channel, written before the answer returns.
int Server::handle_port_connections(tamb_client_t *client, tamb_request_t *request, void *arg) {
  auto *server = static_cast<Server *>(arg);
  tamb_control_t *control = server->engine_.control;
  uint32_t port_id = request->body.port.port_id;
  std::vector<uint32_t> others;
  for (const Connection &c : server->connections_) {
    if (c.output == port_id) others.push_back(c.input);
    if (c.input == port_id) others.push_back(c.output);
  }
  request->body.connections.count = static_cast<uint32_t>(others.size());
  request->body.connections.ports = nullptr;
  if (others.empty()) return 0;
  if (client == nullptr || client->request_fd < 0) {
    auto *names = static_cast<const char **>(calloc(others.size() + 1, sizeof(char *)));
    if (names == nullptr) return ENOMEM;
    for (size_t i = 0; i < others.size(); ++i) names[i] = control->port_table[others[i]].name;
    request->body.connections.ports = names;
    return 0;
  }
  for (Client *known : server->clients_) {
    if (&known->handle != client) continue;
    size_t bytes = others.size() * sizeof(uint32_t);
    if (write(known->server_fd, others.data(), bytes) != static_cast<ssize_t>(bytes)) return EIO;
    return 0;
  }
  return EINVAL;
}

int Server::handle_port_rename(tamb_client_t *, tamb_request_t *request, void *arg) {
  auto *server = static_cast<Server *>(arg);
  server->last_rename_ = {request->body.rename.old_name, request->body.rename.new_name};
  return 0;
}

void Server::core_link(Client *client, uint32_t own_id, uint32_t other_id) {
  tamb_port_t *port = own_port(client, own_id);
  tamb_port_t *other = tamb_port_by_id(&client->handle, other_id);
  if (port == nullptr || other == nullptr) return;
  pthread_mutex_lock(&port->connection_lock);
  list_append(&port->connections, other);
  pthread_mutex_unlock(&port->connection_lock);
  bool is_input = (port->shared->flags & TAMB_PORT_IS_OUTPUT) == 0;
  if (is_input && port->mix_buffer == nullptr && tamb_port_connected(port) > 1) {
    uint64_t bytes = buffer_bytes(engine_.control, port->shared->type_id);
    if (!mix_buffer_provide(port, bytes, engine_.control->buffer_size)) abort();
  }
}

void Server::core_unlink(Client *client, uint32_t own_id, uint32_t other_id) {
  tamb_port_t *port = own_port(client, own_id);
  tamb_port_t *other = tamb_port_by_id(&client->handle, other_id);
  if (port == nullptr || other == nullptr) return;
  pthread_mutex_lock(&port->connection_lock);
  list_remove(&port->connections, other);
  pthread_mutex_unlock(&port->connection_lock);
}

int Server::connect(uint32_t output_id, uint32_t input_id) {
  tamb_control_t *control = engine_.control;
  if (output_id >= control->port_capacity || input_id >= control->port_capacity) return EINVAL;
  const tamb_port_shared_t &out = control->port_table[output_id];
  const tamb_port_shared_t &in = control->port_table[input_id];
  if (out.in_use == 0 || in.in_use == 0) return EINVAL;
  if ((out.flags & TAMB_PORT_IS_OUTPUT) == 0 || (in.flags & TAMB_PORT_IS_OUTPUT) != 0) {
    return EINVAL;
  }
  if (out.type_id != in.type_id) return EINVAL;
  for (const Connection &c : connections_) {
    if (c.output == output_id && c.input == input_id) return EEXIST;
  }
  connections_.push_back({output_id, input_id});
  if (Client *owner = owner_of(input_id)) core_link(owner, input_id, output_id);
  if (Client *owner = owner_of(output_id)) core_link(owner, output_id, input_id);
  return 0;
}

int Server::disconnect(uint32_t output_id, uint32_t input_id) {
  auto found = std::find_if(connections_.begin(), connections_.end(), [&](const Connection &c) {
    return c.output == output_id && c.input == input_id;
  });
  if (found == connections_.end()) return ENOENT;
  connections_.erase(found);
  if (Client *owner = owner_of(input_id)) core_unlink(owner, input_id, output_id);
  if (Client *owner = owner_of(output_id)) core_unlink(owner, output_id, input_id);
  return 0;
}

void Server::core_free_ports(Client *client) {
  for (tamb_slist_t **list : {&client->handle.own_ports, &client->handle.foreign_ports}) {
    for (tamb_slist_t *node = *list; node != nullptr; node = node->next) {
      port_object_free(static_cast<tamb_port_t *>(node->data));
    }
    list_free(*list);
    *list = nullptr;
  }
}

}  // namespace kit
