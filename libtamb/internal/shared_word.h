// SPDX-License-Identifier: MIT
// Atomic access to the words of the packed records that processes share.
//
// The records are packed, so many of their words are not naturally aligned (the current
// position's guards sit at offsets 12 and 140 of the engine control block). Handed the
// address of such a member, a compiler may not assume any alignment: clang then turns every
// atomic builtin into a call into libatomic, which serialises through a process-local mutex.
// That takes a lock on the process thread, and it excludes nobody in another process.
//
// On x86-64 a load, a store or a locked read-modify-write of a word that lies within one
// 64-byte cache line is atomic whatever its alignment. So every word accessed atomically is
// pinned below to one line of its page-aligned block, and its address is handed to the
// builtins as a pointer to the word's own type: both compilers then emit the plain move or
// the locked instruction, at every optimisation level.
#ifndef TAMB_SHARED_WORD_H
#define TAMB_SHARED_WORD_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "tamb/control.h"

// The word that a member of a shared record names, as a pointer of the word's own type (const
// where the record is). Going through an integer keeps the compiler from carrying the packed
// member's alignment of 1 into the builtins.
#define TAMB_WORD(member)                                           \
  (reinterpret_cast<std::remove_reference_t<decltype((member))> *>( \
      reinterpret_cast<uintptr_t>(&(member))))

// Single relaxed accesses, for fields that one side writes while another reads them.
#define TAMB_LOAD(member) __atomic_load_n(TAMB_WORD(member), __ATOMIC_RELAXED)
#define TAMB_STORE(member, value) __atomic_store_n(TAMB_WORD(member), (value), __ATOMIC_RELAXED)

// ---- Where the atomic words lie -----------------------------------------------------------
//
// Shared memory segments start on a page, and so do the engine control block and every
// client control block. A word of a block is in one cache line when its first and last byte
// are.

constexpr size_t tamb_cache_line = 64;

