#include "WindowHandle.h"

#include <utility>

#include "Trace.h"

namespace zormak::gtk {

WindowHandle::WindowHandle(GtkWidget* window, std::function<bool()> shouldClose,
                           std::function<void()> focused)
    : window_(window), shouldClose_(std::move(shouldClose)), focused_(std::move(focused)) {
  g_signal_connect(window_, "notify::is-active", G_CALLBACK(&WindowHandle::onActive), this);
  g_signal_connect(window_, "destroy", G_CALLBACK(&WindowHandle::onDestroy), this);
  g_signal_connect(window_, "close-request", G_CALLBACK(&WindowHandle::onCloseRequest), this);
  // GTK 4 keeps the default size equal to the size the user gave the window
  // when it is not maximised, which is the size to restore.
  for (const char* property :
       {"notify::default-width", "notify::default-height", "notify::maximized"})
    g_signal_connect(window_, property, G_CALLBACK(&WindowHandle::onChanged), this);
  onChanged(G_OBJECT(window_), nullptr, this);
  trace::markFirstFrame(window_);
}

void WindowHandle::onChanged(GObject* window, GParamSpec*, gpointer self) {
  auto& geometry = static_cast<WindowHandle*>(self)->geometry_;
  gtk_window_get_default_size(GTK_WINDOW(window), &geometry.width, &geometry.height);
  geometry.maximized = gtk_window_is_maximized(GTK_WINDOW(window));
}

gboolean WindowHandle::onCloseRequest(GtkWindow*, gpointer data) {
  auto* self = static_cast<WindowHandle*>(data);
  // TRUE keeps the window open.
  return self->shouldClose_ && !self->shouldClose_();
}

void WindowHandle::onActive(GObject* window, GParamSpec*, gpointer data) {
  auto* self = static_cast<WindowHandle*>(data);
  if (self->focused_ && gtk_window_is_active(GTK_WINDOW(window))) {
    try {
      self->focused_();
    } catch (...) {
    }
  }
}

WindowHandle::~WindowHandle() {
  if (window_)
    g_signal_handlers_disconnect_by_data(window_, this);
}

void WindowHandle::onDestroy(GtkWidget*, gpointer self) {
  static_cast<WindowHandle*>(self)->window_ = nullptr;
}

void WindowHandle::setTitle(const std::string& title) {
  if (window_)
    gtk_window_set_title(GTK_WINDOW(window_), title.c_str());
}

void WindowHandle::present() {
  if (!window_)
    return;
  // A window's first showing realises it and sets up its renderer, the
  // longest single step of a launch. Done from the main loop once the launch
  // sequence has returned, it runs while the web view's processes and the
  // server start rather than before them; nothing is drawn before the loop
  // runs anyway. The idle source holds its own reference to the window.
  g_idle_add_full(
      G_PRIORITY_DEFAULT,
      [](gpointer data) -> gboolean {
        trace::mark("present");
        gtk_window_present(GTK_WINDOW(data));
        return G_SOURCE_REMOVE;
      },
      g_object_ref(window_), g_object_unref);
}

void WindowHandle::presentNow() {
  if (window_)
    gtk_window_present(GTK_WINDOW(window_));
}

void WindowHandle::minimize() {
  if (window_)
    gtk_window_minimize(GTK_WINDOW(window_));
}

}  // namespace zormak::gtk
