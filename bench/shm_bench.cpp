// SPDX-License-Identifier: MIT
// Segment allocation and clean-up through the shared-memory registry, against the number of
// registry entries already in use. Allocation takes the first free entry, so with entries 0 to
// k - 1 in use it passes over k of them; both ends also take the registry lock and ask the
// system for a segment or its removal, which is most of their cost.
#include <benchmark/benchmark.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <chrono>
#include <vector>

#include "kit.h"
#include "ratio.h"
#include "tamb/shm.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t segment_size = 4096;
constexpr int entries_max = TAMB_REGISTRY_MAX_SEGMENTS;

int first_free_index() {
  const tamb_shm_registry_t *entry = tamb_get_free_shm_info();
  return entry != nullptr ? entry->index : entries_max;
}

// Segments that exist in the IPC namespace, removed or not, while any process has them attached.
int segments_alive() {
  shm_info info = {};
  return shmctl(0, SHM_INFO, reinterpret_cast<shmid_ds *>(&info)) == -1 ? -1 : info.used_ids;
}

// Entries 0 to in_use - 1 taken by segments this process allocated and attached, as a server's
// are; released and destroyed when it goes.
class Registry {
 public:
  Registry(benchmark::State &state, int in_use) : state_(state) {
    if (!kit::ipc_namespace_enter_private(nullptr)) {
      state.SkipWithError(
          "no private System V IPC namespace: run as root or allow user namespaces");
      return;
    }
    hooks::log_set_echo(false);
    if (tamb_register_server("shm-bench", 0) != 0) {
      state.SkipWithError("cannot register a server");
      return;
    }
    free_before_ = first_free_index();
    alive_before_ = segments_alive();
    while (first_free_index() < in_use) {
      tamb_shm_info_t segment = {TAMB_SHM_NULL_INDEX, TAMB_SHM_NOT_ATTACHED};
      if (tamb_shmalloc(segment_size, &segment) != 0 || tamb_attach_shm(&segment) != 0) {
        tamb_destroy_shm(&segment);
        state.SkipWithError("cannot fill the registry");
        return;
      }
      segments_.push_back(segment);
    }
    ready_ = first_free_index() == in_use;
    if (!ready_) state.SkipWithError("the registry holds entries this benchmark did not make");
  }

  // A benchmark that left a segment behind would change every later size's registry.
  ~Registry() {
    for (tamb_shm_info_t &segment : segments_) {
      tamb_release_shm(&segment);
      tamb_destroy_shm(&segment);
    }
    if (ready_ && (first_free_index() != free_before_ || segments_alive() != alive_before_)) {
      state_.SkipWithError("segments leaked");
    }
  }

  Registry(const Registry &) = delete;
  Registry &operator=(const Registry &) = delete;

  bool ready() const { return ready_; }

 private:
  benchmark::State &state_;
  std::vector<tamb_shm_info_t> segments_;
  int free_before_ = 0;
  int alive_before_ = 0;
  bool ready_ = false;
};

double seconds_between(Clock::time_point start, Clock::time_point end) {
  return std::chrono::duration<double>(end - start).count();
}

bool allocate(tamb_shm_info_t *segment) {
  *segment = {TAMB_SHM_NULL_INDEX, TAMB_SHM_NOT_ATTACHED};
  return tamb_shmalloc(segment_size, segment) == 0 && tamb_attach_shm(segment) == 0;
}

void clean_up(tamb_shm_info_t *segment) {
  tamb_release_shm(segment);
  tamb_destroy_shm(segment);
}

// One segment allocated and attached, as a server makes one; the clean-up is not timed.
void BM_ShmAllocate(benchmark::State &state) {
  const int in_use = static_cast<int>(state.range(0));
  Registry registry(state, in_use);
  if (!registry.ready()) return;
  for (auto _ : state) {
    tamb_shm_info_t segment;
    const Clock::time_point start = Clock::now();
    const bool made = allocate(&segment);
    const Clock::time_point end = Clock::now();
    const bool first_free = segment.index == in_use;
    clean_up(&segment);
    if (!made || !first_free || first_free_index() != in_use) {
      state.SkipWithError("the segment did not take the first free entry, or kept it");
      break;
    }
    state.SetIterationTime(seconds_between(start, end));
  }
}

// One segment detached and destroyed, its entry freed; the allocation is not timed.
void BM_ShmCleanUp(benchmark::State &state) {
  const int in_use = static_cast<int>(state.range(0));
  Registry registry(state, in_use);
  if (!registry.ready()) return;
  for (auto _ : state) {
    tamb_shm_info_t segment;
    if (!allocate(&segment)) {
      clean_up(&segment);
      state.SkipWithError("cannot allocate a segment");
      break;
    }
    const Clock::time_point start = Clock::now();
    clean_up(&segment);
    const Clock::time_point end = Clock::now();
    if (first_free_index() != in_use) {
      state.SkipWithError("the entry was not freed");
      break;
    }
    state.SetIterationTime(seconds_between(start, end));
  }
}

// The last size leaves one entry free: the allocation takes the registry's last. An iteration
// costs some microseconds, so a shorter run than the default still times thousands.
void SweepSizes(benchmark::internal::Benchmark *benchmark) {
  benchmark->RangeMultiplier(4)->Range(1, 64)->Arg(entries_max - 1);
  benchmark->UseManualTime()->MinTime(0.03);
}
BENCHMARK(BM_ShmAllocate)->Apply(SweepSizes);
BENCHMARK(BM_ShmCleanUp)->Apply(SweepSizes);

TAMB_SWEEP("shm: segment allocation against registry entries in use", "BM_ShmAllocate", 0, "entry");
TAMB_SWEEP("shm: segment clean-up against registry entries in use", "BM_ShmCleanUp", 0, "entry");

}  // namespace
