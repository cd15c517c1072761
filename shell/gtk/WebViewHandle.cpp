#include "WebViewHandle.h"

#include <iterator>

#include "IncomingLinks.h"
#include "Navigation.h"
#include "NavigationPolicy.h"
#include "NetworkSession.h"
#include "StartupCover.h"
#include "Trace.h"
#include "WebContextMenu.h"
#include "WindowHandle.h"

namespace zormak::gtk {

namespace {

// The engine's error for a failed load in our terms; none for a load that
// was only cancelled or dropped by policy.
std::optional<LoadError> loadErrorOf(const GError* error, bool timedOut) {
  if (g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED))
    return timedOut ? std::optional(LoadError::kTimedOut) : std::nullopt;
  if (error->domain == WEBKIT_POLICY_ERROR)
    return std::nullopt;
  if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CONNECTION_REFUSED))
    return LoadError::kRefused;
  if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CONNECTION_CLOSED) ||
      g_error_matches(error, G_IO_ERROR, G_IO_ERROR_BROKEN_PIPE))
    return LoadError::kReset;
  return LoadError::kOther;
}

}  // namespace

std::shared_ptr<WebViewHandle> WebViewHandle::make(WindowHandle& window, WebViewHandlers handlers,
                                                   Command command, bool hardwareAcceleration) {
  WebKitNetworkSession* session = makeNetworkSession();
  GtkWidget* widget =
      GTK_WIDGET(g_object_new(WEBKIT_TYPE_WEB_VIEW, "network-session", session, nullptr));
  // The session is deliberately never released: a cookie store operation
  // still running when the window closes would otherwise drop the last
  // reference to the session's cookie manager after the session is gone,
  // and the engine then crashes on its way out.
  (void)session;
  auto* view = WEBKIT_WEB_VIEW(widget);
  WebKitSettings* settings = webkit_web_view_get_settings(view);
  webkit_settings_set_enable_javascript(settings, TRUE);
  if (!hardwareAcceleration)
    webkit_settings_set_hardware_acceleration_policy(settings,
                                                     WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
  const GdkRGBA transparent{0, 0, 0, 0};
  webkit_web_view_set_background_color(view, &transparent);
  gtk_widget_set_hexpand(widget, TRUE);
  gtk_widget_set_vexpand(widget, TRUE);
  startup_cover::install(window.gtkWindow(), view);
  if (handlers.dropped)
    incoming::installDropTarget(gtk_widget_get_parent(widget), handlers.dropped);
  trace::mark("web-view");
  return std::make_shared<WebViewHandle>(view, std::move(handlers), std::move(command));
}

WebViewHandle::WebViewHandle(WebKitWebView* view, WebViewHandlers handlers, Command command)
    : view_(view), handlers_(std::move(handlers)), command_(std::move(command)) {
  g_signal_connect(view_, "destroy", G_CALLBACK(&WebViewHandle::onDestroy), this);
  g_signal_connect(view_, "decide-policy", G_CALLBACK(&WebViewHandle::onDecidePolicy), this);
  g_signal_connect(view_, "load-changed", G_CALLBACK(&WebViewHandle::onLoadChanged), this);
  g_signal_connect(view_, "load-failed", G_CALLBACK(&WebViewHandle::onLoadFailed), this);
  g_signal_connect(view_, "context-menu", G_CALLBACK(&WebViewHandle::onContextMenu), this);
  g_signal_connect(view_, "permission-request", G_CALLBACK(&WebViewHandle::onPermissionRequest),
                   this);
  g_signal_connect(view_, "show-notification", G_CALLBACK(&WebViewHandle::onShowNotification),
                   this);
  close_ = std::make_unique<CloseConfirmation>(view_);
  // The page's messages for the shell; PageBridge decides what they mean.
  WebKitUserContentManager* manager = webkit_web_view_get_user_content_manager(view_);
  webkit_user_content_manager_register_script_message_handler(manager, "zormak", nullptr);
  g_signal_connect(manager, "script-message-received::zormak",
                   G_CALLBACK(&WebViewHandle::onPageMessage), this);
  // Control with the wheel zooms, as in browsers. The controller sees the
  // wheel before the page does, and lets it through without Control. It
  // lives with the widget, and with the handle's signals it is disconnected
  // when the handle goes.
  GtkEventController* scroll =
      gtk_event_controller_scroll_new(static_cast<GtkEventControllerScrollFlags>(
          GTK_EVENT_CONTROLLER_SCROLL_VERTICAL | GTK_EVENT_CONTROLLER_SCROLL_DISCRETE));
  gtk_event_controller_set_propagation_phase(scroll, GTK_PHASE_CAPTURE);
  g_signal_connect(scroll, "scroll", G_CALLBACK(&WebViewHandle::onScroll), this);
  gtk_widget_add_controller(GTK_WIDGET(view_), scroll);
  scroll_ = scroll;
}

WebViewHandle::~WebViewHandle() {
  cancelTimeout();
  if (view_) {
    g_signal_handlers_disconnect_by_data(webkit_web_view_get_user_content_manager(view_), this);
    g_signal_handlers_disconnect_by_data(scroll_, this);
    g_signal_handlers_disconnect_by_data(view_, this);
  }
}

void WebViewHandle::onDestroy(GtkWidget*, gpointer data) {
  auto* self = static_cast<WebViewHandle*>(data);
  self->cancelTimeout();
  g_signal_handlers_disconnect_by_data(webkit_web_view_get_user_content_manager(self->view_), self);
  g_signal_handlers_disconnect_by_data(self->scroll_, self);
  g_signal_handlers_disconnect_by_data(self->view_, self);
  self->view_ = nullptr;
  self->scroll_ = nullptr;
}

void WebViewHandle::askToClose(std::function<void()> allowed) {
  close_->ask(std::move(allowed));
}

void WebViewHandle::allowNotifications(const std::string& origin) {
  notifyingOrigin_ = origin;
}

gboolean WebViewHandle::onPermissionRequest(WebKitWebView* view, WebKitPermissionRequest* request,
                                            gpointer data) {
  auto* self = static_cast<WebViewHandle*>(data);
  // The served page's own request for notifications is granted without
  // troubling the user; whatever else a page asks for (another origin's
  // notifications, location, camera, the microphone, …) is refused.
  const char* uri = webkit_web_view_get_uri(view);
  const bool ours = WEBKIT_IS_NOTIFICATION_PERMISSION_REQUEST(request) &&
                    !self->notifyingOrigin_.empty() && uri &&
                    navigation::originOf(uri) == self->notifyingOrigin_;
  if (ours)
    webkit_permission_request_allow(request);
  else
    webkit_permission_request_deny(request);
  return TRUE;
}

gboolean WebViewHandle::onShowNotification(WebKitWebView* view, WebKitNotification* notification,
                                           gpointer) {
  // Clicking the notification brings the window back, as users expect.
  if (GtkRoot* root = gtk_widget_get_root(GTK_WIDGET(view)); GTK_IS_WINDOW(root))
    g_signal_connect_object(
        notification, "clicked",
        G_CALLBACK(+[](WebKitNotification*, GtkWindow* window) { gtk_window_present(window); }),
        root, G_CONNECT_DEFAULT);
  return FALSE;  // the engine shows it through the desktop's service
}

void WebViewHandle::runScript(const std::string& script) {
  if (view_)
    webkit_web_view_evaluate_javascript(view_, script.c_str(), -1, nullptr, nullptr, nullptr,
                                        nullptr, nullptr);
}

void WebViewHandle::onPageMessage(WebKitUserContentManager*, JSCValue* value, gpointer data) {
  auto* self = static_cast<WebViewHandle*>(data);
  if (!self->view_ || !self->handlers_.pageMessage || !jsc_value_is_string(value))
    return;
  char* text = jsc_value_to_string(value);
  const char* uri = webkit_web_view_get_uri(self->view_);
  trace::mark("page-message", text);
  try {
    self->handlers_.pageMessage(text ? text : "", uri ? uri : "");
  } catch (...) {
  }
  g_free(text);
}

void WebViewHandle::setSessionCookie(const SessionCookie& cookie,
                                     std::function<void(bool stored)> done) {
  if (!view_) {
    done(false);
    return;
  }
  trace::mark("cookie");
  addSessionCookie(webkit_web_view_get_network_session(view_), cookie,
                   [done = std::move(done)](bool stored) {
                     trace::mark("cookie-stored");
                     done(stored);
                   });
}

void WebViewHandle::loadHTML(const std::string& html) {
  trace::mark("load-html");
  cancelTimeout();
  if (view_)
    webkit_web_view_load_html(view_, html.c_str(), nullptr);
}

void WebViewHandle::loadRequest(const std::string& url, std::chrono::seconds timeout) {
  trace::mark("load-request", url.c_str());
  cancelTimeout();
  if (!view_)
    return;
  WebKitURIRequest* request = webkit_uri_request_new(url.c_str());
  webkit_web_view_load_request(view_, request);
  g_object_unref(request);
  // The engine has no time-out of its own for a page load; stop one that is
  // still running when ours runs out.
  timeout_ = g_timeout_add_seconds(
      static_cast<guint>(timeout.count()),
      [](gpointer data) -> gboolean {
        auto* self = static_cast<WebViewHandle*>(data);
        self->timeout_ = 0;
        if (self->view_ && webkit_web_view_is_loading(self->view_)) {
          self->timedOut_ = true;
          webkit_web_view_stop_loading(self->view_);
        }
        return G_SOURCE_REMOVE;
      },
      this);
}

void WebViewHandle::reload() {
  if (view_)
    webkit_web_view_reload(view_);
}

void WebViewHandle::setPageZoom(double zoom) {
  if (view_)
    webkit_web_view_set_zoom_level(view_, zoom);
}

void WebViewHandle::executeEditingCommand(std::string_view command) {
  if (!view_)
    return;
  std::string name(command);
  webkit_web_view_execute_editing_command(view_, name.c_str());
}

void WebViewHandle::cancelTimeout() {
  timedOut_ = false;
  if (timeout_ != 0) {
    g_source_remove(timeout_);
    timeout_ = 0;
  }
}

void WebViewHandle::onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer data) {
  static constexpr const char* kNames[] = {"load-started", "load-redirected", "load-committed",
                                           "load-finished"};
  if (static_cast<unsigned>(event) < std::size(kNames))
    trace::mark(kNames[static_cast<unsigned>(event)], webkit_web_view_get_uri(view));

  auto* self = static_cast<WebViewHandle*>(data);
  if (event == WEBKIT_LOAD_STARTED)
    self->loadFailed_ = false;
  if (event != WEBKIT_LOAD_FINISHED)
    return;
  self->cancelTimeout();
  if (self->loadFailed_ || !self->handlers_.loadFinished)
    return;
  const char* uri = webkit_web_view_get_uri(view);
  try {
    self->handlers_.loadFinished(uri ? uri : "");
  } catch (...) {
  }
}

