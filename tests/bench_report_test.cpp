// SPDX-License-Identifier: MIT
// The benchmark report: which runs make up a sweep, the fitted growth, and the verdicts and JSON
// it writes from a set of timings.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "report.h"

namespace {

using tamb_bench::fitted_exponent;
using tamb_bench::size_of;

TEST(BenchReport, SweepSizesComeFromTheFirstArgumentOfTheFamilyOnly) {
  EXPECT_EQ(size_of("BM_Merge", "BM_Merge/8"), 8);
  EXPECT_EQ(size_of("BM_Merge", "BM_Merge/64/16"), 64);
  EXPECT_EQ(size_of("BM_Merge", "BM_Merge/sources:32"), 32);
  EXPECT_EQ(size_of("BM_Merge", "BM_Merge/8/min_time:0.050"), 8);
  // Another family that shares a prefix, a run without arguments and libbenchmark's own
  // settings are not sizes.
  EXPECT_EQ(size_of("BM_Merge", "BM_MergeEvents/8"), 0);
  EXPECT_EQ(size_of("BM_Merge", "BM_Merge"), 0);
  EXPECT_EQ(size_of("BM_Merge", "BM_Merge/min_time:0.050"), 0);
  EXPECT_EQ(size_of("BM_Merge", "BM_Merge/repeats:3"), 0);
  EXPECT_EQ(size_of("BM_Merge", "BM_Merge/8x"), 0);
}

TEST(BenchReport, TheFittedExponentIsThePowerOfAnExactPowerLaw) {
  for (double k : {0.0, 1.0, 1.5, 2.0}) {
    std::vector<std::pair<double, double>> points;
    for (double size : {1.0, 4.0, 16.0, 250.0}) points.emplace_back(size, 7 * std::pow(size, k));
    EXPECT_NEAR(fitted_exponent(points), k, 1e-9) << k;
  }
  // A fixed cost on top of linear work bends the line below 1.
  std::vector<std::pair<double, double>> with_overhead = {{1, 110}, {10, 200}, {100, 1100}};
  EXPECT_LT(fitted_exponent(with_overhead), 1);
  EXPECT_TRUE(std::isnan(fitted_exponent({{8, 100}})));
  EXPECT_TRUE(std::isnan(fitted_exponent({{8, 100}, {8, 200}})));
}

tamb_bench::Timing timing_of(std::vector<double> repetitions) {
  tamb_bench::Timing timing;
  timing.iteration_ns = std::move(repetitions);
  return timing;
}

std::string read_file(const std::string &path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

TEST(BenchReport, GoalsAreJudgedRoundByRoundAndWrittenToTheJsonReport) {
  TAMB_RATIO_GOAL("test: fast \"pair\"", "BM_Fast", "BM_Base", 1.5);
  TAMB_RATIO_GOAL("test: slow pair", "BM_Slow", "BM_Base", 1.5);
  TAMB_SWEEP_FROM("test: linear sweep", "BM_Line", 1, "unit", 2);
  TAMB_SWEEP("test: quadratic sweep", "BM_Square", 1, "unit");
  TAMB_SWEEP_NLOGN("test: merge sweep", "BM_Merge", "source");

  tamb_bench::Timings timings;
  // The machine ran at half speed for the last three rounds, and one round of BM_Fast went
  // wrong: each round's own ratio sees through both, a ratio of the medians (0.625) would not.
  timings["BM_Base"] = timing_of({100, 100, 200, 200, 200});
  timings["BM_Fast"] = timing_of({125, 125, 250, 250, 1});
  timings["BM_Slow"] = timing_of({200, 200, 400, 400, 400});
  timings["BM_Line/1"] = timing_of({1});  // another path: shown, not fitted
  for (int size : {2, 4, 8, 16}) {
    timings["BM_Line/" + std::to_string(size)] = timing_of({10.0 * size});
    timings["BM_Square/" + std::to_string(size)] = timing_of({10.0 * size * size});
  }
  // A merge's n log n grows faster than n, and is held to its own growth: met at exactly that
  // growth, missed at a fifth more per unit at the largest size.
  for (int size : {2, 16, 256}) {
    double cost = 5.0 * size * std::log2(size) * (size == 256 ? 1.25 : 1);
    timings["BM_Merge/" + std::to_string(size)] = timing_of({cost});
  }

  char directory[] = "/tmp/tamb-report-XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  tamb_bench::RunSettings settings;
  settings.repetitions = 5;
  std::ostringstream out;
  ASSERT_TRUE(tamb_bench::report_finish(out, directory, tamb_bench::machine_describe(), settings,
                                        timings, {}));
  std::string text = out.str();
  EXPECT_NE(text.find("test: fast \"pair\" (goal 1.5)"), std::string::npos) << text;
  EXPECT_NE(text.find("1.25  met"), std::string::npos) << text;
  EXPECT_NE(text.find("2.00  MISSED"), std::string::npos) << text;
  EXPECT_NE(text.find("fitted exponent k = 1.00 (goal <= 1.10) met"), std::string::npos) << text;
  EXPECT_NE(text.find("fitted exponent k = 2.00 (goal <= 1.10) MISSED"), std::string::npos) << text;
  EXPECT_NE(text.find("(not fitted)"), std::string::npos) << text;
  EXPECT_NE(text.find("[BM_Merge, work ~ size^1 x log2(size)]"), std::string::npos) << text;
  EXPECT_NE(text.find("at most 1.25x the smallest size's (at 256; goal 1.2) MISSED"),
            std::string::npos)
      << text;

  std::string json = read_file(std::string(directory) + "/report.json");
  EXPECT_NE(json.find("{\"label\": \"test: fast \\\"pair\\\"\", \"measured\": \"BM_Fast\""),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"ratio\": 1.25, \"goal\": 1.5, \"met\": true"), std::string::npos) << json;
  EXPECT_NE(json.find("\"ratio\": 2, \"goal\": 1.5, \"met\": false"), std::string::npos) << json;
  EXPECT_NE(json.find("\"exponent\": 2, "), std::string::npos) << json;
  EXPECT_NE(json.find("\"fit_from\": 2, "), std::string::npos) << json;
  EXPECT_NE(read_file(std::string(directory) + "/sweeps.dat").find("# test: linear sweep"),
            std::string::npos);
  std::string cleanup = std::string("rm -rf ") + directory;
  EXPECT_EQ(std::system(cleanup.c_str()), 0);
}

TEST(BenchReport, SweepsAreFittedRoundByRoundAndDrawn) {
  TAMB_SWEEP("test: the mix's linear sweep", "BM_Rounds", 1, "unit");
  TAMB_SWEEP_BASELINE("test: a floor", "BM_Floor", 1, "unit");
  tamb_bench::Timings timings;
  for (double size : {1.0, 10.0, 100.0}) {
    std::string arg = "/" + std::to_string(static_cast<int>(size));
    // Linear in every round but one, which went wrong at the largest size only.
    timings["BM_Rounds" + arg] =
        timing_of({5 * size, 6 * size, size == 100 ? 5000 * size : 7 * size, 5 * size, 6 * size});
    timings["BM_Floor" + arg] = timing_of({size * size, size * size});
  }
  char directory[] = "/tmp/tamb-report-XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  std::ostringstream out;
  ASSERT_TRUE(
      tamb_bench::report_finish(out, directory, tamb_bench::machine_describe(), {}, timings, {}));
  std::string text = out.str();
  EXPECT_NE(text.find("fitted exponent k = 1.00 (goal <= 1.10) met"), std::string::npos) << text;
  EXPECT_NE(text.find("fitted exponent k = 2.00 (a baseline: no goal)"), std::string::npos) << text;
  std::string json = read_file(std::string(directory) + "/report.json");
  EXPECT_NE(json.find("\"title\": \"test: a floor\", \"family\": \"BM_Floor\""), std::string::npos);
  EXPECT_NE(json.find("\"baseline\": true, \"met\": true"), std::string::npos) << json;
  // gnuplot, where installed, draws every sweep; a title with a quote in it must not end the
  // script's string early.
  if (std::system("command -v gnuplot > /dev/null 2>&1") == 0) {
    std::string svg = read_file(std::string(directory) + "/sweeps.svg");
    EXPECT_NE(svg.find("</svg>"), std::string::npos) << text;
    EXPECT_NE(svg.find("linear sweep"), std::string::npos);
    EXPECT_NE(svg.find("a floor"), std::string::npos);
  }
  std::string cleanup = std::string("rm -rf ") + directory;
  EXPECT_EQ(std::system(cleanup.c_str()), 0);
}

}  // namespace
