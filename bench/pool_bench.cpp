// SPDX-License-Identifier: MIT
// Cache-line-aligned blocks against plain heap blocks of the same size.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "ratio.h"
#include "tamb/pool.h"

namespace {

// One byte is written so that the block is really handed out, not just reserved.
void BM_PoolAllocRelease(benchmark::State& state) {
  const auto size = static_cast<uint64_t>(state.range(0));
  for (auto _ : state) {
    void* block = tamb_pool_alloc(size);
    if (block == nullptr) {
      state.SkipWithError("tamb_pool_alloc returned null");
      break;
    }
    static_cast<char*>(block)[0] = 1;
    benchmark::DoNotOptimize(block);
    benchmark::ClobberMemory();
    tamb_pool_release(block);
  }
}
BENCHMARK(BM_PoolAllocRelease)->Arg(64)->Arg(4096)->Arg(65536);

void BM_MallocFreeBaseline(benchmark::State& state) {
  const auto size = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    void* block = std::malloc(size);
    if (block == nullptr) {
      state.SkipWithError("malloc returned null");
      break;
    }
    static_cast<char*>(block)[0] = 1;
    benchmark::DoNotOptimize(block);
    benchmark::ClobberMemory();
    std::free(block);
  }
}
BENCHMARK(BM_MallocFreeBaseline)->Arg(64)->Arg(4096)->Arg(65536);

TAMB_RATIO("pool: alloc/release 64 B vs malloc/free", "BM_PoolAllocRelease/64",
           "BM_MallocFreeBaseline/64");
TAMB_RATIO("pool: alloc/release 4096 B vs malloc/free", "BM_PoolAllocRelease/4096",
           "BM_MallocFreeBaseline/4096");
TAMB_RATIO("pool: alloc/release 65536 B vs malloc/free", "BM_PoolAllocRelease/65536",
           "BM_MallocFreeBaseline/65536");

}  // namespace
