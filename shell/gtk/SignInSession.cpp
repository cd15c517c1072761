#include "SignInSession.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <system_error>
#include <vector>

#include "NetworkSession.h"
#include "ServerController.h"
#include "SignInCookies.h"

namespace zormak::gtk {

namespace {

// A folder of this user's alone, made where it was missing; false when it
// cannot be one (a file or a link in its place).
bool isPrivateFolder(const std::filesystem::path& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
    return false;
  return (st.st_mode & 077) == 0 || ::chmod(dir.c_str(), 0700) == 0;
}

signin::Cookie fieldsOf(SoupCookie* cookie) {
  GDateTime* expires = soup_cookie_get_expires(cookie);
  return signin::Cookie{soup_cookie_get_domain(cookie),
                        soup_cookie_get_path(cookie) ? soup_cookie_get_path(cookie) : "/",
                        soup_cookie_get_name(cookie),
                        soup_cookie_get_value(cookie),
                        soup_cookie_get_secure(cookie) != FALSE,
                        soup_cookie_get_http_only(cookie) != FALSE,
                        expires ? g_date_time_to_unix(expires) : 0};
}

// What an asynchronous call of the engine needs when it answers.
struct Pending {
  std::shared_ptr<SignInSession*> alive;
  std::string site;
  std::function<void()> done;
};

void finish(std::unique_ptr<Pending> pending) {
  if (pending->done) {
    try {
      pending->done();
    } catch (...) {
    }
  }
}

}  // namespace

SignInSession::SignInSession() : alive_(std::make_shared<SignInSession*>(this)) {
  const auto& locations = ServerController::Locations::standard();
  const std::filesystem::path dir = locations.signInDir(), data = dir / "data",
                              cache = dir / "cache";
  file_ = locations.signInCookiesPath();
  if (isPrivateFolder(dir) && isPrivateFolder(data) && isPrivateFolder(cache)) {
    session_ = webkit_network_session_new(data.c_str(), cache.c_str());
    webkit_cookie_manager_set_persistent_storage(
        webkit_network_session_get_cookie_manager(session_), (data / "cookies.sqlite").c_str(),
        WEBKIT_COOKIE_PERSISTENT_STORAGE_SQLITE);
  } else {
    // Nowhere safe to keep a sign-in: this run's lasts as long as the run,
    // and no file is written for the engine.
    session_ = webkit_network_session_new_ephemeral();
    file_.clear();
  }
  keepLoopbackDirect(session_);
  g_signal_connect(webkit_network_session_get_cookie_manager(session_), "changed",
                   G_CALLBACK(&SignInSession::onCookiesChanged), this);
  exportCookies();
}

SignInSession::~SignInSession() {
  *alive_ = nullptr;
  // Cookies without an expiry end with the session: the file keeps them no
  // longer than the jar does.
  std::erase_if(written_, [](const signin::Cookie& cookie) { return cookie.expires == 0; });
  write(signin::netscapeFile(written_));
  g_signal_handlers_disconnect_by_data(webkit_network_session_get_cookie_manager(session_), this);
  // The session itself is kept, as the main window's is: a store operation
  // still running would otherwise outlive it and crash the engine on exit.
}

void SignInSession::onCookiesChanged(WebKitCookieManager*, gpointer self) {
  static_cast<SignInSession*>(self)->exportCookies();
}

void SignInSession::exportCookies(std::function<void()> done) {
  webkit_cookie_manager_get_all_cookies(webkit_network_session_get_cookie_manager(session_),
                                        nullptr, &SignInSession::onCookies,
                                        new Pending{alive_, {}, std::move(done)});
}

void SignInSession::onCookies(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
  GError* error = nullptr;
  GList* list =
      webkit_cookie_manager_get_all_cookies_finish(WEBKIT_COOKIE_MANAGER(source), result, &error);
  SignInSession* self = *pending->alive;
  if (self && !error) {
    std::vector<signin::Cookie> cookies;
    for (GList* item = list; item; item = item->next)
      cookies.push_back(fieldsOf(static_cast<SoupCookie*>(item->data)));
    self->write(signin::netscapeFile(cookies));
    self->written_ = std::move(cookies);
  }
  g_clear_error(&error);
  g_list_free_full(list, reinterpret_cast<GDestroyNotify>(soup_cookie_free));
  finish(std::move(pending));
}

void SignInSession::write(const std::string& text) {
  if (file_.empty())
    return;
  // A new file renamed over the old one: the server never reads half a jar,
  // and a link someone put in its place is replaced, never written through.
  std::string temporary = (file_.parent_path() / ".engine-cookies-XXXXXX").string();
  const int fd = g_mkstemp_full(temporary.data(), O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0)
    return;
  bool written = true;
  for (std::size_t done = 0; done < text.size() && written;) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    written = n > 0 || (n < 0 && errno == EINTR);
    done += n > 0 ? static_cast<std::size_t>(n) : 0;
  }
  written = ::close(fd) == 0 && written;
  if (!written || std::rename(temporary.c_str(), file_.c_str()) != 0)
    ::unlink(temporary.c_str());
}

void SignInSession::signOut(const std::string& site, std::function<void()> done) {
  WebKitWebsiteDataManager* manager = webkit_network_session_get_website_data_manager(session_);
  auto* pending = new Pending{alive_, site, std::move(done)};
  if (site.empty())
    webkit_website_data_manager_clear(manager, WEBKIT_WEBSITE_DATA_ALL, 0, nullptr,
                                      &SignInSession::onRemoved, pending);
  else
    webkit_website_data_manager_fetch(manager, WEBKIT_WEBSITE_DATA_ALL, nullptr,
                                      &SignInSession::onFetched, pending);
}

void SignInSession::onFetched(GObject* source, GAsyncResult* result, gpointer data) {
  auto* manager = WEBKIT_WEBSITE_DATA_MANAGER(source);
  auto* pending = static_cast<Pending*>(data);
  GList* all = webkit_website_data_manager_fetch_finish(manager, result, nullptr);
  GList* chosen = nullptr;
  for (GList* item = all; item; item = item->next) {
    auto* record = static_cast<WebKitWebsiteData*>(item->data);
    if (signin::belongsToSite(webkit_website_data_get_name(record), pending->site))
      chosen = g_list_prepend(chosen, record);
  }
  if (chosen)
    webkit_website_data_manager_remove(manager, WEBKIT_WEBSITE_DATA_ALL, chosen, nullptr,
                                       &SignInSession::onRemoved, pending);
  else
    onRemoved(nullptr, nullptr, pending);
  g_list_free(chosen);
  g_list_free_full(all, reinterpret_cast<GDestroyNotify>(webkit_website_data_unref));
}

void SignInSession::onRemoved(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
  if (source) {
    // What could not be removed is still in the jar, and so still in the file.
    auto* manager = WEBKIT_WEBSITE_DATA_MANAGER(source);
    GError* error = nullptr;
    if (pending->site.empty())
      webkit_website_data_manager_clear_finish(manager, result, &error);
    else
      webkit_website_data_manager_remove_finish(manager, result, &error);
    g_clear_error(&error);
  }
  if (SignInSession* self = *pending->alive)
    self->exportCookies(std::move(pending->done));
  else
    finish(std::move(pending));
}

}  // namespace zormak::gtk
