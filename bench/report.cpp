// SPDX-License-Identifier: MIT
// The report after the benchmarks: machine, ratios, sweeps, figures; the JSON file and the plot.
#include "report.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

#include "hooks.h"
#include "tamb/hooks.h"

namespace tamb_bench {

namespace {

// A sweep may grow this much faster than its work, and a unit of work may cost this much more
// at any size than at the smallest.
constexpr double exponent_slack = 0.1;
constexpr double per_unit_limit = 1.2;

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// Describes why a benchmark has no time, or returns "" when it has one in *ns.
std::string time_of(const Timings &timings, const std::string &name, double *ns) {
  auto found = timings.find(name);
  if (found == timings.end()) return "not run";
  const Timing &timing = found->second;
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

std::string json_text(const std::string &text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      out += format("\\u%04x", c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string json_number(double value) {
  if (!std::isfinite(value)) return "null";
  return format("%.6g", value);
}

std::string goal_label(const std::string &label, double goal) {
  return goal > 0 ? label + format(" (goal %g)", goal) : label;
}

// One ratio as measured, or why it could not be.
struct RatioResult {
  const RatioPair *pair;
  double measured = 0;
  double baseline = 0;
  std::string problem;  // "" when both sides ran
  double paired = NAN;  // the median of the rounds' own ratios, when both sides ran every round
  double ratio() const {
    if (!std::isnan(paired)) return paired;
    return baseline > 0 ? measured / baseline : NAN;
  }
  bool met() const { return pair->goal <= 0 || ratio() <= pair->goal; }
};

struct SweepResult {
  const Sweep *sweep;
  std::vector<std::pair<double, double>> points;  // size, ns per iteration; by size
  std::string problem;
  double exponent = NAN;
  double worst_per_unit = NAN;  // highest cost per unit against the smallest size's
  double worst_size = 0;
  size_t first = 0;  // the first point fitted and compared

  double work_exponent = NAN;  // the work's own growth over the fitted sizes

  double work_of(double size) const {
    double work = std::pow(size, sweep->work);
    return sweep->log_factor ? work * std::log2(std::max(size, 2.0)) : work;
  }
  double per_unit(size_t i) const { return points[i].second / work_of(points[i].first); }
  double exponent_goal() const { return work_exponent + exponent_slack; }
  bool exponent_met() const { return exponent <= exponent_goal(); }
  bool per_unit_met() const { return sweep->work < 1 || worst_per_unit <= per_unit_limit; }
  bool met() const {
    return problem.empty() && (!sweep->goal || (exponent_met() && per_unit_met()));
  }
};

SweepResult sweep_measure(const Sweep &sweep, const Timings &timings) {
  SweepResult result{&sweep, {}, "", NAN, NAN, 0};
  for (const auto &[name, timing] : timings) {
    double size = size_of(sweep.family, name);
    if (size <= 0) continue;
    double ns = 0;
    std::string problem = time_of(timings, name, &ns);
    if (!problem.empty()) {
      result.problem = name + " " + problem;
      return result;
    }
    result.points.emplace_back(size, ns);
  }
  std::sort(result.points.begin(), result.points.end());
  while (result.first < result.points.size() &&
         result.points[result.first].first < sweep.fit_from) {
    ++result.first;
  }
  if (result.points.size() < result.first + 2) {
    result.problem = result.points.empty() ? "not run" : "fewer than two sizes to fit";
    return result;
  }
  std::vector<std::pair<double, double>> fitted(
      result.points.begin() + static_cast<std::ptrdiff_t>(result.first), result.points.end());
  result.exponent = fitted_exponent(fitted);
  // Every size measured in every round: the median of the rounds' own fits, each from sizes
  // measured seconds apart.
  std::vector<const std::vector<double> *> rounds;
  for (const auto &[size, ns] : fitted) {
    for (const auto &[name, timing] : timings) {
      if (size_of(sweep.family, name) == size) rounds.push_back(&timing.iteration_ns);
    }
  }
  bool every_round = rounds.size() == fitted.size() && !rounds.front()->empty();
  for (const auto *times : rounds) every_round = every_round && times->size() == rounds[0]->size();
  if (every_round && rounds[0]->size() > 1) {
    std::vector<double> exponents;
    for (size_t round = 0; round < rounds[0]->size(); ++round) {
      std::vector<std::pair<double, double>> points;
      for (size_t i = 0; i < fitted.size(); ++i) {
        points.emplace_back(fitted[i].first, (*rounds[i])[round]);
      }
      exponents.push_back(fitted_exponent(points));
    }
    result.exponent = median(exponents);
  }
  for (auto &point : fitted) point.second = result.work_of(point.first);
  result.work_exponent = sweep.work == 0 && !sweep.log_factor ? 0 : fitted_exponent(fitted);
  result.worst_per_unit = 0;
  for (size_t i = result.first; i < result.points.size(); ++i) {
    double relative = result.per_unit(i) / result.per_unit(result.first);
    if (relative > result.worst_per_unit) {
      result.worst_per_unit = relative;
      result.worst_size = result.points[i].first;
    }
  }
  return result;
}

std::vector<RatioResult> ratios_measure(const Timings &timings) {
  std::vector<RatioResult> results;
  for (const RatioPair &pair : RatioPairs()) {
    RatioResult result{&pair, 0, 0, ""};
    std::string problem_m = time_of(timings, pair.measured, &result.measured);
    std::string problem_b = time_of(timings, pair.baseline, &result.baseline);
    if (!problem_m.empty()) result.problem = pair.measured + " " + problem_m;
    if (!problem_b.empty()) {
      if (!result.problem.empty()) result.problem += "; ";
      result.problem += pair.baseline + " " + problem_b;
    }
    if (result.problem.empty()) {
      const std::vector<double> &m = timings.at(pair.measured).iteration_ns;
      const std::vector<double> &b = timings.at(pair.baseline).iteration_ns;
      if (!m.empty() && m.size() == b.size()) {
        std::vector<double> rounds;
        for (size_t i = 0; i < m.size(); ++i) rounds.push_back(m[i] / b[i]);
        result.paired = median(rounds);
      }
    }
    results.push_back(result);
  }
  return results;
}

// A side filtered out is expected; a failed one, or one no benchmark is called, is not.
bool worth_showing(const std::string &problem, bool everything) {
  if (problem.empty()) return true;
  if (problem.find("failed") != std::string::npos) return true;
  return everything;
}

std::string row(const std::string &label, int width, const std::string &rest) {
  return format("  %-*s  ", width, label.c_str()) + rest + "\n";
}

// Every benchmark's median and how far its rounds lay apart, as libbenchmark's own table would
// show one round.
void medians_print(std::ostream &out, const Timings &timings) {
  int width = 9;
  for (const auto &[name, timing] : timings) width = std::max(width, static_cast<int>(name.size()));
  out << "\n"
      << format("%-*s  %14s  %7s  %s\n", width, "benchmark", "median ns", "spread", "rounds");
  for (const auto &[name, timing] : timings) {
    if (!timing.error.empty()) {
      out << format("%-*s  failed: %s\n", width, name.c_str(), timing.error.c_str());
      continue;
    }
    const std::vector<double> &ns = timing.iteration_ns;
    if (ns.empty()) continue;
    auto [low, high] = std::minmax_element(ns.begin(), ns.end());
    double middle = median(ns);
    out << format("%-*s  %14.2f  %6.1f%%  %zu\n", width, name.c_str(), middle,
                  100 * (*high - *low) / middle, ns.size());
  }
}

void ratios_print(std::ostream &out, const std::vector<RatioResult> &results, bool everything) {
  int width = 4;
  for (const RatioResult &r : results) {
    width = std::max(width, static_cast<int>(goal_label(r.pair->label, r.pair->goal).size()));
  }
  std::string body;
  for (const RatioResult &r : results) {
    if (!worth_showing(r.problem, everything)) continue;
    std::string label = goal_label(r.pair->label, r.pair->goal);
    if (!r.problem.empty()) {
      std::string text = r.problem;
      if (text.find("not run") != std::string::npos) text += " (no benchmark by that name)";
      body += row(label, width, text);
      continue;
    }
    std::string verdict = r.pair->goal > 0 ? (r.met() ? "met" : "MISSED") : "";
    body += row(
        label, width,
        format("%12.2f  %12.2f  %7.2f  %s", r.measured, r.baseline, r.ratio(), verdict.c_str()));
  }
  if (body.empty()) return;
  out << "\nratio report (real time per iteration, medians of the rounds; the ratio is the median "
         "of each round's own ratio)\n"
      << row("pair", width, format("%12s  %12s  %7s", "measured ns", "baseline ns", "ratio"))
      << body;
}

void sweeps_print(std::ostream &out, const std::vector<SweepResult> &results, bool everything) {
  bool any = false;
  for (const SweepResult &r : results) {
    if (!worth_showing(r.problem, everything)) continue;
    if (!any) out << "\nscale sweeps (median ns per iteration against size; cost ~ size^k)\n";
    any = true;
    const Sweep &sweep = *r.sweep;
    out << "\n  " << sweep.title << "  [" << sweep.family << ", work ~ size^" << sweep.work
        << (sweep.log_factor ? " x log2(size)" : "") << "]\n";
    if (!r.problem.empty()) {
      out << "    " << r.problem << "\n";
      continue;
    }
    std::string per = sweep.work >= 1 ? "ns per " + sweep.unit : "ns";
    if (sweep.log_factor) per += " x log2";
    out << format("    %10s  %12s  %16s  %11s\n", sweep.unit.c_str(), "ns", per.c_str(),
                  "vs smallest");
    for (size_t i = 0; i < r.points.size(); ++i) {
      std::string versus =
          i < r.first ? "(not fitted)" : format("%11.2f", r.per_unit(i) / r.per_unit(r.first));
      out << format("    %10g  %12.1f  %16.2f  %11s\n", r.points[i].first, r.points[i].second,
                    r.per_unit(i), versus.c_str());
    }
    if (!sweep.goal) {
      out << format("    fitted exponent k = %.2f (a baseline: no goal)\n", r.exponent);
      continue;
    }
    out << format("    fitted exponent k = %.2f (goal <= %.2f) %s", r.exponent, r.exponent_goal(),
                  r.exponent_met() ? "met" : "MISSED");
    if (sweep.work >= 1) {
      out << format("; cost per %s at most %.2fx the smallest size's (at %g; goal %.1f) %s",
                    sweep.unit.c_str(), r.worst_per_unit, r.worst_size, per_unit_limit,
                    r.per_unit_met() ? "met" : "MISSED");
    }
    out << "\n";
  }
}

bool figure_met(const Figure &figure) {
  if (figure.goal <= 0 || !figure.error.empty()) return figure.error.empty();
  for (const auto &[name, value] : figure.values) {
    if (name == figure.goal_value) return value <= figure.goal;
  }
  return false;
}

void figures_print(std::ostream &out, const std::vector<FigureResult> &figures) {
  for (const FigureResult &result : figures) {
    const Figure &figure = result.figure;
    out << "\n" << result.name << "\n";
    if (!figure.error.empty()) {
      out << "  could not be measured: " << figure.error << "\n";
      continue;
    }
    for (const std::string &line : figure.lines) out << "  " << line << "\n";
    if (figure.goal > 0) {
      out << format("  goal: %s <= %g %s\n", figure.goal_value.c_str(), figure.goal,
                    figure_met(figure) ? "met" : "MISSED");
    }
  }
}

std::string read_cpu_model() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.compare(0, 10, "model name") != 0) continue;
    size_t colon = line.find(':');
    if (colon == std::string::npos) break;
    size_t start = line.find_first_not_of(" \t", colon + 1);
    return start == std::string::npos ? "" : line.substr(start);
  }
  return "unknown processor";
}

void json_ratios(std::ostream &json, const std::vector<RatioResult> &ratios) {
  json << "  \"ratios\": [";
  const char *separator = "\n";
  for (const RatioResult &r : ratios) {
    if (!r.problem.empty()) continue;
    json << separator << "    {\"label\": " << json_text(r.pair->label)
         << ", \"measured\": " << json_text(r.pair->measured)
         << ", \"baseline\": " << json_text(r.pair->baseline)
         << ", \"measured_ns\": " << json_number(r.measured)
         << ", \"baseline_ns\": " << json_number(r.baseline)
         << ", \"ratio\": " << json_number(r.ratio());
    if (r.pair->goal > 0) {
      json << ", \"goal\": " << json_number(r.pair->goal)
           << ", \"met\": " << (r.met() ? "true" : "false");
    }
    json << "}";
    separator = ",\n";
  }
  json << "\n  ],\n";
}

void json_sweeps(std::ostream &json, const std::vector<SweepResult> &sweeps) {
  json << "  \"sweeps\": [";
  const char *separator = "\n";
  for (const SweepResult &r : sweeps) {
    if (!r.problem.empty()) continue;
    json << separator << "    {\"title\": " << json_text(r.sweep->title)
         << ", \"family\": " << json_text(r.sweep->family)
         << ", \"work\": " << json_number(r.sweep->work)
         << ", \"log_factor\": " << (r.sweep->log_factor ? "true" : "false")
         << ", \"work_exponent\": " << json_number(r.work_exponent)
         << ", \"unit\": " << json_text(r.sweep->unit)
         << ", \"fit_from\": " << json_number(r.points[r.first].first)
         << ", \"exponent\": " << json_number(r.exponent)
         << ", \"worst_per_unit\": " << json_number(r.worst_per_unit)
         << ", \"baseline\": " << (r.sweep->goal ? "false" : "true")
         << ", \"met\": " << (r.met() ? "true" : "false") << ", \"points\": [";
    for (size_t i = 0; i < r.points.size(); ++i) {
      json << (i ? ", " : "") << "[" << json_number(r.points[i].first) << ", "
           << json_number(r.points[i].second) << "]";
    }
    json << "]}";
    separator = ",\n";
  }
  json << "\n  ],\n";
}

void json_figures(std::ostream &json, const std::vector<FigureResult> &figures) {
  json << "  \"figures\": [";
  const char *separator = "\n";
  for (const FigureResult &result : figures) {
    const Figure &figure = result.figure;
    json << separator << "    {\"name\": " << json_text(result.name);
    if (!figure.error.empty()) json << ", \"error\": " << json_text(figure.error);
    json << ", \"values\": {";
    for (size_t i = 0; i < figure.values.size(); ++i) {
      json << (i ? ", " : "") << json_text(figure.values[i].first) << ": "
           << json_number(figure.values[i].second);
    }
    json << "}";
    if (figure.goal > 0) {
      json << ", \"goal\": " << json_number(figure.goal)
           << ", \"goal_value\": " << json_text(figure.goal_value)
           << ", \"met\": " << (figure_met(figure) ? "true" : "false");
    }
    json << "}";
    separator = ",\n";
  }
  json << "\n  ],\n";
}

void json_benchmarks(std::ostream &json, const Timings &timings) {
  json << "  \"benchmarks\": {";
  const char *separator = "\n";
  for (const auto &[name, timing] : timings) {
    double ns = 0;
    if (!time_of(timings, name, &ns).empty()) continue;
    json << separator << "    " << json_text(name) << ": " << json_number(ns);
    separator = ",\n";
  }
  json << "\n  }\n";
}

// Every sweep on one log-log plot, size and cost each relative to the smallest fitted size's, so
// that all lines start at (1, 1), the slope of a line is its growth exponent and linear growth
// follows the diagonal.
bool plot_write(const std::string &where, const std::vector<SweepResult> &sweeps) {
  // The script names its files by full path, so that gnuplot runs it from any directory.
  char *full = realpath(where.c_str(), nullptr);
  std::string directory = full != nullptr ? full : where;
  free(full);
  std::ofstream data(directory + "/sweeps.dat");
  std::ofstream script(directory + "/sweeps.gp");
  if (!data || !script) return false;
  script << "set terminal svg size 1000,900 dynamic enhanced font 'sans,11'\n"
         << "set output '" << directory << "/sweeps.svg'\n"
         << "set title 'tamb-bench: cost against size, each relative to its smallest size'\n"
         << "set logscale xy 2\nset grid\nset key below left Left reverse maxcols 1\n"
         << "set xlabel 'size / smallest size (connections, sources, events, clients, entries, "
            "records)'\n"
         << "set ylabel 'cost / cost at the smallest size'\n"
         << "plot x with lines dashtype 2 lc rgb 'gray' title 'linear growth (k = 1)', "
            "1 with lines dashtype 3 lc rgb 'gray' title 'constant cost (k = 0)'";
  int block = 0;
  for (const SweepResult &r : sweeps) {
    if (!r.problem.empty()) continue;
    data << "# " << r.sweep->title << "\n";
    const auto &[smallest_size, smallest_ns] = r.points[r.first];
    for (size_t i = r.first; i < r.points.size(); ++i) {
      data << r.points[i].first / smallest_size << " " << r.points[i].second / smallest_ns << "\n";
    }
    data << "\n\n";
    std::string title = r.sweep->title + format(" (k=%.2f)", r.exponent);
    std::string quoted;
    for (char c : title) quoted += c == '\'' ? std::string("''") : std::string(1, c);
    script << ", \\\n  '" << directory << "/sweeps.dat' index " << block
           << " using 1:2 with linespoints title '" << quoted << "'";
    ++block;
  }
  script << "\n";
  return block > 0;
}

}  // namespace

// The size a run name of family carries as its first argument ("BM_X/8/2" or "BM_X/n:8"); 0
// when the name is not of the family.
double size_of(const std::string &family, const std::string &name) {
  if (name.compare(0, family.size() + 1, family + "/") != 0) return 0;
  std::string rest = name.substr(family.size() + 1);
  rest = rest.substr(0, rest.find('/'));
  // libbenchmark appends settings such as "min_time:0.050" and "repeats:3" after the arguments.
  for (const char *setting : {"min_time:", "iterations:", "repeats:", "threads:", "real_time",
                              "process_time", "manual_time"}) {
    if (rest.compare(0, std::strlen(setting), setting) == 0) return 0;
  }
  size_t colon = rest.find(':');
  if (colon != std::string::npos) rest = rest.substr(colon + 1);
  char *end = nullptr;
  double size = std::strtod(rest.c_str(), &end);
  return end != rest.c_str() && *end == '\0' && size > 0 ? size : 0;
}

// Least squares of log cost on log size.
double fitted_exponent(const std::vector<std::pair<double, double>> &points) {
  double n = static_cast<double>(points.size());
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (const auto &[size, ns] : points) {
    double x = std::log(size), y = std::log(ns);
    sx += x;
    sy += y;
    sxx += x * x;
    sxy += x * y;
  }
  double denominator = n * sxx - sx * sx;
  return denominator > 0 ? (n * sxy - sx * sy) / denominator : NAN;
}

std::string format(const char *fmt, ...) {
  char text[512];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  return text;
}

// ---- Registries ----------------------------------------------------------------------------

namespace {

// Function-local registries, because entries register from initialisers in other files.
std::vector<RatioPair> &ratio_registry() {
  static std::vector<RatioPair> pairs;
  return pairs;
}

std::vector<Sweep> &sweep_registry() {
  static std::vector<Sweep> sweeps;
  return sweeps;
}

std::vector<std::pair<std::string, FigureFunction>> &figure_registry() {
  static std::vector<std::pair<std::string, FigureFunction>> figures;
  return figures;
}

}  // namespace

int RatioRegister(const char *label, const char *measured, const char *baseline, double goal) {
  ratio_registry().push_back({label, measured, baseline, goal});
  return 0;
}

int SweepRegister(const char *title, const char *family, double work, const char *unit,
                  double fit_from, bool goal, bool log_factor) {
  sweep_registry().push_back({title, family, work, unit, fit_from, goal, log_factor});
  return 0;
}

int FigureRegister(const char *name, FigureFunction function) {
  figure_registry().emplace_back(name, function);
  return 0;
}

const std::vector<RatioPair> &RatioPairs() { return ratio_registry(); }
const std::vector<Sweep> &Sweeps() { return sweep_registry(); }
const std::vector<std::pair<std::string, FigureFunction>> &Figures() { return figure_registry(); }

Machine machine_describe() {
  Machine machine;
  machine.processor = read_cpu_model();
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) {
    machine.vector_bits = 512;
    machine.vector_set = "avx512f";
  } else if (__builtin_cpu_supports("avx2")) {
    machine.vector_bits = 256;
    machine.vector_set = "avx2";
  } else if (__builtin_cpu_supports("avx")) {
    machine.vector_bits = 256;
    machine.vector_set = "avx";
  } else {
    machine.vector_bits = 128;
    machine.vector_set = "sse2";
  }
  // The same test tamb_port_set_funcs makes on the host's feature word.
  const char *portable = __builtin_cpu_supports("avx2") ? "avx2" : "baseline";
  if ((cpu_type & 0xfe) != 0) {
    machine.kernels = format(
        "host x86_sse_copyf/x86_sse_add2f running %s (%d-bit); portable "
        "gen_copyf/gen_mixf, %s clone",
        hooks::kernels_width(), std::strcmp(hooks::kernels_width(), "avx2") == 0 ? 256 : 128,
        portable);
  } else {
    machine.kernels =
        format("portable gen_copyf/gen_mixf, %s clone (the host reports no SSE)", portable);
  }
  return machine;
}

