// SPDX-License-Identifier: MIT
// Clients in other processes: the client core's end of the channels and the server's end.
#include "kit_remote.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "kit_cycle.h"
#include "shared_word.h"
#include "tamb/playhead_server.h"
#include "tamb/port.h"
#include "tamb/transport.h"

namespace kit {
namespace {

// Wake-ups from the server, and the client's answers.
enum : uint32_t {
  wake_cycle = 1,
  wake_graph = 2,
  wake_notice = 3,
  answer_ready = 10,
  answer_done = 11
};

struct Wake {
  uint32_t kind;
  uint32_t nframes;
  uint64_t cycle;
  uint64_t subject;  // wake_notice: the property change, then key_size bytes of key
  int32_t change;
  uint32_t key_size;
};

struct Answer {
  uint32_t kind;
  uint32_t unused;
  uint64_t cycle;
};

// A key longer than this is not a key but a broken or hostile peer.
constexpr uint64_t key_size_max = 65536;

// MSG_NOSIGNAL: a peer that died must show as a failed write, not as SIGPIPE ending this
// process.
bool send_all(int fd, const void *data, size_t size, int flags = 0) {
  const char *bytes = static_cast<const char *>(data);
  while (size > 0) {
    ssize_t n = send(fd, bytes, size, flags | MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    flags &= ~MSG_DONTWAIT;  // once begun, a message is sent whole or the stream is lost
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// 1: read whole; 0: the peer closed before the first byte; -1: error or a cut-off record.
int read_all(int fd, void *data, size_t size) {
  char *bytes = static_cast<char *>(data);
  size_t got = 0;
  while (got < size) {
    ssize_t n = read(fd, bytes + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) return got == 0 ? 0 : -1;
    got += static_cast<size_t>(n);
  }
  return 1;
}

std::mutex channel_lock;  // one request on the channel at a time
std::atomic<int> channel_fd{-1};

void list_free(tamb_slist_t *list) {
  while (list != nullptr) {
    tamb_slist_t *next = list->next;
    free(list);
    list = next;
  }
}

}  // namespace

void remote_channel_use(int fd) {
  channel_fd.store(fd);
  hooks::request_set_forward(fd >= 0 ? remote_deliver : nullptr);
}

int remote_channel() { return channel_fd.load(); }

int remote_deliver(tamb_request_t *request) {
  std::lock_guard<std::mutex> guard(channel_lock);
  int fd = channel_fd.load();
  const char *key = nullptr;
  uint64_t key_size = 0;
  if (request->type == TAMB_REQ_PROPERTY_CHANGE_NOTIFY) {
    key = request->body.property.key;
    key_size = key != nullptr ? request->body.property.key_size : 0;
  }
  tamb_request_t answer;
  bool ok = send_all(fd, request, sizeof *request) &&
            (key_size == 0 || send_all(fd, key, key_size)) &&
            read_all(fd, &answer, sizeof answer) == 1;
  if (!ok) {
    request->status = EPIPE;
    return EPIPE;
  }
  memcpy(request, &answer, sizeof answer);
  // Addresses in the answer are the server's; the caller's own key stays where it was.
  if (request->type == TAMB_REQ_PROPERTY_CHANGE_NOTIFY) request->body.property.key = key;
  return request->status;
}

// ---- RemoteClient -------------------------------------------------------------------------

RemoteClient::RemoteClient(const Attachment &attachment) : wake_fd_(attachment.wake_fd) {
  auto attach = [](tamb_shm_info_t *segment, int16_t index) {
    segment->index = index;
    return index >= 0 && tamb_attach_shm(segment) == 0;
  };
  port_segments_.assign(TAMB_PORT_TYPES_MAX, {TAMB_SHM_NULL_INDEX, TAMB_SHM_NOT_ATTACHED});
  bool ok = tamb_initialize_shm(attachment.server_name.c_str()) == 0 &&
            attach(&engine_control_, attachment.engine_control) &&
            attach(&client_control_, attachment.client_control);
  for (size_t type = 0; ok && type < attachment.port_segments.size(); ++type) {
    ok = type < port_segments_.size() &&
         attach(&port_segments_[type], attachment.port_segments[type]);
  }
  if (!ok) {
    for (tamb_shm_info_t &segment : port_segments_) tamb_release_shm(&segment);
    tamb_release_shm(&client_control_);
    tamb_release_shm(&engine_control_);
    throw std::runtime_error("cannot attach the server's blocks");
  }
  handle_.engine_control = static_cast<tamb_control_t *>(engine_control_.address);
  handle_.control = static_cast<tamb_client_control_t *>(client_control_.address);
  handle_.request_fd = attachment.request_fd;
  handle_.port_segment = port_segments_.data();
  handle_.process_thread = pthread_self();
}

RemoteClient::~RemoteClient() {
  free_ports();
  for (tamb_shm_info_t &segment : port_segments_) tamb_release_shm(&segment);
  tamb_release_shm(&client_control_);
  tamb_release_shm(&engine_control_);
  if (remote_channel() == handle_.request_fd) remote_channel_use(-1);
  close(handle_.request_fd);
  close(wake_fd_);
}

void RemoteClient::free_ports() {
  for (tamb_slist_t **list : {&handle_.own_ports, &handle_.foreign_ports}) {
    for (tamb_slist_t *node = *list; node != nullptr; node = node->next) {
      auto *port = static_cast<tamb_port_t *>(node->data);
      list_free(port->connections);
      free(port->mix_buffer);
      pthread_mutex_destroy(&port->connection_lock);
      free(port);
    }
    list_free(*list);
    *list = nullptr;
  }
}

// The server tells a client that its connections changed; the client asks for each own port's
// list and rebuilds the port's connections from it, in the server's order.
bool RemoteClient::refresh_connections() {
  tamb_nframes_t nframes = handle_.engine_control->buffer_size;
  for (tamb_slist_t *node = handle_.own_ports; node != nullptr; node = node->next) {
    auto *port = static_cast<tamb_port_t *>(node->data);
    std::vector<tamb_port_t *> others;
    const char **names = tamb_port_get_all_connections(&handle_, port);
    for (const char **name = names; name != nullptr && *name != nullptr; ++name) {
      if (tamb_port_t *other = tamb_port_by_name(&handle_, *name)) others.push_back(other);
    }
    free(static_cast<void *>(names));

    bool is_input = (port->shared->flags & TAMB_PORT_IS_OUTPUT) == 0;
    if (is_input && others.size() > 1 && port->mix_buffer == nullptr) {
      uint64_t bytes = tamb_port_type_buffer_size(port->type_info, nframes);
      if (!kit::mix_buffer_provide(port, bytes, nframes)) return false;
    }
    tamb_slist_t *list = nullptr;
    for (auto other = others.rbegin(); other != others.rend(); ++other) {
      auto *link = static_cast<tamb_slist_t *>(calloc(1, sizeof(tamb_slist_t)));
      if (link == nullptr) {
        list_free(list);
        return false;
      }
      link->data = *other;
      link->next = list;
      list = link;
    }
    pthread_mutex_lock(&port->connection_lock);
    tamb_slist_t *old = port->connections;
    port->connections = list;
    pthread_mutex_unlock(&port->connection_lock);
    list_free(old);
  }
  return true;
}

bool RemoteClient::serve(const Process &process, const Process &idle) {
  Answer answer{answer_ready, 0, 0};
  if (!send_all(wake_fd_, &answer, sizeof answer)) return false;
  std::vector<char> key;
  for (;;) {
    Wake wake;
    int got = read_all(wake_fd_, &wake, sizeof wake);
    if (got <= 0) return got == 0;
    switch (wake.kind) {
      case wake_notice: {
        if (wake.key_size > key_size_max) return false;
        key.assign(wake.key_size + 1, '\0');
        if (wake.key_size > 0 && read_all(wake_fd_, key.data(), wake.key_size) != 1) return false;
        if (handle_.property_callback != nullptr) {
          handle_.property_callback(wake.subject, wake.key_size > 0 ? key.data() : nullptr,
                                    static_cast<tamb_property_change_t>(wake.change),
                                    handle_.property_arg);
        }
        continue;
      }
      case wake_graph:
        refresh_connections();
        break;
      case wake_cycle:
        tamb_call_sync_client(&handle_);
        tamb_call_timebase_master(&handle_);
        if (process) process(wake.cycle, wake.nframes);
        break;
      default:
        return false;
    }
    answer = {answer_done, 0, wake.cycle};
    if (!send_all(wake_fd_, &answer, sizeof answer)) return false;
    if (wake.kind == wake_cycle && idle) idle(wake.cycle, wake.nframes);
  }
}

// ---- RemoteHost ---------------------------------------------------------------------------

namespace {

[[noreturn]] void client_process(const Attachment &attachment, const RemoteHost::Body &body) {
  int status = 70;
  try {
    remote_channel_use(attachment.request_fd);
    RemoteClient client(attachment);
    status = body(client);
  } catch (const std::exception &e) {
    fprintf(stderr, "client process %d: %s\n", static_cast<int>(getpid()), e.what());
  }
  fflush(stdout);
  fflush(stderr);
  _exit(status);
}

int reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

// tamb_cleanup_shm also removes the segments of the process that calls it, so the server
// cannot call it itself; a child that owns no segment calls it and frees only those of
// processes that are gone.
void free_segments_of_gone_processes() {
  pid_t helper = fork();
  if (helper == 0) {
    tamb_cleanup_shm();
    _exit(0);
  }
  if (helper > 0) reap(helper);
}

}  // namespace

RemoteHost::~RemoteHost() { finish(); }

void RemoteHost::finish() {
  // Closing the wake-up channel ends a client's loop; its process then exits by itself.
  for (auto &member : members_) {
    if (member->alive && member->wake_fd >= 0) shutdown(member->wake_fd, SHUT_RDWR);
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms());
  for (auto &member : members_) {
    if (!member->alive) continue;
    member->alive = false;
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(member->pid, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
      usleep(1000);
    }
    const char *reason = "finished";
    if (done == 0) {
      kill(member->pid, SIGKILL);
      status = reap(member->pid);
      reason = "killed: did not end";
    } else {
      status = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    }
    shutdown(member->client->server_fd, SHUT_RDWR);
    if (member->requests.joinable()) member->requests.join();
    {
      std::lock_guard<std::mutex> guard(graph_lock_);
      server_.remove_client(member->client);
    }
    member->client = nullptr;
    close(member->wake_fd);
    member->wake_fd = -1;
    removals_.push_back({member->name, member->pid, reason, status});
  }
}

int RemoteHost::timeout_ms() const {
  uint64_t usecs = tamb::sync_timeout_load(server_.control());
  return static_cast<int>(std::max<uint64_t>(1, std::min<uint64_t>(usecs / 1000, 600000)));
}

int RemoteHost::spawn(const char *name, const Body &body) {
  if (threads_started_)
    throw std::logic_error("client processes are forked before the first cycle");
  auto member = std::make_unique<Member>();
  member->name = name;
  member->host = this;
  Client *client = server_.add_client(name);
  server_.open_channel(client);
  int wake[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, wake) != 0) {
    server_.remove_client(client);
    throw std::runtime_error("cannot open a wake-up channel");
  }
  Attachment attachment;
  attachment.engine_control = server_.control_index();
  attachment.client_control = client->control_segment.index;
  attachment.server_name = server_name_;
  for (int type = 0; type < server_.control()->port_type_count; ++type) {
    attachment.port_segments.push_back(server_.port_segment_index(type));
  }
  attachment.request_fd = client->handle.request_fd;
  attachment.wake_fd = wake[0];

  // Output still buffered here would otherwise be written twice, once by the child.
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) {
    close(wake[0]);
    close(wake[1]);
    server_.remove_client(client);
    throw std::runtime_error("cannot fork a client process");
  }
  if (pid == 0) {
    // The child keeps only its own ends, so that each server end sees the close of the one
    // process on the other side.
    for (auto &other : members_) {
      if (other->client != nullptr) close(other->client->server_fd);
      if (other->wake_fd >= 0) close(other->wake_fd);
    }
    close(client->server_fd);
    close(wake[1]);
    client_process(attachment, body);
  }
  close(client->handle.request_fd);
  client->handle.request_fd = -1;  // the server answers through server_fd
  close(wake[0]);
  member->client = client;
  member->pid = pid;
  member->wake_fd = wake[1];
  client->handle.property_callback = forward_notice;
  client->handle.property_arg = member.get();
  members_.push_back(std::move(member));
  return static_cast<int>(members_.size()) - 1;
}

void RemoteHost::start_threads() {
  threads_started_ = true;
  for (auto &member : members_) {
    if (member->alive && !member->requests.joinable()) {
      member->requests = std::thread(&RemoteHost::serve_requests, this, member.get());
    }
  }
}

void RemoteHost::serve_requests(Member *member) {
  int fd = member->client->server_fd;
  tamb_control_t *control = server_.control();
  std::vector<char> key;
  for (;;) {
    tamb_request_t request;
    if (read_all(fd, &request, sizeof request) != 1) return;
    int32_t type = request.type;
    if (type == TAMB_REQ_PROPERTY_CHANGE_NOTIFY) {
      // The sender's address means nothing here; it only says whether key_size bytes follow.
      uint64_t size = request.body.property.key != nullptr ? request.body.property.key_size : 0;
      request.body.property.key = nullptr;
      request.body.property.key_size = size;
      if (size > key_size_max) {
        shutdown(fd, SHUT_RDWR);  // the stream cannot be resynchronised after this
        return;
      }
      if (size > 0) {
        key.assign(size, '\0');
        if (read_all(fd, key.data(), size) != 1) return;
        key[size - 1] = '\0';  // the relay reads key_size - 1 characters and a terminator
        request.body.property.key = key.data();
      }
    }

    std::vector<uint32_t> ids;
    {
      std::lock_guard<std::mutex> guard(graph_lock_);
      tamb_client_deliver_request(&member->client->handle, &request);
      // The handler answers a client without a channel with names in the port table; the
      // remote client gets their ids after the answer instead.
      if (type == TAMB_REQ_PORT_GET_CONNECTIONS && request.body.connections.ports != nullptr) {
        const char **names = request.body.connections.ports;
        for (const char **name = names; *name != nullptr; ++name) {
          for (uint32_t id = 0; id < control->port_capacity; ++id) {
            if (control->port_table[id].name == *name) ids.push_back(id);
          }
        }
        free(static_cast<void *>(names));
        request.body.connections.ports = nullptr;
        request.body.connections.count = static_cast<uint32_t>(ids.size());
      }
    }
    if (type == TAMB_REQ_PROPERTY_CHANGE_NOTIFY) request.body.property.key = nullptr;
    if (!send_all(fd, &request, sizeof request) ||
        !send_all(fd, ids.data(), ids.size() * sizeof(uint32_t))) {
      return;
    }
  }
}

void RemoteHost::forward_notice(tamb_uuid_t subject, const char *key, tamb_property_change_t change,
                                void *arg) {
  auto *member = static_cast<Member *>(arg);
  if (!member->alive) return;
  size_t key_size = key != nullptr ? strlen(key) : 0;
  std::vector<char> message(sizeof(Wake) + key_size);
  Wake wake{wake_notice, 0, 0, subject, change, static_cast<uint32_t>(key_size)};
  memcpy(message.data(), &wake, sizeof wake);
  if (key_size > 0) memcpy(message.data() + sizeof wake, key, key_size);
  // A client that does not read its channel must not hold the server's request up.
  std::lock_guard<std::mutex> guard(member->wake_lock);
  if (send_all(member->wake_fd, message.data(), message.size(), MSG_DONTWAIT)) {
    member->host->notices_.fetch_add(1);
  }
}

bool RemoteHost::send_wake(Member *member, uint32_t kind, uint64_t cycle) {
  Wake wake{kind, server_.control()->buffer_size, cycle, 0, 0, 0};
  std::lock_guard<std::mutex> guard(member->wake_lock);
  return send_all(member->wake_fd, &wake, sizeof wake);
}

bool RemoteHost::await(Member *member, uint32_t kind, uint64_t cycle, const char **why) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms());
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd ready{member->wake_fd, POLLIN, 0};
    int polled = left.count() > 0 ? poll(&ready, 1, static_cast<int>(left.count())) : 0;
    if (polled < 0 && errno == EINTR) continue;
    if (polled == 0) {
      *why = "no answer within the sync timeout";
      return false;
    }
    Answer answer;
    if (polled < 0 || read_all(member->wake_fd, &answer, sizeof answer) != 1) {
      *why = "channel closed";
      return false;
    }
    // A reread sent while a member is still starting reads its ready answer first; it must
    // not be lost, or wait_ready would take a healthy member for a hung one.
    if (answer.kind == answer_ready) member->ready = true;
    if (answer.kind == kind && (kind == answer_ready || answer.cycle == cycle)) return true;
  }
}

