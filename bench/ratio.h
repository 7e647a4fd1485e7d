// Pairs of benchmarks whose times are reported as a ratio at the end of a run.
//
// Absolute times on a shared machine are noise; a benchmark measured against a baseline in the
// same run is not. Register a pair beside the benchmarks it names:
//
//   TAMB_RATIO("uuid: client id vs mutex increment", "BM_ClientUuidGenerate",
//              "BM_MutexIncrementBaseline");
//
// Names are full run names as the console prints them, arguments included ("BM_MallocFree/64").
// A pair with a side that did not run (filtered out) is left out of the report.
#ifndef TAMB_BENCH_RATIO_H
#define TAMB_BENCH_RATIO_H

#include <string>
#include <vector>

namespace tamb_bench {

struct RatioPair {
  std::string label;
  std::string measured;
  std::string baseline;
};

// Returns a dummy value so that registration can run as a namespace-scope initialiser.
int RatioRegister(const char* label, const char* measured, const char* baseline);

// Every pair registered so far, in registration order.
const std::vector<RatioPair>& RatioPairs();

}  // namespace tamb_bench

#define TAMB_RATIO_CONCAT_INNER(a, b) a##b
#define TAMB_RATIO_CONCAT(a, b) TAMB_RATIO_CONCAT_INNER(a, b)

#define TAMB_RATIO(label, measured, baseline)                                       \
  [[maybe_unused]] static const int TAMB_RATIO_CONCAT(tamb_ratio_pair_, __LINE__) = \
      ::tamb_bench::RatioRegister(label, measured, baseline)

#endif
