// SPDX-License-Identifier: MIT
// tamb-shm, run as operators run it, against registries with live and dead processes, a damaged
// registry and a registry another process holds locked.
//
// Every scenario runs in a forked child inside an IPC namespace of its own; the tool, started
// from there, inherits the namespace and meets only the scenario's registry.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "hooks.h"
#include "ipc_scenario.h"
#include "support.h"
#include "tamb/shm.h"

namespace {

void RunScenario(const std::function<void()> &scenario) { support::run_ipc_scenario(scenario); }

// One run of the tool with its output.
class Tool {
 public:
  explicit Tool(std::vector<std::string> args) {
    if (pipe(out_) != 0 || pipe(err_) != 0) abort();
    fflush(stdout);
    fflush(stderr);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out_[1], STDOUT_FILENO);
      dup2(err_[1], STDERR_FILENO);
      std::vector<char *> argv = {const_cast<char *>(TAMB_SHM_TOOL)};
      for (std::string &arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out_[1]);
    close(err_[1]);
  }

  bool Running() const {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
  }

  // Waits for the tool; its output fits the pipes.
  int Finish() {
    status = support::wait_for(pid_);
    out = Drain(out_[0]);
    err = Drain(err_[0]);
    return status;
  }

  int status = -1;
  std::string out;
  std::string err;

