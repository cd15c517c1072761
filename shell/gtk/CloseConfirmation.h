#pragma once

#include <webkit/webkit.h>

#include <chrono>
#include <functional>

namespace zormak::gtk {

// Asks the page in a web view whether the window may close: the engine
// runs the page's beforeunload handler, and where that asks, the question
// is shown in Chinese as a dialog of the window. Forgets the view on
// "destroy".
class CloseConfirmation {
 public:
  explicit CloseConfirmation(WebKitWebView* view);
  ~CloseConfirmation();
  CloseConfirmation(const CloseConfirmation&) = delete;
  CloseConfirmation& operator=(const CloseConfirmation&) = delete;

  // Runs `allowed` once the page agrees; never when the user stays.
  void ask(std::function<void()> allowed);

 private:
  static gboolean onScriptDialog(WebKitWebView* view, WebKitScriptDialog* dialog, gpointer self);
  static void onClose(WebKitWebView* view, gpointer self);
  static void onDestroy(GtkWidget* view, gpointer self);
  static void onResponse(GtkDialog* dialog, int response, gpointer self);
  void answer(bool leave);
  void forget();

  WebKitWebView* view_;
  std::function<void()> allowed_;  // set while a request waits for the page
  std::chrono::steady_clock::time_point askedAt_;
  GtkWidget* dialog_ = nullptr;                 // ours, while it is shown
  WebKitScriptDialog* scriptDialog_ = nullptr;  // the engine's, held while ours is shown
};

}  // namespace zormak::gtk
