#pragma once

#include <webkit/webkit.h>

#include <chrono>
#include <string>
#include <string_view>

#include "Platform.h"

namespace zormak::gtk {

class WindowHandle;

// The web view that fills the main window. The window owns the widget; the
// handle forgets it on "destroy", so every call after that does nothing.
class WebViewHandle final : public WebView {
 public:
  // Makes the web view with its network session and puts it in `window`.
  static std::shared_ptr<WebViewHandle> make(WindowHandle& window, NavigationHandler navigation);

  WebViewHandle(WebKitWebView* view, NavigationHandler navigation);
  ~WebViewHandle() override;
  WebViewHandle(const WebViewHandle&) = delete;
  WebViewHandle& operator=(const WebViewHandle&) = delete;

  void loadHTML(const std::string& html) override;
  void loadRequest(const std::string& url, std::chrono::seconds timeout) override;
  void reload() override;
  void setPageZoom(double zoom) override;
  void executeEditingCommand(std::string_view command) override;

 private:
  void cancelTimeout();
  static void onDestroy(GtkWidget* widget, gpointer self);
  static void onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self);
  static gboolean onDecidePolicy(WebKitWebView* view, WebKitPolicyDecision* decision,
                                 WebKitPolicyDecisionType type, gpointer self);

  WebKitWebView* view_;
  NavigationHandler navigation_;
  guint timeout_ = 0;
};

}  // namespace zormak::gtk
