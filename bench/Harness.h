#pragma once
// A tiny benchmark harness: each benchmark registers itself, repeats its
// measurements, takes medians, and reports every figure as a ratio to a
// floor measured in the same run.
#include <windows.h>

#include <algorithm>
#include <vector>

namespace tessary::bench {

double Now() noexcept;

// Runs `body` `rounds` times and returns the median time in seconds.
template <typename Body>
double MedianSeconds(int rounds, Body&& body) {
  std::vector<double> times;
  for (int i = 0; i < rounds; ++i) {
    const double start = Now();
    body();
    times.push_back(Now() - start);
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// Times `floor` and `figure` alternately, after one warm-up run of each, so
// both see the same machine load; returns their medians in seconds.
struct Medians {
  double floor;
  double figure;
};
template <typename Floor, typename Figure>
Medians InterleavedMedians(int rounds, Floor&& floor, Figure&& figure) {
  floor();
  figure();
  std::vector<double> floors;
  std::vector<double> figures;
  for (int i = 0; i < rounds; ++i) {
    double start = Now();
    floor();
    floors.push_back(Now() - start);
    start = Now();
    figure();
    figures.push_back(Now() - start);
  }
  std::sort(floors.begin(), floors.end());
  std::sort(figures.begin(), figures.end());
  return {floors[floors.size() / 2], figures[figures.size() / 2]};
}

// Prints one figure against its floor; false when a target is given and the
// ratio exceeds it.
bool ReportRatio(const char* figure, double seconds, const char* floorName, double floorSeconds,
                 double target = 0);

// Like ReportRatio, for figures each measured beside its own floor, round by
// round: the ratio is the median of the rounds' ratios, with their range, so
// that a round slowed by other work counts once and shows.
bool ReportPairedRatio(const char* figure, const std::vector<double>& seconds,
                       const char* floorName, const std::vector<double>& floorSeconds,
                       double target = 0);

using BenchmarkFunction = int (*)();  // 0 on success

// Adds a benchmark to the run; use TESSARY_BENCHMARK.
bool RegisterBenchmark(const char* name, BenchmarkFunction function);

}  // namespace tessary::bench

#define TESSARY_BENCHMARK(name)                                                            \
  static int name();                                                                       \
  static const bool name##_registered = ::tessary::bench::RegisterBenchmark(#name, &name); \
  static int name()