#define TAMB_ASSERT_ONE_LINE(block, member)                                               \
  static_assert(                                                                          \
      offsetof(block, member) / tamb_cache_line ==                                        \
          (offsetof(block, member) + sizeof(static_cast<block *>(nullptr)->member) - 1) / \
              tamb_cache_line,                                                            \
      #block "." #member " must lie within one cache line")

// The transport, written by the engine and read by clients.
TAMB_ASSERT_ONE_LINE(tamb_control_t, transport_state);
TAMB_ASSERT_ONE_LINE(tamb_control_t, transport_cmd);
TAMB_ASSERT_ONE_LINE(tamb_control_t, current_position.head_id);
TAMB_ASSERT_ONE_LINE(tamb_control_t, current_position.usecs);
TAMB_ASSERT_ONE_LINE(tamb_control_t, current_position.frame_rate);
TAMB_ASSERT_ONE_LINE(tamb_control_t, current_position.tail_id);
TAMB_ASSERT_ONE_LINE(tamb_control_t, pending_position.head_id);
TAMB_ASSERT_ONE_LINE(tamb_control_t, pending_position.tail_id);
TAMB_ASSERT_ONE_LINE(tamb_control_t, requested_position.head_id);
TAMB_ASSERT_ONE_LINE(tamb_control_t, requested_position.tail_id);
TAMB_ASSERT_ONE_LINE(tamb_control_t, position_id_counter);
TAMB_ASSERT_ONE_LINE(tamb_control_t, new_position);
TAMB_ASSERT_ONE_LINE(tamb_control_t, pending_is_new);
TAMB_ASSERT_ONE_LINE(tamb_control_t, sync_clients);
TAMB_ASSERT_ONE_LINE(tamb_control_t, sync_remain);
TAMB_ASSERT_ONE_LINE(tamb_control_t, sync_time_left);
TAMB_ASSERT_ONE_LINE(tamb_control_t, frame_timer.head_guard);
TAMB_ASSERT_ONE_LINE(tamb_control_t, frame_timer.cycle_start_frame);
TAMB_ASSERT_ONE_LINE(tamb_control_t, frame_timer.tail_guard);
TAMB_ASSERT_ONE_LINE(tamb_control_t, buffer_size);

// The flags of the timebase master and of a slow-sync client, changed by its process thread
// and by the engine.
TAMB_ASSERT_ONE_LINE(tamb_client_control_t, timebase_master);
TAMB_ASSERT_ONE_LINE(tamb_client_control_t, timebase_new);
TAMB_ASSERT_ONE_LINE(tamb_client_control_t, timebase_cb_set);
TAMB_ASSERT_ONE_LINE(tamb_client_control_t, slowsync);
TAMB_ASSERT_ONE_LINE(tamb_client_control_t, active_slowsync);
TAMB_ASSERT_ONE_LINE(tamb_client_control_t, sync_poll);
TAMB_ASSERT_ONE_LINE(tamb_client_control_t, sync_poll_new);

namespace tamb {

// ---- sync_timeout -------------------------------------------------------------------------
//
// sync_timeout (offsets 446-453) straddles the line at 448, so no single instruction reads or
// writes it atomically. It is stored in three pieces that each lie in one line, 446-447,
// 448-451 and 452-453; a reading takes the pieces until two readings in a row agree. Only a
// request handler writes it, rarely, so a reading nearly always agrees at once; the bound on
// the retries keeps the process thread from ever spinning on a writer that never stops.

constexpr size_t sync_timeout_offset = offsetof(tamb_control_t, sync_timeout);
constexpr size_t sync_timeout_split = (sync_timeout_offset / tamb_cache_line + 1) * tamb_cache_line;
static_assert(sync_timeout_split - sync_timeout_offset == 2 &&
                  sizeof(tamb_control_t::sync_timeout) == 8,
              "sync_timeout's pieces are 2, 4 and 2 bytes");

inline uint16_t *sync_timeout_low(tamb_control_t *control) {
  return reinterpret_cast<uint16_t *>(reinterpret_cast<uintptr_t>(control) + sync_timeout_offset);
}

inline uint32_t *sync_timeout_middle(tamb_control_t *control) {
  return reinterpret_cast<uint32_t *>(reinterpret_cast<uintptr_t>(control) + sync_timeout_split);
}

inline uint16_t *sync_timeout_high(tamb_control_t *control) {
  return reinterpret_cast<uint16_t *>(reinterpret_cast<uintptr_t>(control) + sync_timeout_split +
                                      sizeof(uint32_t));
}

inline void sync_timeout_store(tamb_control_t *control, uint64_t usecs) {
  __atomic_store_n(sync_timeout_low(control), static_cast<uint16_t>(usecs), __ATOMIC_RELAXED);
  __atomic_store_n(sync_timeout_middle(control), static_cast<uint32_t>(usecs >> 16),
                   __ATOMIC_RELAXED);
  __atomic_store_n(sync_timeout_high(control), static_cast<uint16_t>(usecs >> 48),
                   __ATOMIC_RELAXED);
}

inline uint64_t sync_timeout_read_once(tamb_control_t *control) {
  uint64_t high = __atomic_load_n(sync_timeout_high(control), __ATOMIC_RELAXED);
  uint64_t middle = __atomic_load_n(sync_timeout_middle(control), __ATOMIC_RELAXED);
  uint64_t low = __atomic_load_n(sync_timeout_low(control), __ATOMIC_RELAXED);
  return high << 48 | middle << 16 | low;
}

inline uint64_t sync_timeout_load(tamb_control_t *control) {
  constexpr int readings_max = 8;
  uint64_t usecs = sync_timeout_read_once(control);
  for (int i = 1; i < readings_max; ++i) {
    uint64_t again = sync_timeout_read_once(control);
    if (again == usecs) break;
    usecs = again;
  }
  return usecs;
}

}  // namespace tamb

#endif
