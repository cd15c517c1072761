#pragma once

#include <webkit/webkit.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "CloseConfirmation.h"
#include "Menu.h"
#include "Platform.h"

namespace zormak::gtk {

class WindowHandle;

// The web view that fills the main window. The window owns the widget; the
// handle forgets it on "destroy", so every call after that does nothing.
class WebViewHandle final : public WebView {
 public:
  // Runs a menu command the user gave inside the page (Ctrl+wheel zooms).
  using Command = std::function<void(MenuAction action)>;

  // Makes the web view with its network session and puts it in `window`.
  // Without `hardwareAcceleration` the web process composites and paints on
  // the CPU, as it must where GL is only a software rasterizer.
  static std::shared_ptr<WebViewHandle> make(WindowHandle& window, WebViewHandlers handlers,
                                             Command command, bool hardwareAcceleration);

  WebViewHandle(WebKitWebView* view, WebViewHandlers handlers, Command command);
  ~WebViewHandle() override;
  WebViewHandle(const WebViewHandle&) = delete;
  WebViewHandle& operator=(const WebViewHandle&) = delete;

  void setSessionCookie(const SessionCookie& cookie,
                        std::function<void(bool stored)> done) override;
  void loadHTML(const std::string& html) override;
  void loadRequest(const std::string& url, std::chrono::seconds timeout) override;
  void reload() override;
  void setPageZoom(double zoom) override;
  void executeEditingCommand(std::string_view command) override;
  void askToClose(std::function<void()> allowed) override;
  void allowNotifications(const std::string& origin) override;
  void runScript(const std::string& script) override;
  // None once the widget is gone.
  WebKitWebView* webView() const { return view_; }

 private:
  void cancelTimeout();
  static void onDestroy(GtkWidget* widget, gpointer self);
  static void onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self);
  static gboolean onLoadFailed(WebKitWebView* view, WebKitLoadEvent event, char* uri, GError* error,
                               gpointer self);
  static gboolean onDecidePolicy(WebKitWebView* view, WebKitPolicyDecision* decision,
                                 WebKitPolicyDecisionType type, gpointer self);
  static gboolean onContextMenu(WebKitWebView* view, WebKitContextMenu* menu,
                                WebKitHitTestResult* hit, gpointer self);
  static gboolean onPermissionRequest(WebKitWebView* view, WebKitPermissionRequest* request,
                                      gpointer self);
  static gboolean onShowNotification(WebKitWebView* view, WebKitNotification* notification,
                                     gpointer self);
  static void onPageMessage(WebKitUserContentManager* manager, JSCValue* value, gpointer self);
  static gboolean onScroll(GtkEventControllerScroll* controller, double dx, double dy,
                           gpointer self);

  WebKitWebView* view_;
  WebViewHandlers handlers_;
  Command command_;
  GtkEventController* scroll_ = nullptr;  // owned by the web view
  std::string notifyingOrigin_;           // the one origin allowed to notify
  guint timeout_ = 0;
  bool timedOut_ = false;  // the running load was stopped by our time-out
  // The running load has failed (or was cancelled); the engine still
  // reports it finished after that.
  bool loadFailed_ = false;
  std::unique_ptr<CloseConfirmation> close_;
};

}  // namespace zormak::gtk
