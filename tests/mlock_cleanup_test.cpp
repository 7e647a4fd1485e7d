// SPDX-License-Identifier: MIT
// The memory-lock walk: its rules through crafted map text with the unlocks recorded, and one
// real run in a child that locked all its memory.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/mount.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kit.h"
#include "mlock_walk.h"
#include "support.h"
#include "tamb/mlock.h"

namespace {

constexpr size_t mib = 1048576;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

struct Range {
  uintptr_t start;
  size_t length;
  bool operator==(const Range &) const = default;
};

void PrintTo(const Range &range, std::ostream *out) {
  *out << std::hex << range.start << "+" << range.length;
}

struct Walk {
  std::vector<Range> unlocked;
  std::vector<std::string> messages;
};

// Runs the walk over map text, recording the unlocks instead of performing them.
Walk walk(const std::string &maps) {
  Walk result;
  hooks::log_set_echo(false);
  hooks::log_clear();
  FILE *file = fmemopen(const_cast<char *>(maps.data()), maps.size(), "r");
  tamb::mlock_walk::walk(
      file,
      [](void *context, uintptr_t start, size_t length) {
        static_cast<Walk *>(context)->unlocked.push_back({start, length});
      },
      &result);
  fclose(file);
  for (const hooks::Message &message : hooks::log_messages()) {
    result.messages.push_back(message.text);
  }
  return result;
}

// One map line as the kernel writes it.
std::string line(uintptr_t start, size_t size, const char *device, uint64_t inode,
                 const std::string &path) {
  char head[128];
  snprintf(head, sizeof head, "%012" PRIxPTR "-%012" PRIxPTR " r-xp 00001000 %s %" PRIu64, start,
           start + size, device, inode);
  return std::string(head) + (path.empty() ? " \n" : "                     " + path + "\n");
}

TEST(MlockWalk, PathRulesDecideWhichLibraryMappingsAreUnlocked) {
  struct Case {
    std::string path;
    size_t size;
    bool unlocked;
  };
  const std::vector<Case> cases = {
      {"/usr/lib/x86_64-linux-gnu/libgtk-3.so.0", 4096, true},
      {"/usr/lib/x86_64-linux-gnu/libc-2.31.so", 2 * mib, false},
      {"/lib/x86_64-linux-gnu/libc.so.6", 2 * mib, false},
      {"/usr/lib/x86_64-linux-gnu/libcrypto.so.3", 2 * mib, true},
      {"/opt/lib/libfoo.so", 2 * mib, true},
      {"/opt/lib/libfoo.so", mib, false},
      {"/opt/lib/libbar.so", mib + 1, true},
      {"/home/user/lib/libgtk.so", 4096, false},
      {"/home/user/lib/libbig.so", 2 * mib, false},
      {"/usr/libexec/tamb/libqt-helper.so", 4096, true},
      {"/lib/libfltk.so.1.3", 4096, true},
      {"/usr/local/lib/wine/ntdll.so", 4096, true},
      {"/usr/local/lib/libwine.so.1", 4096, false},
      {"/usr/X11R6/lib/libX11.so.6", 2 * mib, true},
      {"/opt/local/lib/libvorplex-2.so", 2 * mib, false},
      {"/usr/lib/libgtk-extra/libc-compat.so", 4096, false},
      {"/usr/share/fonts/huge.ttf", 4 * mib, false},
      {"/usr/lib/my libs/libgtk-x.so", 4096, true},
  };
  std::string maps;
  std::vector<Range> expected;
  std::vector<std::string> expected_messages;
  uintptr_t start = 0x7f0000000000;
  for (const Case &c : cases) {
    maps += line(start, c.size, "08:01", 1000, c.path);
    if (c.unlocked) {
      expected.push_back({start, c.size});
      expected_messages.push_back("unlocking " + c.path);
    }
    start += 16 * mib;
  }
  Walk result = walk(maps);
  EXPECT_EQ(result.unlocked, expected);
  EXPECT_EQ(result.messages, expected_messages);
}

TEST(MlockWalk, LinesWithoutAFileArePassedOverAndTheWalkGoesOn) {
  std::string maps = line(0x55d000000000, 2 * mib, "00:00", 0, "[heap]") +
                     line(0x7f0000000000, 2 * mib, "00:00", 0, "") +
                     "7f0000400000-7f0000600000 rw-p 00000000 00:00 0\n" +
                     line(0x7f0001000000, 2 * mib, "00:00", 0, "/usr/lib/libgtk-ghost.so") +
                     line(0x7ffc00000000, 2 * mib, "00:00", 0, "[stack]") +
                     line(0x7f0002000000, 4096, "08:01", 77, "/usr/lib/libgtk-3.so.0");
  Walk result = walk(maps);
  EXPECT_EQ(result.unlocked, (std::vector<Range>{{0x7f0002000000, 4096}}));
  EXPECT_EQ(result.messages, std::vector<std::string>{"unlocking /usr/lib/libgtk-3.so.0"});
}

TEST(MlockWalk, HexadecimalDevicesAndLargeInodesDoNotStopTheWalk) {
  std::string maps = line(0x7f0000000000, 4096, "fd:01", 1234, "/usr/lib/libgtk-3.so.0") +
                     line(0x7f0001000000, 2 * mib, "fe:00", 18446744073709551615u,
                          "/usr/lib/x86_64-linux-gnu/libLLVM.so.15") +
                     line(0x7f0004000000, 4096, "103:0a", 4294967296, "/lib/libqt6core.so") +
                     line(0x7f0005000000, 4096, "fe:00", 99, "/lib/libstdc++.so.6");
  Walk result = walk(maps);
  EXPECT_EQ(result.unlocked,
            (std::vector<Range>{
                {0x7f0000000000, 4096}, {0x7f0001000000, 2 * mib}, {0x7f0004000000, 4096}}));
  EXPECT_EQ(result.messages.size(), 3u);
}

TEST(MlockWalk, AnUnreadableLineEndsTheWalkAndKeepsEarlierUnlocks) {
  std::string maps = line(0x7f0000000000, 4096, "08:01", 5, "/usr/lib/libgtk-3.so.0") +
                     "this is not a map line\n" +
                     line(0x7f0001000000, 4096, "08:01", 6, "/usr/lib/libqt5.so");
  Walk result = walk(maps);
  EXPECT_EQ(result.unlocked, (std::vector<Range>{{0x7f0000000000, 4096}}));
}

TEST(MlockWalk, ALongPathIsCutWithoutSplittingTheLine) {
  const std::string path = "/usr/lib/libgtk-" + std::string(5000, 'x') + ".so";
  std::string maps = line(0x7f0000000000, 4096, "08:01", 5, path) +
                     line(0x7f0001000000, 4096, "08:01", 6, "/usr/lib/libqt5.so");
  Walk result = walk(maps);
  EXPECT_EQ(result.unlocked, (std::vector<Range>{{0x7f0000000000, 4096}, {0x7f0001000000, 4096}}));
  ASSERT_EQ(result.messages.size(), 2u);
  EXPECT_EQ(result.messages[1], "unlocking /usr/lib/libqt5.so");
}

struct Smaps {
  std::string path;
  size_t size;
  size_t rss_kb;
  size_t pss_kb;
  size_t locked_kb;  // the Pss of a locked mapping: shared pages count proportionally
  bool locked;       // "lo" among the flags
};

std::vector<Smaps> read_smaps() {
  std::vector<Smaps> entries;
  std::ifstream in("/proc/self/smaps");
  std::string text;
  while (std::getline(in, text)) {
    uintptr_t start;
    uintptr_t end;
    int consumed = 0;
    size_t kb;
    if (sscanf(text.c_str(), "%" SCNxPTR "-%" SCNxPTR " %*s %*x %*x:%*x %*s%n", &start, &end,
               &consumed) == 2 &&
        consumed > 0) {
      size_t at = text.find_first_not_of(' ', consumed);
      entries.push_back(
          {at == std::string::npos ? "" : text.substr(at), end - start, 0, 0, 0, false});
    } else if (!entries.empty() && sscanf(text.c_str(), "Rss: %zu kB", &kb) == 1) {
      entries.back().rss_kb = kb;
    } else if (!entries.empty() && sscanf(text.c_str(), "Pss: %zu kB", &kb) == 1) {
      entries.back().pss_kb = kb;
    } else if (!entries.empty() && sscanf(text.c_str(), "Locked: %zu kB", &kb) == 1) {
      entries.back().locked_kb = kb;
    } else if (!entries.empty() && text.starts_with("VmFlags:")) {
      entries.back().locked = (text + " ").find(" lo ") != std::string::npos;
    }
  }
  return entries;
}

bool is_c_library(const char *path) {
  return strstr(path, "/libc.so") != nullptr || strstr(path, "/libc-") != nullptr;
}

// The process's own map: whatever this machine's C library is called, its code (above 1 MiB)
// stays locked, since the real-time thread runs it; other large libraries are unlocked (libtamb
// links the Berkeley DB library, whose code is above 1 MiB).
TEST(MlockCleanup, UnlocksLargeLibrariesButKeepsTheCLibraryLocked) {
  if (sanitized) GTEST_SKIP() << "the sanitizer runtime turns mlock and munlock into no-ops";
  FILE *report = tmpfile();
  int status = support::run_in_child([&] {
    if (mlockall(MCL_CURRENT) != 0) {
      perror("mlockall");
      return support::child_skipped;
    }
    hooks::log_set_echo(false);
    hooks::log_clear();
    cleanup_mlock();
    for (const Smaps &entry : read_smaps()) {
      bool announced = hooks::log_has(hooks::Level::info, "unlocking " + entry.path);
      fprintf(report, "%d %zu %zu %zu %zu %d %s\n", announced, entry.size, entry.rss_kb,
              entry.pss_kb, entry.locked_kb, entry.locked, entry.path.c_str());
    }
    fprintf(report, "messages %zu errors %zu\n", hooks::log_count(hooks::Level::info),
            hooks::log_count(hooks::Level::error));
    fclose(report);
    return 0;
  });
  if (status == support::child_skipped) GTEST_SKIP() << "this process may not lock its memory";
  ASSERT_EQ(status, 0);
  rewind(report);
  int unlocked_large = 0;
  int still_locked = 0;
  int c_library = 0;
  char path[8192];
  int announced;
  Smaps entry{};
  int locked;
  while (fscanf(report, "%d %zu %zu %zu %zu %d%*[ ]%8191[^\n]", &announced, &entry.size,
                &entry.rss_kb, &entry.pss_kb, &entry.locked_kb, &locked, path) >= 6) {
    SCOPED_TRACE(path);
    if (is_c_library(path)) {
      EXPECT_FALSE(announced);
      EXPECT_TRUE(locked);
      EXPECT_EQ(entry.locked_kb, entry.pss_kb);
      if (entry.size > mib) ++c_library;
    } else if (announced && entry.size > mib) {
      EXPECT_FALSE(locked);
      EXPECT_EQ(entry.locked_kb, 0u);
      ++unlocked_large;
    } else if (!announced && entry.rss_kb > 0 && path[0] == '/') {
      EXPECT_TRUE(locked);
      ++still_locked;
    }
  }
  size_t messages;
  size_t errors;
  ASSERT_EQ(fscanf(report, "messages %zu errors %zu", &messages, &errors), 2);
  fclose(report);
  EXPECT_GE(c_library, 1);
  EXPECT_GE(unlocked_large, 1);
  EXPECT_GE(messages, static_cast<size_t>(unlocked_large));
  EXPECT_GT(still_locked, 0);
  EXPECT_EQ(errors, 0u);
}

TEST(MlockCleanup, ReportsAMapFileThatCannotBeOpened) {
  int status = support::run_in_child([] {
    std::string why;
    if (!support::enter_mount_namespace(&why)) return support::child_skipped;
    if (mount("none", "/proc", "tmpfs", 0, nullptr) != 0) return 2;
    hooks::log_set_echo(false);
    hooks::log_clear();
    cleanup_mlock();
    bool reported = hooks::log_has(hooks::Level::error, "can't open map file");
    return reported && hooks::log_count(hooks::Level::info) == 0 ? 0 : 1;
  });
  if (status == support::child_skipped) GTEST_SKIP() << "mount namespaces are refused here";
  EXPECT_EQ(status, 0);
}

}  // namespace
