// SPDX-License-Identifier: MIT
// The shared-memory registry and its segments, exercised the way servers and clients use them:
// by several real processes at once.
//
// Every scenario runs in a forked child inside an IPC namespace of its own, so it starts from
// an empty registry, with fresh module state, and leaves nothing behind: the namespace and all
// of its segments and semaphores vanish with its last process.
#include "tamb/shm.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ipc_scenario.h"
#include "kit.h"
#include "support.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using support::segment_of;

const tamb_shm_info_t kFresh = {TAMB_SHM_NULL_INDEX, TAMB_SHM_NOT_ATTACHED};

void RunScenario(const std::function<void()> &scenario) { support::run_ipc_scenario(scenario); }

std::string Prefix(const std::string &name) {
  return "/tamb-" + std::to_string(getuid()) + ":" + name + ":";
}

// The registry as any other program sees it: found by its key, attached outside the module.
struct View {
  int id = -1;
  tamb_shm_header_t *header = nullptr;

  tamb_shm_server_t &slot(int i) const { return header->servers[i]; }
  tamb_shm_registry_t &entry(int i) const {
    return reinterpret_cast<tamb_shm_registry_t *>(reinterpret_cast<char *>(header) +
                                                   TAMB_REGISTRY_HEADER_SIZE)[i];
  }
  bool slot_is_zero(int i) const {
    static const char zero[sizeof(tamb_shm_server_t)] = {};
    return memcmp(&slot(i), zero, sizeof zero) == 0;
  }
};

View OpenView() {
  View view;
  view.id = shmget(TAMB_REGISTRY_IPC_KEY, 0, 0);
  if (view.id == -1) return view;
  void *address = shmat(view.id, nullptr, 0);
  if (address != reinterpret_cast<void *>(-1)) {
    view.header = static_cast<tamb_shm_header_t *>(address);
  }
  return view;
}

// A registry segment made by hand, as an older or broken server would have left it: size
// bytes, and (when it holds a header) a sound header except for the protocol.
View MakeRegistry(size_t size, uint16_t protocol) {
  int id = shmget(TAMB_REGISTRY_IPC_KEY, size, IPC_CREAT | IPC_EXCL | 0666);
  if (id == -1 || size < TAMB_REGISTRY_SEGMENT_SIZE) return {id, nullptr};
  View view = OpenView();
  if (view.header == nullptr) return view;
  view.header->magic = TAMB_REGISTRY_MAGIC;
  view.header->protocol = protocol;
  view.header->shm_type = TAMB_SHM_TYPE_SYSV;
  view.header->segment_size = TAMB_REGISTRY_SEGMENT_SIZE;
  view.header->header_size = TAMB_REGISTRY_HEADER_SIZE;
  view.header->entry_size = TAMB_REGISTRY_ENTRY_SIZE;
  for (int16_t i = 0; i < TAMB_REGISTRY_MAX_SEGMENTS; ++i) view.entry(i).index = i;
  return view;
}

shmid_ds SegmentStatus(int id) {
  shmid_ds status{};
  if (shmctl(id, IPC_STAT, &status) == -1) status.shm_perm.mode = 0xffff;
  return status;
}

bool SegmentExists(int id) { return SegmentStatus(id).shm_perm.mode != 0xffff; }

bool SegmentMarkedForRemoval(int id) {
  shmid_ds status = SegmentStatus(id);
  return status.shm_perm.mode != 0xffff && (status.shm_perm.mode & SHM_DEST) != 0;
}

bool EntryIsFree(const tamb_shm_registry_t &entry) {
  return entry.size == 0 && entry.owner_pid == 0 && entry.shm_id == 0;
}

// Another process of the scenario. It runs start and reports its result, then stays alive
// until it is let go, runs finish and exits with its result.
int NothingMore() { return 0; }

class Peer {
 public:
  explicit Peer(std::function<int()> start, std::function<int()> finish = NothingMore) {
    int report[2];
    int release[2];
    if (pipe(report) != 0 || pipe(release) != 0) abort();
    fflush(stdout);
    fflush(stderr);
    pid_ = fork();
    if (pid_ == 0) {
      alarm(25);  // outlives a deadlocked scenario only briefly: it holds the test's output
      int result = start();
      if (write(report[1], &result, sizeof result) != sizeof result) _exit(120);
      char go;
      if (read(release[0], &go, 1) < 0) _exit(121);
      result = finish();
      fflush(stdout);
      fflush(stderr);
      _exit(result);
    }
    close(report[1]);
    close(release[0]);
    report_ = report[0];
    release_ = release[1];
  }
  ~Peer() { End(); }
  Peer(const Peer &) = delete;
  Peer &operator=(const Peer &) = delete;

  pid_t pid() const { return pid_; }

  // What start returned; waits for it.
  int Result() {
    if (report_ >= 0) {
      if (read(report_, &result_, sizeof result_) != sizeof result_) result_ = -1000;
      close(report_);
      report_ = -1;
    }
    return result_;
  }

  // Lets the peer finish and returns its exit status once it is gone (reaped: a zombie would
  // still answer kill(pid, 0)).
  int End() {
    if (release_ >= 0) {
      Result();
      // A byte, not EOF: peers forked later hold copies of this pipe's write end.
      if (write(release_, "g", 1) != 1) kill(pid_, SIGKILL);
      close(release_);
      release_ = -1;
      status_ = support::wait_for(pid_);
    }
    return status_;
  }

  // Ends the peer without letting it clean up.
  int Kill() {
    if (release_ >= 0) {
      kill(pid_, SIGKILL);
      close(release_);
      release_ = -1;
      if (report_ >= 0) close(report_);
      report_ = -1;
      status_ = support::wait_for(pid_);
    }
    return status_;
  }

 private:
  pid_t pid_ = -1;
  int report_ = -1;
  int release_ = -1;
  int result_ = 0;
  int status_ = -1;
};

int Register(const char *name) { return tamb_register_server(name, 0); }

// ---- Registry: attachment, validation and replacement --------------------------------------

