// First-start install: the controller's real runtime preparation (version
// check, log lines, tree copy, data/ and the version file last) of a payload
// into an empty data folder, against `cp -a` of the same tree to the same
// file system. Interleaved (A B A B ...) after one warm-up round, both with
// warm caches. Prints the samples (seconds) as one JSON line.
//
// Usage: install_bench PAYLOAD_DIR WORK_DIR [ROUNDS]
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "BenchSupport.h"

namespace fs = std::filesystem;
using zormak::bench::monotonicNs;

namespace {

double timePreparation(const fs::path& resources, const fs::path& support) {
  auto controller = zormak::ServerController::init(
      {zormak::ServerController::Locations{support}, resources, nullptr, {}});
  long long began = monotonicNs();
  zormak::ServerControllerTestAccess::prepareRuntime(*controller);
  return static_cast<double>(monotonicNs() - began) / 1e9;
}

double timeCp(const fs::path& from, const fs::path& to) {
  return zormak::bench::timeCommand("cp -a '" + from.string() + "' '" + to.string() + "'");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s PAYLOAD_DIR WORK_DIR [ROUNDS]\n", argv[0]);
    return 2;
  }
  const fs::path payload = fs::canonical(argv[1]);
  const fs::path work = argv[2];
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 9;
  if (payload.filename() != "payload") {
    std::fprintf(stderr, "PAYLOAD_DIR must be a directory named payload\n");
    return 2;
  }
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

  std::vector<double> prepared, copied;
  for (int round = -1; round < rounds; ++round) {  // round -1 warms the caches
    const fs::path a = work / "ZORMAK", b = work / "cp";
    // Each goes first every other round, so neither always meets the
    // write-back of the other's files.
    double ta = 0, tb = 0;
    if (round % 2 == 0) {
      ta = timePreparation(payload.parent_path(), a);
      tb = timeCp(payload, b);
    } else {
      tb = timeCp(payload, b);
      ta = timePreparation(payload.parent_path(), a);
    }
    fs::remove_all(a);
    fs::remove_all(b);
    ::sync();
    if (round >= 0) {
      prepared.push_back(ta);
      copied.push_back(tb);
    }
  }
  fs::remove_all(work);
  zormak::bench::printSamples(
      "install", {{"prepare", prepared}, {"cp", copied}},
      "\"files\": " + std::to_string(files) + ", \"bytes\": " + std::to_string(bytes));
  return 0;
}