 private:
  static std::string Drain(int fd) {
    std::string text;
    char buf[4096];
    ssize_t got;
    while ((got = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(got));
    close(fd);
    return text;
  }

  pid_t pid_ = -1;
  int out_[2];
  int err_[2];
};

Tool RunTool(std::vector<std::string> args) {
  Tool tool(std::move(args));
  tool.Finish();
  return tool;
}

// The registry as the tool's caller sees it, copied whole.
std::string RegistryBytes() {
  int id = shmget(TAMB_REGISTRY_IPC_KEY, 0, 0);
  shmid_ds status{};
  if (id == -1 || shmctl(id, IPC_STAT, &status) == -1) return "";
  void *address = shmat(id, nullptr, SHM_RDONLY);
  if (address == reinterpret_cast<void *>(-1)) return "";
  std::string bytes(static_cast<const char *>(address), status.shm_segsz);
  shmdt(address);
  return bytes;
}

const tamb_shm_registry_t &Entry(const std::string &bytes, int i) {
  return reinterpret_cast<const tamb_shm_registry_t *>(bytes.data() + TAMB_REGISTRY_HEADER_SIZE)[i];
}

const tamb_shm_server_t &Slot(const std::string &bytes, int i) {
  return reinterpret_cast<const tamb_shm_header_t *>(bytes.data())->servers[i];
}

bool SegmentExists(int id) {
  shmid_ds status{};
  return shmctl(id, IPC_STAT, &status) == 0;
}

// A process that registers as a server of name (when given), allocates one segment of each size
// and exits at once: the registry keeps what it held. It runs as user when one is given.
pid_t CrashAfterAllocating(const char *name, std::vector<int32_t> sizes, uid_t user = 0) {
  pid_t pid = fork();
  if (pid == 0) {
    if (user != 0 && !support::become_user(user)) _exit(3);
    if (name != nullptr && tamb_register_server(name, 0) != 0) _exit(1);
    for (int32_t size : sizes) {
      tamb_shm_info_t si = {TAMB_SHM_NULL_INDEX, TAMB_SHM_NOT_ATTACHED};
      if (tamb_shmalloc(size, &si) != 0) _exit(2);
    }
    _exit(0);
  }
  EXPECT_EQ(support::wait_for(pid), 0);
  return pid;
}

// The line of text that holds needle, or "" when none does.
std::string LineWith(const std::string &text, const std::string &needle) {
  size_t at = text.find(needle);
  if (at == std::string::npos) return "";
  size_t start = text.rfind('\n', at);
  start = start == std::string::npos ? 0 : start + 1;
  return text.substr(start, text.find('\n', at) - start);
}

std::string Json(const char *key, long value) {
  return "\"" + std::string(key) + "\":" + std::to_string(value);
}

TEST(ShmTool, ListsLiveAndDeadAndCleanFreesOnlyTheDead) {
  RunScenario([] {
    ASSERT_EQ(tamb_register_server("studio", 0), 0);
    tamb_shm_info_t live = {TAMB_SHM_NULL_INDEX, TAMB_SHM_NOT_ATTACHED};
    ASSERT_EQ(tamb_shmalloc(4096, &live), 0);
    ASSERT_EQ(tamb_attach_shm(&live), 0);
    pid_t dead = CrashAfterAllocating("crashed", {256, 512});
    std::string before = RegistryBytes();
    int dead_id = Entry(before, 1).shm_id;
    ASSERT_EQ(Entry(before, 1).owner_pid, dead);
    ASSERT_EQ(Slot(before, 1).pid, dead);

    Tool list = RunTool({});
    EXPECT_EQ(list.status, 0) << list.err;
    std::string self = std::to_string(getpid());
    std::string gone = std::to_string(dead);
    EXPECT_NE(LineWith(list.out, ":studio:").find(" " + self + " "), std::string::npos);
    EXPECT_NE(LineWith(list.out, ":studio:").find(" alive "), std::string::npos) << list.out;
    EXPECT_NE(LineWith(list.out, ":crashed:").find(" " + gone + " "), std::string::npos);
    EXPECT_NE(LineWith(list.out, ":crashed:").find(" dead "), std::string::npos) << list.out;
    EXPECT_NE(LineWith(list.out, " 512 ").find(" dead "), std::string::npos) << list.out;
    EXPECT_NE(LineWith(list.out, " 512 ").find(" exists"), std::string::npos) << list.out;
    Tool json = RunTool({"--json", "list"});
    EXPECT_EQ(json.status, 0);
    EXPECT_NE(json.out.find(
                  "{\"index\":0," + Json("owner_pid", getpid()) + ",\"alive\":true,\"size\":4096," +
                  Json("shm_id", Entry(before, 0).shm_id) + ",\"exists\":true,\"attached\":1}"),
              std::string::npos)
        << json.out;
    EXPECT_NE(
        json.out.find("{\"index\":2," + Json("owner_pid", dead) + ",\"alive\":false,\"size\":512"),
        std::string::npos)
        << json.out;

    Tool dry = RunTool({"clean", "--dry-run"});
    EXPECT_EQ(dry.status, 0) << dry.err;
    EXPECT_NE(dry.out.find("would free 1 server slot and 2 segment entries; nothing changed"),
              std::string::npos)
        << dry.out;
    EXPECT_EQ(RegistryBytes(), before) << "a dry run changes nothing";
    EXPECT_TRUE(SegmentExists(dead_id));

    Tool clean = RunTool({"clean"});
    EXPECT_EQ(clean.status, 0) << clean.err;
    EXPECT_NE(clean.out.find("freed server slot 1 of dead pid " + gone), std::string::npos);
    EXPECT_NE(clean.out.find("freed segment entry 1 of dead pid " + gone + " (256 bytes"),
              std::string::npos)
        << clean.out;
    EXPECT_NE(clean.out.find("freed 1 server slot and 2 segment entries"), std::string::npos);
    std::string after = RegistryBytes();
    EXPECT_EQ(memcmp(&Entry(after, 0), &Entry(before, 0), TAMB_REGISTRY_ENTRY_SIZE), 0);
    EXPECT_EQ(memcmp(&Slot(after, 0), &Slot(before, 0), sizeof(tamb_shm_server_t)), 0);
    EXPECT_EQ(Slot(after, 1).pid, 0);
    EXPECT_EQ(Slot(after, 1).prefix[0], 0);
    for (int i : {1, 2}) {
      EXPECT_EQ(Entry(after, i).size, 0);
      EXPECT_EQ(Entry(after, i).owner_pid, 0);
      EXPECT_FALSE(SegmentExists(Entry(before, i).shm_id));
    }
    shmid_ds live_segment{};
    ASSERT_EQ(shmctl(Entry(before, 0).shm_id, IPC_STAT, &live_segment), 0);
    EXPECT_EQ(live_segment.shm_perm.mode & SHM_DEST, 0) << "the live segment stays";

    Tool again = RunTool({"--json", "clean"});
    EXPECT_EQ(again.status, 1) << "nothing left to free";
    EXPECT_EQ(again.out,
              "{\"registry\":\"ok\",\"dry_run\":false,\"servers\":[],\"segments\":[],"
              "\"unrecorded\":[]}\n");
  });
}

size_t Count(const std::string &text, const std::string &needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

// After registry users were killed anywhere in their registry calls, the dry run names every
// segment they created and never recorded, and every entry filled without its owner, and
// changes nothing; clean frees exactly those, so that nothing dead processes left remains. An
// ownerless entry whose segment a live process made is kept.
TEST(ShmTool, CleanFreesWhatKilledRegistryUsersLeft) {
  const uint64_t seed = support::test_seed();
  RunScenario([seed] {
    SCOPED_TRACE("seed " + std::to_string(seed));
    ASSERT_EQ(tamb_register_server("studio", 0), 0);
    const tamb_shm_registry_t *entries = support::registry_entries();
    ASSERT_NE(entries, nullptr);
    support::KillRun run = support::run_kills(seed, 51, 2, false, [] {});
    EXPECT_EQ(run.faults, 0);
    EXPECT_EQ(run.astray, 0);

    pid_t gone = fork();
    if (gone == 0) _exit(shmget(IPC_PRIVATE, 40960, IPC_CREAT | 0666) == -1);
    ASSERT_EQ(support::wait_for(gone), 0);
    int dead_id = support::segment_of(gone, 40960);
    int live_id = shmget(IPC_PRIVATE, 40960, IPC_CREAT | 0666);
    auto *writable = static_cast<char *>(shmat(shmget(TAMB_REGISTRY_IPC_KEY, 0, 0), nullptr, 0));
    auto *planted = reinterpret_cast<tamb_shm_registry_t *>(writable + TAMB_REGISTRY_HEADER_SIZE);
    planted[250] = {250, {}, 0, 40960, dead_id};
    planted[251] = {251, {}, 0, 40960, live_id};

    support::Leftovers left = support::count_leftovers(entries);
    EXPECT_GE(left.segments, run.kills[2]) << "each kill after shmget leaves one";
    std::string before = RegistryBytes();
    Tool dry = RunTool({"clean", "--dry-run"});
    EXPECT_EQ(dry.status, 0) << dry.err;
    EXPECT_EQ(Count(dry.out, "would free unrecorded segment "), size_t(left.segments)) << dry.out;
    EXPECT_NE(dry.out.find("would free segment entry 250 of no owner (40960 bytes, shm id " +
                           std::to_string(dead_id) + ")"),
              std::string::npos)
        << dry.out;
    EXPECT_EQ(dry.out.find("entry 251 "), std::string::npos) << "its segment's creator lives";
    EXPECT_NE(dry.out.find(" and " + std::to_string(left.segments) +
                           " unrecorded segments; nothing changed"),
              std::string::npos)
        << dry.out;
    Tool json = RunTool({"--json", "clean", "--dry-run"});
    EXPECT_NE(json.out.find(",\"unrecorded\":[{\"shm_id\":"), std::string::npos) << json.out;
    EXPECT_EQ(RegistryBytes(), before) << "a dry run changes nothing";
    EXPECT_EQ(support::count_leftovers(entries).segments, left.segments);

    Tool clean = RunTool({"clean"});
    EXPECT_EQ(clean.status, 0) << clean.err;
    EXPECT_EQ(Count(clean.out, "freed unrecorded segment "), size_t(left.segments)) << clean.out;
    EXPECT_NE(clean.out.find("freed segment entry 250 of no owner"), std::string::npos);
    printf("%d kills: tamb-shm clean freed %d unrecorded segments and %d dead entries\n",
           run.total(), left.segments, left.entries - 1);
    left = support::count_leftovers(entries);
    EXPECT_EQ(left.segments, 0);
    EXPECT_EQ(left.entries, 1) << "only the ownerless entry of a live creator";
    EXPECT_EQ(planted[251].shm_id, live_id);
    for (int i = 0; i < 251; ++i) EXPECT_EQ(planted[i].size, 0) << i;
    EXPECT_FALSE(SegmentExists(dead_id));
    shm_info usage{};
    ASSERT_NE(shmctl(0, SHM_INFO, reinterpret_cast<shmid_ds *>(&usage)), -1);
    EXPECT_EQ(usage.used_ids, 2) << "the registry and the live creator's segment";
    shmdt(writable);
  });
}

// The tool and the library judge processes by one rule: another user's process, which they may
// not signal, is alive, and its slot and entry stay; a dead server's slot and entry go. The
// library's dry run, the tool's and its clean name the same.
TEST(ShmTool, ToolAndLibraryKeepAnotherUsersProcessAndFreeTheDead) {
  const uid_t user = support::other_user;
  if (support::run_in_child([&] { return support::become_user(user) ? 0 : 1; }) != 0) {
    GTEST_SKIP() << "cannot switch to another user here";
  }
  RunScenario([&] {
    ASSERT_EQ(tamb_register_server("studio", 0), 0);
    tamb_shm_info_t live = {TAMB_SHM_NULL_INDEX, TAMB_SHM_NOT_ATTACHED};
    ASSERT_EQ(tamb_shmalloc(4096, &live), 0);
    pid_t dead = CrashAfterAllocating("crashed", {256}, user);
    std::string before = RegistryBytes();
    std::string gone = std::to_string(dead);

    int status = support::run_in_child([&] {
      if (!support::become_user(user)) return 1;
      tamb_shm_clean_report_t report;
      EXPECT_EQ(tamb_shm_clean(1, &report), 2);
      EXPECT_EQ(report.servers[0].pid, 0) << "root's live server is kept";
      EXPECT_EQ(report.servers[1].pid, dead);
      EXPECT_EQ(report.entries[0].owner_pid, 0) << "root's live entry is kept";
      EXPECT_EQ(report.entries[1].owner_pid, dead);
      EXPECT_EQ(report.unrecorded_count, 0);
      free(report.unrecorded);

      for (const char *verb : {"would free", "freed"}) {
        bool dry = verb[0] == 'w';
        Tool clean = RunTool(dry ? std::vector<std::string>{"clean", "--dry-run"}
                                 : std::vector<std::string>{"clean"});
        EXPECT_EQ(clean.status, 0) << clean.err;
        EXPECT_EQ(clean.out, std::string(verb) + " server slot 1 of dead pid " + gone + " (/tamb-" +
                                 std::to_string(user) + ":crashed:)\n" + verb +
                                 " segment entry 1 of dead pid " + gone + " (256 bytes, shm id " +
                                 std::to_string(Entry(before, 1).shm_id) + ")\n" + verb +
                                 " 1 server slot and 1 segment entry" +
                                 (dry ? "; nothing changed" : "") + "\n");
      }
      // The clean-up that servers run keeps root's live entry too (checked below).
      EXPECT_EQ(tamb_cleanup_shm(), 1);
      return ::testing::Test::HasFailure() ? 1 : 0;
    });
    EXPECT_EQ(status, 0);
    std::string after = RegistryBytes();
    EXPECT_EQ(memcmp(&Slot(after, 0), &Slot(before, 0), sizeof(tamb_shm_server_t)), 0);
    EXPECT_EQ(memcmp(&Entry(after, 0), &Entry(before, 0), TAMB_REGISTRY_ENTRY_SIZE), 0);
    EXPECT_EQ(Slot(after, 1).pid, 0);
    EXPECT_EQ(Entry(after, 1).size, 0);
    EXPECT_FALSE(SegmentExists(Entry(before, 1).shm_id));
  });
}

// A registry of an older protocol, and a segment too small to be one, are refused with the
// library's message and left as they are, whatever the command.
TEST(ShmTool, DamagedRegistryIsReportedAndLeftAlone) {
  RunScenario([] {
    for (size_t size : {size_t{TAMB_REGISTRY_SEGMENT_SIZE}, size_t{100}}) {
      int id = shmget(TAMB_REGISTRY_IPC_KEY, size, IPC_CREAT | IPC_EXCL | 0666);
      ASSERT_NE(id, -1);
      auto *bytes = static_cast<char *>(shmat(id, nullptr, 0));
      memset(bytes, 0, size);
      if (size == TAMB_REGISTRY_SEGMENT_SIZE) {
        auto *header = reinterpret_cast<tamb_shm_header_t *>(bytes);
        header->magic = TAMB_REGISTRY_MAGIC;
        header->protocol = TAMB_REGISTRY_PROTOCOL - 1;
        header->servers[0].pid = 999999;  // a dead server, which must stay
        auto *entry = reinterpret_cast<tamb_shm_registry_t *>(bytes + TAMB_REGISTRY_HEADER_SIZE);
        entry->owner_pid = 999999;
        entry->size = 64;
      }
      std::string before = RegistryBytes();
      for (const std::vector<std::string> &args :
           {std::vector<std::string>{}, {"clean"}, {"--json", "clean", "--dry-run"}}) {
        Tool tool = RunTool(args);
        EXPECT_EQ(tool.status, 1);
        EXPECT_NE(tool.err.find("Incompatible shm registry, are tambd and libtamb in sync?"),
                  std::string::npos)
            << tool.err;
        EXPECT_NE(tool.err.find("to delete, use `ipcrm -M 0x00282929'"), std::string::npos);
        if (args.size() == 3) {
          EXPECT_EQ(tool.out, "{\"registry\":\"incompatible\"}\n");
        }
      }
      EXPECT_EQ(shmget(TAMB_REGISTRY_IPC_KEY, 0, 0), id);
      EXPECT_EQ(RegistryBytes(), before);
      shmdt(bytes);
      shmctl(id, IPC_RMID, nullptr);
    }
    Tool none = RunTool({"--json"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, "{\"registry\":\"absent\"}\n");
  });
}

// The tool waits for a process that holds the registry; when that process is killed the
// semaphore's undo gives the lock back and the tool goes on.
TEST(ShmTool, WaitsForTheLockThatAKilledHolderGivesBack) {
  RunScenario([] {
    ASSERT_EQ(tamb_register_server("studio", 0), 0);
    CrashAfterAllocating(nullptr, {128});
    int semid = semget(TAMB_REGISTRY_IPC_KEY, 0, 0);
    ASSERT_NE(semid, -1);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    if (holder == 0) {
      alarm(15);
      sembuf take = {0, -1, SEM_UNDO};
      if (semop(semid, &take, 1) != 0 || write(ready[1], "x", 1) != 1) _exit(1);
      pause();
      _exit(0);
    }
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);

    Tool list({});
    Tool clean({"clean"});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(list.Running()) << "the tool read the registry without the lock";
    EXPECT_TRUE(clean.Running()) << "the tool went ahead without the lock";
    EXPECT_NE(Entry(RegistryBytes(), 0).size, 0);
    kill(holder, SIGKILL);
    EXPECT_EQ(support::wait_for(holder), 128 + SIGKILL);
    EXPECT_EQ(list.Finish(), 0) << list.err;
    EXPECT_EQ(clean.Finish(), 0) << clean.err;
    EXPECT_NE(clean.out.find("freed 0 server slots and 1 segment entry"), std::string::npos)
        << clean.out;
    EXPECT_EQ(Entry(RegistryBytes(), 0).size, 0);
    EXPECT_EQ(semctl(semid, 0, GETVAL), 1) << "the tool gave the lock back";
    close(ready[0]);
    close(ready[1]);
  });
}

}  // namespace
