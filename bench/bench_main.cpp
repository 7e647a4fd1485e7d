// main() of tamb-bench: Google Benchmark's run with repetitions, then the report.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "kit.h"
#include "ratio.h"
#include "report.h"

namespace {

using benchmark::BenchmarkReporter;
using tamb_bench::Timing;
using tamb_bench::Timings;

// Each benchmark runs once per round, at least 0.05 s, and tamb-bench runs five rounds: a ratio
// is the median of the five rounds' ratios, so that its two sides are always measured seconds
// apart. This machine's speed drifts by a third over minutes; within a round both sides see
// the same speed, where repetitions spread over the whole run saw different ones. libbenchmark
// 1.7 wants a bare number of seconds for the minimum time.
const char *const default_flags[][2] = {
    {"--benchmark_min_time", "--benchmark_min_time=0.05"},
};
constexpr int default_rounds = 5;

const char rounds_flag[] = "--tamb_rounds=";
const char report_dir_flag[] = "--tamb_report_dir=";

double to_ns(double time, benchmark::TimeUnit unit) {
  return time * 1e9 / benchmark::GetTimeUnitMultiplier(unit);
}

// Keeps the real time per iteration of each run. A console shows tamb-bench's own table of
// medians instead of every round's; other formats (JSON, CSV) pass through whole.
class RecordingReporter : public BenchmarkReporter {
 public:
  RecordingReporter(BenchmarkReporter *display, bool pass_through)
      : display_(display), pass_through_(pass_through) {}

  bool ReportContext(const Context &context) override {
    if (contexts_++ > 0) return true;
    return display_->ReportContext(context);
  }

  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) record(run);
    if (pass_through_) display_->ReportRuns(runs);
  }

  void Finalize() override {}
  void finish() { display_->Finalize(); }

  const Timings &timings() const { return timings_; }

 private:
  void record(const Run &run) {
    Timing &timing = timings_[run.run_name.str()];
    if (run.error_occurred) {
      timing.error = run.error_message;
    } else if (run.run_type == Run::RT_Iteration) {
      timing.iteration_ns.push_back(to_ns(run.GetAdjustedRealTime(), run.time_unit));
    } else if (run.aggregate_name == "median") {
      timing.median_ns = to_ns(run.GetAdjustedRealTime(), run.time_unit);
    }
  }

  // Owned by libbenchmark, which hands out the same object on every call.
  BenchmarkReporter *display_;
  bool pass_through_;
  int contexts_ = 0;
  Timings timings_;
};

const char *find_arg(const std::vector<char *> &args, const char *prefix) {
  for (const char *arg : args) {
    if (std::strncmp(arg, prefix, std::strlen(prefix)) == 0) return arg;
  }
  return nullptr;
}

std::string flag_value(const std::vector<char *> &args, const char *name, const char *fallback) {
  std::string prefix = std::string(name) + "=";
  const char *arg = find_arg(args, prefix.c_str());
  return arg != nullptr ? arg + prefix.size() : fallback;
}

}  // namespace

int main(int argc, char **argv) {
  // tamb-bench may run beside a real server: its servers register in a namespace of their own.
  std::string why;
  if (!kit::ipc_namespace_enter_private(&why)) {
    fprintf(stderr, "tamb-bench: %s; benchmarks that need a server will be skipped\n", why.c_str());
  }
  std::vector<char *> args;
  std::string report_dir;
  int rounds = default_rounds;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], report_dir_flag, sizeof report_dir_flag - 1) == 0) {
      report_dir = argv[i] + sizeof report_dir_flag - 1;
    } else if (std::strncmp(argv[i], rounds_flag, sizeof rounds_flag - 1) == 0) {
      rounds = std::max(1, std::atoi(argv[i] + sizeof rounds_flag - 1));
    } else {
      args.push_back(argv[i]);
    }
  }
  for (const auto &[name, flag] : default_flags) {
    if (find_arg(args, name) == nullptr) {
      args.insert(args.begin() + std::min<size_t>(1, args.size()), const_cast<char *>(flag));
    }
  }
  // libbenchmark takes its flags out of the arguments, so they are read first.
  tamb_bench::RunSettings settings;
  settings.repetitions = std::atoi(flag_value(args, "--benchmark_repetitions", "1").c_str());
  settings.min_time = flag_value(args, "--benchmark_min_time", "");
  bool listing = find_arg(args, "--benchmark_list_tests=true") != nullptr ||
                 find_arg(args, "--benchmark_list_tests=1") != nullptr;
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

  settings.filter = benchmark::GetBenchmarkFilter();
  settings.everything =
      settings.filter.empty() || settings.filter == "." || settings.filter == "all";

  BenchmarkReporter *display = benchmark::CreateDefaultDisplayReporter();
  // JSON or CSV on standard output must stay parseable, so everything else goes beside it.
  bool console = dynamic_cast<benchmark::ConsoleReporter *>(display) != nullptr;
  std::ostream &out = console ? display->GetOutputStream() : std::cerr;
  // One round where the output is for a program: its format has room for one run.
  if (!console || listing) rounds = 1;
  settings.repetitions *= rounds;
  tamb_bench::Machine machine = tamb_bench::machine_describe();
  if (!listing) {
    out << "processor: " << machine.processor << "; vectors up to " << machine.vector_bits
        << " bits (" << machine.vector_set << ")\nkernels: " << machine.kernels << "\n"
        << rounds << " rounds, each running every benchmark once for at least " << settings.min_time
        << " s; medians of the rounds reported\n"
        << std::endl;
  }
  RecordingReporter reporter(display, !console || listing);
  for (int round = 1; round <= rounds; ++round) {
    auto begun = std::chrono::steady_clock::now();
    benchmark::RunSpecifiedBenchmarks(&reporter);
    if (console && !listing) {
      std::chrono::duration<double> took = std::chrono::steady_clock::now() - begun;
      char line[64];
      std::snprintf(line, sizeof line, "round %d of %d: %.1f s", round, rounds, took.count());
      out << line << std::endl;
    }
  }
  reporter.finish();
  benchmark::Shutdown();
  if (listing) return 0;

  std::vector<tamb_bench::FigureResult> figures = tamb_bench::figures_run(settings);
  bool written =
      tamb_bench::report_finish(out, report_dir, machine, settings, reporter.timings(), figures);
  return written ? 0 : 1;
}
