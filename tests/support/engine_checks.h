// Checks the transport suites share: the engine's trace lines and its counting invariants.
#ifndef TAMB_TEST_ENGINE_CHECKS_H
#define TAMB_TEST_ENGINE_CHECKS_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tamb/client.h"

namespace support {

// The trace messages the engine logged since the log was last cleared, oldest first.
std::vector<std::string> engine_traces();

// The counting invariants the engine keeps between the control block and the clients' flags:
// the flags nest (sync_poll, then active_slowsync, then slowsync), sync_clients counts the
// active slow-sync clients and sync_remain those of them still polled.
testing::AssertionResult engine_invariants(const tamb_engine_t *engine);

}  // namespace support

#endif
