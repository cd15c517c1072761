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

void markFirstFrame(GtkWidget* window) {
  if (!traceFile())
    return;
  g_signal_connect(
      window, "realize", G_CALLBACK(+[](GtkWidget* widget, gpointer) {
        GdkFrameClock* clock = gtk_widget_get_frame_clock(widget);
        auto* handler = new gulong(0);
        *handler = g_signal_connect_data(
            clock, "after-paint", G_CALLBACK(+[](GdkFrameClock* painted, gulong* self) {
              mark("first-frame");
              g_signal_handler_disconnect(painted, *self);
            }),
            handler, [](gpointer data, GClosure*) { delete static_cast<gulong*>(data); },
            G_CONNECT_DEFAULT);
      }),
      nullptr);
}

}  // namespace zormak::gtk::trace
