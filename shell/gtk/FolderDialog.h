#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <optional>
#include <string>

namespace zormak::gtk {

// The desktop's folder dialog over `parent` (the portal's where one runs);
// `done` gets the chosen folder's path, or none when the user cancelled or
// chose something without a local path.
void chooseFolder(GtkWindow* parent, std::function<void(std::optional<std::string> path)> done);

}  // namespace zormak::gtk
