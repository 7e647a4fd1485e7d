// SPDX-License-Identifier: MIT
// Processes for the metadata suites: a test body run in a forked child whose store starts closed,
// and children that start together through a gate. Each child opens the store itself, as a
// separate program would, and an alarm ends one that hangs, so that a store that wedges fails
// the test instead of hanging it.
#ifndef TAMB_TESTS_METADATA_CHILDREN_H
#define TAMB_TESTS_METADATA_CHILDREN_H

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>

#include "hooks.h"
#include "log_capture.h"
#include "support.h"

namespace metadata_children {

// A child that has not finished by then is stuck (a deadlock in the database, say).
constexpr unsigned kChildSeconds = 60;
// The exit status of a child that its alarm ended.
constexpr int kHung = 128 + SIGALRM;

// Failed expectations of the running test so far; a child counts only its own.
inline int FailedParts() {
  const testing::TestResult *result =
      testing::UnitTest::GetInstance()->current_test_info()->result();
  int failed = 0;
  for (int i = 0; i < result->total_part_count(); ++i)
    failed += result->GetTestPartResult(i).failed();
  return failed;
}

// Runs body in a forked child and returns its status: 0 when no expectation failed there, 1
// when one did, 128 + a signal when one ended it (kHung: its alarm).
inline int InChild(const std::function<void()> &body) {
  return support::run_in_child([&] {
    alarm(kChildSeconds);
    int failed_before = FailedParts();
    body();
    return FailedParts() > failed_before ? 1 : 0;
  });
}

// Runs body in a forked child that opens the store under root: the number body returns, or -1
// when the child did not get that far. *status receives the child's status, as InChild's.
inline int CountInChild(const std::string &root, const std::function<int()> &body,
                        int *status = nullptr) {
  int fds[2];
  if (pipe(fds) != 0) abort();
  int ended = InChild([&] {
    close(fds[0]);
    hooks::log_set_echo(false);
    hooks::server_dir_set_root(root);
    int count = body();
    if (write(fds[1], &count, sizeof count) != sizeof count) abort();
  });
  close(fds[1]);
  int count = -1;
  if (read(fds[0], &count, sizeof count) != sizeof count) count = -1;
  close(fds[0]);
  if (status != nullptr) *status = ended;
  return count;
}

// Children that start together: each waits until open() releases them all at once.
class Gate {
 public:
  Gate() {
    if (pipe(fds_) != 0) abort();
  }
  ~Gate() {
    close(fds_[0]);
    if (fds_[1] >= 0) close(fds_[1]);
  }
  Gate(const Gate &) = delete;
  Gate &operator=(const Gate &) = delete;

  // Forks body into a process that works on the store under root; it ends through exit(), so
  // that the store is closed and its pages written like in any program that ends normally.
  pid_t spawn(const std::string &root, const std::function<void()> &body) {
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid != 0) return pid;
    alarm(kChildSeconds);
    close(fds_[1]);
    char byte;
    while (read(fds_[0], &byte, 1) < 0) {
    }
    hooks::log_set_echo(false);
    hooks::server_dir_set_root(root);
    int failed_before = FailedParts();
    body();
    exit(FailedParts() > failed_before ? 1 : 0);
  }

  void open() {
    close(fds_[1]);
    fds_[1] = -1;
  }

 private:
  int fds_[2];
};

}  // namespace metadata_children

#endif
