#pragma once

#include <gtk/gtk.h>

#include <string>

#include "Platform.h"

namespace zormak::gtk {

// The main window. GTK owns the widget; the handle forgets it on "destroy",
// so every call after the window has gone does nothing.
class WindowHandle final : public Window {
 public:
  explicit WindowHandle(GtkWidget* window);
  ~WindowHandle() override;
  WindowHandle(const WindowHandle&) = delete;
  WindowHandle& operator=(const WindowHandle&) = delete;

  void setTitle(const std::string& title) override;
  // Shows the window from the main loop, after the caller has returned.
  void present() override;

  // Shows the window now; for a second launch that asks for it.
  void presentNow();
  void minimize();
  // Null once the window has been destroyed.
  GtkWindow* gtkWindow() const { return window_ ? GTK_WINDOW(window_) : nullptr; }

 private:
  static void onDestroy(GtkWidget* widget, gpointer self);

  GtkWidget* window_;
};

}  // namespace zormak::gtk
