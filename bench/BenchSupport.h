#pragma once

// Helpers shared by the benchmark programs: timing, samples as JSON and
// access to the controller's private steps.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "ServerController.h"

namespace zormak {

// The benchmarks time single steps of the controller, as its tests do.
class ServerControllerTestAccess {
 public:
  static void prepareRuntime(ServerController& c) { c.prepareRuntime(); }
};

namespace bench {

// CLOCK_MONOTONIC in nanoseconds: the clock of every mark in the benchmarks,
// comparable across processes.
inline long long monotonicNs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// Prints one JSON object of named sample series on standard output.
inline void printSamples(const char* name,
                         const std::vector<std::pair<std::string, std::vector<double>>>& series,
                         const std::string& extra = "") {
  std::printf("{\"bench\": \"%s\"", name);
  for (const auto& [key, values] : series) {
    std::printf(", \"%s\": [", key.c_str());
    for (size_t i = 0; i < values.size(); ++i)
      std::printf("%s%.9g", i ? ", " : "", values[i]);
    std::printf("]");
  }
  if (!extra.empty())
    std::printf(", %s", extra.c_str());
  std::printf("}\n");
  std::fflush(stdout);
}

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace bench
}  // namespace zormak
