#pragma once

#include <webkit/webkit.h>

#include <functional>

#include "SignInSession.h"

namespace zormak::gtk {

// Signing in to sites: the sign-in session, its window, and what our page
// may ask of them. The page asks by script message, and nothing else ever
// gets a message handler: the sign-in window's pages cannot reach the shell.
class SignIn {
 public:
  // `parent` gives the main window, for the sign-in window to sit above.
  explicit SignIn(std::function<GtkWindow*()> parent);
  ~SignIn();
  SignIn(const SignIn&) = delete;
  SignIn& operator=(const SignIn&) = delete;

  void openWindow();

  // Lets the page shown in `page` post to window.webkit.messageHandlers.zormakSignIn
  // {action: "open"}, or {action: "signOut", site: "example.com"} (every site
  // without one), whose promise settles once the engine's file no longer
  // holds the site's cookies.
  void listenTo(WebKitWebView* page);

 private:
  static gboolean onMessage(WebKitUserContentManager* manager, JSCValue* message,
                            WebKitScriptMessageReply* reply, gpointer self);

  std::function<GtkWindow*()> parent_;
  SignInSession session_;
  WebKitUserContentManager* page_ = nullptr;
};

}  // namespace zormak::gtk
