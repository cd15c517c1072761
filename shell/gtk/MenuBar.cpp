#include "MenuBar.h"

#include <memory>
#include <optional>
#include <string_view>

namespace zormak::gtk {

namespace {

// The application's GAction for each menu action. Other programs see these
// names (org.gtk.Actions on the session bus), so they stay as they are.
const char* gactionName(MenuAction action) {
  switch (action) {
    case MenuAction::showAbout:
      return "orderFrontStandardAboutPanel";
    case MenuAction::signIn:
      return "signIn";
    case MenuAction::hide:
      return "hide";
    case MenuAction::quit:
      return "terminate";
    case MenuAction::undo:
      return "undo";
    case MenuAction::redo:
      return "redo";
    case MenuAction::cut:
      return "cut";
    case MenuAction::copy:
      return "copy";
    case MenuAction::paste:
      return "paste";
    case MenuAction::selectAll:
      return "selectAll";
    case MenuAction::reloadPage:
      return "reloadPage";
    case MenuAction::resetZoom:
      return "resetZoom";
    case MenuAction::zoomIn:
      return "zoomIn";
    case MenuAction::zoomOut:
      return "zoomOut";
  }
  return "";
}

// GTK names keys by their keysym names ("equal", "minus", "q"), with
// Control standing for Command.
std::optional<std::string> accelerator(std::string_view keyEquivalent) {
  auto shortcut = shortcutFor(keyEquivalent);
  if (!shortcut)
    return std::nullopt;
  const char* name = gdk_keyval_name(gdk_unicode_to_keyval(static_cast<guint32>(shortcut->key)));
  if (!name)
    return std::nullopt;
  return std::string(shortcut->shift ? "<Shift><Control>" : "<Control>") + name;
}

struct Activation {
  std::shared_ptr<MenuBar::Dispatch> dispatch;
  MenuAction action;
};

void addAction(GtkApplication* app, const char* name, Activation activation) {
  GSimpleAction* action = g_simple_action_new(name, nullptr);
  g_signal_connect_data(
      action, "activate", G_CALLBACK(+[](GSimpleAction*, GVariant*, gpointer data) {
        auto* a = static_cast<Activation*>(data);
        (*a->dispatch)(a->action);
      }),
      new Activation(std::move(activation)),
      [](gpointer data, GClosure*) { delete static_cast<Activation*>(data); }, GConnectFlags{});
  g_action_map_add_action(G_ACTION_MAP(app), G_ACTION(action));
  g_object_unref(action);
}

}  // namespace

MenuBar::~MenuBar() {
  if (model_)
    g_object_unref(model_);
}

void MenuBar::build(GtkApplication* app, const std::vector<Menu>& menus, Dispatch dispatch) {
  auto shared = std::make_shared<Dispatch>(std::move(dispatch));
  GMenu* bar = g_menu_new();
  for (const Menu& menu : menus) {
    GMenu* submenu = g_menu_new();
    GMenu* section = g_menu_new();
    for (const MenuItem& item : menu.items) {
      // GTK draws separators between sections.
      if (item.isSeparator()) {
        g_menu_append_section(submenu, nullptr, G_MENU_MODEL(section));
        g_object_unref(section);
        section = g_menu_new();
        continue;
      }
      const char* name = gactionName(*item.action);
      const std::string detailed = std::string("app.") + name;
      g_menu_append(section, item.title.c_str(), detailed.c_str());
      addAction(app, name, Activation{shared, *item.action});
      std::vector<std::string> accels;
      if (auto accel = accelerator(item.keyEquivalent))
        accels.push_back(*accel);
      for (const std::string& key : item.alternateKeys) {
        if (auto accel = accelerator(key))
          accels.push_back(*accel);
      }
      if (!accels.empty())
        accels_.emplace_back(detailed, std::move(accels));
    }
    g_menu_append_section(submenu, nullptr, G_MENU_MODEL(section));
    g_object_unref(section);
    // The application menu has no title of its own; its place shows the name.
    g_menu_append_submenu(bar, menu.title ? menu.title->c_str() : "ZORMAK", G_MENU_MODEL(submenu));
    g_object_unref(submenu);
  }
  if (model_)
    g_object_unref(model_);
  model_ = bar;
}

void MenuBar::install(GtkApplication* app) const {
  if (model_)
    gtk_application_set_menubar(app, G_MENU_MODEL(model_));
  for (const auto& [action, accels] : accels_) {
    std::vector<const char*> list;
    for (const std::string& accel : accels)
      list.push_back(accel.c_str());
    list.push_back(nullptr);
    gtk_application_set_accels_for_action(app, action.c_str(), list.data());
  }
}

}  // namespace zormak::gtk