TEST(Registry, ClientFindsNoRegistryThenAttachesTheServersOnce) {
  RunScenario([] {
    EXPECT_EQ(tamb_initialize_shm("studio"), ENOENT);
    EXPECT_EQ(hooks::log_count(hooks::Level::error), 0u) << "no registry yet is not an error";

    Peer server([] { return Register("studio"); });
    ASSERT_EQ(server.Result(), 0);
    View view = OpenView();
    ASSERT_NE(view.header, nullptr);
    EXPECT_EQ(SegmentStatus(view.id).shm_segsz, size_t{TAMB_REGISTRY_SEGMENT_SIZE});
    EXPECT_EQ(SegmentStatus(view.id).shm_perm.mode & 0777, 0666);
    EXPECT_EQ(view.header->magic, TAMB_REGISTRY_MAGIC);
    EXPECT_EQ(view.header->protocol, TAMB_REGISTRY_PROTOCOL);
    EXPECT_EQ(view.header->shm_type, TAMB_SHM_TYPE_SYSV);
    EXPECT_EQ(view.header->segment_size, uint32_t{TAMB_REGISTRY_SEGMENT_SIZE});
    EXPECT_EQ(view.header->header_size, uint32_t{TAMB_REGISTRY_HEADER_SIZE});
    EXPECT_EQ(view.header->entry_size, uint32_t{TAMB_REGISTRY_ENTRY_SIZE});
    for (int i = 0; i < TAMB_REGISTRY_MAX_SEGMENTS; ++i) {
      ASSERT_EQ(view.entry(i).index, i);
      ASSERT_TRUE(EntryIsFree(view.entry(i))) << i;
    }
    EXPECT_EQ(view.slot(0).pid, server.pid());
    EXPECT_STREQ(view.slot(0).prefix, Prefix("studio").c_str());
    for (int i = 1; i < TAMB_REGISTRY_MAX_SERVERS; ++i) EXPECT_TRUE(view.slot_is_zero(i)) << i;

    // The lock is free between operations.
    int semid = semget(TAMB_REGISTRY_IPC_KEY, 0, 0);
    ASSERT_NE(semid, -1);
    EXPECT_EQ(semctl(semid, 0, GETVAL), 1);

    EXPECT_EQ(tamb_initialize_shm("studio"), 0);
    // Once attached, the registry is not looked at again: even its removal goes unnoticed.
    ASSERT_EQ(shmctl(view.id, IPC_RMID, nullptr), 0);
    EXPECT_EQ(tamb_initialize_shm("studio"), 0);
    EXPECT_EQ(hooks::log_count(hooks::Level::error), 0u);
  });
}

TEST(Registry, IncompatibleRegistryIsRefusedByClientsAndReplacedByAServer) {
  RunScenario([] {
    View old = MakeRegistry(TAMB_REGISTRY_SEGMENT_SIZE, 24);
    ASSERT_NE(old.header, nullptr);
    const char *refusal = "Incompatible shm registry, are tambd and libtamb in sync?";
    EXPECT_EQ(tamb_initialize_shm("studio"), -1);
    EXPECT_TRUE(hooks::log_has(hooks::Level::error, refusal));
    // The refused registry is not remembered as attached: asking again refuses again.
    EXPECT_EQ(tamb_initialize_shm("studio"), -1);
    EXPECT_EQ(hooks::log_count(hooks::Level::error), 2u);
    EXPECT_EQ(SegmentStatus(old.id).shm_nattch, 1u) << "only the test's own view is attached";

    ASSERT_EQ(Register("studio"), 0);
    View now = OpenView();
    ASSERT_NE(now.header, nullptr);
    EXPECT_NE(now.id, old.id);
    EXPECT_EQ(now.header->protocol, TAMB_REGISTRY_PROTOCOL);
    EXPECT_EQ(now.entry(255).index, 255);
    EXPECT_EQ(now.slot(0).pid, getpid());
    EXPECT_TRUE(SegmentMarkedForRemoval(old.id));
    EXPECT_EQ(old.header->protocol, 24) << "a holder of the old registry keeps it intact";
    EXPECT_EQ(tamb_initialize_shm("studio"), 0);
  });
}

TEST(Registry, TooSmallRegistryGivesEinvalToClientsAndIsReplacedByAServer) {
  RunScenario([] {
    View old = MakeRegistry(100, TAMB_REGISTRY_PROTOCOL);
    ASSERT_NE(old.id, -1);
    EXPECT_EQ(tamb_initialize_shm(nullptr), EINVAL);
    EXPECT_EQ(hooks::log_count(hooks::Level::error), 0u);

    ASSERT_EQ(Register(nullptr), 0);
    EXPECT_FALSE(SegmentExists(old.id)) << "nobody had it attached, so it is gone";
    View now = OpenView();
    ASSERT_NE(now.header, nullptr);
    EXPECT_EQ(SegmentStatus(now.id).shm_segsz, size_t{TAMB_REGISTRY_SEGMENT_SIZE});
    EXPECT_STREQ(now.slot(0).prefix, Prefix("default").c_str());
  });
}

TEST(Registry, NewRegistryIsMadeOnRequestEvenOverAValidOne) {
  RunScenario([] {
    Peer elder([] { return Register("elder"); });
    ASSERT_EQ(elder.Result(), 0);
    View old = OpenView();
    ASSERT_NE(old.header, nullptr);

    ASSERT_EQ(tamb_register_server("fresh", 1), 0);
    View now = OpenView();
    ASSERT_NE(now.header, nullptr);
    EXPECT_NE(now.id, old.id);
    EXPECT_EQ(now.slot(0).pid, getpid());
    EXPECT_STREQ(now.slot(0).prefix, Prefix("fresh").c_str());
    EXPECT_TRUE(now.slot_is_zero(1)) << "the elder's slot stayed in the old registry";
    EXPECT_EQ(old.slot(0).pid, elder.pid());
  });
}

// A registry that exists but cannot be mapped (here: no address space left) is an error
// result for clients and servers alike, and the next attempt with room succeeds.
TEST(Registry, RegistryThatCannotBeAttachedIsAnErrorNotACrash) {
  RunScenario([] {
    long vm_kib = 0;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("VmSize:", 0) == 0) vm_kib = std::stol(line.substr(7));
    }
    ASSERT_GT(vm_kib, 0);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(vm_kib) * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
    int created = Register("studio");              // creates the segment, cannot map it
    int accessed = tamb_initialize_shm("studio");  // finds it, cannot map it
    int served = Register("studio");               // finds it, cannot map it
    ASSERT_EQ(setrlimit(RLIMIT_AS, &saved), 0);

    std::string why = strerror(ENOMEM);
    EXPECT_EQ(created, ENOMEM);
    EXPECT_EQ(accessed, ENOMEM);
    EXPECT_EQ(served, ENOMEM);
    std::vector<hooks::Message> log = hooks::log_messages();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[1].text, "cannot create shm registry segment (" + why + ")");
    EXPECT_EQ(log[2].text, "unable to access shm registry (" + why + ")");
    EXPECT_EQ(log[4].text, "unable to access shm registry (" + why + ")");
    // The creator never filled the segment in; the next server replaces it.
    EXPECT_EQ(Register("studio"), 0);
    View view = OpenView();
    ASSERT_NE(view.header, nullptr);
    EXPECT_EQ(view.header->magic, TAMB_REGISTRY_MAGIC);
    EXPECT_EQ(view.slot(0).pid, getpid());
  });
}

