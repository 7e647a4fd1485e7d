// main() of tamb-bench: Google Benchmark's usual run, then the ratio report.
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

namespace tamb_bench {

namespace {

// A function-local registry, because pairs register from initialisers in other files.
std::vector<RatioPair>& ratio_registry() {
  static std::vector<RatioPair> pairs;
  return pairs;
}

}  // namespace

int RatioRegister(const char* label, const char* measured, const char* baseline) {
  ratio_registry().push_back({label, measured, baseline});
  return 0;
}

const std::vector<RatioPair>& RatioPairs() { return ratio_registry(); }

}  // namespace tamb_bench

namespace {

using benchmark::BenchmarkReporter;

// Short enough that `make bench` stays well under a minute as suites are added. libbenchmark
// 1.7 wants a bare number of seconds here; later versions also accept "0.1s".
char default_min_time[] = "--benchmark_min_time=0.1";

// What one benchmark produced. With --benchmark_repetitions there is one time per repetition;
// with --benchmark_report_aggregates_only only the aggregates arrive, so the median is kept too.
struct Timing {
  std::vector<double> iteration_ns;
  double median_ns = -1;
  std::string error;
};

double to_ns(double time, benchmark::TimeUnit unit) {
  return time * 1e9 / benchmark::GetTimeUnitMultiplier(unit);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// Passes every call to the display reporter the flags asked for and keeps the real time per
// iteration of each run on the side.
class RecordingReporter : public BenchmarkReporter {
 public:
  explicit RecordingReporter(BenchmarkReporter* display) : display_(display) {}

  bool ReportContext(const Context& context) override { return display_->ReportContext(context); }

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) record(run);
    display_->ReportRuns(runs);
  }

  void Finalize() override { display_->Finalize(); }

  const std::map<std::string, Timing>& timings() const { return timings_; }

 private:
  void record(const Run& run) {
    Timing& timing = timings_[run.run_name.str()];
    if (run.error_occurred) {
      timing.error = run.error_message;
    } else if (run.run_type == Run::RT_Iteration) {
      timing.iteration_ns.push_back(to_ns(run.GetAdjustedRealTime(), run.time_unit));
    } else if (run.aggregate_name == "median") {
      timing.median_ns = to_ns(run.GetAdjustedRealTime(), run.time_unit);
    }
  }

  // Owned by libbenchmark, which hands out the same object on every call.
  BenchmarkReporter* display_;
  std::map<std::string, Timing> timings_;
};

bool has_arg(const std::vector<char*>& args, const char* prefix) {
  return std::any_of(args.begin(), args.end(), [prefix](const char* arg) {
    return std::strncmp(arg, prefix, std::strlen(prefix)) == 0;
  });
}

// Without a filter every registered benchmark runs, so a pair side that never ran is a
// misspelt name rather than a filtered one.
bool runs_everything() {
  std::string filter = benchmark::GetBenchmarkFilter();
  return filter.empty() || filter == "." || filter == "all";
}

std::string format_row(const std::string& label, int width, const char* rest) {
  char head[512];
  std::snprintf(head, sizeof head, "  %-*s  ", width, label.c_str());
  return head + std::string(rest) + "\n";
}

// Describes why a side has no time, or returns "" when it has one in *ns.
std::string side_problem(const std::map<std::string, Timing>& timings, const std::string& name,
                         double* ns) {
  auto found = timings.find(name);
  if (found == timings.end()) return "not run";
  const Timing& timing = found->second;
  if (!timing.error.empty()) return "failed: " + timing.error;
  if (!timing.iteration_ns.empty()) {
    *ns = median(timing.iteration_ns);
    return "";
  }
  if (timing.median_ns >= 0) {
    *ns = timing.median_ns;
    return "";
  }
  return "not run";
}

void print_ratio_report(std::ostream& out, const std::map<std::string, Timing>& timings) {
  // Nothing ran at all under --benchmark_list_tests; there is nothing to compare either.
  if (timings.empty()) return;
  const auto& pairs = tamb_bench::RatioPairs();
  bool check_names = runs_everything();
  int width = static_cast<int>(std::strlen("pair"));
  for (const auto& pair : pairs) width = std::max(width, static_cast<int>(pair.label.size()));

  std::string body;
  for (const auto& pair : pairs) {
    double measured = 0;
    double baseline = 0;
    std::string problem_m = side_problem(timings, pair.measured, &measured);
    std::string problem_b = side_problem(timings, pair.baseline, &baseline);
    if (problem_m.empty() && problem_b.empty()) {
      char rest[128];
      if (baseline > 0) {
        std::snprintf(rest, sizeof rest, "%12.2f  %12.2f  %7.2f", measured, baseline,
                      measured / baseline);
      } else {
        std::snprintf(rest, sizeof rest, "%12.2f  %12.2f  %7s", measured, baseline, "-");
      }
      body += format_row(pair.label, width, rest);
      continue;
    }
    // A filtered-out side is expected; a failed or unknown one must not pass unnoticed.
    for (const auto& [name, problem] :
         {std::pair{pair.measured, problem_m}, std::pair{pair.baseline, problem_b}}) {
      if (problem.empty() || (problem == "not run" && !check_names)) continue;
      std::string text = name + " " + problem;
      if (problem == "not run") text += " (no benchmark by that name)";
      body += format_row(pair.label, width, text.c_str());
    }
  }
  if (body.empty()) return;

  char header[128];
  std::snprintf(header, sizeof header, "%12s  %12s  %7s", "measured ns", "baseline ns", "ratio");
  out << "\nratio report (real time per iteration, median of repetitions)\n"
      << format_row("pair", width, header) << body;
  out.flush();
}

}  // namespace

int main(int argc, char** argv) {
  // tamb-bench may run beside a real server: its servers register in a namespace of their own.
  std::string why;
  if (!kit::ipc_namespace_enter_private(&why)) {
    fprintf(stderr, "tamb-bench: %s; benchmarks that need a server will be skipped\n", why.c_str());
  }
  std::vector<char*> args(argv, argv + argc);
  if (!has_arg(args, "--benchmark_min_time") && std::getenv("BENCHMARK_MIN_TIME") == nullptr) {
    args.insert(args.begin() + std::min<size_t>(1, args.size()), default_min_time);
  }
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

  BenchmarkReporter* display = benchmark::CreateDefaultDisplayReporter();
  RecordingReporter reporter(display);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  // JSON or CSV on standard output must stay parseable, so the table goes beside it.
  bool console = dynamic_cast<benchmark::ConsoleReporter*>(display) != nullptr;
  print_ratio_report(console ? display->GetOutputStream() : std::cerr, reporter.timings());
  return 0;
}
