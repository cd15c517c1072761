#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Menu.h"
#include "Platform.h"
#include "Server.h"
#include "Zoom.h"

namespace zormak {

class AppDelegate;

// The application object as the entry sees it.
class Application {
 public:
  virtual ~Application() = default;
  // An ordinary foreground application with a menu bar of its own.
  virtual void setRegularActivationPolicy() = 0;
  virtual void setMainMenu(const std::vector<Menu>& menus) = 0;
  // The application refers to its delegate without owning it.
  virtual void setDelegate(std::weak_ptr<AppDelegate> delegate) = 0;
  // Runs the event loop; returns the process's status when it stops.
  virtual int run() = 0;
};

// The shell: builds the window and the web view, shows the status pages,
// connects to the server controller, answers the page commands and turns
// termination signals into an orderly stop. Main thread only.
class AppDelegate : public std::enable_shared_from_this<AppDelegate> {
 public:
  static constexpr int kWidth = 1180;
  static constexpr int kHeight = 840;
  static constexpr int kMinWidth = 900;
  static constexpr int kMinHeight = 640;
  static constexpr std::chrono::seconds kLoadTimeout{60};
  // A server may announce its address a moment before it accepts
  // connections: a refused or reset load of the served application is tried
  // again this often, this far apart (about five seconds in all).
  static constexpr int kLoadRetries = 10;
  static constexpr std::chrono::milliseconds kLoadRetryDelay{500};
  static constexpr const char* kSessionCookie = "zormak_session";
  // Logged when the user restarts a stopped server.
  static constexpr std::string_view kRestartLine = "[ZORMAK] 按用户要求重新启动服务\n";

  explicit AppDelegate(std::shared_ptr<Server> server);

  // The one delegate of the process, made on first use (once, whichever
  // thread gets there first) with the product's controller; never released.
  static const std::shared_ptr<AppDelegate>& shared();

  // Builds the menu bar; needs no delegate.
  static void installMenu(Application& application);

  // The end of the chain that menu actions travel: editing commands go to
  // the web view, the application's own to the platform, the page commands
  // to the delegate. Nothing happens for a target that is not there yet.
  static void performMenuAction(std::string_view action, Platform& platform, AppDelegate* delegate);

  void applicationDidFinishLaunching(Platform& platform);
  void applicationWillTerminate();
  bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }

  // Shows the served application at `url` under the main title, once the
  // web view holds the launch's secret as the session cookie.
  void load(const std::string& url);

  // Reloads what is shown. On the stopped page it restarts the server, on
  // the page for a load that failed it loads the served application again.
  void reloadPage();
  void resetZoom();
  // One step nearer 300 % or 50 %; Ctrl+wheel takes the same steps.
  void zoomIn();
  void zoomOut();
  double pageZoom() const { return zoom_; }

  // The quit command and closing the window: the page is asked first.
  void requestQuit(Platform& platform);
  // Whether the window may close now; when the page must be asked first it
  // stays open and the application quits once the page agrees.
  bool windowShouldClose();
  // Starts the server again in this window; the starting page stands until
  // it is ready.
  void restartServer();

  void installSignalHandlers();

  // Whether the web view may follow a navigation in place. Everything but
  // the built-in pages and the served application's own origin, and every
  // new window, is handed to the browser instead, so the window never loses
  // the application. The stopped page's restart address restarts the server.
  bool decideNavigation(const std::string& uri, bool newWindow);

  void loadFailed(const LoadFailure& failure);

  std::shared_ptr<Window> window;
  std::shared_ptr<WebView> webView;
  const std::shared_ptr<Server> server;
  std::vector<std::unique_ptr<SignalSource>> signalSources;
  bool terminating = false;

 private:
  // What the window shows, which decides what a failure and Ctrl+R mean.
  enum class Showing { kStarting, kApplication, kStartFailure, kStopped, kLoadFailure };

  void serverFailed(const std::string& message);
  std::string startFailurePage(const std::string& message) const;
  void show(Showing showing, std::string_view title, const std::string& html);
  void loadServed(const std::string& url);
  void showLoadFailure(const std::string& uri, const std::string& reason);
  void handleSignal();
  void leaveForBrowser(const std::string& uri);
  void setZoom(double level);
  // The window's size, maximised state and zoom, kept for the next start.
  std::filesystem::path windowStateFile() const;
  void rememberWindow();

  Platform* platform_ = nullptr;
  Showing showing_ = Showing::kStarting;
  std::optional<std::string> servedOrigin_;
  double zoom_ = zoom::kActualSize;
  std::string servedURL_;
  int retries_ = 0;  // of the served application's current load
  // Moves on whenever what the window shows changes, so that a retry or a
  // cookie confirmation from before does nothing.
  unsigned generation_ = 0;
};

// The program's entry, a type without instances.
struct ZormakApp {
  ZormakApp() = delete;
  static int main(Application& application);
};

}  // namespace zormak
