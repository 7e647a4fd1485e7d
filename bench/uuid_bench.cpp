// SPDX-License-Identifier: MIT
// Identifier generation and the text round trip, each against the least it could cost.
#include <benchmark/benchmark.h>
#include <pthread.h>

#include <cstdio>
#include <cstdlib>

#include "ratio.h"
#include "tamb/uuid.h"

namespace {

void BM_ClientUuidGenerate(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(tamb_client_uuid_generate());
}
BENCHMARK(BM_ClientUuidGenerate);

// A unique serial from any thread needs at least a lock around an increment.
void BM_MutexIncrementBaseline(benchmark::State& state) {
  static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  static uint32_t counter = 0;
  for (auto _ : state) {
    pthread_mutex_lock(&lock);
    uint32_t serial = ++counter;
    pthread_mutex_unlock(&lock);
    benchmark::DoNotOptimize(serial);
  }
}
BENCHMARK(BM_MutexIncrementBaseline);

TAMB_RATIO("uuid: client id vs mutex increment", "BM_ClientUuidGenerate",
           "BM_MutexIncrementBaseline");

// The value changes every iteration so that neither side can reuse the previous text; a round
// trip that loses the value stops the benchmark, because a fast wrong answer is no result.
constexpr uint64_t first_client_id = 0x200000001;

void BM_UuidTextRoundTrip(benchmark::State& state) {
  char text[TAMB_UUID_STRING_SIZE];
  tamb_uuid_t id = first_client_id;
  for (auto _ : state) {
    tamb_uuid_t back = 0;
    tamb_uuid_unparse(id, text);
    if (tamb_uuid_parse(text, &back) != 0 || back != id) {
      state.SkipWithError("identifier did not survive the text round trip");
      break;
    }
    benchmark::DoNotOptimize(back);
    ++id;
  }
}
BENCHMARK(BM_UuidTextRoundTrip);

void BM_SnprintfStrtoulBaseline(benchmark::State& state) {
  char text[TAMB_UUID_STRING_SIZE];
  unsigned long id = first_client_id;
  for (auto _ : state) {
    std::snprintf(text, sizeof text, "%lu", id);
    unsigned long back = std::strtoul(text, nullptr, 10);
    if (back != id) {
      state.SkipWithError("number did not survive the text round trip");
      break;
    }
    benchmark::DoNotOptimize(back);
    ++id;
  }
}
BENCHMARK(BM_SnprintfStrtoulBaseline);

TAMB_RATIO("uuid: text round trip vs snprintf+strtoul", "BM_UuidTextRoundTrip",
           "BM_SnprintfStrtoulBaseline");

}  // namespace