bool LimitSegments(int count) {
  std::ofstream("/proc/sys/kernel/shmmni") << count << "\n";
  std::ifstream check("/proc/sys/kernel/shmmni");
  int now = -1;
  check >> now;
  return now == count;
}

// A server that cannot create the registry says why and gets ENOMEM; when it had to remove an
// incompatible one first, it also says how to remove the registry by hand.
TEST(Registry, ServerThatCannotCreateTheRegistryReportsAndGetsEnomem) {
  RunScenario([] {
    if (!LimitSegments(0)) GTEST_SKIP() << "cannot limit the namespace's segments";
    std::string why = strerror(ENOSPC);
    EXPECT_EQ(Register("studio"), ENOMEM);
    EXPECT_TRUE(
        hooks::log_has(hooks::Level::error, "cannot create shm registry segment (" + why + ")"));
    EXPECT_EQ(hooks::log_count(hooks::Level::error), 1u);

    // The incompatible registry stays attached to the view, so it still counts against the
    // limit after its removal and the new one cannot be made.
    ASSERT_TRUE(LimitSegments(1));
    View old = MakeRegistry(TAMB_REGISTRY_SEGMENT_SIZE, 24);
    ASSERT_NE(old.header, nullptr);
    hooks::log_clear();
    EXPECT_EQ(Register("studio"), ENOMEM);
    std::vector<hooks::Message> log = hooks::log_messages();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[1].text, "cannot create shm registry segment (" + why + ")");
    EXPECT_EQ(log[2].text, "incompatible shm registry (" + why + ")");
    EXPECT_EQ(log[3].text, "to delete, use `ipcrm -M 0x00282929'");
    EXPECT_TRUE(SegmentMarkedForRemoval(old.id));
  });
}

// ---- Registry: server slots -----------------------------------------------------------------

TEST(Registry, ServerHoldsOneSlotPerNameAndUnregisteringFreesAllOfItsOwn) {
  RunScenario([] {
    ASSERT_EQ(Register(nullptr), 0);
    EXPECT_TRUE(hooks::log_has(hooks::Level::info, "TAMB compiled with System V SHM support."));
    EXPECT_EQ(Register("default"), 0) << "the same name again is already registered";
    Peer other([] { return Register("other"); });
    ASSERT_EQ(other.Result(), 0);
    EXPECT_EQ(Register("studio"), 0);
    std::string long_name(300, 'n');
    EXPECT_EQ(Register(long_name.c_str()), 0);

    View view = OpenView();
    ASSERT_NE(view.header, nullptr);
    EXPECT_EQ(view.slot(0).pid, getpid());
    EXPECT_STREQ(view.slot(0).prefix, Prefix("default").c_str());
    EXPECT_EQ(view.slot(1).pid, other.pid());
    EXPECT_EQ(view.slot(2).pid, getpid());
    EXPECT_STREQ(view.slot(2).prefix, Prefix("studio").c_str());
    EXPECT_EQ(view.slot(3).pid, getpid());
    EXPECT_EQ(strnlen(view.slot(3).prefix, sizeof view.slot(3).prefix), 255u);
    EXPECT_EQ(std::string(view.slot(3).prefix), Prefix(long_name).substr(0, 255));
    EXPECT_TRUE(view.slot_is_zero(4));

    EXPECT_EQ(tamb_unregister_server("whatever"), 0) << "the name is not consulted";
    EXPECT_TRUE(view.slot_is_zero(0));
    EXPECT_TRUE(view.slot_is_zero(2));
    EXPECT_TRUE(view.slot_is_zero(3));
    EXPECT_EQ(view.slot(1).pid, other.pid());
    EXPECT_STREQ(view.slot(1).prefix, Prefix("other").c_str());
  });
}

TEST(Registry, SecondLiveServerWithSameNameGetsEexist) {
  RunScenario([] {
    Peer first([] { return Register("studio"); });
    ASSERT_EQ(first.Result(), 0);
    EXPECT_EQ(Register("studio"), EEXIST);
    EXPECT_EQ(Register("mixer"), 0) << "another name is free";
    View view = OpenView();
    ASSERT_NE(view.header, nullptr);
    EXPECT_EQ(view.slot(0).pid, first.pid());
    EXPECT_STREQ(view.slot(0).prefix, Prefix("studio").c_str());
    EXPECT_EQ(view.slot(1).pid, getpid());
    EXPECT_STREQ(view.slot(1).prefix, Prefix("mixer").c_str());
  });
}

TEST(Registry, SlotOfADeadServerIsTakenOver) {
  RunScenario([] {
    Peer early([] { return Register("early"); }, [] { return tamb_unregister_server(nullptr); });
    ASSERT_EQ(early.Result(), 0);
    Peer crashed([] { return Register("studio"); });
    ASSERT_EQ(crashed.Result(), 0);
    // early unregisters and ends; it created the lock, whose free state must outlive it.
    EXPECT_EQ(early.End(), 0);
    EXPECT_EQ(crashed.Kill(), 128 + SIGKILL);  // its slot is left behind

    View view = OpenView();
    ASSERT_NE(view.header, nullptr);
    ASSERT_TRUE(view.slot_is_zero(0));
    ASSERT_EQ(view.slot(1).pid, crashed.pid());
    ASSERT_EQ(Register("studio"), 0);
    EXPECT_TRUE(view.slot_is_zero(1)) << "the dead holder's slot is cleared whole";
    EXPECT_EQ(view.slot(0).pid, getpid()) << "the first free slot is taken";
    EXPECT_STREQ(view.slot(0).prefix, Prefix("studio").c_str());

    // A process id that is not positive names no process (kill would probe a process group):
    // such a slot is dead too.
    view.slot(5).pid = -1;
    snprintf(view.slot(5).prefix, sizeof view.slot(5).prefix, "%s", Prefix("ghost").c_str());
    EXPECT_EQ(Register("ghost"), 0);
    EXPECT_TRUE(view.slot_is_zero(5));
    EXPECT_EQ(view.slot(1).pid, getpid());
    EXPECT_STREQ(view.slot(1).prefix, Prefix("ghost").c_str());

    // Unlike the clean-up, registration takes over from a holder that it may not signal: the
    // prefix carries the registrant's user id, so that holder is another user's process that
    // got a dead server's id. Here it is this live process, seen by another user.
    const pid_t scenario = getpid();
    int status = support::run_in_child([&] {
      if (!support::become_user(support::other_user)) return support::child_skipped;
      view.slot(6).pid = scenario;
      snprintf(view.slot(6).prefix, sizeof view.slot(6).prefix, "%s", Prefix("away").c_str());
      if (Register("away") != 0 || !view.slot_is_zero(6)) return 1;
      return view.slot(2).pid == getpid() ? 0 : 2;
    });
    if (status != support::child_skipped) {
      EXPECT_EQ(status, 0);
    }
  });
}

