#include "WebViewHandle.h"

#include <filesystem>
#include <iterator>
#include <system_error>

#include "ContextMenu.h"
#include "HttpCache.h"
#include "Navigation.h"
#include "Proxies.h"
#include "ServerController.h"
#include "Trace.h"
#include "WindowHandle.h"

namespace zormak::gtk {

namespace {

// True when `dir` is a folder, after creating it where it was missing.
bool isFolderOrMade(const std::filesystem::path& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  return std::filesystem::is_directory(dir, ec);
}

// The user's proxies, from the environment, for everything but loopback.
// Without proxy variables the system's settings stay in force.
void keepLoopbackDirect(WebKitNetworkSession* session) {
  auto settings =
      proxies::fromEnvironment([](const std::string& name) -> std::optional<std::string> {
        const char* value = g_getenv(name.c_str());
        return value ? std::optional<std::string>(value) : std::nullopt;
      });
  if (!settings)
    return;
  std::vector<const char*> ignore;
  for (const std::string& host : settings->ignoreHosts)
    ignore.push_back(host.c_str());
  ignore.push_back(nullptr);
  WebKitNetworkProxySettings* custom = webkit_network_proxy_settings_new(
      settings->defaultProxy ? settings->defaultProxy->c_str() : nullptr, ignore.data());
  for (const auto& [scheme, proxy] : settings->schemes)
    webkit_network_proxy_settings_add_proxy_for_scheme(custom, scheme.c_str(), proxy.c_str());
  webkit_network_session_set_proxy_settings(session, WEBKIT_NETWORK_PROXY_MODE_CUSTOM, custom);
  webkit_network_proxy_settings_free(custom);
}

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
  clearHttpCache(session, cache);
  webkit_cookie_manager_set_persistent_storage(webkit_network_session_get_cookie_manager(session),
                                               (data / "cookies.sqlite").c_str(),
                                               WEBKIT_COOKIE_PERSISTENT_STORAGE_SQLITE);
  return session;
}

contextmenu::Item contextItem(WebKitContextMenuItem* item) {
  using contextmenu::Item;
  if (webkit_context_menu_item_is_separator(item))
    return Item::Separator;
  switch (webkit_context_menu_item_get_stock_action(item)) {
    case WEBKIT_CONTEXT_MENU_ACTION_CUT:
      return Item::Cut;
    case WEBKIT_CONTEXT_MENU_ACTION_COPY:
      return Item::Copy;
    case WEBKIT_CONTEXT_MENU_ACTION_PASTE:
      return Item::Paste;
    case WEBKIT_CONTEXT_MENU_ACTION_PASTE_AS_PLAIN_TEXT:
      return Item::PasteAsPlainText;
    case WEBKIT_CONTEXT_MENU_ACTION_DELETE:
      return Item::Delete;
    case WEBKIT_CONTEXT_MENU_ACTION_SELECT_ALL:
      return Item::SelectAll;
    case WEBKIT_CONTEXT_MENU_ACTION_INSERT_EMOJI:
      return Item::InsertEmoji;
    case WEBKIT_CONTEXT_MENU_ACTION_SPELLING_GUESS:
      return Item::SpellingGuess;
    case WEBKIT_CONTEXT_MENU_ACTION_NO_GUESSES_FOUND:
      return Item::NoGuessesFound;
    case WEBKIT_CONTEXT_MENU_ACTION_IGNORE_SPELLING:
      return Item::IgnoreSpelling;
    case WEBKIT_CONTEXT_MENU_ACTION_LEARN_SPELLING:
      return Item::LearnSpelling;
    case WEBKIT_CONTEXT_MENU_ACTION_COPY_LINK_TO_CLIPBOARD:
      return Item::CopyLink;
    default:
      return Item::Other;
  }
}

}  // namespace

std::shared_ptr<WebViewHandle> WebViewHandle::make(WindowHandle& window, WebViewHandlers handlers,
                                                   Command command) {
  WebKitNetworkSession* session = makeNetworkSession();
  keepLoopbackDirect(session);
  GtkWidget* widget =
      GTK_WIDGET(g_object_new(WEBKIT_TYPE_WEB_VIEW, "network-session", session, nullptr));
  // The session is deliberately never released: a cookie store operation
  // still running when the window closes would otherwise drop the last
  // reference to the session's cookie manager after the session is gone,
  // and the engine then crashes on its way out.
  (void)session;
  auto* view = WEBKIT_WEB_VIEW(widget);
  webkit_settings_set_enable_javascript(webkit_web_view_get_settings(view), TRUE);
  const GdkRGBA transparent{0, 0, 0, 0};
  webkit_web_view_set_background_color(view, &transparent);
  gtk_widget_set_hexpand(widget, TRUE);
  gtk_widget_set_vexpand(widget, TRUE);
  gtk_window_set_child(window.gtkWindow(), widget);
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
    g_signal_handlers_disconnect_by_data(scroll_, this);
    g_signal_handlers_disconnect_by_data(view_, this);
  }
}