gboolean WebViewHandle::onLoadFailed(WebKitWebView*, WebKitLoadEvent, char* uri, GError* error,
                                     gpointer data) {
  auto* self = static_cast<WebViewHandle*>(data);
  auto kind = loadErrorOf(error, self->timedOut_);
  self->cancelTimeout();
  self->loadFailed_ = true;
  if (!kind)
    return FALSE;  // nothing failed; the engine shows nothing either
  trace::mark("load-failed", error->message);
  try {
    self->handlers_.loadFailed(LoadFailure{uri ? uri : "", *kind, error->message});
  } catch (...) {
  }
  return TRUE;  // never the engine's own error page
}

gboolean WebViewHandle::onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                       WebKitPolicyDecisionType type, gpointer data) {
  return decideNavigationPolicy(decision, type,
                                static_cast<WebViewHandle*>(data)->handlers_.navigation);
}

gboolean WebViewHandle::onContextMenu(WebKitWebView*, WebKitContextMenu* menu, WebKitHitTestResult*,
                                      gpointer) {
  return trimContextMenu(menu);
}

gboolean WebViewHandle::onScroll(GtkEventControllerScroll* controller, double, double dy,
                                 gpointer data) {
  auto* self = static_cast<WebViewHandle*>(data);
  const GdkModifierType state =
      gtk_event_controller_get_current_event_state(GTK_EVENT_CONTROLLER(controller));
  if (!(state & GDK_CONTROL_MASK) || dy == 0 || !self->command_)
    return FALSE;
  try {
    self->command_(dy < 0 ? MenuAction::zoomIn : MenuAction::zoomOut);
  } catch (...) {
  }
  return TRUE;
}

}  // namespace zormak::gtk