// A process is gone only when no process has its id: another user's, which the caller may not
// signal, is alive. An id that is not positive names no process, though kill() would take it for
// a process group.
TEST(Registry, ProcessIsGoneOnlyWhenNoProcessHasItsId) {
  pid_t reaped = fork();
  if (reaped == 0) _exit(0);
  ASSERT_EQ(support::wait_for(reaped), 0);
  const pid_t root_process = getpid();
  int status = support::run_in_child([&] {
    const bool other_user = support::become_user(support::other_user);
    struct Row {
      const char *what;
      pid_t pid;
      int alive;
    };
    const Row rows[] = {
        {"the caller", getpid(), 1},
        {"another user's process, which refuses the probe", root_process, 1},
        {"a child that was reaped", reaped, 0},
        {"0, the caller's process group", 0, 0},
        {"-1, every process the caller may signal", -1, 0},
        {"a negative id, a process group", -getpgrp(), 0},
    };
    for (const Row &row : rows) {
      if (row.pid == root_process && !other_user) continue;
      EXPECT_EQ(tamb_shm_process_alive(row.pid), row.alive) << row.what;
    }
    if (other_user) {
      int probe = kill(root_process, 0);
      int error = errno;
      EXPECT_TRUE(probe == -1 && error == EPERM)
          << "the probe of another user's process is refused";
    }
    if (::testing::Test::HasFailure()) return 1;
    return other_user ? 0 : support::child_skipped;
  });
  if (status == support::child_skipped) GTEST_SKIP() << "cannot switch to another user here";
  EXPECT_EQ(status, 0);
}

// A process stopped with the registry lock just taken, about to allocate. Every call that copies
// or cleans the registry waits for it, counted among the semaphore's waiters, and goes on once
// the allocation is done: a copy holds the new entry whole.
TEST(Registry, CopiesAndCleanUpsWaitForTheLockHolder) {
  RunScenario([] {
    ASSERT_EQ(Register("studio"), 0);
    int semid = semget(TAMB_REGISTRY_IPC_KEY, 0, 0);
    ASSERT_NE(semid, -1);
    View view = OpenView();
    // The copy is made in a forked reader, into memory it shares with the scenario.
    constexpr size_t bytes = sizeof(tamb_shm_registry_t) * TAMB_REGISTRY_MAX_SEGMENTS;
    void *shared = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shared, MAP_FAILED);
    auto *copy = static_cast<tamb_shm_registry_t *>(shared);
    struct Reader {
      const char *call;
      std::function<bool()> run;
      bool copies = false;
    };
    const Reader readers[] = {
        {"tamb_shm_snapshot", [copy] { return tamb_shm_snapshot(nullptr, copy) == 0; }, true},
        {"tamb_shm_clean, a dry run", [] { return tamb_shm_clean(1, nullptr) >= 0; }},
        {"tamb_shm_clean", [] { return tamb_shm_clean(0, nullptr) >= 0; }},
        {"tamb_cleanup_shm", [] { return tamb_cleanup_shm() == 1; }},
    };
    for (const Reader &reader : readers) {
      SCOPED_TRACE(reader.call);
      Peer holder([] {
        support::stop_point = support::StopPoint::lock_taken;
        tamb_shm_info_t si = kFresh;
        return tamb_shmalloc(256, &si) == 0 ? si.index : -1;
      });
      int raw = 0;
      ASSERT_EQ(waitpid(holder.pid(), &raw, WUNTRACED), holder.pid());
      ASSERT_TRUE(WIFSTOPPED(raw));
      fflush(stdout);
      fflush(stderr);
      pid_t pid = fork();
      if (pid == 0) _exit(reader.run() ? 0 : 1);
      bool ended = false;
      int waiting = 0;
      auto deadline = steady_clock::now() + std::chrono::seconds(10);
      while (!(ended = waitpid(pid, &raw, WNOHANG) == pid) &&
             (waiting = semctl(semid, 0, GETNCNT)) == 0 && steady_clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(1));
      }
      EXPECT_FALSE(ended) << "it went ahead without the lock";
      EXPECT_EQ(waiting, 1);
      kill(holder.pid(), SIGCONT);
      EXPECT_GE(holder.Result(), 0);
      if (!ended) {
        EXPECT_EQ(support::wait_for(pid), 0);
      }
      if (reader.copies) {
        EXPECT_EQ(memcmp(copy, &view.entry(0), bytes), 0) << "a torn copy";
      }
      EXPECT_EQ(holder.End(), 0);
    }
    munmap(shared, bytes);
  });
}

TEST(Registry, NinthLiveServerGetsEnospcUntilASlotIsFreed) {
  RunScenario([] {
    std::vector<std::unique_ptr<Peer>> servers;
    for (int i = 0; i < TAMB_REGISTRY_MAX_SERVERS; ++i) {
      std::string name = "server" + std::to_string(i);
      servers.push_back(std::make_unique<Peer>([name] { return Register(name.c_str()); },
                                               [] { return tamb_unregister_server(nullptr); }));
      ASSERT_EQ(servers.back()->Result(), 0) << name;
    }
    EXPECT_EQ(Register("ninth"), ENOSPC);
    EXPECT_EQ(servers[3]->End(), 0);
    EXPECT_EQ(Register("ninth"), 0);
    View view = OpenView();
    ASSERT_NE(view.header, nullptr);
    EXPECT_EQ(view.slot(3).pid, getpid());
  });
}

// ---- Segments ------------------------------------------------------------------------------

