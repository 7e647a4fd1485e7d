// SPDX-License-Identifier: MIT
// How fast the machine runs its cores while the benchmarks run: a chain of dependent multiplies
// and adds, which no cache, memory or kernel call touches. On a shared or virtual machine it moves
// with the speed the host grants; ratios between unlike work (arithmetic against memory, a call
// against a copy) move with it, and scripts/bench-compare says so when two runs differ.
#include <benchmark/benchmark.h>

#include <cstdint>

namespace {

constexpr int chain = 1000;

void BM_MachineReference(benchmark::State &state) {
  uint64_t x = 1;
  for (auto _ : state) {
    for (int i = 0; i < chain; ++i) {
      x = x * 6364136223846793005u + 1442695040888963407u;
      benchmark::DoNotOptimize(x);
    }
  }
}
BENCHMARK(BM_MachineReference);

}  // namespace