void RemoteHost::drop(Member *member, const char *reason) {
  member->alive = false;
  shutdown(member->client->server_fd, SHUT_RDWR);
  if (member->requests.joinable()) member->requests.join();
  // A client that stopped answering may still be running; it must not touch the blocks that
  // are about to be freed.
  kill(member->pid, SIGKILL);
  int status = reap(member->pid);
  {
    std::lock_guard<std::mutex> guard(graph_lock_);
    server_.remove_client(member->client);
  }
  member->client = nullptr;
  {
    std::lock_guard<std::mutex> guard(member->wake_lock);
    close(member->wake_fd);
    member->wake_fd = -1;
  }
  free_segments_of_gone_processes();
  removals_.push_back({member->name, member->pid, reason, status});
  // The removal took the client's connections with it; the other clients must stop reading
  // its buffers.
  for (auto &other : members_) {
    const char *why = nullptr;
    if (other->alive && !reread(other.get(), &why)) drop(other.get(), why);
  }
}

bool RemoteHost::reread(Member *member, const char **why) {
  *why = "channel closed";
  return send_wake(member, wake_graph, cycle_) && await(member, answer_done, cycle_, why);
}

int RemoteHost::wait_ready() {
  start_threads();
  int ready = 0;
  for (auto &member : members_) {
    if (!member->alive) continue;
    const char *why = nullptr;
    if (!member->ready && !await(member.get(), answer_ready, 0, &why)) {
      drop(member.get(), why);
      continue;
    }
    member->ready = true;
    ++ready;
  }
  return ready;
}

