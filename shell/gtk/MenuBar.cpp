#include "MenuBar.h"

#include <memory>

namespace zormak::gtk {

namespace {

// GAction names cannot hold the colon the menu data's action names end in.
std::string gactionName(const std::string& action) {
  std::string name = action;
  if (!name.empty() && name.back() == ':')
    name.pop_back();
  return name;
}

struct Activation {
  std::shared_ptr<MenuBar::Dispatch> dispatch;
  std::string action;
};

void addAction(GtkApplication* app, const std::string& name, Activation activation) {
  GSimpleAction* action = g_simple_action_new(name.c_str(), nullptr);
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
      const std::string name = gactionName(item.action);
      const std::string detailed = "app." + name;
      g_menu_append(section, item.title.c_str(), detailed.c_str());
      addAction(app, name, Activation{shared, item.action});
      if (auto shortcut = shortcutFor(item.keyEquivalent)) {
        // Control stands for Command here.
        std::string accel = shortcut->shift ? "<Shift><Control>" : "<Control>";
        accel += shortcut->key;
        accels_.emplace_back(detailed, accel);
      }
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
  for (const auto& [action, accel] : accels_) {
    const char* accels[] = {accel.c_str(), nullptr};
    gtk_application_set_accels_for_action(app, action.c_str(), accels);
  }
}

}  // namespace zormak::gtk