TEST(Segments, EveryOperationIsHarmlessWithoutARegistry) {
  RunScenario([] {
    tamb_shm_info_t si = {0, TAMB_SHM_NOT_ATTACHED};
    EXPECT_EQ(tamb_get_free_shm_info(), nullptr);
    EXPECT_EQ(tamb_shmalloc(64, &si), -1);
    EXPECT_EQ(tamb_attach_shm(&si), -1);
    EXPECT_EQ(si.address, TAMB_SHM_NOT_ATTACHED);
    tamb_release_shm_info(0);
    tamb_destroy_shm(&si);
    EXPECT_EQ(tamb_resize_shm(&si, 64), -1);
    EXPECT_EQ(tamb_cleanup_shm(), 1);
    EXPECT_EQ(tamb_unregister_server(nullptr), 0);
    EXPECT_EQ(shmget(TAMB_REGISTRY_IPC_KEY, 0, 0), -1) << "nothing was created on the way";
  });
}

TEST(Segments, AllocationTakesTheLowestFreeEntryAndRefusesThe257th) {
  RunScenario([] {
    ASSERT_EQ(Register("studio"), 0);
    View view = OpenView();
    ASSERT_NE(view.header, nullptr);

    // Sizes the system refuses leave the entry free, with the system's reason.
    tamb_shm_info_t si = {42, reinterpret_cast<void *>(0x1000)};
    for (int32_t refused : {0, -5}) {
      hooks::log_clear();
      EXPECT_EQ(tamb_shmalloc(refused, &si), -1);
      EXPECT_TRUE(hooks::log_has(hooks::Level::error, std::string("cannot create shm segment (") +
                                                          strerror(EINVAL) + ")"));
      EXPECT_TRUE(EntryIsFree(view.entry(0)));
      EXPECT_EQ(si.index, 42);
    }

    // A descriptor names the entry it got, whatever a corrupted entry claims about itself.
    view.entry(0).index = 7;
    std::vector<tamb_shm_info_t> held(TAMB_REGISTRY_MAX_SEGMENTS, kFresh);
    for (int i = 0; i < TAMB_REGISTRY_MAX_SEGMENTS; ++i) {
      ASSERT_EQ(tamb_shmalloc(100 + i, &held[i]), 0) << i;
      ASSERT_EQ(held[i].index, i);
      ASSERT_EQ(held[i].address, TAMB_SHM_NOT_ATTACHED) << "allocation does not attach";
      const tamb_shm_registry_t &entry = view.entry(i);
      ASSERT_EQ(entry.owner_pid, getpid());
      ASSERT_EQ(entry.size, 100 + i);
      shmid_ds status = SegmentStatus(entry.shm_id);
      ASSERT_EQ(status.shm_segsz, size_t(100 + i));
      ASSERT_EQ(status.shm_perm.mode & 0777, 0666);
      ASSERT_EQ(status.shm_perm.__key, IPC_PRIVATE);
    }
    EXPECT_EQ(tamb_get_free_shm_info(), nullptr);
    hooks::log_clear();
    tamb_shm_info_t extra = {-1, reinterpret_cast<void *>(0x2000)};
    EXPECT_EQ(tamb_shmalloc(64, &extra), -1);
    EXPECT_EQ(hooks::log_messages().size(), 0u) << "a full registry is refused silently";
    EXPECT_EQ(extra.index, -1);
    EXPECT_EQ(extra.address, reinterpret_cast<void *>(0x2000));

    int old_id = view.entry(3).shm_id;
    tamb_destroy_shm(&held[3]);
    EXPECT_TRUE(EntryIsFree(view.entry(3)));
    EXPECT_FALSE(SegmentExists(old_id));
    ASSERT_NE(tamb_get_free_shm_info(), nullptr);
    EXPECT_EQ(tamb_get_free_shm_info()->index, 3);
    ASSERT_EQ(tamb_shmalloc(64, &extra), 0);
    EXPECT_EQ(extra.index, 3);
    EXPECT_EQ(view.entry(3).size, 64);
  });
}

// Registers the server "studio" and allocates size bytes of its own into *mine.
void StudioWithSegment(int32_t size, tamb_shm_info_t *mine) {
  ASSERT_EQ(Register("studio"), 0);
  *mine = kFresh;
  ASSERT_EQ(tamb_shmalloc(size, mine), 0);
}

TEST(Segments, AttachedSegmentIsSharedAcrossProcessesUntilReleased) {
  RunScenario([] {
    tamb_shm_info_t mine;
    ASSERT_NO_FATAL_FAILURE(StudioWithSegment(4096, &mine));
    View view = OpenView();
    ASSERT_EQ(tamb_attach_shm(&mine), 0);
    ASSERT_NE(mine.address, TAMB_SHM_NOT_ATTACHED);
    strcpy(static_cast<char *>(mine.address), "from the server");
    int id = view.entry(mine.index).shm_id;

    int16_t index = mine.index;
    Peer client([index] {
      tamb_shm_info_t theirs = {index, TAMB_SHM_NOT_ATTACHED};
      if (tamb_attach_shm(&theirs) != 0) return 1;
      char *bytes = static_cast<char *>(theirs.address);
      if (strcmp(bytes, "from the server") != 0) return 2;
      strcpy(bytes + 100, "from a client");
      tamb_release_shm(&theirs);
      return 0;
    });
    EXPECT_EQ(client.Result(), 0);
    EXPECT_STREQ(static_cast<char *>(mine.address) + 100, "from a client");
    EXPECT_EQ(client.End(), 0);
    EXPECT_EQ(SegmentStatus(id).shm_nattch, 1u);

    tamb_shm_info_t never = {mine.index, TAMB_SHM_NOT_ATTACHED};
    tamb_release_shm(&never);
    EXPECT_EQ(SegmentStatus(id).shm_nattch, 1u);
    tamb_release_shm(&mine);
    EXPECT_EQ(SegmentStatus(id).shm_nattch, 0u);
    EXPECT_NE(mine.address, TAMB_SHM_NOT_ATTACHED) << "the descriptor itself is not changed";

    // Indexes outside the table, and entries that hold no segment, attach nothing.
    for (int16_t bad : {int16_t{-2}, int16_t{-1}, int16_t{256}, int16_t{5}}) {
      tamb_shm_info_t si = {bad, reinterpret_cast<void *>(0x1000)};
      EXPECT_EQ(tamb_attach_shm(&si), -1) << bad;
      EXPECT_EQ(si.address, TAMB_SHM_NOT_ATTACHED) << bad;
    }
    EXPECT_EQ(SegmentStatus(view.id).shm_nattch, 2u) << "the registry was not attached again";
  });
}

