#include "Trace.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace zormak::gtk::trace {

namespace {

std::FILE* traceFile() {
  static std::FILE* file = [] {
    const char* path = std::getenv("ZORMAK_TRACE");
    return path && path[0] != '\0' ? std::fopen(path, "ae") : nullptr;
  }();
  return file;
}

}  // namespace

void mark(const char* event, const char* detail) {
  std::FILE* file = traceFile();
  if (!file)
    return;
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  long long ns = static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
  std::fprintf(file, "%lld %s%s%s\n", ns, event, detail ? " " : "", detail ? detail : "");
  std::fflush(file);
}

}  // namespace zormak::gtk::trace
