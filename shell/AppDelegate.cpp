#include "AppDelegate.h"

#include <csignal>
#include <ctime>

#include "Navigation.h"
#include "Pages.h"
#include "ServerController.h"
#include "WindowState.h"

namespace zormak {

AppDelegate::AppDelegate(std::shared_ptr<Server> serverControl)
    : server(std::move(serverControl)) {}

const std::shared_ptr<AppDelegate>& AppDelegate::shared() {
  // Deliberately leaked: the delegate, and through it the controller, lives
  // until the process ends, and exit(0) from a signal must not run its
  // destructor while the event loop is still on the stack.
  static const auto* delegate = new std::shared_ptr<AppDelegate>(
      std::make_shared<AppDelegate>(makeControllerServer(ServerController::init())));
  return *delegate;
}

void AppDelegate::installMenu(Application& application) {
  application.setMainMenu(menuBar());
}

void AppDelegate::performMenuAction(std::string_view action, Platform& platform,
                                    AppDelegate* delegate) {
  if (auto command = editingCommandFor(action)) {
    if (delegate && delegate->webView)
      delegate->webView->executeEditingCommand(*command);
  } else if (action == "orderFrontStandardAboutPanel:") {
    platform.showAbout();
  } else if (action == "hide:") {
    platform.hide();
  } else if (action == "terminate:") {
    if (delegate)
      delegate->requestQuit(platform);
    else
      platform.terminate();
  } else if (action == "reloadPage:") {
    if (delegate)
      delegate->reloadPage();
  } else if (action == "resetZoom:") {
    if (delegate)
      delegate->resetZoom();
  } else if (action == "zoomIn:") {
    if (delegate)
      delegate->zoomIn();
  } else if (action == "zoomOut:") {
    if (delegate)
      delegate->zoomOut();
  }
}

void AppDelegate::applicationDidFinishLaunching(Platform& platform) {
  platform_ = &platform;

  // The first start opens at the default size; later ones as the window
  // was left, made to fit the screen of this start.
  const WindowState firstStart{kWidth, kHeight, false, zoom::kActualSize};
  WindowState state = firstStart;
  if (auto file = windowStateFile(); !file.empty()) {
    if (auto remembered = windowstate::load(file, firstStart, std::time(nullptr)))
      state = windowstate::fitted(*remembered, platform.screenSize(), kMinWidth, kMinHeight);
  }
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  window =
      platform.makeWindow(WindowOptions{std::string(pages::kMainTitle), state.width, state.height,
                                        kMinWidth, kMinHeight, state.maximized, [weak] {
                                          auto self = weak.lock();
                                          return !self || self->windowShouldClose();
                                        }});
  webView = platform.makeWebView(*window, [weak](const std::string& uri, bool newWindow) {
    auto self = weak.lock();
    return self ? self->decideNavigation(uri, newWindow) : true;
  });
  if (state.zoom != zoom::kActualSize)
    setZoom(state.zoom);
  window->present();
  webView->loadHTML(std::string(pages::kStartingPage));

  installSignalHandlers();

  server->setOnReady([weak](const std::string& url) {
    if (auto self = weak.lock())
      self->load(url);
  });
  server->setOnFailed([weak](const std::string& message) {
    if (auto self = weak.lock())
      self->showFailure(message);
  });
  server->start();

  platform.activate();
}

void AppDelegate::applicationWillTerminate() {
  rememberWindow();
  server->stop();
}

void AppDelegate::load(const std::string& url) {
  window->setTitle(std::string(pages::kMainTitle));
  servedOrigin_ = navigation::originOf(url);
  webView->loadRequest(url, kLoadTimeout);
}

void AppDelegate::showFailure(const std::string& message) {
  window->setTitle(std::string(pages::kFailureTitle));
  const std::filesystem::path log = server->logPath();
  std::error_code ec;
  webView->loadHTML(
      pages::errorPage(message, log.string(), std::filesystem::is_regular_file(log, ec)));
}

void AppDelegate::reloadPage() {
  if (webView)
    webView->reload();
}

void AppDelegate::resetZoom() {
  if (webView)
    setZoom(zoom::kActualSize);
}

void AppDelegate::zoomIn() {
  if (webView)
    setZoom(zoom::stepIn(zoom_));
}

void AppDelegate::zoomOut() {
  if (webView)
    setZoom(zoom::stepOut(zoom_));
}

void AppDelegate::setZoom(double level) {
  zoom_ = level;
  webView->setPageZoom(level);
}

std::filesystem::path AppDelegate::windowStateFile() const {
  const std::filesystem::path dir = server->supportDir();
  return dir.empty() ? dir : dir / "window.ini";
}

void AppDelegate::rememberWindow() {
  const std::filesystem::path file = windowStateFile();
  if (!window || file.empty())
    return;
  const WindowGeometry now = window->geometry();
  // A window the platform never got to show has no size worth keeping.
  if (now.width <= 0 || now.height <= 0)
    return;
  windowstate::save(file, WindowState{now.width, now.height, now.maximized, zoom_});
}

void AppDelegate::requestQuit(Platform& platform) {
  if (!webView) {
    platform.terminate();
    return;
  }
  // Only the page knows whether work is pending; it asks the user, and the
  // quit goes ahead once it agrees. The signals never ask.
  Platform* target = &platform;
  webView->askToClose([target] { target->terminate(); });
}

bool AppDelegate::windowShouldClose() {
  if (!webView || !platform_)
    return true;
  requestQuit(*platform_);
  return false;
}

void AppDelegate::installSignalHandlers() {
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  for (int signo : {SIGTERM, SIGINT, SIGHUP}) {
    signalSources.push_back(platform_->makeSignalSource(signo, [weak] {
      if (auto self = weak.lock())
        self->handleSignal();
    }));
  }
}

void AppDelegate::handleSignal() {
  if (terminating)
    return;
  terminating = true;
  rememberWindow();
  server->stop();
  platform_->exitProcess(0);
}

bool AppDelegate::decideNavigation(const std::string& uri, bool newWindow) {
  if (!newWindow) {
    if (navigation::isBuiltInPage(uri))
      return true;
    if (servedOrigin_ && navigation::originOf(uri) == servedOrigin_)
      return true;
  }
  leaveForBrowser(uri);
  return false;
}

void AppDelegate::leaveForBrowser(const std::string& uri) {
  if (platform_ && navigation::mayOpenInBrowser(uri))
    platform_->openInBrowser(uri);
}

int ZormakApp::main(Application& application) {
  application.setRegularActivationPolicy();
  AppDelegate::installMenu(application);
  application.setDelegate(AppDelegate::shared());
  return application.run();
}

}  // namespace zormak
