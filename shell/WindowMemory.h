#pragma once

#include <ctime>
#include <filesystem>

#include "Platform.h"
#include "WindowState.h"
#include "Zoom.h"

namespace zormak {

// The window's size, maximised state and zoom, kept in the ZORMAK folder
// from one run to the next so that a start looks as the last run was left.
// Main thread only.
class WindowMemory {
 public:
  // Remembers nothing: there is no data folder to keep the file in.
  WindowMemory() = default;
  // Keeps the state in `supportDir`/window.ini; an empty folder keeps nothing.
  explicit WindowMemory(const std::filesystem::path& supportDir);

  // How the window opens: `firstStart` the first time, later as it was
  // left, made to fit the platform's screen of this start and the window's
  // minimum.
  WindowState opening(const WindowState& firstStart, Platform& platform, int minWidth,
                      int minHeight, std::time_t now) const;

  // The zoom the pages are shown at, which is kept with the window.
  double zoom() const { return zoom_; }
  void setZoom(double level) { zoom_ = level; }

  // Keeps what `window` looks like now, with the zoom.
  void remember(const Window& window) const;

 private:
  std::filesystem::path file_;
  double zoom_ = zoom::kActualSize;
};

}  // namespace zormak
