// SPDX-License-Identifier: MIT
// The report tamb-bench prints after Google Benchmark's table, and writes for scripts: the
// machine it ran on, the ratios, the sweeps with their fitted growth, the figures, a JSON file
// of all of them and a plot of the sweeps.
#ifndef TAMB_BENCH_REPORT_H
#define TAMB_BENCH_REPORT_H

#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "ratio.h"

namespace tamb_bench {

// What one benchmark produced: the real time per iteration of each repetition, or only the
// median when the repetitions themselves were not passed on.
struct Timing {
  std::vector<double> iteration_ns;
  double median_ns = -1;
  std::string error;
};

using Timings = std::map<std::string, Timing>;

struct Machine {
  std::string processor;  // model name as the kernel reports it
  int vector_bits = 0;    // widest vectors the processor has
  std::string vector_set;
  std::string kernels;  // the copy and mix kernels ports use, and how wide they run
};

Machine machine_describe();

// printf into a string, cut at 511 bytes: the report's lines and a figure's.
std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// The size a run name of family carries as its first argument ("BM_X/8", "BM_X/8/2",
// "BM_X/n:8"); 0 when the name is not of the family or carries no size.
double size_of(const std::string &family, const std::string &name);

// The exponent k of cost = a * size^k fitted by least squares on the logarithms of (size, cost)
// points; NaN for fewer than two distinct sizes.
double fitted_exponent(const std::vector<std::pair<double, double>> &points);

struct RunSettings {
  int repetitions = 1;
  std::string min_time;    // seconds per repetition, as given to libbenchmark
  bool everything = true;  // no filter: a pair or sweep with a side missing is a misspelt name
  std::string filter;
};

// A figure measured after the benchmarks.
struct FigureResult {
  std::string name;
  Figure figure;
};

// Runs the registered figures the filter selects.
std::vector<FigureResult> figures_run(const RunSettings &settings);

// Prints the ratios, sweeps and figures; with a directory, also writes report.json, sweeps.dat,
// sweeps.gp and, when gnuplot is installed, sweeps.svg there. False when the report could not
// be written.
bool report_finish(std::ostream &out, const std::string &directory, const Machine &machine,
                   const RunSettings &settings, const Timings &timings,
                   const std::vector<FigureResult> &figures);

}  // namespace tamb_bench

#endif
