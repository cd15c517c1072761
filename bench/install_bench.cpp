// First-start install: the runtime preparation's copy of a payload tree
// against `cp -a` of the same tree to the same file system, interleaved
// (A B A B ...) after a warm-up. Prints medians with min and max and the ratio.
//
// Usage: install_bench PAYLOAD_DIR [ROUNDS]
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "TreeCopy.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double timeZormak(const fs::path& from, const fs::path& to) {
  auto began = Clock::now();
  zormak::copyTree(from, to);
  return seconds(Clock::now() - began);
}

double timeCp(const fs::path& from, const fs::path& to) {
  std::string command = "cp -a '" + from.string() + "' '" + to.string() + "'";
  auto began = Clock::now();
  int status = std::system(command.c_str());
  double elapsed = seconds(Clock::now() - began);
  if (status != 0) {
    std::fprintf(stderr, "cp -a failed\n");
    std::exit(1);
  }
  return elapsed;
}

struct Summary {
  double median, min, max;
};

Summary summarise(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v[v.size() / 2], v.front(), v.back()};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PAYLOAD_DIR [ROUNDS]\n", argv[0]);
    return 2;
  }
  const fs::path payload = fs::canonical(argv[1]);
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 9;
  // The target lies on the file system of the user's data folder.
  const char* home = std::getenv("HOME");
  const fs::path work = fs::path(home ? home : "/tmp") / ".cache/zormak-install-bench";
  fs::remove_all(work);
  fs::create_directories(work);

  size_t files = 0;
  std::uintmax_t bytes = 0;
  for (auto& e : fs::recursive_directory_iterator(payload)) {
    if (e.is_regular_file() && !e.is_symlink()) {
      ++files;
      bytes += e.file_size();
    }
  }

  std::vector<double> zormakTimes, cpTimes;
  for (int round = -1; round < rounds; ++round) {  // round -1 warms the caches
    const fs::path a = work / "zormak", b = work / "cp";
    double ta = timeZormak(payload, a);
    double tb = timeCp(payload, b);
    fs::remove_all(a);
    fs::remove_all(b);
    ::sync();
    if (round >= 0) {
      zormakTimes.push_back(ta);
      cpTimes.push_back(tb);
    }
  }
  fs::remove_all(work);

  Summary z = summarise(zormakTimes), c = summarise(cpTimes);
  std::printf("tree: %zu files, %.1f MB; %d rounds after one warm-up\n", files, static_cast<double>(bytes) / 1e6, rounds);
  std::printf("zormak copyTree: median %.3f s (min %.3f, max %.3f)\n", z.median, z.min, z.max);
  std::printf("cp -a          : median %.3f s (min %.3f, max %.3f)\n", c.median, c.min, c.max);
  std::printf("ratio zormak / cp -a (medians): %.2f\n", z.median / c.median);
  return 0;
}
