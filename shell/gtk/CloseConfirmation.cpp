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
  g_signal_connect(view_, "destroy", G_CALLBACK(&CloseConfirmation::onDestroy), this);
}

CloseConfirmation::~CloseConfirmation() {
  forget();
}

void CloseConfirmation::forget() {
  if (asking_) {
    // The answer then arrives cancelled and touches nothing of ours.
    g_cancellable_cancel(asking_);
    g_object_unref(asking_);
    asking_ = nullptr;
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
  const bool unanswered = asking_ && now - askedAt_ >= kPatience;
  if (!view_ || !webkit_web_view_get_is_web_process_responsive(view_) || unanswered) {
    allowed_ = std::move(allowed);
    leave();
    return;
  }
  if (asking_)
    return;  // the page is still answering the first request
  allowed_ = std::move(allowed);
  askedAt_ = now;
  asking_ = g_cancellable_new();
  const std::string script(quitconfirmation::kPendingWorkScript);
  webkit_web_view_evaluate_javascript(view_, script.data(), static_cast<gssize>(script.size()),
                                      nullptr, nullptr, asking_, &CloseConfirmation::onAnswer,
                                      this);
}

void CloseConfirmation::onAnswer(GObject* view, GAsyncResult* result, gpointer data) {
  GError* error = nullptr;
  JSCValue* value =
      webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(view), result, &error);
  const bool cancelled = error && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
  // A failed script (a page of the engine's, a blank one) has nothing pending.
  const bool pending = value && jsc_value_is_boolean(value) && jsc_value_to_boolean(value);
  if (value)
    g_object_unref(value);
  if (error)
    g_error_free(error);
  if (cancelled)
    return;  // the handle is gone or leaving already
  auto* self = static_cast<CloseConfirmation*>(data);
  g_clear_object(&self->asking_);
  if (pending)
    self->showQuestion();
  else
    self->leave();
}

void CloseConfirmation::showQuestion() {
  GtkRoot* root = gtk_widget_get_root(GTK_WIDGET(view_));
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
  g_signal_connect(question, "response", G_CALLBACK(&CloseConfirmation::onResponse), this);
  dialog_ = question;
  gtk_window_present(GTK_WINDOW(question));
}

void CloseConfirmation::onResponse(GtkDialog*, int response, gpointer data) {
  auto* self = static_cast<CloseConfirmation*>(data);
  GtkWidget* dialog = std::exchange(self->dialog_, nullptr);
  g_signal_handlers_disconnect_by_data(dialog, self);
  gtk_window_destroy(GTK_WINDOW(dialog));
  if (response == GTK_RESPONSE_ACCEPT)
    self->leave();
  else
    self->allowed_ = nullptr;  // the user stays; a later request asks again
}

void CloseConfirmation::leave() {
  if (asking_) {
    g_cancellable_cancel(asking_);
    g_clear_object(&asking_);
  }
  // `allowed` may end the window and with it this object.
  if (auto allowed = std::exchange(allowed_, nullptr))
    allowed();
}

void CloseConfirmation::onDestroy(GtkWidget*, gpointer data) {
  static_cast<CloseConfirmation*>(data)->forget();
}

gboolean CloseConfirmation::onScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer) {
  if (webkit_script_dialog_get_dialog_type(dialog) != WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM)
    return FALSE;  // alert, confirm and prompt keep the engine's dialogs
  // Reloading or leaving the page stops nothing: the downloads run in the
  // service. Only closing the window is asked about, by ask().
  webkit_script_dialog_confirm_set_confirmed(dialog, TRUE);
  return TRUE;
}

}  // namespace zormak::gtk
