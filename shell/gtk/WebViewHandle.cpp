#include "WebViewHandle.h"

#include <filesystem>
#include <iterator>
#include <system_error>

#include "ServerController.h"
#include "Trace.h"
#include "WindowHandle.h"

namespace zormak::gtk {

namespace {

// Navigations that someone asked for: a link, a form, or script running for
// a click. Loads a page makes on its own (frames, the served URL itself,
// reloads) keep the engine's default.
bool userInitiated(WebKitNavigationAction* action) {
  switch (webkit_navigation_action_get_navigation_type(action)) {
    case WEBKIT_NAVIGATION_TYPE_LINK_CLICKED:
    case WEBKIT_NAVIGATION_TYPE_FORM_SUBMITTED:
    case WEBKIT_NAVIGATION_TYPE_FORM_RESUBMITTED:
      return true;
    default:
      return webkit_navigation_action_is_user_gesture(action);
  }
}

// True when `dir` is a folder, after creating it where it was missing.
bool isFolderOrMade(const std::filesystem::path& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  return std::filesystem::is_directory(dir, ec);
}

WebKitNetworkSession* makeNetworkSession() {
  // Site data lives beside the runtime in the ZORMAK folder (never inside
  // app/, which a reinstall replaces), so cookies and storage survive.
  const std::filesystem::path data = ServerController::appSupportDir() / "WebKit";
  const std::filesystem::path cache = std::filesystem::path(g_get_user_cache_dir()) / "ZORMAK";
  if (!isFolderOrMade(data) || !isFolderOrMade(cache)) {
    // WebKit's sandbox binds folders below these, and its web process dies
    // at start (taking this process with it) when such a path runs through a
    // file. The window still has to show what went wrong, so this run keeps
    // its site data in memory only.
    return webkit_network_session_new_ephemeral();
  }
  WebKitNetworkSession* session = webkit_network_session_new(data.c_str(), cache.c_str());
  webkit_cookie_manager_set_persistent_storage(webkit_network_session_get_cookie_manager(session),
                                               (data / "cookies.sqlite").c_str(),
                                               WEBKIT_COOKIE_PERSISTENT_STORAGE_SQLITE);
  return session;
}

}  // namespace

std::shared_ptr<WebViewHandle> WebViewHandle::make(WindowHandle& window,
                                                   NavigationHandler navigation) {
  WebKitNetworkSession* session = makeNetworkSession();
  GtkWidget* widget =
      GTK_WIDGET(g_object_new(WEBKIT_TYPE_WEB_VIEW, "network-session", session, nullptr));
  g_object_unref(session);
  auto* view = WEBKIT_WEB_VIEW(widget);
  webkit_settings_set_enable_javascript(webkit_web_view_get_settings(view), TRUE);
  const GdkRGBA transparent{0, 0, 0, 0};
  webkit_web_view_set_background_color(view, &transparent);
  gtk_widget_set_hexpand(widget, TRUE);
  gtk_widget_set_vexpand(widget, TRUE);
  gtk_window_set_child(window.gtkWindow(), widget);
  trace::mark("web-view");
  return std::make_shared<WebViewHandle>(view, std::move(navigation));
}

WebViewHandle::WebViewHandle(WebKitWebView* view, NavigationHandler navigation)
    : view_(view), navigation_(std::move(navigation)) {
  g_signal_connect(view_, "destroy", G_CALLBACK(&WebViewHandle::onDestroy), this);
  g_signal_connect(view_, "decide-policy", G_CALLBACK(&WebViewHandle::onDecidePolicy), this);
  g_signal_connect(view_, "load-changed", G_CALLBACK(&WebViewHandle::onLoadChanged), this);
}

WebViewHandle::~WebViewHandle() {
  cancelTimeout();
  if (view_)
    g_signal_handlers_disconnect_by_data(view_, this);
}

void WebViewHandle::onDestroy(GtkWidget*, gpointer data) {
  auto* self = static_cast<WebViewHandle*>(data);
  self->cancelTimeout();
  g_signal_handlers_disconnect_by_data(self->view_, self);
  self->view_ = nullptr;
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
        if (self->view_ && webkit_web_view_is_loading(self->view_))
          webkit_web_view_stop_loading(self->view_);
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
  if (event == WEBKIT_LOAD_FINISHED)
    static_cast<WebViewHandle*>(data)->cancelTimeout();
}

gboolean WebViewHandle::onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                       WebKitPolicyDecisionType type, gpointer data) {
  auto* self = static_cast<WebViewHandle*>(data);
  const bool newWindow = type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION;
  if (!newWindow && type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION)
    return FALSE;
  WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
      WEBKIT_NAVIGATION_POLICY_DECISION(decision));
  if (!newWindow && !userInitiated(action))
    return FALSE;
  const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
  bool goOn = false;
  try {
    goOn = self->navigation_(uri ? uri : "", newWindow);
  } catch (...) {
  }
  if (goOn)
    return FALSE;
  webkit_policy_decision_ignore(decision);
  return TRUE;
}

}  // namespace zormak::gtk
