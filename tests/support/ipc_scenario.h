// A test scenario run in a forked child inside a fresh System V IPC namespace, for the suites
// that build registries of their own.
#ifndef TAMB_TEST_IPC_SCENARIO_H
#define TAMB_TEST_IPC_SCENARIO_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include "hooks.h"
#include "support.h"

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

}  // namespace support

#endif