std::vector<FigureResult> figures_run(const RunSettings &settings) {
  std::vector<FigureResult> results;
  for (const auto &[name, function] : Figures()) {
    if (!settings.everything) {
      std::regex pattern(settings.filter.front() == '-' ? settings.filter.substr(1)
                                                        : settings.filter);
      bool matches = std::regex_search(name, pattern);
      if (matches == (settings.filter.front() == '-')) continue;
    }
    results.push_back({name, function()});
  }
  return results;
}

bool report_finish(std::ostream &out, const std::string &directory, const Machine &machine,
                   const RunSettings &settings, const Timings &timings,
                   const std::vector<FigureResult> &figures) {
  // Nothing ran at all under --benchmark_list_tests; there is nothing to compare either.
  if (timings.empty() && figures.empty()) return true;
  std::vector<RatioResult> ratios = ratios_measure(timings);
  std::vector<SweepResult> sweeps;
  for (const Sweep &sweep : Sweeps()) sweeps.push_back(sweep_measure(sweep, timings));
  medians_print(out, timings);
  ratios_print(out, ratios, settings.everything);
  sweeps_print(out, sweeps, settings.everything);
  figures_print(out, figures);
  out.flush();
  if (directory.empty()) return true;

  std::string path = directory + "/report.json";
  std::ofstream json(path);
  json << "{\n  \"processor\": " << json_text(machine.processor)
       << ",\n  \"vector_bits\": " << machine.vector_bits
       << ",\n  \"vector_set\": " << json_text(machine.vector_set)
       << ",\n  \"kernels\": " << json_text(machine.kernels)
       << ",\n  \"repetitions\": " << settings.repetitions
       << ",\n  \"min_time\": " << json_text(settings.min_time) << ",\n";
  json_ratios(json, ratios);
  json_sweeps(json, sweeps);
  json_figures(json, figures);
  json_benchmarks(json, timings);
  json << "}\n";
  json.close();
  if (!json) {
    out << "\ncannot write " << path << "\n";
    return false;
  }
  out << "\nreport: " << path << "\n";
  if (!plot_write(directory, sweeps)) return true;
  std::string command = "gnuplot '" + directory + "/sweeps.gp' 2>&1";
  if (std::system("command -v gnuplot > /dev/null 2>&1") != 0) {
    out << "plot: " << directory << "/sweeps.gp (gnuplot is not installed)\n";
  } else if (std::system(command.c_str()) != 0) {
    out << "plot: gnuplot failed on " << directory << "/sweeps.gp\n";
  } else {
    out << "plot: " << directory << "/sweeps.svg\n";
  }
  return true;
}

}  // namespace tamb_bench
