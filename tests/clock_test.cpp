// SPDX-License-Identifier: MIT
// The clock sources. The HPET is exercised through a fake device: a forked child gets a private
// mount namespace with an empty /dev, and /dev/hpet there is a prepared file whose counter the
// test rewrites through its own mapping.
#include "tamb/clock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "kit.h"
#include "support.h"
#include "tamb/transport.h"

namespace {

constexpr uint64_t kWrap = uint64_t{1} << 32;
constexpr uint32_t kCounter64 = 0x2000;
constexpr uint32_t kTypicalPeriod = 69841279;  // femtoseconds per tick of a 14.318 MHz HPET

// The system reader as _tamb_get_microseconds holds it: with clang the function itself is of
// a nonblocking type, which C++ does not compare with the plain pointer.
const tamb_clock_function_t kSystemClock = tamb_get_microseconds_from_system;

// A failed check in a child: says where and ends the child's body with status 1.
#define CHILD_CHECK(cond)                                                      \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      return 1;                                                                \
    }                                                                          \
  } while (0)

// Exact microseconds of ticks at period femtoseconds, halves rounded up; every case here stays
// below 2^64 femtoseconds.
uint64_t ExactMicroseconds(uint64_t ticks, uint32_t period) {
  uint64_t femto = ticks * period;
  EXPECT_EQ(femto / period, ticks) << "case out of range";
  return (femto + 500000000) / 1000000000;
}

// The registers of a fake HPET: 1024 bytes, capabilities and period at the start, main
// counter at byte 240.
std::string HpetRegisters(uint32_t capabilities, uint32_t period, uint64_t counter) {
  std::string bytes(1024, '\0');
  memcpy(&bytes[0], &capabilities, 4);
  memcpy(&bytes[4], &period, 4);
  memcpy(&bytes[240], &counter, 8);
  return bytes;
}

// Replaces /dev with an empty tmpfs in this child's private mount namespace.
bool EmptyDev(std::string *why) {
  if (!support::enter_mount_namespace(why)) return false;
  if (mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0) {
    *why = std::string("cannot mount a tmpfs over /dev: ") + strerror(errno);
    return false;
  }
  return true;
}

// A fake device whose main counter the test sets; the library maps the same file.
class FakeHpet {
 public:
  bool Create(uint32_t capabilities, uint32_t period, uint64_t counter, std::string *why) {
    if (!EmptyDev(why)) return false;
    int fd = open("/dev/hpet", O_RDWR | O_CREAT | O_TRUNC, 0644);
    std::string bytes = HpetRegisters(capabilities, period, counter);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
      *why = std::string("cannot write the fake device: ") + strerror(errno);
      return false;
    }
    void *map = mmap(nullptr, bytes.size(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) {
      *why = std::string("cannot map the fake device: ") + strerror(errno);
      return false;
    }
    counter_ = reinterpret_cast<uint64_t *>(static_cast<char *>(map) + 240);
    return true;
  }

  void Set(uint64_t value) { __atomic_store_n(counter_, value, __ATOMIC_RELEASE); }

 private:
  uint64_t *counter_ = nullptr;
};

// Runs body in a child; a child that could not set up its namespace skips the test.
#define RUN_CHILD(...)                                                               \
  do {                                                                               \
    int status = support::run_in_child(__VA_ARGS__);                                 \
    if (status == support::child_skipped) GTEST_SKIP() << "namespaces refused here"; \
    EXPECT_EQ(status, 0);                                                            \
  } while (0)

#define SKIP_UNLESS(ok, why)                           \
  do {                                                 \
    if (!(ok)) {                                       \
      fprintf(stderr, "skipped: %s\n", (why).c_str()); \
      return support::child_skipped;                   \
    }                                                  \
  } while (0)