TEST(Segments, ResizeReplacesTheSegmentAndOfAFreshDescriptorAllocates) {
  RunScenario([] {
    ASSERT_EQ(Register("studio"), 0);
    View view = OpenView();
    tamb_shm_info_t si = kFresh;
    tamb_destroy_shm(&si);
    tamb_release_shm(&si);
    EXPECT_TRUE(EntryIsFree(view.entry(0)));

    ASSERT_EQ(tamb_resize_shm(&si, 4096), 0);
    EXPECT_EQ(si.index, 0);
    ASSERT_NE(si.address, TAMB_SHM_NOT_ATTACHED);
    int first_id = view.entry(0).shm_id;
    EXPECT_EQ(SegmentStatus(first_id).shm_nattch, 1u);
    static_cast<char *>(si.address)[0] = 'x';

    ASSERT_EQ(tamb_resize_shm(&si, 8192), 0);
    EXPECT_FALSE(SegmentExists(first_id)) << "detached and removed";
    int second_id = view.entry(si.index).shm_id;
    EXPECT_NE(second_id, first_id);
    EXPECT_EQ(SegmentStatus(second_id).shm_segsz, 8192u);
    EXPECT_EQ(view.entry(si.index).size, 8192);
    EXPECT_EQ(static_cast<char *>(si.address)[0], 0) << "the content is not carried over";
    static_cast<char *>(si.address)[8191] = 'y';

    // A refused size frees the old segment and fails, and leaves the descriptor empty: a retry
    // is a fresh allocation that touches nothing else.
    EXPECT_EQ(tamb_resize_shm(&si, 0), -1);
    EXPECT_FALSE(SegmentExists(second_id));
    EXPECT_EQ(si.index, TAMB_SHM_NULL_INDEX);
    EXPECT_EQ(si.address, TAMB_SHM_NOT_ATTACHED);
    ASSERT_EQ(tamb_resize_shm(&si, 1024), 0);
    EXPECT_EQ(SegmentStatus(view.entry(si.index).shm_id).shm_segsz, 1024u);
    EXPECT_TRUE(SegmentExists(view.id));
    EXPECT_FALSE(SegmentMarkedForRemoval(view.id));
  });
}

// A descriptor whose entry was already freed (destroyed twice, or resized after a failure)
// holds no segment: it must not reach whatever segment has System V id 0 - in a fresh
// namespace, the registry itself.
TEST(Segments, StaleDescriptorNeverReachesAnotherSegment) {
  RunScenario([] {
    ASSERT_EQ(Register("studio"), 0);
    View view = OpenView();
    ASSERT_EQ(view.id, 0) << "precondition: the registry is the namespace's first segment";
    tamb_shm_info_t si = kFresh;
    ASSERT_EQ(tamb_shmalloc(64, &si), 0);
    tamb_destroy_shm(&si);
    ASSERT_TRUE(EntryIsFree(view.entry(si.index)));
    tamb_destroy_shm(&si);
    EXPECT_FALSE(SegmentMarkedForRemoval(view.id));
    EXPECT_EQ(shmget(TAMB_REGISTRY_IPC_KEY, 0, 0), view.id);
    EXPECT_EQ(tamb_attach_shm(&si), -1);
    EXPECT_EQ(SegmentStatus(view.id).shm_nattch, 2u);
  });
}

TEST(Segments, OnlyTheAllocatingProcessReleasesAnEntry) {
  RunScenario([] {
    tamb_shm_info_t mine;
    ASSERT_NO_FATAL_FAILURE(StudioWithSegment(64, &mine));
    View view = OpenView();
    tamb_shm_registry_t before = view.entry(mine.index);

    int16_t index = mine.index;
    Peer other([index]() -> int {
      tamb_release_shm_info(index);
      tamb_shm_info_t theirs = kFresh;
      return tamb_shmalloc(64, &theirs) == 0 ? theirs.index : -1;
    });
    int16_t theirs = static_cast<int16_t>(other.Result());
    ASSERT_EQ(theirs, 1);
    EXPECT_EQ(memcmp(&view.entry(index), &before, sizeof before), 0) << "untouched";

    tamb_shm_registry_t foreign = view.entry(theirs);
    tamb_release_shm_info(theirs);
    EXPECT_EQ(memcmp(&view.entry(theirs), &foreign, sizeof foreign), 0);

    tamb_release_shm_info(index);
    EXPECT_TRUE(EntryIsFree(view.entry(index)));
    EXPECT_TRUE(SegmentExists(before.shm_id)) << "releasing an entry removes no segment";
    shmctl(before.shm_id, IPC_RMID, nullptr);
  });
}

TEST(Segments, CleanupRemovesOwnAndDeadOwnersEntriesAndKeepsLiveOnes) {
  RunScenario([] {
    ASSERT_EQ(Register("studio"), 0);
    View view = OpenView();
    auto allocate = []() -> int {
      tamb_shm_info_t si = kFresh;
      return tamb_shmalloc(256, &si) == 0 ? si.index : -1;
    };
    Peer live(allocate);
    Peer dead(allocate);
    int16_t live_index = static_cast<int16_t>(live.Result());
    int16_t dead_index = static_cast<int16_t>(dead.Result());
    ASSERT_GE(live_index, 0);
    ASSERT_GE(dead_index, 0);
    EXPECT_EQ(dead.End(), 0);
    tamb_shm_info_t own = kFresh;
    ASSERT_EQ(tamb_shmalloc(256, &own), 0);
    ASSERT_EQ(tamb_attach_shm(&own), 0);

    // An entry whose owner is not a positive process id, as corruption would leave it.
    int orphan_id = shmget(IPC_PRIVATE, 256, IPC_CREAT | 0666);
    ASSERT_NE(orphan_id, -1);
    tamb_shm_registry_t &orphan = view.entry(200);
    orphan.owner_pid = -1;
    orphan.size = 256;
    orphan.shm_id = orphan_id;

    tamb_shm_registry_t live_entry = view.entry(live_index);
    int dead_id = view.entry(dead_index).shm_id;
    int own_id = view.entry(own.index).shm_id;
    EXPECT_EQ(tamb_cleanup_shm(), 1);

    EXPECT_EQ(memcmp(&view.entry(live_index), &live_entry, sizeof live_entry), 0);
    EXPECT_TRUE(SegmentExists(live_entry.shm_id));
    EXPECT_FALSE(SegmentMarkedForRemoval(live_entry.shm_id));
    EXPECT_TRUE(EntryIsFree(view.entry(dead_index)));
    EXPECT_FALSE(SegmentExists(dead_id));
    EXPECT_TRUE(EntryIsFree(view.entry(200)));
    EXPECT_FALSE(SegmentExists(orphan_id));
    EXPECT_TRUE(EntryIsFree(view.entry(own.index)));
    EXPECT_TRUE(SegmentMarkedForRemoval(own_id)) << "removed, yet still attached here";
    static_cast<char *>(own.address)[255] = 1;

    EXPECT_EQ(tamb_cleanup_shm(), 1) << "also when nothing is left to remove";
    EXPECT_EQ(memcmp(&view.entry(live_index), &live_entry, sizeof live_entry), 0);
  });
}