void WebViewHandle::onDestroy(GtkWidget*, gpointer data) {
  auto* self = static_cast<WebViewHandle*>(data);
  self->cancelTimeout();
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

void WebViewHandle::setSessionCookie(const SessionCookie& cookie,
                                     std::function<void(bool stored)> done) {
  if (!view_) {
    done(false);
    return;
  }
  WebKitCookieManager* manager =
      webkit_network_session_get_cookie_manager(webkit_web_view_get_network_session(view_));
  // A session cookie: no expiry, so it ends with the process.
  SoupCookie* soupCookie =
      soup_cookie_new(cookie.name.c_str(), cookie.value.c_str(), cookie.host.c_str(), "/", -1);
  soup_cookie_set_http_only(soupCookie, TRUE);
  soup_cookie_set_same_site_policy(soupCookie, SOUP_SAME_SITE_POLICY_STRICT);
  webkit_cookie_manager_add_cookie(
      manager, soupCookie, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<std::function<void(bool)>> callback(
            static_cast<std::function<void(bool)>*>(data));
        GError* error = nullptr;
        const bool stored =
            webkit_cookie_manager_add_cookie_finish(WEBKIT_COOKIE_MANAGER(source), result, &error);
        g_clear_error(&error);
        try {
          (*callback)(stored);
        } catch (...) {
        }
      },
      new std::function<void(bool)>(std::move(done)));
  soup_cookie_free(soupCookie);
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

bool WebViewHandle::allowed(const char* uri, bool newWindow) {
  try {
    return handlers_.navigation(uri ? uri : "", newWindow);
  } catch (...) {
    return false;
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

gboolean WebViewHandle::onLoadFailed(WebKitWebView*, WebKitLoadEvent, char* uri, GError* error,
                                     gpointer data) {
  auto* self = static_cast<WebViewHandle*>(data);
  auto kind = loadErrorOf(error, self->timedOut_);
  self->cancelTimeout();
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
  auto* self = static_cast<WebViewHandle*>(data);
  const bool newWindow = type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION;
  if (!newWindow && type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION)
    return FALSE;
  WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
      WEBKIT_NAVIGATION_POLICY_DECISION(decision));
  // Every navigation is decided before its request goes out: one the user
  // asked for, one a script starts on its own and each redirect of either,
  // so that no way of leaving the served origin is followed in place. The
  // engine does not say whether a frame or the page is navigating; the
  // served application has no frames of its own.
  const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
  if (self->allowed(uri, newWindow))
    return FALSE;
  webkit_policy_decision_ignore(decision);
  return TRUE;
}

// Keeps what an application's menu offers: editing in text fields, copy on
// a selection, copy link on a link. Navigation, new windows, downloads and
// the inspector belong to a browser.
gboolean WebViewHandle::onContextMenu(WebKitWebView*, WebKitContextMenu* menu, WebKitHitTestResult*,
                                      gpointer) {
  std::vector<WebKitContextMenuItem*> items;
  std::vector<contextmenu::Item> offered;
  for (GList* l = webkit_context_menu_get_items(menu); l; l = l->next) {
    auto* item = static_cast<WebKitContextMenuItem*>(l->data);
    items.push_back(item);
    offered.push_back(contextItem(item));
  }
  const std::vector<std::size_t> kept = contextmenu::kept(offered);
  // Nothing left: no menu at all rather than an empty one.
  if (kept.empty())
    return TRUE;
  // The menu sinks the new (floating) items it is given; the engine's own
  // ones are held here across the clearing and handed back.
  std::vector<WebKitContextMenuItem*> shown;
  for (std::size_t i : kept) {
    const std::string title(contextmenu::title(offered[i]));
    shown.push_back(title.empty()
                        ? WEBKIT_CONTEXT_MENU_ITEM(g_object_ref(items[i]))
                        : webkit_context_menu_item_new_from_stock_action_with_label(
                              webkit_context_menu_item_get_stock_action(items[i]), title.c_str()));
  }
  webkit_context_menu_remove_all(menu);
  for (WebKitContextMenuItem* item : shown) {
    const bool held = !g_object_is_floating(item);
    webkit_context_menu_append(menu, item);
    if (held)
      g_object_unref(item);
  }
  return FALSE;
}

gboolean WebViewHandle::onScroll(GtkEventControllerScroll* controller, double, double dy,
                                 gpointer data) {
  auto* self = static_cast<WebViewHandle*>(data);
  const GdkModifierType state =
      gtk_event_controller_get_current_event_state(GTK_EVENT_CONTROLLER(controller));
  if (!(state & GDK_CONTROL_MASK) || dy == 0 || !self->command_)
    return FALSE;
  try {
    self->command_(dy < 0 ? "zoomIn:" : "zoomOut:");
  } catch (...) {
  }
  return TRUE;
}

}  // namespace zormak::gtk
