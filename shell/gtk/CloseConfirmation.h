#pragma once

#include <webkit/webkit.h>

#include <chrono>
#include <functional>

namespace zormak::gtk {

// Asks the page in a web view whether the window may close: its
// beforeunload handlers are run by script, and where one of them objects,
// the question is shown in Chinese as a dialog of the window. Forgets the
// view on "destroy".
//
// The engine's own try-close is not used: it lets the window go when the
// web process does not answer within 50 ms, which a busy machine misses,
// and it never asks for a page the user has not clicked in yet (downloads
// resumed at start).
class CloseConfirmation {
 public:
  explicit CloseConfirmation(WebKitWebView* view);
  ~CloseConfirmation();
  CloseConfirmation(const CloseConfirmation&) = delete;
  CloseConfirmation& operator=(const CloseConfirmation&) = delete;

  // Runs `allowed` once the page agrees; never when the user stays.
  void ask(std::function<void()> allowed);

 private:
  static void onAnswer(GObject* view, GAsyncResult* result, gpointer self);
  static gboolean onScriptDialog(WebKitWebView* view, WebKitScriptDialog* dialog, gpointer self);
  static void onDestroy(GtkWidget* view, gpointer self);
  static void onResponse(GtkDialog* dialog, int response, gpointer self);
  void showQuestion();
  void leave();
  void forget();

  WebKitWebView* view_;
  std::function<void()> allowed_;  // set from a request until it is decided
  std::chrono::steady_clock::time_point askedAt_;
  GCancellable* asking_ = nullptr;  // ours, while the page is being asked
  GtkWidget* dialog_ = nullptr;     // ours, while it is shown
};

}  // namespace zormak::gtk
