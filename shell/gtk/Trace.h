#pragma once

namespace zormak::gtk::trace {

// A start-up timing trace for the benchmarks. Only when ZORMAK_TRACE names a
// file does each mark append "<CLOCK_MONOTONIC ns> <event> [detail]" to it;
// otherwise a mark costs one test of a flag. Main thread only.
void mark(const char* event, const char* detail = nullptr);

}  // namespace zormak::gtk::trace
