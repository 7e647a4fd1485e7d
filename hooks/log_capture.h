// SPDX-License-Identifier: MIT
// What the log hooks (tamb_error, tamb_info, tamb_messagebuffer_add) reported, as tests,
// benchmarks, fuzz targets and the demo read it. The hooks keep the last messages whoever links
// them; an installed tool has no use for reading them back and never includes this header.
#ifndef TAMB_HOOKS_LOG_CAPTURE_H
#define TAMB_HOOKS_LOG_CAPTURE_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace hooks {

enum class Level { error, info, trace };

struct Message {
  Level level;
  std::string text;
};

// The messages reported since the last clear, oldest first (at most the last 256). Any thread
// may report while another reads: a message another thread is still writing is left out, and
// no message is ever returned in part. Reporting never waits for a lock.
std::vector<Message> log_messages();

// True when a message of that level with exactly that text was reported.
bool log_has(Level level, std::string_view text);

// Number of messages of that level reported since the last clear.
size_t log_count(Level level);

void log_clear();

// Whether errors and information are also printed to standard error (default: yes).
void log_set_echo(bool echo);

}  // namespace hooks

#endif