int OpenDescriptors() {
  int count = 0;
  for ([[maybe_unused]] auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

TEST(ClockSource, NamesAndTheSystemSourceForEveryOtherValue) {
  EXPECT_STREQ(tamb_clock_source_name(TAMB_CLOCK_SYSTEM), "system clock via clock_gettime");
  EXPECT_STREQ(tamb_clock_source_name(TAMB_CLOCK_HPET), "hpet");
  EXPECT_STREQ(tamb_clock_source_name(2), "unknown");
  EXPECT_STREQ(tamb_clock_source_name(-1), "unknown");

  hooks::log_clear();
  for (int32_t source : {2, -1, 0}) {
    _tamb_get_microseconds = nullptr;
    tamb_set_clock_source(source);
    EXPECT_EQ(_tamb_get_microseconds, kSystemClock) << source;
  }
  EXPECT_TRUE(hooks::log_messages().empty()) << "the device must not be touched";
  tamb_init_time();
  EXPECT_EQ(_tamb_get_microseconds, kSystemClock);
}

TEST(ClockSource, SystemReadingIsTheMonotonicClockInWholeMicroseconds) {
  for (int i = 0; i < 1000; ++i) {
    timespec before, after;
    clock_gettime(CLOCK_MONOTONIC, &before);
    tamb_time_t usecs = tamb_get_microseconds_from_system();
    clock_gettime(CLOCK_MONOTONIC, &after);
    EXPECT_GE(usecs, static_cast<uint64_t>(before.tv_sec) * 1000000 + before.tv_nsec / 1000);
    EXPECT_LE(usecs, static_cast<uint64_t>(after.tv_sec) * 1000000 + after.tv_nsec / 1000);
  }
}

TEST(ClockSource, ReadingsBeforeAnyChoiceUseTheSystemClock) {
  _tamb_get_microseconds = nullptr;
  tamb_time_t before = tamb_get_microseconds_from_system();
  tamb_time_t usecs = tamb_get_time();
  EXPECT_GE(usecs, before);
  EXPECT_LE(usecs, tamb_get_microseconds_from_system());
  EXPECT_EQ(_tamb_get_microseconds, nullptr) << "the choice stays the process's to make";
}

TEST(Hpet, MissingDeviceIsReportedAndTheSystemClockUsed) {
  RUN_CHILD([] {
    std::string why;
    SKIP_UNLESS(EmptyDev(&why), why);
    hooks::log_set_echo(false);
    CHILD_CHECK(tamb_hpet_init() == -1);
    CHILD_CHECK(hooks::log_has(hooks::Level::error,
                               "This system has no accessible HPET device (No such file or "
                               "directory)"));
    hooks::log_clear();
    tamb_set_clock_source(TAMB_CLOCK_HPET);
    CHILD_CHECK(hooks::log_count(hooks::Level::error) == 1);
    CHILD_CHECK(_tamb_get_microseconds == kSystemClock);
    return 0;
  });
}

TEST(Hpet, UnmappableDeviceIsReportedClosedAndTheSystemClockUsed) {
  RUN_CHILD([] {
    std::string why;
    SKIP_UNLESS(EmptyDev(&why), why);
    // A directory opens read-only but cannot be mapped.
    CHILD_CHECK(mkdir("/dev/hpet", 0755) == 0);
    hooks::log_set_echo(false);
    int descriptors = OpenDescriptors();
    tamb_set_clock_source(TAMB_CLOCK_HPET);
    CHILD_CHECK(hooks::log_has(hooks::Level::error,
                               "This system has no mappable HPET device (No such device)"));
    CHILD_CHECK(OpenDescriptors() == descriptors);
    CHILD_CHECK(_tamb_get_microseconds == kSystemClock);
    return 0;
  });
}

TEST(Hpet, ThirtyTwoBitCounterWrapAddsTwoToThe32TicksToEveryLaterReading) {
  RUN_CHILD([] {
    FakeHpet hpet;
    std::string why;
    SKIP_UNLESS(hpet.Create(0, kTypicalPeriod, 4294967295u, &why), why);
    tamb_set_clock_source(TAMB_CLOCK_HPET);
    CHILD_CHECK(_tamb_get_microseconds != kSystemClock);
    tamb_time_t before_wrap = _tamb_get_microseconds();
    CHILD_CHECK(before_wrap == ExactMicroseconds(4294967295u, kTypicalPeriod));
    hpet.Set(0);
    tamb_time_t at_wrap = _tamb_get_microseconds();
    CHILD_CHECK(at_wrap == ExactMicroseconds(kWrap, kTypicalPeriod));
    CHILD_CHECK(at_wrap >= before_wrap);
    // Repeated readings of one value count nothing more; later values keep the offset.
    CHILD_CHECK(_tamb_get_microseconds() == at_wrap);
    for (uint64_t value : {1000u, 3000000000u, 4294967295u}) {
      hpet.Set(value);
      CHILD_CHECK(_tamb_get_microseconds() == ExactMicroseconds(kWrap + value, kTypicalPeriod));
    }
    hpet.Set(7);
    CHILD_CHECK(_tamb_get_microseconds() == ExactMicroseconds(2 * kWrap + 7, kTypicalPeriod));
    return 0;
  });
}

TEST(Hpet, SixtyFourBitCounterNeverWraps) {
  RUN_CHILD([] {
    FakeHpet hpet;
    std::string why;
    SKIP_UNLESS(hpet.Create(kCounter64, kTypicalPeriod, 5 * kWrap + 9, &why), why);
    tamb_set_clock_source(TAMB_CLOCK_HPET);
    CHILD_CHECK(_tamb_get_microseconds() == ExactMicroseconds(5 * kWrap + 9, kTypicalPeriod));
    // A smaller value than the previous one changes nothing.
    hpet.Set(1000);
    CHILD_CHECK(_tamb_get_microseconds() == ExactMicroseconds(1000, kTypicalPeriod));
    hpet.Set(2000);
    CHILD_CHECK(_tamb_get_microseconds() == ExactMicroseconds(2000, kTypicalPeriod));
    return 0;
  });
}

TEST(Hpet, ExactHalfMicrosecondRoundsUp) {
  RUN_CHILD([] {
    FakeHpet hpet;
    std::string why;
    // 0.1 microseconds per tick.
    SKIP_UNLESS(hpet.Create(kCounter64, 100000000, 0, &why), why);
    tamb_set_clock_source(TAMB_CLOCK_HPET);
    const struct {
      uint64_t ticks;
      tamb_time_t usecs;
    } cases[] = {{4, 0}, {5, 1}, {6, 1}, {14, 1}, {15, 2}, {25, 3}, {4294967295u, 429496730}};
    for (const auto &c : cases) {
      hpet.Set(c.ticks);
      tamb_time_t usecs = _tamb_get_microseconds();
      if (usecs != c.usecs) {
        fprintf(stderr, "%lu ticks: %lu us, expected %lu\n", c.ticks, usecs, c.usecs);
        return 1;
      }
    }
    return 0;
  });
  // With a real period: 500000000 ticks are 34920639.5 microseconds.
  RUN_CHILD([] {
    FakeHpet hpet;
    std::string why;
    SKIP_UNLESS(hpet.Create(kCounter64, kTypicalPeriod, 500000000, &why), why);
    tamb_set_clock_source(TAMB_CLOCK_HPET);
    CHILD_CHECK(_tamb_get_microseconds() == 34920640);
    return 0;
  });
}

// Several threads read while the counter laps again and again for 0.4 s; the writer reads
// after every step, so no lap goes unseen. Each lap must be counted exactly once and no thread may
// see time go backwards.
TEST(Hpet, ConcurrentReadersCountEachWrapExactlyOnce) {
  RUN_CHILD([] {
    FakeHpet hpet;
    std::string why;
    // One tick per microsecond keeps the arithmetic obvious.
    SKIP_UNLESS(hpet.Create(0, 1000000000, 0, &why), why);
    tamb_set_clock_source(TAMB_CLOCK_HPET);
    constexpr uint64_t kStep = kWrap / 4 + 1;
    std::atomic<bool> done{false};
    std::atomic<int> backwards{0};
    std::vector<std::thread> readers;
    unsigned reader_count = std::thread::hardware_concurrency() + 1;
    for (unsigned i = 0; i < reader_count; ++i) {
      readers.emplace_back([&] {
        tamb_time_t last = 0;
        while (!done.load(std::memory_order_relaxed)) {
          tamb_time_t now = _tamb_get_microseconds();
          if (now < last) backwards.fetch_add(1);
          last = now;
        }
      });
    }
    uint64_t ticks = 0;
    auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(400)) {
      for (int step = 0; step < 4000; ++step) {
        ticks += kStep;
        hpet.Set(ticks % kWrap);
        _tamb_get_microseconds();
      }
    }
    done = true;
    for (std::thread &reader : readers) reader.join();
    CHILD_CHECK(backwards.load() == 0);
    tamb_time_t final_reading = _tamb_get_microseconds();
    if (final_reading != ticks) {
      fprintf(stderr, "after %lu laps: %lu, expected %lu (%+ld laps)\n", ticks / kWrap,
              final_reading, ticks, static_cast<long>((final_reading - ticks) / kWrap));
      return 1;
    }
    return 0;
  });
}

}  // namespace
