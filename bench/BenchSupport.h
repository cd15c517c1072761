#pragma once

// Helpers shared by the benchmark programs: timing and samples as JSON. The
// controller's private steps are reached as the tests reach them.
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ControllerAccess.h"

namespace zormak::bench {

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

// Seconds a shell command takes; a failing command ends the benchmark.
inline double timeCommand(const std::string& command) {
  long long began = monotonicNs();
  int status = std::system(command.c_str());
  double elapsed = static_cast<double>(monotonicNs() - began) / 1e9;
  if (status != 0) {
    std::fprintf(stderr, "failed: %s\n", command.c_str());
    std::exit(1);
  }
  return elapsed;
}

}  // namespace zormak::bench
