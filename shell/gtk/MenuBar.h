#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "Menu.h"

namespace zormak::gtk {

// The menu bar as GTK has it: a menu model, one application action per item
// and the items' accelerators. GTK takes the model and the accelerators only
// once the application is registered, so building and installing are two
// steps.
class MenuBar {
 public:
  using Dispatch = std::function<void(MenuAction action)>;

  MenuBar() = default;
  ~MenuBar();
  MenuBar(const MenuBar&) = delete;
  MenuBar& operator=(const MenuBar&) = delete;

  // Adds an action per item to `app`; activating one calls `dispatch` with
  // the item's action.
  void build(GtkApplication* app, const std::vector<Menu>& menus, Dispatch dispatch);
  // Sets the model and the accelerators on the registered application.
  void install(GtkApplication* app) const;

 private:
  GMenu* model_ = nullptr;
  // Each detailed action with its accelerators, the first one shown in the menu.
  std::vector<std::pair<std::string, std::vector<std::string>>> accels_;
};

}  // namespace zormak::gtk
