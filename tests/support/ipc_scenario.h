// SPDX-License-Identifier: MIT
// A test scenario run in a forked child inside a fresh System V IPC namespace, for the suites
// that build registries of their own; registry users killed at chosen moments; and a count of
// what dead registry users left behind.
//
// The header also stands in for three C library functions in front of libtamb (at its end):
// include it from one source file per test binary.
#ifndef TAMB_TEST_IPC_SCENARIO_H
#define TAMB_TEST_IPC_SCENARIO_H

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "log_capture.h"
#include "support.h"
#include "tamb/shm.h"

namespace support {

// Runs scenario in the child and reports its verdict. The scenario asserts with the usual
// macros; the child's exit status carries the outcome back. A registry that deadlocks, or a tool
// that never gets it, fails the test after 20 s instead of hanging it.
inline void run_ipc_scenario(const std::function<void()> &scenario) {
  int status = run_in_child([&] {
    std::string why;
    if (!enter_ipc_namespace(&why)) {
      fprintf(stderr, "skipped: %s\n", why.c_str());
      return child_skipped;
    }
    alarm(20);
    hooks::log_set_echo(false);
    scenario();
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  if (status == child_skipped) GTEST_SKIP() << "no private IPC namespace here";
  EXPECT_EQ(status, 0) << "the scenario failed; its report is above";
}

// The registry's entries as any process sees them, attached by key; null without a registry.
// Forked children keep the attachment.
inline const tamb_shm_registry_t *registry_entries() {
  int id = shmget(TAMB_REGISTRY_IPC_KEY, 0, 0);
  void *address = id == -1 ? reinterpret_cast<void *>(-1) : shmat(id, nullptr, SHM_RDONLY);
  if (address == reinterpret_cast<void *>(-1)) return nullptr;
  return reinterpret_cast<const tamb_shm_registry_t *>(static_cast<char *>(address) +
                                                       TAMB_REGISTRY_HEADER_SIZE);
}

inline bool process_gone(pid_t pid) { return pid <= 0 || (kill(pid, 0) == -1 && errno == ESRCH); }

// Calls visit(id, status) for every segment of this IPC namespace.
inline void for_each_segment(const std::function<void(int, const shmid_ds &)> &visit) {
  shm_info usage{};
  int last = shmctl(0, SHM_INFO, reinterpret_cast<shmid_ds *>(&usage));
  for (int slot = 0; slot <= last; ++slot) {
    shmid_ds status{};
    int id = shmctl(slot, SHM_STAT, &status);
    if (id != -1) visit(id, status);
  }
}

// The segment that creator made of size bytes, or -1.
inline int segment_of(pid_t creator, size_t size) {
  int found = -1;
  for_each_segment([&](int id, const shmid_ds &status) {
    if (status.shm_cpid == creator && status.shm_segsz == size) found = id;
  });
  return found;
}

// What dead registry users left that nobody could use or free any more: private segments, not
// being removed, whose creator is gone and that no entry names; and entries held by a gone
// owner or filled without one.
struct Leftovers {
  int segments = 0;
  int entries = 0;
};

inline Leftovers count_leftovers(const tamb_shm_registry_t *entries) {
  Leftovers left;
  for (int i = 0; i < TAMB_REGISTRY_MAX_SEGMENTS; ++i) {
    const tamb_shm_registry_t &entry = entries[i];
    if (entry.owner_pid != 0 ? process_gone(entry.owner_pid) : entry.size != 0) ++left.entries;
  }
  for_each_segment([&](int id, const shmid_ds &status) {
    if (status.shm_perm.__key != IPC_PRIVATE || (status.shm_perm.mode & SHM_DEST) != 0) return;
    for (int i = 0; i < TAMB_REGISTRY_MAX_SEGMENTS; ++i) {
      if (entries[i].size != 0 && entries[i].shm_id == id) return;
    }
    if (process_gone(status.shm_cpid)) ++left.segments;
  });
  return left;
}

// ---- Registry users killed at chosen moments ------------------------------------------------

// Where a registry user stops itself with SIGSTOP, so that the test kills it right there.
enum class StopPoint { none, after_shmget, lock_taken, before_unlock, after_remove };

// This process's stop point and how many passes of it go by first. Set in killed workers only.
inline StopPoint stop_point = StopPoint::none;
inline int stop_passes = 0;

inline void stop_if_due(StopPoint point) {
  if (point == stop_point && stop_passes-- == 0) raise(SIGSTOP);
}

// Allocates, resizes and destroys up to three segments of its own in random order, and checks
// after every step that each entry it holds is still its own and each segment keeps the stamp it
// wrote; with cleans, now and then runs the clean-up, which frees its own segments too. Runs
// until *stop is set, then frees its segments; returns 0, or the number of the first fault it
// met.
inline int churn_segments(const tamb_shm_registry_t *entries, uint64_t seed, bool cleans,
                          const std::atomic<bool> *stop) {
  struct Held {
    tamb_shm_info_t si = {TAMB_SHM_NULL_INDEX, TAMB_SHM_NOT_ATTACHED};
    int id = -1;
    int32_t size = 0;
    uint32_t stamp = 0;
  };
  std::mt19937_64 random(seed);
  const int32_t self = getpid();
  Held held[3];
  uint32_t stamps = 0;
  auto take = [&](Held &h, int32_t size) {
    const tamb_shm_registry_t &entry = entries[h.si.index];
    if (entry.size != size) return false;
    h.id = entry.shm_id;
    h.size = size;
    h.stamp = ++stamps;
    memcpy(h.si.address, &h.stamp, sizeof h.stamp);
    return true;
  };
  while (!stop->load(std::memory_order_relaxed)) {
    if (cleans && random() % 16 == 0) {
      tamb_cleanup_shm();
      for (Held &h : held) {
        tamb_release_shm(&h.si);
        h = Held();
      }
      continue;
    }
    Held &h = held[random() % 3];
    int32_t size = 4096 * static_cast<int32_t>(1 + random() % 4);
    if (random() % 3 != 0) {  // resize; of an empty descriptor it allocates
      if (tamb_resize_shm(&h.si, size) != 0) return 1;
      if (!take(h, size)) return 2;
    } else if (h.si.index == TAMB_SHM_NULL_INDEX) {
      if (tamb_shmalloc(size, &h.si) != 0 || tamb_attach_shm(&h.si) != 0) return 3;
      if (!take(h, size)) return 4;
    } else {
      tamb_release_shm(&h.si);
      tamb_destroy_shm(&h.si);
      h = Held();
    }
    for (const Held &k : held) {
      if (k.si.index == TAMB_SHM_NULL_INDEX) continue;
      const tamb_shm_registry_t &entry = entries[k.si.index];
      if (entry.owner_pid != self || entry.shm_id != k.id || entry.size != k.size) return 5;
      uint32_t stamp;
      memcpy(&stamp, k.si.address, sizeof stamp);
      if (stamp != k.stamp) return 6;
    }
  }
  for (Held &h : held) {
    tamb_release_shm(&h.si);
    tamb_destroy_shm(&h.si);
  }
  return 0;
}

// How a run of killed registry users went.
struct KillRun {
  int kills[3] = {};  // at a random moment, inside a registry call, right after shmget
  int faults = 0;     // workers that met a fault, or ended other than as planned
  int astray = 0;     // victims that did not stop where they were to be killed
  int total() const { return kills[0] + kills[1] + kills[2]; }
};

// Runs kills victims one after another beside churners processes that churn all along. Each
// victim churns too (and with victims_clean runs the clean-up now and then) until it is
// SIGKILLed, by turns: at a random moment; stopped inside a registry call (the lock just taken,
// about to be given back, or a segment just removed); and stopped right after its shmget
// returned; a stop at a random pass of its point. after_kill runs once each victim is reaped. At
// the end the churners free their segments and exit. Requires an attached registry; the workers
// are forked from the caller and share its attachment.
inline KillRun run_kills(uint64_t seed, int kills, int churners, bool victims_clean,
                         const std::function<void()> &after_kill) {
  const tamb_shm_registry_t *entries = registry_entries();
  void *shared = mmap(nullptr, sizeof(std::atomic<bool>), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (entries == nullptr || shared == MAP_FAILED) abort();
  auto *stop = new (shared) std::atomic<bool>(false);
  std::mt19937_64 random(seed);
  auto spawn = [&](StopPoint point, int passes, bool cleans) {
    uint64_t worker_seed = random();
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
      alarm(25);
      stop_point = point;
      stop_passes = passes;
      _exit(churn_segments(entries, worker_seed, cleans, stop));
    }
    return pid;
  };

  KillRun run;
  std::vector<pid_t> background;
  for (int i = 0; i < churners; ++i) background.push_back(spawn(StopPoint::none, 0, false));
  static const StopPoint inside[] = {StopPoint::lock_taken, StopPoint::before_unlock,
                                     StopPoint::after_remove};
  for (int i = 0; i < kills; ++i) {
    int kind = i % 3;
    StopPoint point = kind == 0   ? StopPoint::none
                      : kind == 1 ? inside[random() % 3]
                                  : StopPoint::after_shmget;
    int passes = static_cast<int>(random() % 6);
    auto delay = std::chrono::microseconds(random() % 10000);
    pid_t victim = spawn(point, passes, victims_clean);
    int status = -1;
    bool stopped = false;
    if (point == StopPoint::none) {
      std::this_thread::sleep_for(delay);
    } else {
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (std::chrono::steady_clock::now() < deadline) {
        int raw = 0;
        if (waitpid(victim, &raw, WUNTRACED | WNOHANG) == victim) {
          stopped = WIFSTOPPED(raw);
          if (!stopped) status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
          break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
      if (!stopped) ++run.astray;
    }
    kill(victim, SIGKILL);
    if (status == -1) status = wait_for(victim);
    if (status != 128 + SIGKILL) ++run.faults;
    ++run.kills[kind];
    after_kill();
  }
  stop->store(true);
  for (pid_t pid : background) {
    if (wait_for(pid) != 0) ++run.faults;
  }
  munmap(shared, sizeof(std::atomic<bool>));
  return run;
}

}  // namespace support

// Stand-ins for the C library's shmget, semop and shmctl. libtamb finds them first, since the
// test binary is searched before the libraries; each calls the real function and stops the
// process where its stop point says.
extern "C" {

int shmget(key_t key, size_t size, int flags) noexcept {
  using Call = int (*)(key_t, size_t, int);
  static const auto real = reinterpret_cast<Call>(dlsym(RTLD_NEXT, "shmget"));
  int id = real(key, size, flags);
  if (id != -1 && key == IPC_PRIVATE) support::stop_if_due(support::StopPoint::after_shmget);
  return id;
}

int semop(int semid, sembuf *ops, size_t count) noexcept {
  using Call = int (*)(int, sembuf *, size_t);
  static const auto real = reinterpret_cast<Call>(dlsym(RTLD_NEXT, "semop"));
  bool lock_change = count == 1 && (ops[0].sem_flg & SEM_UNDO) != 0;
  if (lock_change && ops[0].sem_op > 0) support::stop_if_due(support::StopPoint::before_unlock);
  int result = real(semid, ops, count);
  if (result == 0 && lock_change && ops[0].sem_op < 0) {
    support::stop_if_due(support::StopPoint::lock_taken);
  }
  return result;
}

int shmctl(int id, int command, shmid_ds *status) noexcept {
  using Call = int (*)(int, int, shmid_ds *);
  static const auto real = reinterpret_cast<Call>(dlsym(RTLD_NEXT, "shmctl"));
  int result = real(id, command, status);
  if (result == 0 && command == IPC_RMID) support::stop_if_due(support::StopPoint::after_remove);
  return result;
}

}  // extern "C"

#endif
