// SPDX-License-Identifier: MIT
// The client's real-time reads of time and transport, each against what a plainer design or a
// single clock read would cost.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>

#include "guarded_copy.h"
#include "kit.h"
#include "kit_cycle.h"
#include "ratio.h"
#include "tamb/tamb.h"

namespace {

// A server whose current position and frame timer hold values, with one client.
struct Setup {
  kit::Server server{16, 1024};
  tamb_client_t *client;

  Setup() {
    tamb_control_t *control = server.control();
    control->current_position.head_id = control->current_position.tail_id = 1;
    control->current_position.frame_rate = 48000;
    control->current_position.frame = 96000;
    control->transport_state = TAMB_TRANSPORT_ROLLING;
    client = &server.add_client("bench")->handle;
    tamb_frame_timer_t timer{};
    timer.cycle_start_frame = 96000;
    timer.cycle_start_usecs = 2000000;
    timer.next_cycle_usecs = 2021333;
    timer.period_usecs = 21333.33f;
    timer.initialized = 1;
    kit::frame_timer_write(control, timer);
  }
};

void BM_TransportQuery(benchmark::State &state) {
  Setup setup;
  tamb_position_t position;
  for (auto _ : state) {
    benchmark::DoNotOptimize(tamb_transport_query(setup.client, &position));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_TransportQuery);

// The same 136 bytes read under a lock, as a design with a mutex around the position would.
void BM_MutexCopy136Baseline(benchmark::State &state) {
  Setup setup;
  static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  tamb_position_t position;
  for (auto _ : state) {
    pthread_mutex_lock(&lock);
    memcpy(&position, &setup.server.control()->current_position, sizeof position);
    pthread_mutex_unlock(&lock);
    benchmark::DoNotOptimize(position);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_MutexCopy136Baseline);

TAMB_RATIO_GOAL("transport: query vs mutex-protected copy", "BM_TransportQuery",
                "BM_MutexCopy136Baseline", 0.6);

// What the guarded read's body copy costs. The reader loads the tail guard, copies the record
// and loads the head guard; the copy is a plain memcpy, which ThreadSanitizer builds leave
// uninstrumented (the guards reject what a writer tore). The alternative that needs no such
// exception copies the record as relaxed atomic words; the current position starts at offset
// 12, so only 4-byte words keep every one of them within a cache line.
void BM_PositionGuardedRead(benchmark::State &state) {
  Setup setup;
  const tamb_position_t *current = &setup.server.control()->current_position;
  tamb_position_t position;
  for (auto _ : state) {
    benchmark::DoNotOptimize(tamb::position_try_read(current, &position));
    benchmark::DoNotOptimize(position);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_PositionGuardedRead);

bool position_try_read_words(const tamb_position_t *from, tamb_position_t *to) {
  constexpr size_t words = sizeof(tamb_position_t) / sizeof(uint32_t);
  const char *bytes = reinterpret_cast<const char *>(from);
  auto *in = reinterpret_cast<const uint32_t *>(bytes);
  uint32_t out[words];
  uint64_t tail = __atomic_load_n(TAMB_WORD(from->tail_id), __ATOMIC_ACQUIRE);
  for (size_t i = 0; i < words; ++i) out[i] = __atomic_load_n(in + i, __ATOMIC_RELAXED);
  std::atomic_thread_fence(std::memory_order_acquire);
  memcpy(to, out, sizeof out);
  return __atomic_load_n(TAMB_WORD(from->head_id), __ATOMIC_RELAXED) == tail;
}

void BM_PositionAtomicWordsReadBaseline(benchmark::State &state) {
  Setup setup;
  const tamb_position_t *current = &setup.server.control()->current_position;
  tamb_position_t position;
  for (auto _ : state) {
    benchmark::DoNotOptimize(position_try_read_words(current, &position));
    benchmark::DoNotOptimize(position);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_PositionAtomicWordsReadBaseline);

TAMB_RATIO("transport: guarded read of a position vs 136-byte memcpy", "BM_PositionGuardedRead",
           "BM_PositionMemcpyBaseline");
TAMB_RATIO("transport: guarded read, body as atomic words vs memcpy",
           "BM_PositionAtomicWordsReadBaseline", "BM_PositionGuardedRead");

// The time changes every iteration so that nothing can be reused.
void BM_TimeToFrames(benchmark::State &state) {
  Setup setup;
  tamb_time_t usecs = 2000000;
  for (auto _ : state) {
    benchmark::DoNotOptimize(tamb_time_to_frames(setup.client, usecs));
    usecs = usecs < 2021333 ? usecs + 1 : 2000000;
  }
}
BENCHMARK(BM_TimeToFrames);

void BM_ClockGettimeBaseline(benchmark::State &state) {
  timespec now;
  for (auto _ : state) {
    clock_gettime(CLOCK_MONOTONIC, &now);
    benchmark::DoNotOptimize(now);
  }
}
BENCHMARK(BM_ClockGettimeBaseline);

TAMB_RATIO("time: time_to_frames vs clock_gettime", "BM_TimeToFrames", "BM_ClockGettimeBaseline");

// Only where the device exists; choosing it changes this process's clock for good, which no
// other benchmark here depends on.
void BM_HpetReading(benchmark::State &state) {
  tamb_set_clock_source(TAMB_CLOCK_HPET);
  if (_tamb_get_microseconds == tamb_clock_function_t{tamb_get_microseconds_from_system}) {
    state.SkipWithError("the HPET could not be opened and mapped");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(_tamb_get_microseconds());
}

[[maybe_unused]] const bool hpet_registered = [] {
  if (access("/dev/hpet", R_OK) != 0) return false;
  benchmark::RegisterBenchmark("BM_HpetReading", BM_HpetReading);
  tamb_bench::RatioRegister("clock: HPET reading vs clock_gettime", "BM_HpetReading",
                            "BM_ClockGettimeBaseline", 0);
  return true;
}();

}  // namespace
