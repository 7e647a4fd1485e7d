// SPDX-License-Identifier: MIT
// What the engine and port suites share: a quiet server for their fixtures, port
// registration, the engine's trace lines and its counting invariants.
#ifndef TAMB_TEST_ENGINE_CHECKS_H
#define TAMB_TEST_ENGINE_CHECKS_H

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "kit.h"
#include "tamb/client.h"

namespace support {

// A fresh in-process server for a fixture, with the log's echo off and the log cleared first;
// the sample rate is set when rate is not 0.
std::unique_ptr<kit::Server> quiet_server(uint32_t port_capacity, uint32_t buffer_size,
                                          uint32_t rate = 0);

// Registers a port on client; a failure fails the test, naming the port.
tamb_port_t *register_port(kit::Client *client, const char *name, const char *type,
                           unsigned long flags);

// The trace messages the engine logged since the log was last cleared, oldest first.
std::vector<std::string> engine_traces();

// The counting invariants the engine keeps between the control block and the clients' flags:
// the flags nest (sync_poll, then active_slowsync, then slowsync), sync_clients counts the
// active slow-sync clients and sync_remain those of them still polled.
testing::AssertionResult engine_invariants(const tamb_engine_t *engine);

}  // namespace support

#endif
