#pragma once

#include <webkit/webkit.h>

namespace zormak::gtk {

// The web view's "context-menu": keeps what an application's menu offers
// (editing in text fields, copy on a selection, copy link on a link) under
// Chinese titles, and opens no menu when nothing is left. Returns the
// signal's value.
gboolean trimContextMenu(WebKitContextMenu* menu);

}  // namespace zormak::gtk
