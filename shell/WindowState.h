#pragma once

#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "Zoom.h"

namespace zormak {

// How the window looked when the program last ended: kept in a small key
// file in the ZORMAK folder so the next start looks the same.
struct WindowState {
  int width = 0;
  int height = 0;
  bool maximized = false;
  double zoom = zoom::kActualSize;

  bool operator==(const WindowState&) const = default;
};

struct ScreenSize {
  int width = 0;
  int height = 0;
};

namespace windowstate {

// The key file's text: a "[window]" group with width, height, maximized
// and zoom, in the format of desktop key files.
std::string format(const WindowState& state);

struct Parsed {
  WindowState state;
  // Something in the text was not understood: a line, a group, or a value.
  bool damaged = false;
};
// Takes what it understands; a key that is missing, unreadable or out of
// range keeps its value from `defaults`. Unknown keys of the group are
// left alone, so a later version may add some.
Parsed parse(std::string_view text, const WindowState& defaults);

// A remembered size made to fit the current screen, which may be smaller
// than the one it was saved on, and never below the window's minimum.
WindowState fitted(WindowState state, std::optional<ScreenSize> screen, int minWidth,
                   int minHeight);

// The remembered state, or none when there is no readable file. A file
// holding something not understood is moved aside (`<name>.damaged-<time>`,
// never deleted); what could be read of it still counts.
std::optional<WindowState> load(const std::filesystem::path& file, const WindowState& defaults,
                                std::time_t now);

// Writes through a temporary sibling and a rename, so the file is always
// whole. False when it could not be written; the state is a convenience and
// losing it harms nothing.
bool save(const std::filesystem::path& file, const WindowState& state);

}  // namespace windowstate
}  // namespace zormak
