#include "SignIn.h"

#include <string>

#include "SignInWindow.h"

namespace zormak::gtk {

namespace {

constexpr const char* kHandler = "zormakSignIn";

std::string stringProperty(JSCValue* object, const char* name) {
  if (!jsc_value_is_object(object))
    return {};
  JSCValue* value = jsc_value_object_get_property(object, name);
  std::string text;
  if (jsc_value_is_string(value)) {
    char* chars = jsc_value_to_string(value);
    text = chars;
    g_free(chars);
  }
  g_object_unref(value);
  return text;
}

}  // namespace

SignIn::SignIn(std::function<GtkWindow*()> parent) : parent_(std::move(parent)) {}

SignIn::~SignIn() {
  if (page_) {
    g_signal_handlers_disconnect_by_data(page_, this);
    g_object_unref(page_);
  }
}

void SignIn::openWindow() {
  sign_in_window::present(session_, parent_ ? parent_() : nullptr);
}

void SignIn::listenTo(WebKitWebView* page) {
  WebKitUserContentManager* manager = webkit_web_view_get_user_content_manager(page);
  if (!manager || manager == page_)
    return;
  page_ = WEBKIT_USER_CONTENT_MANAGER(g_object_ref(manager));
  g_signal_connect(manager,
                   (std::string("script-message-with-reply-received::") + kHandler).c_str(),
                   G_CALLBACK(&SignIn::onMessage), this);
  webkit_user_content_manager_register_script_message_handler_with_reply(manager, kHandler,
                                                                         nullptr);
}

gboolean SignIn::onMessage(WebKitUserContentManager*, JSCValue* message,
                           WebKitScriptMessageReply* reply, gpointer data) {
  auto* self = static_cast<SignIn*>(data);
  const std::string action = stringProperty(message, "action");
  if (action == "open") {
    self->openWindow();
    JSCValue* opened = jsc_value_new_boolean(jsc_value_get_context(message), TRUE);
    webkit_script_message_reply_return_value(reply, opened);
    g_object_unref(opened);
    return TRUE;
  }
  if (action == "signOut") {
    webkit_script_message_reply_ref(reply);
    JSCContext* context = JSC_CONTEXT(g_object_ref(jsc_value_get_context(message)));
    self->session_.signOut(stringProperty(message, "site"), [reply, context] {
      JSCValue* done = jsc_value_new_boolean(context, TRUE);
      webkit_script_message_reply_return_value(reply, done);
      g_object_unref(done);
      g_object_unref(context);
      webkit_script_message_reply_unref(reply);
    });
    return TRUE;
  }
  webkit_script_message_reply_return_error_message(reply, "unknown action");
  return TRUE;
}

}  // namespace zormak::gtk
