#include "CloseConfirmation.h"

#include <string>
#include <utility>

#include "QuitConfirmation.h"

namespace zormak::gtk {

namespace {

// A page that has not answered in this time while the user asks again is
// not waited for: its process may be stuck, and the user must be able to
// quit.
constexpr std::chrono::seconds kPatience{2};

}  // namespace

CloseConfirmation::CloseConfirmation(WebKitWebView* view) : view_(view) {
  g_signal_connect(view_, "script-dialog", G_CALLBACK(&CloseConfirmation::onScriptDialog), this);
  g_signal_connect(view_, "close", G_CALLBACK(&CloseConfirmation::onClose), this);
  g_signal_connect(view_, "destroy", G_CALLBACK(&CloseConfirmation::onDestroy), this);
}

CloseConfirmation::~CloseConfirmation() {
  forget();
}

void CloseConfirmation::forget() {
  if (scriptDialog_) {
    // The page keeps its state; the window is going anyway.
    webkit_script_dialog_close(scriptDialog_);
    webkit_script_dialog_unref(scriptDialog_);
    scriptDialog_ = nullptr;
  }
  if (dialog_) {
    g_signal_handlers_disconnect_by_data(dialog_, this);
    gtk_window_destroy(GTK_WINDOW(dialog_));
    dialog_ = nullptr;
  }
  if (view_) {
    g_signal_handlers_disconnect_by_data(view_, this);
    view_ = nullptr;
  }
  allowed_ = nullptr;
}

void CloseConfirmation::ask(std::function<void()> allowed) {
  if (dialog_) {
    gtk_window_present(GTK_WINDOW(dialog_));
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  const bool unanswered = allowed_ && now - askedAt_ >= kPatience;
  if (!view_ || !webkit_web_view_get_is_web_process_responsive(view_) || unanswered) {
    allowed_ = nullptr;
    allowed();
    return;
  }
  if (allowed_)
    return;  // the page is still answering the first request
  allowed_ = std::move(allowed);
  askedAt_ = now;
  // The engine answers with "close" when the page lets go, at once when it
  // has no beforeunload handler.
  webkit_web_view_try_close(view_);
}

void CloseConfirmation::onClose(WebKitWebView*, gpointer data) {
  auto* self = static_cast<CloseConfirmation*>(data);
  // A page closing itself (window.close()) does not end the application;
  // only the answer to a request does.
  if (auto allowed = std::exchange(self->allowed_, nullptr))
    allowed();
}

void CloseConfirmation::onDestroy(GtkWidget*, gpointer data) {
  static_cast<CloseConfirmation*>(data)->forget();
}

gboolean CloseConfirmation::onScriptDialog(WebKitWebView* view, WebKitScriptDialog* dialog,
                                           gpointer data) {
  auto* self = static_cast<CloseConfirmation*>(data);
  if (webkit_script_dialog_get_dialog_type(dialog) != WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM)
    return FALSE;  // alert, confirm and prompt keep the engine's dialogs
  if (!self->allowed_ || self->dialog_) {
    // Reloading or leaving the page stops nothing: the downloads run in the
    // service. Only closing the window is asked about.
    webkit_script_dialog_confirm_set_confirmed(dialog, TRUE);
    return TRUE;
  }
  GtkRoot* root = gtk_widget_get_root(GTK_WIDGET(view));
  const std::string message(quitconfirmation::kMessage), detail(quitconfirmation::kDetail);
  const std::string stay(quitconfirmation::kStay), quit(quitconfirmation::kQuit);
  GtkWidget* question =
      gtk_message_dialog_new(GTK_IS_WINDOW(root) ? GTK_WINDOW(root) : nullptr, GTK_DIALOG_MODAL,
                             GTK_MESSAGE_QUESTION, GTK_BUTTONS_NONE, "%s", message.c_str());
  gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(question), "%s", detail.c_str());
  gtk_dialog_add_button(GTK_DIALOG(question), stay.c_str(), GTK_RESPONSE_CANCEL);
  gtk_dialog_add_button(GTK_DIALOG(question), quit.c_str(), GTK_RESPONSE_ACCEPT);
  // Staying is what Enter and Escape do.
  gtk_dialog_set_default_response(GTK_DIALOG(question), GTK_RESPONSE_CANCEL);
  g_signal_connect(question, "response", G_CALLBACK(&CloseConfirmation::onResponse), self);
  self->scriptDialog_ = webkit_script_dialog_ref(dialog);
  self->dialog_ = question;
  gtk_window_present(GTK_WINDOW(question));
  return TRUE;
}

void CloseConfirmation::onResponse(GtkDialog*, int response, gpointer data) {
  static_cast<CloseConfirmation*>(data)->answer(response == GTK_RESPONSE_ACCEPT);
}

void CloseConfirmation::answer(bool leave) {
  if (!leave)
    allowed_ = nullptr;  // the user stays; a later request asks again
  GtkWidget* dialog = std::exchange(dialog_, nullptr);
  WebKitScriptDialog* script = std::exchange(scriptDialog_, nullptr);
  g_signal_handlers_disconnect_by_data(dialog, this);
  gtk_window_destroy(GTK_WINDOW(dialog));
  // Closing the engine's dialog with the answer makes it emit "close" when
  // the user leaves.
  webkit_script_dialog_confirm_set_confirmed(script, leave);
  webkit_script_dialog_close(script);
  webkit_script_dialog_unref(script);
}

}  // namespace zormak::gtk