// Creates a private segment of each size, the first under key when one is given; 0 on success.
int CreateSegments(std::vector<size_t> sizes, key_t first_key = IPC_PRIVATE) {
  for (size_t i = 0; i < sizes.size(); ++i) {
    key_t key = i == 0 ? first_key : IPC_PRIVATE;
    if (shmget(key, sizes[i], IPC_CREAT | IPC_EXCL | 0666) == -1) return 1;
  }
  return 0;
}

// What processes killed while allocating leave - an entry whose id was never stored, with the
// segment it should have named; an owner's mark without a size; an entry filled without its
// owner - is freed; segments of live processes, of other users, of processes that never held an
// entry, keyed ones and those an entry still names are kept, whatever stale ids point at them.
TEST(Segments, CleanupFreesWhatDeadAllocatorsLeftHalfDoneAndNothingElse) {
  RunScenario([] {
    ASSERT_EQ(Register("studio"), 0);
    View view = OpenView();
    Peer owner([] { return CreateSegments({16384, 8192, 12288, 20480}, 0x7a7a); });
    Peer stranger([] { return CreateSegments({8192, 40960}); });
    Peer live([] {
      tamb_shm_info_t si = kFresh;
      if (tamb_shmalloc(4096, &si) != 0) return -1;
      return CreateSegments({8192, 40960, 24576}) == 0 ? si.index : -1;
    });
    ASSERT_EQ(owner.Result(), 0);
    ASSERT_EQ(stranger.Result(), 0);
    const int live_index = live.Result();
    ASSERT_GE(live_index, 0);
    EXPECT_EQ(owner.End(), 0);
    EXPECT_EQ(stranger.End(), 0);
    const pid_t dead = owner.pid();
    int removed = shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0666);
    ASSERT_EQ(shmctl(removed, IPC_RMID, nullptr), 0);
    // Given to another user; only a privileged test may do that.
    int given = segment_of(dead, 20480);
    shmid_ds status = SegmentStatus(given);
    status.shm_perm.uid = getuid() + 4242;
    bool other_user = shmctl(given, IPC_SET, &status) == 0;

    struct Planted {
      int index;
      int32_t owner, size, id;
      bool freed;
    };
    const Planted planted[] = {
        {10, dead, 8192, -1, true},  // killed after shmget, its id not stored yet
        {11, dead, 0, 0, true},      // killed before the size was stored; 0 is the registry's id
        {12, live.pid(), 12288, segment_of(dead, 12288), false},
        {13, 0, 40960, segment_of(stranger.pid(), 40960), true},  // owner never stored
        {14, 0, 40960, segment_of(live.pid(), 40960), false},     // ... by a process that lives
        {15, 0, TAMB_REGISTRY_SEGMENT_SIZE, view.id, true},       // ... an id naming the registry
        {16, 0, 4096, removed, true},                             // ... an id naming nothing
        {17, dead, 24576, segment_of(live.pid(), 24576), true},   // a stale id, given out again
    };
    for (const Planted &p : planted) {
      ASSERT_TRUE(p.id != -1 || p.index == 10) << p.index;
      tamb_shm_registry_t &entry = view.entry(p.index);
      entry.owner_pid = p.owner;
      entry.size = p.size;
      entry.shm_id = p.id;
    }
    struct Segment {
      const char *what;
      int id;
      bool removed;
    };
    std::vector<Segment> segments = {
        {"dead owner's, unrecorded", segment_of(dead, 8192), true},
        {"dead owner's, named by a live owner's entry", segment_of(dead, 12288), false},
        {"dead owner's, keyed", segment_of(dead, 16384), false},
        {"of a dead process that held no entry", segment_of(stranger.pid(), 8192), false},
        {"of a live process, unrecorded", segment_of(live.pid(), 8192), false},
        {"named by an ownerless entry, creator gone", planted[3].id, true},
        {"named by an ownerless entry, creator alive", planted[4].id, false},
        {"of a live process, under a dead owner's stale id", planted[7].id, false},
        {"the registry", view.id, false},
    };
    if (other_user) segments.push_back({"dead owner's, given to another user", given, false});
    tamb_shm_registry_t live_entry = view.entry(live_index);

    EXPECT_EQ(tamb_cleanup_shm(), 1);
    for (const Segment &segment : segments) {
      ASSERT_NE(segment.id, -1) << segment.what;
      bool gone = !SegmentExists(segment.id) || SegmentMarkedForRemoval(segment.id);
      EXPECT_EQ(gone, segment.removed) << segment.what;
    }
    for (const Planted &p : planted) {
      const tamb_shm_registry_t &entry = view.entry(p.index);
      if (p.freed) {
        EXPECT_TRUE(EntryIsFree(entry)) << p.index;
      } else {
        EXPECT_TRUE(entry.owner_pid == p.owner && entry.size == p.size && entry.shm_id == p.id)
            << p.index;
      }
    }
    EXPECT_EQ(memcmp(&view.entry(live_index), &live_entry, sizeof live_entry), 0);
  });
}

// ---- Faults --------------------------------------------------------------------------------

volatile sig_atomic_t interruptions = 0;

void CountInterruption(int) { interruptions = interruptions + 1; }

