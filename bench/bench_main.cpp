// main() of tamb-bench: Google Benchmark's run with repetitions, then the report.
#include <benchmark/benchmark.h>

#include <algorithm>
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

// Five repetitions, each long enough and interleaved with the other benchmarks', so that a
// ratio of medians moves little between runs and a slow moment of the machine hits one
// repetition of each side rather than every repetition of one. libbenchmark 1.7 wants a bare
// number of seconds for the minimum time.
const char *const default_flags[][2] = {
    {"--benchmark_repetitions", "--benchmark_repetitions=5"},
    {"--benchmark_min_time", "--benchmark_min_time=0.05"},
    {"--benchmark_enable_random_interleaving", "--benchmark_enable_random_interleaving=true"},
};

const char report_dir_flag[] = "--tamb_report_dir=";

double to_ns(double time, benchmark::TimeUnit unit) {
  return time * 1e9 / benchmark::GetTimeUnitMultiplier(unit);
}

// Keeps the real time per iteration of each run and passes on to the display reporter only
// what a reader wants on the console: the median of each benchmark's repetitions.
class RecordingReporter : public BenchmarkReporter {
 public:
  RecordingReporter(BenchmarkReporter *display, bool medians_only)
      : display_(display), medians_only_(medians_only) {}

  bool ReportContext(const Context &context) override { return display_->ReportContext(context); }

  void ReportRuns(const std::vector<Run> &runs) override {
    std::vector<Run> shown;
    for (const Run &run : runs) {
      record(run);
      bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (!medians_only_ || median || run.error_occurred) shown.push_back(run);
    }
    if (!shown.empty()) display_->ReportRuns(shown);
  }

  void Finalize() override { display_->Finalize(); }

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
  bool medians_only_;
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
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], report_dir_flag, sizeof report_dir_flag - 1) == 0) {
      report_dir = argv[i] + sizeof report_dir_flag - 1;
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
  tamb_bench::Machine machine = tamb_bench::machine_describe();
  if (!listing) {
    out << "processor: " << machine.processor << "; vectors up to " << machine.vector_bits
        << " bits (" << machine.vector_set << ")\nkernels: " << machine.kernels
        << "\nrepetitions: " << settings.repetitions << " of at least " << settings.min_time
        << " s each, interleaved; medians reported\n"
        << std::endl;
  }
  RecordingReporter reporter(display, console && settings.repetitions > 1);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  if (listing) return 0;

  std::vector<tamb_bench::FigureResult> figures = tamb_bench::figures_run(settings);
  bool written =
      tamb_bench::report_finish(out, report_dir, machine, settings, reporter.timings(), figures);
  return written ? 0 : 1;
}
