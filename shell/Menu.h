#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zormak {

// What a menu item does. Each platform layer maps every one to its own
// commands (GActions, selectors), so an item without a known action cannot
// be written down.
enum class MenuAction {
  showAbout,
  signIn,
  hide,
  quit,
  undo,
  redo,
  cut,
  copy,
  paste,
  selectAll,
  reloadPage,
  resetZoom,
  zoomIn,
  zoomOut,
};

// The menu bar as data; the platform layer turns it into its own menus.
struct MenuItem {
  // A separator has an empty title and no action.
  std::string title;
  std::optional<MenuAction> action;
  // One character, or empty for none. An upper-case letter adds Shift; the
  // modifier is the platform's primary one (Command, or Control on Linux).
  std::string keyEquivalent;
  // Further keys for the same command, with the same modifier.
  std::vector<std::string> alternateKeys = {};

  bool isSeparator() const { return !action; }
};

struct Menu {
  // Absent for the application menu, whose place shows the program's name.
  std::optional<std::string> title;
  std::vector<MenuItem> items;
};

// The application menu, "编辑" and "显示", in menu-bar order.
const std::vector<Menu>& menuBar();

struct Shortcut {
  char key = 0;  // lower case for letters
  bool shift = false;
};
// The key and Shift of a key equivalent; none when it is empty.
std::optional<Shortcut> shortcutFor(std::string_view keyEquivalent);

// The web view's editing command for an edit-menu action (copy -> "Copy"),
// or none for any other action.
std::optional<std::string_view> editingCommandFor(MenuAction action);

}  // namespace zormak
