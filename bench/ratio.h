// SPDX-License-Identifier: MIT
// What tamb-bench reports after Google Benchmark's own table: ratios, sweeps and figures.
//
// Absolute times on a shared machine are noise; a benchmark measured against a baseline in the
// same run is not. Register a pair beside the benchmarks it names:
//
//   TAMB_RATIO("uuid: client id vs mutex increment", "BM_ClientUuidGenerate",
//              "BM_MutexIncrementBaseline");
//   TAMB_RATIO_GOAL("ports: mixdown 8x1024 vs its limit", "BM_AudioMixdown/8",
//                   "BM_MixdownLimit/8", 1.15);
//
// Names are full run names as the console prints them, arguments included ("BM_MallocFree/64").
// A pair with a side that did not run (filtered out) is left out of the report. A goal is a
// ratio the library holds itself to; the report marks it met or missed.
//
// A sweep shows how one cost grows with a size. Its benchmarks form one family whose first
// argument is the size ("BM_MidiMerge/2", "BM_MidiMerge/4", ...; later arguments are allowed and
// must be the same across the family):
//
//   TAMB_SWEEP("midi: merge against sources", "BM_MidiMerge", 1, "source");
//
// `work` is the exponent at which the work itself grows with the size: 1 when each step does
// the same work per unit (per source, per connection, per record), 0 when the work does not
// depend on the size. The report fits cost = a * size^k by least squares on logarithms and
// marks the sweep met when k <= work + 0.1 and, for linear work, no size costs more than 1.2
// times the smallest size's cost per unit.
//
// TAMB_SWEEP_NLOGN is for work that grows as size * log2(size), as merging in time order the
// events of `size` sources does: each event is compared on a tournament log2(size) deep. The
// exponent goal is then the work's own fitted exponent over the same sizes, plus 0.1, and the
// cost per unit is the cost divided by size * log2(size).
//
// TAMB_SWEEP_BASELINE shows how a baseline grows, for comparison, without a goal.
//
// TAMB_SWEEP_FROM names the smallest size that takes the same path as the larger ones: the sizes
// below it are shown but neither fitted nor compared (one connection hands out a buffer without
// mixing, say).
//
// A figure is a measurement that is not a Google Benchmark loop (a session across processes,
// say). Its function runs after the benchmarks, when no filter is given or the filter matches
// its name, and returns the lines to print and the values to put in the JSON report.
#ifndef TAMB_BENCH_RATIO_H
#define TAMB_BENCH_RATIO_H

#include <string>
#include <utility>
#include <vector>

namespace tamb_bench {

struct RatioPair {
  std::string label;
  std::string measured;
  std::string baseline;
  double goal = 0;  // 0: no goal
};

struct Sweep {
  std::string title;
  std::string family;
  double work = 1;
  std::string unit;
  double fit_from = 0;  // smaller sizes take another path: shown, but neither fitted nor compared
  bool goal = true;     // false: a baseline, shown for comparison and held to nothing
  bool log_factor = false;  // the work is size^work * log2(size): a merge of `size` sources
};

struct Figure {
  std::vector<std::string> lines;                      // printed as they stand
  std::vector<std::pair<std::string, double>> values;  // named numbers for the JSON report
  double goal = 0;         // 0: no goal; else the most `goal_value` may be
  std::string goal_value;  // the name among `values` that the goal bounds
  std::string error;       // non-empty: the figure could not be measured, and why
};

using FigureFunction = Figure (*)();

// Each returns a dummy value so that registration can run as a namespace-scope initialiser.
int RatioRegister(const char* label, const char* measured, const char* baseline, double goal);
int SweepRegister(const char* title, const char* family, double work, const char* unit,
                  double fit_from, bool goal = true, bool log_factor = false);
int FigureRegister(const char* name, FigureFunction function);

// Everything registered so far, in registration order.
const std::vector<RatioPair>& RatioPairs();
const std::vector<Sweep>& Sweeps();
const std::vector<std::pair<std::string, FigureFunction>>& Figures();

}  // namespace tamb_bench

#define TAMB_RATIO_CONCAT_INNER(a, b) a##b
#define TAMB_RATIO_CONCAT(a, b) TAMB_RATIO_CONCAT_INNER(a, b)
#define TAMB_REPORT_ENTRY(call) \
  [[maybe_unused]] static const int TAMB_RATIO_CONCAT(tamb_report_entry_, __LINE__) = call

#define TAMB_RATIO(label, measured, baseline) \
  TAMB_REPORT_ENTRY(::tamb_bench::RatioRegister(label, measured, baseline, 0))
#define TAMB_RATIO_GOAL(label, measured, baseline, goal) \
  TAMB_REPORT_ENTRY(::tamb_bench::RatioRegister(label, measured, baseline, goal))
#define TAMB_SWEEP(title, family, work, unit) \
  TAMB_REPORT_ENTRY(::tamb_bench::SweepRegister(title, family, work, unit, 0))
#define TAMB_SWEEP_BASELINE(title, family, work, unit) \
  TAMB_REPORT_ENTRY(::tamb_bench::SweepRegister(title, family, work, unit, 0, false))
#define TAMB_SWEEP_NLOGN(title, family, unit) \
  TAMB_REPORT_ENTRY(::tamb_bench::SweepRegister(title, family, 1, unit, 0, true, true))
#define TAMB_SWEEP_FROM(title, family, work, unit, fit_from) \
  TAMB_REPORT_ENTRY(::tamb_bench::SweepRegister(title, family, work, unit, fit_from))
#define TAMB_FIGURE(name, function) TAMB_REPORT_ENTRY(::tamb_bench::FigureRegister(name, function))

#endif
