#pragma once

#include <webkit/webkit.h>

namespace zormak::gtk::startup_cover {

// Puts `view` in `window` under a native cover (the starting page's colours,
// a spinner and "ZORMAK 正在启动…"), so the window's very first frame shows
// that the program is starting however long the web process takes to come
// up and paint. The cover goes once the view has painted a page: a script of
// ours, run in every page after it has loaded, reports its second animation
// frame, by which the page's first frame has reached the window.
void install(GtkWindow* window, WebKitWebView* view);

}  // namespace zormak::gtk::startup_cover