// A registry user killed while it holds the lock gives the lock back (the semaphore's undo),
// and a waiter whose wait signals interrupt keeps waiting instead of aborting.
TEST(Faults, KilledLockHolderGivesTheLockBackAndInterruptedWaitsResume) {
  RunScenario([] {
    ASSERT_EQ(Register("studio"), 0);
    int semid = semget(TAMB_REGISTRY_IPC_KEY, 0, 0);
    ASSERT_NE(semid, -1);

    // The holder reports an error while it holds the lock, into a pipe that is full and never
    // read: it stays inside the registry operation until it is killed.
    int full[2];
    ASSERT_EQ(pipe(full), 0);
    ASSERT_EQ(fcntl(full[1], F_SETFL, O_NONBLOCK), 0);
    static char chunk[4096];
    while (write(full[1], chunk, sizeof chunk) > 0) {
    }
    ASSERT_EQ(fcntl(full[1], F_SETFL, 0), 0);
    fflush(stderr);
    pid_t holder = fork();
    if (holder == 0) {
      alarm(25);
      close(full[0]);
      dup2(full[1], STDERR_FILENO);
      hooks::log_set_echo(true);
      tamb_shm_info_t si = kFresh;
      tamb_shmalloc(0, &si);  // refused size: the report is written under the lock
      _exit(0);
    }
    close(full[1]);
    auto deadline = steady_clock::now() + std::chrono::seconds(5);
    while (semctl(semid, 0, GETPID) != holder && steady_clock::now() < deadline) {
      std::this_thread::sleep_for(milliseconds(5));
    }
    ASSERT_EQ(semctl(semid, 0, GETPID), holder);
    ASSERT_EQ(semctl(semid, 0, GETVAL), 0) << "the holder has the lock";

    struct sigaction action = {};
    action.sa_handler = CountInterruption;
    ASSERT_EQ(sigaction(SIGUSR1, &action, nullptr), 0);
    pid_t waiter = getpid();
    pid_t killer = fork();
    if (killer == 0) {
      for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(milliseconds(20));
        kill(waiter, SIGUSR1);
      }
      std::this_thread::sleep_for(milliseconds(20));
      kill(holder, SIGKILL);
      _exit(0);
    }
    tamb_shm_info_t si = kFresh;
    EXPECT_EQ(tamb_shmalloc(64, &si), 0);  // waits until the holder is dead
    EXPECT_EQ(support::wait_for(killer), 0);
    EXPECT_EQ(support::wait_for(holder), 128 + SIGKILL);
    EXPECT_GE(interruptions, 5) << "the wait was interrupted by signals";
    EXPECT_EQ(semctl(semid, 0, GETVAL), 1);
    View view = OpenView();
    EXPECT_EQ(view.entry(si.index).owner_pid, getpid());
    close(full[0]);
  });
}

// Registry users killed anywhere in their registry calls (clean-ups of their own included) - at
// random moments, stopped inside a call, stopped right after shmget returned - leave nothing that
// the clean-up of a live process cannot free; and no clean-up ever takes anything from the
// processes that churn segments all along and check theirs after every step.
TEST(Faults, KilledRegistryUsersLeaveNothingThatCleanupCannotFree) {
  const uint64_t seed = support::test_seed();
  RunScenario([seed] {
    SCOPED_TRACE("seed " + std::to_string(seed));
    ASSERT_EQ(Register("studio"), 0);
    View view = OpenView();
    ASSERT_NE(view.header, nullptr);
    const tamb_shm_registry_t *entries = &view.entry(0);
    support::Leftovers found;
    int kill_number = 0;
    support::KillRun run = support::run_kills(seed, 51, 3, true, [&] {
      ++kill_number;
      support::Leftovers left = support::count_leftovers(entries);
      found.segments += left.segments;
      found.entries += left.entries;
      EXPECT_EQ(tamb_cleanup_shm(), 1);
      left = support::count_leftovers(entries);
      EXPECT_EQ(left.segments, 0) << "unrecorded segments after kill " << kill_number;
      EXPECT_EQ(left.entries, 0) << "entries of dead owners after kill " << kill_number;
    });
    printf(
        "%d kills (%d at random, %d inside a call, %d after shmget): %d unrecorded segments and "
        "%d dead entries met by the clean-ups\n",
        run.total(), run.kills[0], run.kills[1], run.kills[2], found.segments, found.entries);
    EXPECT_EQ(run.total(), 51);
    EXPECT_EQ(run.faults, 0) << "a worker lost a segment, or ended unplanned";
    EXPECT_EQ(run.astray, 0) << "a victim did not stop where it was to be killed";
    EXPECT_GE(found.segments, run.kills[2]) << "each kill after shmget leaves one";

    // The churners freed their own on the way out: a fresh registry is left.
    for (int i = 0; i < TAMB_REGISTRY_MAX_SEGMENTS; ++i) {
      EXPECT_EQ(view.entry(i).index, i);
      EXPECT_TRUE(EntryIsFree(view.entry(i))) << i;
    }
    shm_info usage{};
    ASSERT_NE(shmctl(0, SHM_INFO, reinterpret_cast<shmid_ds *>(&usage)), -1);
    EXPECT_EQ(usage.used_ids, 1) << "only the registry segment is left";
    EXPECT_EQ(semctl(semget(TAMB_REGISTRY_IPC_KEY, 0, 0), 0, GETVAL), 1);
  });
}

// ---- Fatal lock failures -------------------------------------------------------------------

std::string FatalPattern(const char *call, int error) {
  return std::string("Fatal TAMB semaphore error: ") + call + " \\(" + strerror(error) + "\\)";
}

TEST(RegistryDeathTest, LostSemaphoreAbortsWithTheFailedCall) {
  if (!support::ipc_is_private()) GTEST_SKIP() << "no private IPC namespace here";
  EXPECT_EXIT(
      {
        std::string why;
        if (!support::enter_ipc_namespace(&why)) _exit(support::child_skipped);
        if (Register("studio") != 0) _exit(2);
        semctl(semget(TAMB_REGISTRY_IPC_KEY, 0, 0), 0, IPC_RMID);
        tamb_shm_info_t si = kFresh;
        tamb_shmalloc(64, &si);
        _exit(0);
      },
      ::testing::KilledBySignal(SIGABRT), FatalPattern("semop", EINVAL));
}

bool ForbidSemaphoreSets() {
  std::ofstream("/proc/sys/kernel/sem") << "250 32000 32 0\n";
  std::ifstream check("/proc/sys/kernel/sem");
  int semmsl = 0, semmns = 0, semopm = 0, semmni = -1;
  check >> semmsl >> semmns >> semopm >> semmni;
  return semmni == 0;
}

TEST(RegistryDeathTest, SemaphoreThatCannotBeCreatedAbortsWithTheFailedCall) {
  int status = support::run_in_child([] {
    std::string why;
    if (!support::enter_ipc_namespace(&why)) return support::child_skipped;
    return ForbidSemaphoreSets() ? 0 : support::child_skipped;
  });
  if (status == support::child_skipped) GTEST_SKIP() << "cannot limit semaphore sets here";
  ASSERT_EQ(status, 0);
  EXPECT_EXIT(
      {
        std::string why;
        if (!support::enter_ipc_namespace(&why) || !ForbidSemaphoreSets()) _exit(2);
        tamb_initialize_shm("studio");
        _exit(0);
      },
      ::testing::KilledBySignal(SIGABRT), FatalPattern("semget creation", ENOSPC));
}

}  // namespace
