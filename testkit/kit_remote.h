// SPDX-License-Identifier: MIT
// Clients in other processes: the request channel, the wake-up that runs each client's cycle,
// and attachment of the shared blocks by registry index.
//
// Each remote client has two UNIX stream socket pairs to the server. On the request channel the
// client writes whole request records (for a property change notice the key bytes follow) and
// reads back the answered record, then for a connection list the connected port ids. On the
// wake-up channel the server sends wake-ups (run a cycle, reread the connections, a property
// change notice) and the client answers "ready" once after its setup and "done" after each
// cycle or reread.
#ifndef TAMB_TESTKIT_KIT_REMOTE_H
#define TAMB_TESTKIT_KIT_REMOTE_H

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kit.h"

namespace kit {

// ---- Client process side ------------------------------------------------------------------

// From now on this process's requests go over the request channel fd instead of to the
// in-process handlers; a negative fd restores in-process delivery.
void remote_channel_use(int fd);

// The channel requests go over, or -1.
int remote_channel();

// Sends one request over the remote channel and waits for the answer; the delivery hook's work
// in a client process. The request's own key pointer (type 33) is kept.
int remote_deliver(tamb_request_t *request);

// What a client process needs to find the server's blocks and talk to it.
struct Attachment {
  int16_t engine_control = TAMB_SHM_NULL_INDEX;
  int16_t client_control = TAMB_SHM_NULL_INDEX;
  std::string server_name = "default";
  std::vector<int16_t> port_segments;  // by port type id
  int request_fd = -1;
  int wake_fd = -1;
};

// The client core of a client in another process, the least that serves: the handle over its
// own attachments, connection lists kept from the server's answers, and the wake-up loop.
class RemoteClient {
 public:
  // Attaches every block of the attachment; throws std::runtime_error when one fails.
  explicit RemoteClient(const Attachment &attachment);
  ~RemoteClient();
  RemoteClient(const RemoteClient &) = delete;
  RemoteClient &operator=(const RemoteClient &) = delete;

  tamb_client_t *handle() { return &handle_; }

  // The client's work in one cycle: the cycle number and its frame count.
  using Process = std::function<void(uint64_t cycle, tamb_nframes_t nframes)>;

  // Tells the server the setup is done, then serves wake-ups until the server closes the
  // channel: each cycle runs the transport callbacks and process, answers, then runs idle
  // (work that must not hold the cycle up, such as requests). False when the channel broke.
  bool serve(const Process &process, const Process &idle = {});

 private:
  bool refresh_connections();
  void free_ports();

  tamb_client_t handle_{};
  tamb_shm_info_t engine_control_{TAMB_SHM_NULL_INDEX, TAMB_SHM_NOT_ATTACHED};
  tamb_shm_info_t client_control_{TAMB_SHM_NULL_INDEX, TAMB_SHM_NOT_ATTACHED};
  std::vector<tamb_shm_info_t> port_segments_;
  int wake_fd_;
};

// ---- Server side --------------------------------------------------------------------------

// Runs a server's clients in forked processes: one request thread per client, and cycles that
// wake every active client in turn. A client that closes its channel or does not answer a
// wake-up within the sync timeout is removed; the segments its process left are freed.
class RemoteHost {
 public:
  // server_name: the name server registered under, which client processes look up.
  explicit RemoteHost(Server &server, const char *server_name = "default")
      : server_(server), server_name_(server_name) {}
  ~RemoteHost();
  RemoteHost(const RemoteHost &) = delete;
  RemoteHost &operator=(const RemoteHost &) = delete;

  // Body of a client process; its result becomes the exit status.
  using Body = std::function<int(RemoteClient &client)>;

  // Adds a client named name and forks its process, which attaches everything and runs body.
  // The member's number, in the order clients are woken. Only before the first wait_ready or
  // run: a process forked while a request thread holds a lock would inherit it held (throws
  // std::logic_error then).
  int spawn(const char *name, const Body &body);

  // Starts the request threads and waits until every member said it is ready (or is gone).
  // The members that are ready.
  int wait_ready();

  // Connects two ports by name and has both owners reread their connections. 0 or an errno.
  int connect(const char *output, const char *input);

  // One cycle starting at time start. The number of clients removed in it.
  int run(tamb_time_t start);

  // The member's client record (null once removed), its process, and whether it still runs.
  Client *client(int member) const { return members_[member]->client; }
  pid_t pid(int member) const { return members_[member]->pid; }
  bool alive(int member) const { return members_[member]->alive; }

  // Closes every channel, reaps the processes (killing those that do not end within the sync
  // timeout) and removes their clients; each is listed among the removals, "finished" with
  // its exit status when it ended by itself.
  void finish();

  struct Removal {
    std::string name;
    pid_t pid;
    std::string reason;
    int status;  // exit status, or 128 + signal
  };
  const std::vector<Removal> &removals() const { return removals_; }

  // Property change notices passed on to client processes.
  uint64_t notices() const { return notices_.load(); }

  // Cycles run so far.
  uint64_t cycles() const { return cycle_; }

  // Nanoseconds the last cycle spent in the engine's cycle start and cycle end, the two calls
  // alone.
  uint64_t engine_ns() const { return engine_ns_; }

 private:
  struct Member {
    std::string name;
    Client *client = nullptr;
    pid_t pid = -1;
    int wake_fd = -1;
    std::atomic<bool> alive{true};
    bool ready = false;
    std::mutex wake_lock;  // cycle wake-ups and relayed notices share the socket
    std::thread requests;
    RemoteHost *host = nullptr;
  };

  static void forward_notice(tamb_uuid_t subject, const char *key, tamb_property_change_t change,
                             void *arg);
  void serve_requests(Member *member);
  bool send_wake(Member *member, uint32_t kind, uint64_t cycle);
  bool await(Member *member, uint32_t kind, uint64_t cycle, const char **why);
  void drop(Member *member, const char *reason);
  bool reread(Member *member, const char **why);
  void start_threads();
  int timeout_ms() const;

  Server &server_;
  std::string server_name_;
  std::vector<std::unique_ptr<Member>> members_;
  std::vector<Removal> removals_;
  std::mutex graph_lock_;  // requests, removals and the engine's cycle steps, one at a time
  std::atomic<uint64_t> notices_{0};
  uint64_t cycle_ = 0;
  uint64_t engine_ns_ = 0;
  tamb_nframes_t next_frame_ = 0;
  bool threads_started_ = false;
};

}  // namespace kit

#endif
