// SPDX-License-Identifier: MIT
// main() of tamb-bench: Google Benchmark's run with repetitions, then the report.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
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

// Each benchmark runs once per round, at least 0.05 s, and tamb-bench runs seven rounds, each in
// a process of its own: a ratio is the median of the seven rounds' ratios. Within a round both
// sides of a ratio run seconds apart, so they see the same speed of a machine whose speed drifts
// by a third over minutes; and each round has its own address space layout and heap, which moved
// the nanosecond-sized baselines (a call, malloc and free) by a quarter from one process to the
// next; five rounds still left two ratios in 33 moving by a fifth between runs. libbenchmark 1.7
// wants a bare number of seconds for the minimum time.
const char *const default_flags[][2] = {
    {"--benchmark_min_time", "--benchmark_min_time=0.05"},
};
constexpr int default_rounds = 7;

const char rounds_flag[] = "--tamb_rounds=";
const char round_out_flag[] = "--tamb_round_out=";
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

// A round's timings as the round's process hands them over: one line a benchmark, its name, its
// error or "-", and its times in nanoseconds.
bool timings_write(const std::string &path, const Timings &timings) {
  FILE *file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return false;
  for (const auto &[name, timing] : timings) {
    std::string error = timing.error.empty() ? "-" : timing.error;
    auto separator = [](char c) { return c == '\t' || c == '\n'; };
    std::replace_if(error.begin(), error.end(), separator, ' ');
    std::fprintf(file, "%s\t%s", name.c_str(), error.c_str());
    for (double ns : timing.iteration_ns) std::fprintf(file, "\t%.17g", ns);
    std::fprintf(file, "\n");
  }
  return std::fclose(file) == 0;
}

bool timings_read(const std::string &path, Timings *timings) {
  std::ifstream file(path);
  if (!file) return false;
  std::string line;
  while (std::getline(file, line)) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
      fields.push_back(line.substr(start, tab - start));
    }
    fields.push_back(line.substr(start));
    if (fields.size() < 2) return false;
    Timing &timing = (*timings)[fields[0]];
    if (fields[1] != "-") timing.error = fields[1];
    for (size_t i = 2; i < fields.size(); ++i) timing.iteration_ns.push_back(std::stod(fields[i]));
  }
  return true;
}

// Runs one round in a new process of this program: the timings it measured, or an error text.
std::string round_run(const std::vector<std::string> &arguments, const std::string &directory,
                      int round, Timings *timings) {
  std::string out = directory + "/round" + std::to_string(round);
  std::string log = out + ".log";
  std::vector<std::string> owned = arguments;
  owned.push_back(round_out_flag + out);
  std::vector<char *> argv;
  for (std::string &argument : owned) argv.push_back(argument.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = 0;
  int failed = posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) return std::string("cannot start a round: ") + std::strerror(failed);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !timings_read(out, timings)) {
    std::ifstream text(log);
    std::string what((std::istreambuf_iterator<char>(text)), std::istreambuf_iterator<char>());
    return "round " + std::to_string(round) + " failed:\n" + what;
  }
  return "";
}

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
  std::vector<std::string> round_arguments;
  std::string report_dir;
  std::string round_out;
  int rounds = default_rounds;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], report_dir_flag, sizeof report_dir_flag - 1) == 0) {
      report_dir = argv[i] + sizeof report_dir_flag - 1;
    } else if (std::strncmp(argv[i], rounds_flag, sizeof rounds_flag - 1) == 0) {
      rounds = std::max(1, std::atoi(argv[i] + sizeof rounds_flag - 1));
    } else if (std::strncmp(argv[i], round_out_flag, sizeof round_out_flag - 1) == 0) {
      round_out = argv[i] + sizeof round_out_flag - 1;
    } else {
      args.push_back(argv[i]);
      round_arguments.push_back(argv[i]);
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

  // A round's process: one round, its timings to the file, nothing else.
  if (!round_out.empty()) {
    RecordingReporter reporter(display, false);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return timings_write(round_out, reporter.timings()) ? 0 : 1;
  }

  // In this process where the output is for a program (its format has room for one run) or
  // only names are asked for.
  bool in_process = !console || listing;
  if (in_process) rounds = 1;
  settings.repetitions *= rounds;
  tamb_bench::Machine machine = tamb_bench::machine_describe();
  if (!listing) {
    out << "processor: " << machine.processor << "; vectors up to " << machine.vector_bits
        << " bits (" << machine.vector_set << ")\nkernels: " << machine.kernels << "\n"
        << rounds << " rounds, each a process running every benchmark once for at least "
        << settings.min_time << " s; medians of the rounds reported" << std::endl;
  }
  RecordingReporter reporter(display, in_process);
  Timings timings;
  if (in_process) {
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.finish();
    timings = reporter.timings();
  } else {
    char directory[] = "/tmp/tamb-bench-rounds-XXXXXX";
    if (mkdtemp(directory) == nullptr) {
      std::perror("tamb-bench: cannot make a directory for the rounds");
      return 1;
    }
    std::string failure;
    for (int round = 1; round <= rounds && failure.empty(); ++round) {
      auto begun = std::chrono::steady_clock::now();
      failure = round_run(round_arguments, directory, round, &timings);
      std::chrono::duration<double> took = std::chrono::steady_clock::now() - begun;
      char line[64];
      std::snprintf(line, sizeof line, "round %d of %d: %.1f s", round, rounds, took.count());
      out << line << std::endl;
    }
    std::filesystem::remove_all(directory);
    if (!failure.empty()) {
      std::cerr << "tamb-bench: " << failure << std::endl;
      return 1;
    }
  }
  benchmark::Shutdown();
  if (listing) return 0;

  std::vector<tamb_bench::FigureResult> figures = tamb_bench::figures_run(settings);
  bool written = tamb_bench::report_finish(out, report_dir, machine, settings, timings, figures);
  return written ? 0 : 1;
}
