#pragma once

#include <webkit/webkit.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "SignInCookies.h"

namespace zormak::gtk {

// The sign-in window's network session, apart from the main window's: its
// own cookie store, cache and site storage in the sign-in folder (0700), so
// the launch secret never reaches it and its cookies never reach our server.
//
// Its cookies reach the download engine through a file the shell writes:
// the whole jar as a Netscape cookie file, 0600, rewritten each time the jar
// changes. The export runs here, in the shell, because only the live session
// knows the jar: libsoup's SQLite store keeps no cookie without an expiry
// (many sites keep a sign-in in one), it is read once when the session
// starts, and the session writes back only the cookies that change, so a
// cookie another process removes there stays in use. For the same reason
// signing out goes through the session. The server takes from the file only
// the cookies of the site each engine call is for, into a private file that
// lives as long as the call (payload/downloader/signed_in.py).
//
// macOS: a WKWebsiteDataStore(forIdentifier:) of its own; its
// WKHTTPCookieStore's getAllCookies: for the file, on each
// cookiesDidChangeInCookieStore: of a WKHTTPCookieStoreObserver; signing
// out with removeDataOfTypes:forDataRecords: on the site's records.
class SignInSession {
 public:
  // Made once, at launch, so the file matches the store before the first
  // download: the session cookies of the last run are gone from it.
  SignInSession();
  ~SignInSession();
  SignInSession(const SignInSession&) = delete;
  SignInSession& operator=(const SignInSession&) = delete;

  WebKitNetworkSession* session() const { return session_; }

  // Removes what the sites the web engine names `site` and its subdomains
  // stored (cookies, storage, cache), or what every site stored when `site`
  // is empty; `done` runs once the file no longer holds their cookies.
  void signOut(const std::string& site, std::function<void()> done);

 private:
  static void onCookiesChanged(WebKitCookieManager* manager, gpointer self);
  static void onCookies(GObject* source, GAsyncResult* result, gpointer pending);
  static void onFetched(GObject* source, GAsyncResult* result, gpointer pending);
  static void onRemoved(GObject* source, GAsyncResult* result, gpointer pending);
  // Writes the file from the jar; `done` runs after the write. The store
  // answers in the order it was asked, so the last write is the latest jar.
  void exportCookies(std::function<void()> done = {});
  void write(const std::string& text);

  WebKitNetworkSession* session_ = nullptr;
  std::filesystem::path file_;
  // The jar as last written, for leaving out its session cookies at the end.
  std::vector<signin::Cookie> written_;
  // Lets callbacks of the engine that come after this object is gone see so.
  std::shared_ptr<SignInSession*> alive_;
};

}  // namespace zormak::gtk
