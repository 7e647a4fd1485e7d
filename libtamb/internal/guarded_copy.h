// SPDX-License-Identifier: MIT
// Guarded copies of the records that processes share without locks: positions and the frame
// timer.
//
// A record carries a guard at each end. A writer stores the head guard, then the body, then
// the tail guard; a reader loads the tail guard, then the body, then the head guard, and
// accepts only when the two agree. Loading the head first would let a reader that starts just
// before a writer, and finishes before the writer's tail, accept a body that is half old and
// half new while both guards still show the old value.
//
// On x86-64 loads are not reordered with loads nor stores with stores, so the acquire and
// release fences emit no instruction; they keep the compiler from moving the body across the
// guards. The guards are packed fields, loaded and stored as words of their own type
// (shared_word.h), so that every compiler emits single instructions; the bodies are copied by
// body_copy.
#ifndef TAMB_GUARDED_COPY_H
#define TAMB_GUARDED_COPY_H

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "nonblocking.h"
#include "outside.h"
#include "shared_word.h"
#include "tamb/control.h"

// Defines the exported function name by an always-inline body, built twice: once for
// processors with AVX2 (32-byte moves) and once for every x86-64. The dynamic linker binds the
// name to one of the two once, at load time, so a call costs nothing more. The resolver runs
// while relocations are applied, before any sanitizer runtime is up, so it stays
// uninstrumented; and it stays local to the library, where target_clones would export it
// under the function's own visibility.
#if defined(__x86_64__)
#define TAMB_WIDE_MOVES_EXPORT(result, name, params, args, body)                                   \
  namespace {                                                                                      \
  [[gnu::target("avx2")]] result body##_avx2 params TAMB_NONBLOCKING { return body args; }         \
  result body##_any params TAMB_NONBLOCKING { return body args; }                                  \
  }                                                                                                \
  extern "C" {                                                                                     \
  [[gnu::no_sanitize("address", "undefined", "thread"), gnu::used]] static auto body##_resolve() { \
    __builtin_cpu_init();                                                                          \
    return __builtin_cpu_supports("avx2") ? &body##_avx2 : &body##_any;                            \
  }                                                                                                \
  TAMB_API result name params __attribute__((ifunc(#body "_resolve")));                            \
  }
#else
#define TAMB_WIDE_MOVES_EXPORT(result, name, params, args, body) \
  extern "C" TAMB_API result name params { return body args; }
#endif

#if defined(__SANITIZE_THREAD__)
#define TAMB_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TAMB_THREAD_SANITIZER 1
#endif
#endif

namespace tamb {

// Copies the body of a guarded record. A reader copies while a writer may be changing the
// body: the guards then reject the copy, which is what they are for. By the C++ memory model
// the two plain copies still race, and ThreadSanitizer cannot know that the result is thrown
// away, so under it this one copy is left uninstrumented (a byte loop through volatile that
// the compiler cannot turn back into an intercepted memcpy). The guards stay atomic and
// instrumented: ThreadSanitizer still checks every other access and the order they create.
#if defined(TAMB_THREAD_SANITIZER)
[[gnu::noinline, gnu::no_sanitize_thread]] inline void body_copy(void *to, const void *from,
                                                                 size_t size) {
  auto *out = static_cast<volatile unsigned char *>(to);
  const auto *in = static_cast<const volatile unsigned char *>(from);
  for (size_t i = 0; i < size; ++i) out[i] = in[i];
}
#else
[[gnu::always_inline]] inline void body_copy(void *to, const void *from, size_t size) {
  memcpy(to, from, size);
}
#endif

// Bytes of a position between its two guards.
constexpr size_t position_body_offset = offsetof(tamb_position_t, usecs);
constexpr size_t position_body_size = offsetof(tamb_position_t, tail_id) - position_body_offset;

// One reading of a shared position into private memory. True when the copy is consistent.
// The record is copied whole, guards included: when the tail loaded before the copy equals the
// head loaded after it, no write began or was under way in between, so the guards inside the
// copy hold that same id.
inline bool position_try_read(const tamb_position_t *from, tamb_position_t *to) {
  uint64_t tail = __atomic_load_n(TAMB_WORD(from->tail_id), __ATOMIC_ACQUIRE);
  body_copy(to, from, sizeof *to);
  std::atomic_thread_fence(std::memory_order_acquire);
  return __atomic_load_n(TAMB_WORD(from->head_id), __ATOMIC_RELAXED) == tail;
}

// One copy between positions either of which may be shared: the source is read in the
// reader's order, the destination written in the writer's order, and the destination's head is
// read back at the end, so that two writers of one record notice each other. The full fence
// keeps that read-back behind the tail store; without it a store still in flight would let
// both writers believe they finished whole.
inline bool position_try_copy(const tamb_position_t *from, tamb_position_t *to) {
  uint64_t id = __atomic_load_n(TAMB_WORD(from->tail_id), __ATOMIC_ACQUIRE);
  __atomic_store_n(TAMB_WORD(to->head_id), id, __ATOMIC_RELAXED);
  std::atomic_thread_fence(std::memory_order_release);
  body_copy(reinterpret_cast<char *>(to) + position_body_offset,
            reinterpret_cast<const char *>(from) + position_body_offset, position_body_size);
  std::atomic_thread_fence(std::memory_order_acq_rel);
  uint64_t from_head = __atomic_load_n(TAMB_WORD(from->head_id), __ATOMIC_RELAXED);
  __atomic_store_n(TAMB_WORD(to->tail_id), id, __ATOMIC_RELEASE);
  std::atomic_thread_fence(std::memory_order_seq_cst);
  uint64_t to_head = __atomic_load_n(TAMB_WORD(to->head_id), __ATOMIC_RELAXED);
  return from_head == id && to_head == id;
}

// ---- Writers ----------------------------------------------------------------------------
//
// A record written by one thread alone (the engine's current_position) is written in the
// writer's order under a guard that changes on every write: a reader that spans a whole write
// then sees a different guard at each end. A record that several processes write
// (requested_position) is first claimed: a writer turns a consistent record's head into its own
// id with one compare-and-swap, and every other writer waits while head and tail differ. So
// the body between the guards is always one writer's.

// Opens a write: from here on readers refuse the record until position_write_close.
inline void position_write_open(tamb_position_t *record, uint64_t guard) {
  __atomic_store_n(TAMB_WORD(record->head_id), guard, __ATOMIC_RELAXED);
  std::atomic_thread_fence(std::memory_order_release);
}

inline void position_write_close(tamb_position_t *record, uint64_t guard) {
  __atomic_store_n(TAMB_WORD(record->tail_id), guard, __ATOMIC_RELEASE);
}

// The guard of the engine's next write of a record only it writes. The low 32 bits carry the
// id of the position the record holds (ids are 32-bit counter values widened with their sign);
// the high 32 bits count the writes, so the guard never comes back to a value a reader may
// have loaded.
inline uint64_t position_next_guard(const tamb_position_t *record, uint64_t position_id) {
  uint64_t writes = (__atomic_load_n(TAMB_WORD(record->head_id), __ATOMIC_RELAXED) >> 32) + 1;
  return (writes << 32) | (position_id & 0xffffffffu);
}

// One attempt to claim a shared record for the writer of id. False while another writer holds
// it (head and tail differ) or wins the race; *head is the head guard that was seen.
inline bool position_try_claim(tamb_position_t *record, uint64_t id, uint64_t *head) {
  uint64_t tail = __atomic_load_n(TAMB_WORD(record->tail_id), __ATOMIC_ACQUIRE);
  *head = __atomic_load_n(TAMB_WORD(record->head_id), __ATOMIC_ACQUIRE);
  if (*head != tail) return false;
  return __atomic_compare_exchange_n(TAMB_WORD(record->head_id), head, id, false, __ATOMIC_SEQ_CST,
                                     __ATOMIC_ACQUIRE);
}

// Takes over a record whose writer left it half written: succeeds only while the head is still
// the stalled writer's.
inline bool position_take_over(tamb_position_t *record, uint64_t stalled, uint64_t id) {
  return __atomic_compare_exchange_n(TAMB_WORD(record->head_id), &stalled, id, false,
                                     __ATOMIC_SEQ_CST, __ATOMIC_RELAXED);
}

// One reading of the frame timer into private memory, as position_try_read.
inline bool frame_timer_try_read(const tamb_frame_timer_t *from, tamb_frame_timer_t *to) {
  uint32_t tail = __atomic_load_n(TAMB_WORD(from->tail_guard), __ATOMIC_ACQUIRE);
  body_copy(to, from, sizeof *to);
  std::atomic_thread_fence(std::memory_order_acquire);
  return __atomic_load_n(TAMB_WORD(from->head_guard), __ATOMIC_RELAXED) == tail;
}

// The waiting part of guarded_copy, out of line: the first try, which nearly always succeeds,
// then costs no more than the copy itself.
// The budget of a guarded copy: after every tries_per_sleep failed tries the caller sleeps
// sleep_usecs, and the sleeps_max-th sleep ends the wait.
constexpr int tries_per_sleep = 11;
constexpr int sleeps_max = 1000;
constexpr unsigned sleep_usecs = 20;

template <typename Record, bool (*try_once)(const Record *, Record *)>
[[gnu::noinline, gnu::cold]] void guarded_copy_wait(const Record *from, Record *to,
                                                    const char *hung_message) {
  int tries = 1;
  int sleeps = 0;
  while (!try_once(from, to)) {
    if (++tries < tries_per_sleep) continue;
    usleep(sleep_usecs);
    tries = 0;
    if (++sleeps == sleeps_max) {
      TAMB_ERROR("%s", hung_message);
      abort();
    }
  }
}

// Repeats try_once until it succeeds. A writer that stops midway (a crashed process) would
// otherwise hang the caller for ever: after every 11 failed tries the caller sleeps 20
// microseconds, and after the 1000th sleep it reports hung_message and aborts.
template <typename Record, bool (*try_once)(const Record *, Record *)>
inline void guarded_copy(const Record *from, Record *to,
                         const char *hung_message) TAMB_NONBLOCKING {
  // The wait sleeps only after it met a writer, and only for a bounded time.
  if (!try_once(from, to)) [[unlikely]]
    TAMB_NONBLOCKING_EXEMPT(guarded_copy_wait<Record, try_once>(from, to, hung_message));
}

}  // namespace tamb

#endif
