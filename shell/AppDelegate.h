#pragma once

#include <memory>
#include <vector>

#include "Menu.h"
#include "PageBridge.h"
#include "PageController.h"
#include "Platform.h"
#include "Server.h"
#include "WindowMemory.h"

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

// The shell's lifecycle: builds the window and the web view, starts the
// server controller and stops it on quit, window close or a termination
// signal, and takes the menu commands. What the window shows is the
// PageController's, how it looked between runs the WindowMemory's. Main
// thread only.
class AppDelegate : public std::enable_shared_from_this<AppDelegate> {
 public:
  static constexpr int kWidth = 1180;
  static constexpr int kHeight = 840;
  static constexpr int kMinWidth = 900;
  static constexpr int kMinHeight = 640;

  explicit AppDelegate(std::shared_ptr<Server> server);

  // The one delegate of the process, made on first use (once, whichever
  // thread gets there first) with the product's controller; never released.
  static const std::shared_ptr<AppDelegate>& shared();

  // Builds the menu bar; needs no delegate.
  static void installMenu(Application& application);

  // The end of the chain that menu actions travel: editing commands go to
  // the web view, the application's own to the platform, the page commands
  // to the delegate. Nothing happens for a target that is not there yet.
  static void performMenuAction(MenuAction action, Platform& platform, AppDelegate* delegate);

  void applicationDidFinishLaunching(Platform& platform);
  void applicationWillTerminate();
  bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }

  // Reloads what is shown; see PageController::reload().
  void reloadPage();
  void resetZoom();
  // One step nearer 300 % or 50 %; Ctrl+wheel takes the same steps.
  void zoomIn();
  void zoomOut();
  double pageZoom() const { return memory_.zoom(); }

  // The quit command and closing the window: the page is asked first.
  void requestQuit(Platform& platform);
  // Whether the window may close now; when the page must be asked first it
  // stays open and the application quits once the page agrees.
  bool windowShouldClose();

  void installSignalHandlers();

  // Addresses a launch handed over (the command line, a `zormak:` address):
  // the page fills its add box with them and asks.
  void openAddresses(const std::vector<std::string>& addresses);

  std::shared_ptr<Window> window;
  std::shared_ptr<WebView> webView;
  const std::shared_ptr<Server> server;
  std::vector<std::unique_ptr<SignalSource>> signalSources;
  bool terminating = false;

 private:
  void handleSignal();
  void setZoom(double level);
  void rememberWindow();

  Platform* platform_ = nullptr;
  // Made at launch, before the web view that asks it about navigations.
  std::shared_ptr<PageController> pages_;
  std::shared_ptr<PageBridge> bridge_;
  // Handed over before the launch made the bridge.
  std::vector<std::string> earlyAddresses_;
  WindowMemory memory_;
};

// The program's entry, a type without instances.
struct ZormakApp {
  ZormakApp() = delete;
  static int main(Application& application);
};

}  // namespace zormak
