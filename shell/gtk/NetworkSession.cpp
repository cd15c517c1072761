#include "NetworkSession.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "HttpCache.h"
#include "Proxies.h"
#include "ServerController.h"

namespace zormak::gtk {

namespace {

// True when `dir` is a folder, after creating it where it was missing.
bool isFolderOrMade(const std::filesystem::path& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  return std::filesystem::is_directory(dir, ec);
}

WebKitNetworkSession* makeStoredSession() {
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

}  // namespace

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

WebKitNetworkSession* makeNetworkSession() {
  WebKitNetworkSession* session = makeStoredSession();
  keepLoopbackDirect(session);
  return session;
}

void addSessionCookie(WebKitNetworkSession* session, const SessionCookie& cookie,
                      std::function<void(bool stored)> done) {
  WebKitCookieManager* manager = webkit_network_session_get_cookie_manager(session);
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

}  // namespace zormak::gtk
