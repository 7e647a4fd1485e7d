// SPDX-License-Identifier: MIT
// The store on a small file system that fills up, as /dev/shm and /run often are: a tmpfs of
// 24 MB in a private mount namespace holds the server directory. First two processes fill it
// with properties themselves, one creating the store and one joining it; then, the disk held at
// levels of free space from none to more than a new environment needs, pairs of new processes
// recover, create and join the store there. No process dies of a signal, no call takes a second,
// every call that fails says "No space left on device", and once there is room again every
// property that a set stored is there and sets work.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "metadata_children.h"
#include "support.h"
#include "tamb/metadata.h"

// Berkeley DB keeps the heap of an environment that it declared failed when its handles are
// closed, and a process beside a recovery discards its handles that way.
extern "C" const char *__lsan_default_suppressions() { return "leak:libdb-5.3.so\n"; }

namespace {

using Clock = std::chrono::steady_clock;
using metadata_children::Gate;

constexpr tamb_uuid_t kFirstClient = 8589934593u;
constexpr long kMegabyte = 1 << 20;
// A process stops setting when this many sets in a row found no room.
constexpr int kFailuresInARow = 20;
// The sanitizers slow Berkeley DB's recovery down several times over, ThreadSanitizer most.
#if defined(__SANITIZE_THREAD__)
constexpr double kCallSeconds = 10.0;
#elif defined(__SANITIZE_ADDRESS__)
constexpr double kCallSeconds = 3.0;
#else
constexpr double kCallSeconds = 1.0;
#endif

// Property i: values of two sizes, so that the file grows by pages of overflow too.
tamb_uuid_t Subject(int i) { return kFirstClient + static_cast<tamb_uuid_t>(i % 40); }
std::string Key(int i) { return "p" + std::to_string(i); }
std::string Value(int i) {
  return std::string(i % 3 == 0 ? 2500 : 150, static_cast<char>('a' + i % 26)) + std::to_string(i);
}

// What a process tells the test of each call.
struct Outcome {
  int32_t index;      // the property a set or get was about
  char call;          // 's'et, 'g'et, 'l'isting
  bool ok;            // it succeeded
  bool said_no_room;  // it failed and said "No space left on device"
  double seconds;
};

void Send(int fd, const Outcome &outcome) {
  if (write(fd, &outcome, sizeof outcome) != sizeof outcome) abort();
}

// Runs call, timed, and reports it: whether it succeeded, and otherwise whether the message it
// left names the missing room.
template <typename Call>
bool Timed(int fd, char kind, int index, Call call) {
  hooks::log_clear();
  Clock::time_point start = Clock::now();
  bool ok = call();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  bool no_room = false;
  for (const hooks::Message &m : hooks::log_messages()) {
    no_room |= m.text.find(strerror(ENOSPC)) != std::string::npos;
  }
  Send(fd, {index, kind, ok, !ok && no_room, seconds});
  return ok;
}

// Sets properties from first on, up to count or until kFailuresInARow sets in a row found no
// room, and reads back now and then what it stored and the whole store.
void Work(int fd, int first, int count) {
  std::vector<int> stored;
  int failed_in_a_row = 0;
  for (int i = first; i < first + count && failed_in_a_row < kFailuresInARow; ++i) {
    bool set = Timed(fd, 's', i, [i] {
      return tamb_set_property(nullptr, Subject(i), Key(i).c_str(), Value(i).c_str(), nullptr) == 0;
    });
    failed_in_a_row = set ? 0 : failed_in_a_row + 1;
    if (set) stored.push_back(i);
    if (i % 7 == 0 && !stored.empty()) {
      int earlier = stored[static_cast<size_t>(i) % stored.size()];
      Timed(fd, 'g', earlier, [earlier] {
        char *value = nullptr;
        bool found =
            tamb_get_property(Subject(earlier), Key(earlier).c_str(), &value, nullptr) == 0;
        bool whole = found && value == Value(earlier);
        free(value);
        return whole;
      });
    }
    if (i % 97 == 0) {
      Timed(fd, 'l', i, [] {
        tamb_description_t *all = nullptr;
        int subjects = tamb_get_all_properties(&all);
        for (int s = 0; s < subjects; ++s) tamb_free_description(&all[s], 0);
        free(all);
        return subjects >= 0;
      });
    }
  }
}

// What the processes of a run told, and how they ended.
struct Calls {
  std::vector<Outcome> outcomes;
  int signalled = 0, hung = 0, failed = 0;
};

// Runs two working processes at once on the store under root, the first setting from first_a,
// the second from first_b, count each.
void RunPair(const std::string &root, int first_a, int first_b, int count, Calls *run) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  Gate gate;
  std::vector<pid_t> pids;
  for (int first : {first_a, first_b}) {
    pids.push_back(gate.spawn(root, [&, first] {
      close(fds[0]);
      Work(fds[1], first, count);
    }));
  }
  close(fds[1]);
  gate.open();
  Outcome outcome;
  while (read(fds[0], &outcome, sizeof outcome) == sizeof outcome) run->outcomes.push_back(outcome);
  close(fds[0]);
  for (pid_t pid : pids) {
    int status = support::wait_for(pid);
    run->hung += status == metadata_children::kHung;
    run->signalled += status > 128 && status != metadata_children::kHung;
    run->failed += status != 0;
  }
}