int RemoteHost::connect(const char *output, const char *input) {
  tamb_control_t *control = server_.control();
  auto find = [control](const char *name) {
    for (uint32_t id = 0; id < control->port_capacity; ++id) {
      const tamb_port_shared_t &record = control->port_table[id];
      if (record.in_use && tamb_port_name_equals(&record, name)) return id;
    }
    return control->port_capacity;
  };
  uint32_t out = find(output);
  uint32_t in = find(input);
  if (out == control->port_capacity || in == control->port_capacity) return ENOENT;
  int result;
  {
    std::lock_guard<std::mutex> guard(graph_lock_);
    result = server_.connect(out, in);
  }
  if (result != 0) return result;
  for (auto &member : members_) {
    if (!member->alive) continue;
    tamb_uuid_t id = member->client->handle.control->uuid;
    if (control->port_table[out].client_id != id && control->port_table[in].client_id != id) {
      continue;
    }
    const char *why = nullptr;
    if (!reread(member.get(), &why)) drop(member.get(), why);
  }
  return 0;
}

int RemoteHost::run(tamb_time_t start) {
  using Clock = std::chrono::steady_clock;
  start_threads();
  tamb_control_t *control = server_.control();
  Clock::duration engine{};
  {
    std::lock_guard<std::mutex> guard(graph_lock_);
    Clock::time_point begun = Clock::now();
    tamb_transport_cycle_start(server_.engine(), start);
    engine = Clock::now() - begun;
    frame_timer_start_cycle(control, start, next_frame_);
    next_frame_ += control->buffer_size;
  }
  ++cycle_;
  int removed = 0;
  for (auto &member : members_) {
    if (!member->alive || !member->client->handle.control->active) continue;
    const char *why = "channel closed";
    if (!send_wake(member.get(), wake_cycle, cycle_) ||
        !await(member.get(), answer_done, cycle_, &why)) {
      drop(member.get(), why);
      ++removed;
    }
  }
  {
    std::lock_guard<std::mutex> guard(graph_lock_);
    Clock::time_point begun = Clock::now();
    tamb_transport_cycle_end(server_.engine());
    engine += Clock::now() - begun;
  }
  engine_ns_ =
      static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(engine).count());
  return removed;
}

}  // namespace kit
