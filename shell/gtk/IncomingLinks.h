#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <optional>
#include <string>

#include "Platform.h"

namespace zormak::gtk::incoming {

// Takes every drop of links or text on `widget` and its children (the web
// view among them, which would otherwise put dropped text into whatever
// field lies under the pointer) and hands it to `handler`: a uri-list when
// the source offers one (browsers do for links, file managers for files),
// else its text.
void installDropTarget(GtkWidget* widget, DropHandler handler);

// Reads the display's clipboard as text once; `done` gets none when it holds
// no text or the read fails.
void readClipboardText(std::function<void(std::optional<std::string> text)> done);

}  // namespace zormak::gtk::incoming
