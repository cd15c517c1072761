#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <string>

#include "Platform.h"

namespace zormak::gtk {

// The main window. GTK owns the widget; the handle forgets it on "destroy",
// so every call after the window has gone does nothing.
class WindowHandle final : public Window {
 public:
  // `shouldClose` answers the user's closing of the window; none lets it close.
  // `focused` is told each time the window becomes the active one.
  explicit WindowHandle(GtkWidget* window, std::function<bool()> shouldClose = {},
                        std::function<void()> focused = {});
  ~WindowHandle() override;
  WindowHandle(const WindowHandle&) = delete;
  WindowHandle& operator=(const WindowHandle&) = delete;

  void setTitle(const std::string& title) override;
  // Shows the window from the main loop, after the caller has returned.
  void present() override;
  // Followed as the window changes, so it still answers once the window
  // has been closed and destroyed.
  WindowGeometry geometry() const override { return geometry_; }

  // Shows the window now; for a second launch that asks for it.
  void presentNow();
  void minimize();
  // Null once the window has been destroyed.
  GtkWindow* gtkWindow() const { return window_ ? GTK_WINDOW(window_) : nullptr; }

 private:
  static void onDestroy(GtkWidget* widget, gpointer self);
  static void onChanged(GObject* window, GParamSpec*, gpointer self);
  static gboolean onCloseRequest(GtkWindow* window, gpointer self);
  static void onActive(GObject* window, GParamSpec*, gpointer self);

  GtkWidget* window_;
  WindowGeometry geometry_;
  std::function<bool()> shouldClose_;
  std::function<void()> focused_;
};

}  // namespace zormak::gtk
