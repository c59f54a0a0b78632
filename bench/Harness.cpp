#include "bench/Harness.h"

#include <objbase.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace tessary::bench {
namespace {

struct Entry {
  const char* name;
  BenchmarkFunction function;
};

std::vector<Entry>& Registry() {
  static std::vector<Entry> entries;
  return entries;
}

}  // namespace

double Now() noexcept {
  LARGE_INTEGER count;
  LARGE_INTEGER frequency;
  ::QueryPerformanceCounter(&count);
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

bool ReportRatio(const char* figure, double seconds, const char* floorName, double floorSeconds,
                 double target) {
  const double ratio = floorSeconds > 0 ? seconds / floorSeconds : 0;
  std::printf("  %-44s %10.3f ms\n", figure, seconds * 1e3);
  std::printf("  %-44s %10.3f ms\n", floorName, floorSeconds * 1e3);
  if (target > 0) {
    std::printf("  ratio %.2f (target at most %.2f)%s\n", ratio, target,
                ratio <= target ? "" : "  OVER TARGET");
  } else {
    std::printf("  ratio %.2f\n", ratio);
  }
  return target <= 0 || ratio <= target;
}

bool ReportPairedRatio(const char* figure, const std::vector<double>& seconds,
                       const char* floorName, const std::vector<double>& floorSeconds,
                       double target) {
  const auto median = [](std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
  };
  std::vector<double> ratios;
  for (size_t i = 0; i < seconds.size() && i < floorSeconds.size(); ++i) {
    if (floorSeconds[i] > 0) ratios.push_back(seconds[i] / floorSeconds[i]);
  }
  const double ratio = median(ratios);
  std::printf("  %-44s %10.3f ms\n", figure, median(seconds) * 1e3);
  std::printf("  %-44s %10.3f ms\n", floorName, median(floorSeconds) * 1e3);
  std::printf("  ratio %.2f (rounds %.2f to %.2f)", ratio,
              ratios.empty() ? 0 : *std::min_element(ratios.begin(), ratios.end()),
              ratios.empty() ? 0 : *std::max_element(ratios.begin(), ratios.end()));
  if (target > 0) {
    std::printf(" (target at most %.2f)%s", target, ratio <= target ? "" : "  OVER TARGET");
  }
  std::printf("\n");
  return target <= 0 || ratio <= target;
}

bool RegisterBenchmark(const char* name, BenchmarkFunction function) {
  Registry().push_back({name, function});
  return true;
}

}  // namespace tessary::bench

// tessary_bench [name-part ...]: runs every benchmark, or those whose name
// contains one of the arguments. Exit code 1 when any fails or misses its
// target.
int wmain(int argc, wchar_t** argv) {
  if (FAILED(::CoInitialize(nullptr))) return 2;
  int status = 0;
  for (const auto& [name, function] : tessary::bench::Registry()) {
    const std::wstring wide(name, name + std::char_traits<char>::length(name));
    bool selected = argc < 2;
    for (int i = 1; i < argc; ++i) selected |= wide.find(argv[i]) != std::wstring::npos;
    if (!selected) continue;
    std::printf("%s\n", name);
    std::fflush(stdout);
    if (function() != 0) {
      std::printf("  FAILED\n");
      status = 1;
    }
    std::fflush(stdout);
  }
  ::CoUninitialize();
  return status;
}
