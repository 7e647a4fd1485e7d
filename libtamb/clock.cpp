// SPDX-License-Identifier: MIT
// The process-wide microsecond clock: CLOCK_MONOTONIC, or the HPET main counter read from a
// read-only mapping of /dev/hpet without a system call.
#include "tamb/clock.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "nonblocking.h"
#include "outside.h"
#include "time_units.h"

namespace {

// Register offsets in the HPET mapping.
constexpr size_t hpet_map_size = 1024;
constexpr size_t hpet_capabilities = 0;
constexpr size_t hpet_period_offset = 4;
constexpr size_t hpet_counter = 240;
constexpr uint32_t hpet_counter_64bit = 0x2000;

// The counter's period is given in femtoseconds.
constexpr long double usecs_per_fsec = 1e-9L;

int32_t hpet_fd = -1;
const char *hpet_ptr = nullptr;
uint32_t hpet_period = 0;  // femtoseconds per tick
uint64_t hpet_wrap = 0;    // 2^32 for a 32-bit counter, 0 for a 64-bit one

// The counter value seen last and the sum of the wraps seen so far, in one word: for a 32-bit
// counter the previous value lies below 2^32 and the offset is a multiple of 2^32, so
// hpet_count = hpet_offset + hpet_previous holds both exactly and one compare-and-swap moves
// them together. Two separate words let a reader that was overtaken store an older previous
// value after a newer one, and the next reading would count the same wrap a second time.
std::atomic<uint64_t> hpet_count{0};

uint64_t hpet_read_counter() {
  return __atomic_load_n(reinterpret_cast<const uint64_t *>(hpet_ptr + hpet_counter),
                         __ATOMIC_RELAXED);
}

// The tick count since the counter's start, wraps included.
uint64_t hpet_ticks() {
  // A 64-bit counter does not wrap within any realistic uptime; nothing to keep.
  if (hpet_wrap == 0) return hpet_read_counter();
  const uint64_t low_mask = hpet_wrap - 1;
  uint64_t count = hpet_count.load(std::memory_order_acquire);
  for (;;) {
    // Read after the state it is compared with, so that a smaller value than the previous
    // one can only mean a wrap, never a reading that another thread has already overtaken.
    // The upper half of a 32-bit counter reads as zero; the mask keeps the state exact if not.
    uint64_t value = hpet_read_counter() & low_mask;
    uint64_t previous = count & low_mask;
    uint64_t offset = count - previous;
    if (previous > value) offset += hpet_wrap;
    uint64_t ticks = offset + value;
    if (ticks == count || hpet_count.compare_exchange_weak(count, ticks, std::memory_order_acq_rel,
                                                           std::memory_order_acquire)) {
      return ticks;
    }
  }
}

tamb_time_t tamb_get_microseconds_from_hpet() {
  // Femtoseconds to microseconds, rounded to the nearest. The 64-bit significand of the x87
  // format holds the product of ticks and period exactly for the first 2^64 femtoseconds
  // (about five hours of counting).
  long double usecs = static_cast<long double>(hpet_ticks()) * hpet_period * usecs_per_fsec + 0.5L;
  constexpr long double past_range = 18446744073709551616.0L;  // 2^64
  if (usecs >= past_range) return UINT64_MAX;
  return static_cast<tamb_time_t>(usecs);
}

}  // namespace

extern "C" {

TAMB_API tamb_clock_function_t _tamb_get_microseconds = nullptr;

TAMB_API tamb_time_t tamb_get_microseconds_from_system(void) {
  timespec now;
  // Served by the vDSO: a read of the clock, no system call.
  TAMB_NONBLOCKING_EXEMPT(clock_gettime(CLOCK_MONOTONIC, &now));
  double secs = static_cast<double>(static_cast<uint64_t>(now.tv_sec));
  double nsecs = static_cast<double>(static_cast<uint64_t>(now.tv_nsec));
  return static_cast<tamb_time_t>(secs * static_cast<double>(tamb::usecs_per_sec) +
                                  nsecs / static_cast<double>(tamb::nsecs_per_usec));
}

TAMB_API int tamb_hpet_init(void) {
  hpet_fd = open("/dev/hpet", O_RDONLY);
  if (hpet_fd < 0) {
    TAMB_ERROR("This system has no accessible HPET device (%s)", strerror(errno));
    return -1;
  }
  void *map = mmap(nullptr, hpet_map_size, PROT_READ, MAP_SHARED, hpet_fd, 0);
  if (map == MAP_FAILED) {
    TAMB_ERROR("This system has no mappable HPET device (%s)", strerror(errno));
    close(hpet_fd);
    hpet_fd = -1;
    return -1;
  }
  hpet_ptr = static_cast<const char *>(map);
  uint32_t capabilities;
  memcpy(&capabilities, hpet_ptr + hpet_capabilities, sizeof capabilities);
  memcpy(&hpet_period, hpet_ptr + hpet_period_offset, sizeof hpet_period);
  hpet_wrap = (capabilities & hpet_counter_64bit) != 0 ? 0 : uint64_t{1} << 32;
  return 0;
}

TAMB_API void tamb_set_clock_source(int32_t source) {
  if (source == TAMB_CLOCK_HPET && tamb_hpet_init() == 0) {
    _tamb_get_microseconds = tamb_get_microseconds_from_hpet;
  } else {
    _tamb_get_microseconds = tamb_get_microseconds_from_system;
  }
}

TAMB_API const char *tamb_clock_source_name(int32_t source) {
  switch (source) {
    case TAMB_CLOCK_SYSTEM:
      return "system clock via clock_gettime";
    case TAMB_CLOCK_HPET:
      return "hpet";
    default:
      return "unknown";
  }
}

TAMB_API void tamb_init_time(void) {}

}  // extern "C"
