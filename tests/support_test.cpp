// SPDX-License-Identifier: MIT
// The test support must itself be trustworthy: a heap counter that never counts would let
// every real-time test pass.
#include "support.h"

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>

#include "tamb/pool.h"

namespace {

TEST(HeapCounter, CountsCallsMadeThroughTheLibraryAndNothingElse) {
  if (!support::HeapCounter::available()) GTEST_SKIP() << "sanitizer build owns the heap";
  support::HeapCounter counter;
  EXPECT_EQ(counter.calls(), 0u);
  void *block = tamb_pool_alloc(100);  // posix_memalign inside libtamb
  EXPECT_EQ(counter.calls(), 1u);
  tamb_pool_release(block);
  EXPECT_EQ(counter.calls(), 2u);
  std::string *text = new std::string(100, 'x');
  delete text;
  EXPECT_EQ(counter.calls(), 6u);
}

TEST(Child, ReportsExitStatusAndSignal) {
  EXPECT_EQ(support::run_in_child([] { return 3; }), 3);
  EXPECT_EQ(support::run_in_child([] {
              raise(SIGKILL);
              return 0;
            }),
            128 + SIGKILL);
}

TEST(Namespaces, IpcNamespaceHidesTheMachinesSegments) {
  int status = support::run_in_child([] {
    std::string why;
    if (!support::enter_ipc_namespace(&why)) return support::child_skipped;
    int id = shmget(0x7a7b7c, 4096, IPC_CREAT | IPC_EXCL | 0600);
    return id >= 0 ? 0 : 1;
  });
  if (status == support::child_skipped) GTEST_SKIP() << "IPC namespaces refused here";
  EXPECT_EQ(status, 0);
  // The segment lived in the child's namespace only.
  EXPECT_EQ(shmget(0x7a7b7c, 0, 0), -1);
}

TEST(Namespaces, FixtureIsSeenAtTheTargetPathOnlyInsideTheChild) {
  int status = support::run_in_child([] {
    std::string why;
    if (!support::enter_mount_namespace(&why)) return support::child_skipped;
    if (!support::bind_fixture("MemTotal: 1 kB\n", "/proc/meminfo", &why)) return 2;
    std::ifstream in("/proc/meminfo");
    std::string line;
    std::getline(in, line);
    return line == "MemTotal: 1 kB" ? 0 : 1;
  });
  if (status == support::child_skipped) GTEST_SKIP() << "mount namespaces refused here";
  EXPECT_EQ(status, 0);
  std::ifstream in("/proc/meminfo");
  std::string line;
  std::getline(in, line);
  EXPECT_NE(line, "MemTotal: 1 kB");
}

}  // namespace
