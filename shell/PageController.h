#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "Platform.h"
#include "Server.h"

namespace zormak {

// What the window shows (the starting page, the served application, or the
// page for a start that failed, a server that stopped or a load that
// failed) and what a server failure, a failed load, a reload and a
// navigation mean on each. Main thread only.
class PageController : public std::enable_shared_from_this<PageController> {
 public:
  static constexpr std::chrono::seconds kLoadTimeout{60};
  // A server may announce its address a moment before it accepts
  // connections: a refused or reset load of the served application is tried
  // again this often, this far apart (about five seconds in all).
  static constexpr int kLoadRetries = 10;
  static constexpr std::chrono::milliseconds kLoadRetryDelay{500};
  static constexpr const char* kSessionCookie = "zormak_session";
  // Logged when the user restarts a stopped server.
  static constexpr std::string_view kRestartLine = "[ZORMAK] 按用户要求重新启动服务\n";

  // `terminating` tells whether the process is on its way out, when a
  // stopped server is no longer restarted.
  PageController(Platform& platform, std::shared_ptr<Server> server,
                 std::function<bool()> terminating);

  // The window and web view the pages are shown in. The controller exists
  // before them, since the web view asks about navigations from its start.
  void attach(std::shared_ptr<Window> window, std::shared_ptr<WebView> webView);

  void showStartingPage();
  // Hands the launch's secret to the web view's cookie store at once, when
  // there is one. The store answers only once the web engine's network
  // process runs; asked while the server starts, that wait is no longer on
  // the way to the served page.
  void storeSessionCookie();
  void showStartFailure(const std::string& message);
  // Shows the served application at `url` under the main title, once the
  // web view holds the launch's secret as the session cookie.
  void load(const std::string& url);
  void serverFailed(const std::string& message);
  void loadFailed(const LoadFailure& failure);
  // The first time the served application has loaded, the start is over and
  // the memory it freed goes back to the system.
  void loadFinished(const std::string& uri);

  // Reloads what is shown. On the stopped page it restarts the server, on
  // the page for a load that failed it loads the served application again.
  void reload();
  // Starts the server again in this window; the starting page stands until
  // it is ready.
  void restartServer();

  // Whether the web view may follow a navigation in place. Everything but
  // the built-in pages and the served application's own origin, and every
  // new window, is handed to the browser instead, so the window never loses
  // the application. The stopped page's restart address restarts the server.
  bool decideNavigation(const std::string& uri, bool newWindow);

  // The served application's origin while the window shows it.
  std::optional<std::string> servedOrigin() const {
    return showing_ == Showing::kApplication ? servedOrigin_ : std::nullopt;
  }

 private:
  // What the window shows, which decides what a failure and a reload mean.
  enum class Showing { kStarting, kApplication, kStartFailure, kStopped, kLoadFailure };

  std::string startFailurePage(const std::string& message) const;
  void show(Showing showing, std::string_view title, const std::string& html);
  void loadServed(const std::string& url);
  void cookieAnswered(const std::string& secret, bool stored);
  void showLoadFailure(const std::string& uri, const std::string& reason);
  void leaveForBrowser(const std::string& uri);

  Platform& platform_;
  const std::shared_ptr<Server> server_;
  const std::function<bool()> terminating_;
  std::shared_ptr<Window> window_;
  std::shared_ptr<WebView> webView_;
  Showing showing_ = Showing::kStarting;
  std::optional<std::string> servedOrigin_;
  std::string servedURL_;
  int retries_ = 0;  // of the served application's current load
  bool startMemoryReleased_ = false;
  // Moves on whenever what the window shows changes, so that a retry or a
  // cookie confirmation from before does nothing.
  unsigned generation_ = 0;
  // The secret last handed to the cookie store (cleared when the store
  // refused it), and whether the store has taken it.
  std::string cookieSecret_;
  bool cookieHeld_ = false;
  // The served page that waits for that answer, with its generation.
  std::optional<std::pair<std::string, unsigned>> waitingForCookie_;
};

}  // namespace zormak
