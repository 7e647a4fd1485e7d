// SPDX-License-Identifier: MIT
// The log hooks libtamb expects from a program, printing to standard error and keeping the last
// messages for log_capture.h's readers.
#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "log_capture.h"
#include "tamb/hooks.h"

namespace hooks {
namespace {

// The log hooks may run on a process thread (the transport cycle end traces when the engine is
// verbose), so writing a message takes no lock, allocates nothing and, for traces, makes no
// system call; errors and information also go to standard error, which is their error path.
//
// The capture is a ring of slots that any number of writers fill and readers copy without
// emptying it. A writer formats into its own buffer, takes the next ticket (the message's place
// in the order of the log) and copies the text into the ticket's slot one 64-bit word at a
// time. Each word carries the low 32 bits of its message's ticket (the tag) beside four bytes
// of text; the first word carries the level instead. A writer stores a word with a
// compare-and-swap that never replaces a word of a later message, so a writer lapped by
// another on the same slot (256 tickets taken while it copied) gives up instead of writing
// into the later message. A reader takes a message only when every word up to the terminating
// NUL carries that message's tag. What this guarantees:
// - a message read is exactly the text and level one writer wrote, never pieces of two;
// - messages are read in ticket order, so one thread's messages in the order it wrote them;
// - once a log call returned, every reader that happens after it sees the message until 256
//   later tickets were taken or the log was cleared, and sees what the writer did before it;
// - a message still being copied is left out, as is one overtaken on its slot, which had
//   already dropped out of the last 256;
// - writers never wait: a compare-and-swap fails only because another writer stored a word.
// Tags repeat every 2^32 tickets, so only a writer stalled for that many messages could mix.
constexpr size_t log_slots = 256;
constexpr size_t log_text_max = 512;
constexpr size_t log_text_words = log_text_max / sizeof(uint32_t);

struct alignas(64) Slot {
  std::atomic<uint64_t> words[1 + log_text_words];  // the level, then the text
};
static_assert(std::atomic<uint64_t>::is_always_lock_free);

Slot log_ring[log_slots];
std::atomic<uint64_t> log_next{0};   // tickets taken since start-up
std::atomic<uint64_t> log_first{0};  // first ticket after the last clear
std::atomic<bool> log_echo{true};

// The initial words carry tag 0, which ticket 0 must not match.
uint32_t log_tag(uint64_t ticket) { return static_cast<uint32_t>(ticket) + 1; }

// Stores one word of the message tagged tag unless a later message already owns it.
bool log_put(std::atomic<uint64_t> &word, uint32_t tag, uint32_t payload) {
  uint64_t want = uint64_t{tag} << 32 | payload;
  uint64_t seen = word.load(std::memory_order_relaxed);
  do {
    if (static_cast<int32_t>(static_cast<uint32_t>(seen >> 32) - tag) > 0) return false;
  } while (!word.compare_exchange_weak(seen, want, std::memory_order_release,
                                       std::memory_order_relaxed));
  return true;
}

void log_add(Level level, const char *fmt, va_list args) {
  char text[log_text_max] = {};
  vsnprintf(text, sizeof text, fmt, args);
  if (level != Level::trace && log_echo.load(std::memory_order_relaxed)) {
    fprintf(stderr, "tamb %s: %s\n", level == Level::error ? "error" : "info", text);
  }
  // Only the words' tags order the copies, so the ticket needs no ordering of its own.
  uint64_t ticket = log_next.fetch_add(1, std::memory_order_relaxed);
  uint32_t tag = log_tag(ticket);
  Slot &slot = log_ring[ticket % log_slots];
  if (!log_put(slot.words[0], tag, static_cast<uint32_t>(level))) return;
  size_t used = strlen(text) / sizeof(uint32_t) + 1;  // through the word that holds the NUL
  for (size_t i = 0; i < used; ++i) {
    uint32_t payload;
    memcpy(&payload, text + i * sizeof payload, sizeof payload);
    if (!log_put(slot.words[1 + i], tag, payload)) return;
  }
}

// Copies the message of ticket out of its slot; false when it is not there whole (still
// being copied, or overtaken by a later one).
bool log_read(uint64_t ticket, Message &out) {
  const Slot &slot = log_ring[ticket % log_slots];
  uint32_t tag = log_tag(ticket);
  uint64_t word = slot.words[0].load(std::memory_order_acquire);
  uint32_t level = static_cast<uint32_t>(word);
  if (word >> 32 != tag || level > static_cast<uint32_t>(Level::trace)) return false;
  char text[log_text_max];
  for (size_t i = 0; i < log_text_words; ++i) {
    word = slot.words[1 + i].load(std::memory_order_acquire);
    if (word >> 32 != tag) return false;
    uint32_t payload = static_cast<uint32_t>(word);
    char *part = text + i * sizeof payload;
    memcpy(part, &payload, sizeof payload);
    if (memchr(part, '\0', sizeof payload) != nullptr) {
      out.level = static_cast<Level>(level);
      out.text = text;
      return true;
    }
  }
  return false;
}

}  // namespace

std::vector<Message> log_messages() {
  uint64_t end = log_next.load();
  uint64_t begin = std::max(log_first.load(), end > log_slots ? end - log_slots : 0);
  std::vector<Message> out;
  Message message;
  for (uint64_t ticket = begin; ticket < end; ++ticket) {
    if (log_read(ticket, message)) out.push_back(message);
  }
  return out;
}

bool log_has(Level level, std::string_view text) {
  for (const Message &m : log_messages()) {
    if (m.level == level && m.text == text) return true;
  }
  return false;
}

size_t log_count(Level level) {
  size_t n = 0;
  for (const Message &m : log_messages()) n += m.level == level;
  return n;
}

void log_clear() {
  // Never moves back, so that of two clears at once the later one holds.
  uint64_t next = log_next.load();
  uint64_t first = log_first.load();
  while (first < next && !log_first.compare_exchange_weak(first, next)) {
  }
}

void log_set_echo(bool echo) { log_echo.store(echo); }

}  // namespace hooks

extern "C" {

void tamb_error(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  hooks::log_add(hooks::Level::error, fmt, args);
  va_end(args);
}

void tamb_info(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  hooks::log_add(hooks::Level::info, fmt, args);
  va_end(args);
}

void tamb_messagebuffer_add(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  // A trace formats with vsnprintf and goes into the ring with atomics alone: no lock, no
  // allocation, no system call (the real-time cycle tests check it under RealtimeSanitizer).
  // clang cannot see into the C library to prove it, so this one call is exempt.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wunknown-warning-option"
#pragma clang diagnostic ignored "-Wfunction-effects"
#endif
  hooks::log_add(hooks::Level::trace, fmt, args);
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
  va_end(args);
}

}  // extern "C"
