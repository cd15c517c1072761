#include "WindowMemory.h"

namespace zormak {

WindowMemory::WindowMemory(const std::filesystem::path& supportDir)
    : file_(supportDir.empty() ? supportDir : supportDir / "window.ini") {}

WindowState WindowMemory::opening(const WindowState& firstStart, Platform& platform, int minWidth,
                                  int minHeight, std::time_t now) const {
  if (file_.empty())
    return firstStart;
  auto remembered = windowstate::load(file_, firstStart, now);
  return remembered ? windowstate::fitted(*remembered, platform.screenSize(), minWidth, minHeight)
                    : firstStart;
}

void WindowMemory::remember(const Window& window) const {
  if (file_.empty())
    return;
  const WindowGeometry now = window.geometry();
  // A window the platform never got to show has no size worth keeping.
  if (now.width <= 0 || now.height <= 0)
    return;
  windowstate::save(file_, WindowState{now.width, now.height, now.maximized, zoom_});
}

}  // namespace zormak
