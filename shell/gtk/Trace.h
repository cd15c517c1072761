#pragma once

#include <gtk/gtk.h>

namespace zormak::gtk::trace {

// A start-up timing trace for the benchmarks. Only when ZORMAK_TRACE names a
// file does each mark append "<CLOCK_MONOTONIC ns> <event> [detail]" to it;
// otherwise a mark costs one test of a flag. Main thread only.
void mark(const char* event, const char* detail = nullptr);

// Marks "first-frame" once the window has painted its first frame; nothing
// is connected when no trace is written.
void markFirstFrame(GtkWidget* window);

}  // namespace zormak::gtk::trace