long FreeBytes(const std::string &dir) {
  struct statvfs fs;
  if (statvfs(dir.c_str(), &fs) != 0) return -1;
  return static_cast<long>(fs.f_bavail * fs.f_frsize);
}

// Grows or shrinks the filler file so that the file system has about free bytes left.
void LeaveFree(const std::string &mount_point, long free) {
  std::string filler = mount_point + "/filler";
  int fd = open(filler.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  off_t size = lseek(fd, 0, SEEK_END);
  long now = FreeBytes(mount_point);
  if (now > free) {
    ASSERT_EQ(posix_fallocate(fd, 0, size + (now - free)), 0);
  } else {
    ASSERT_EQ(ftruncate(fd, std::max<off_t>(0, size - (free - now))), 0);
  }
  close(fd);
}

TEST(MetadataFullDisk, NoCallCrashesOrStallsAndNothingStoredIsLost) {
  support::TempDir mount_point;
  int status = support::run_in_child([&] {
    std::string why;
    if (!support::enter_mount_namespace(&why) || mount("tamb-full-disk", mount_point.path().c_str(),
                                                       "tmpfs", 0, "size=24m,mode=0700") != 0) {
      fprintf(stderr, "skipped: no tmpfs of our own here (%s%s)\n", why.c_str(),
              why.empty() ? strerror(errno) : "");
      return support::child_skipped;
    }
    const std::string root = mount_point.path();
    Calls run;
    // The store fills the disk itself, while both processes keep it open.
    RunPair(root, 0, 100000, 100000, &run);
    // Then the disk is held full, and at more room, up to more than an environment takes.
    int level = 0;
    for (long free :
         {0L, 4096L, 65536L, kMegabyte, 4 * kMegabyte, 10 * kMegabyte, 14 * kMegabyte}) {
      LeaveFree(root, free);
      ++level;
      RunPair(root, 200000 + level * 1000, 200500 + level * 1000, 60, &run);
    }
    unlink((root + "/filler").c_str());

    std::vector<int> stored;
    int sets_failed = 0, unexplained = 0, slow = 0;
    double slowest = 0;
    for (const Outcome &o : run.outcomes) {
      if (o.call == 's' && o.ok) stored.push_back(o.index);
      sets_failed += o.call == 's' && !o.ok;
      unexplained += !o.ok && !o.said_no_room;
      slow += o.seconds >= kCallSeconds;
      slowest = std::max(slowest, o.seconds);
    }
    // With room again: everything a set stored is there, and sets work.
    int reader = 0;
    int lost = metadata_children::CountInChild(
        root,
        [&] {
          int missing = 0;
          for (int i : stored) {
            char *value = nullptr;
            missing += tamb_get_property(Subject(i), Key(i).c_str(), &value, nullptr) != 0 ||
                       value != Value(i);
            free(value);
          }
          for (int i = 900000; i < 900010; ++i) {
            EXPECT_EQ(
                tamb_set_property(nullptr, Subject(i), Key(i).c_str(), Value(i).c_str(), nullptr),
                0);
          }
          return missing;
        },
        &reader);
    EXPECT_EQ(reader, 0);

    printf(
        "%zu calls in %zu stored and %d refused sets: processes signalled %d, hung %d; "
        "failures without the ENOSPC text %d; calls over %.0f s %d (slowest %.3f s); "
        "lost %d\n",
        run.outcomes.size(), stored.size(), sets_failed, run.signalled, run.hung, unexplained,
        kCallSeconds, slow, slowest, lost);
    EXPECT_EQ(run.signalled, 0);
    EXPECT_EQ(run.hung, 0);
    EXPECT_EQ(run.failed, 0);
    EXPECT_GT(sets_failed, 0) << "the disk never filled up";
    EXPECT_GT(stored.size(), 1000u);
    EXPECT_EQ(unexplained, 0);
    EXPECT_EQ(slow, 0);
    EXPECT_EQ(lost, 0);
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  if (status == support::child_skipped) GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(status, 0);
}

}  // namespace
