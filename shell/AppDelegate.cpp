#include "AppDelegate.h"

#include <csignal>
#include <ctime>
#include <utility>

#include "Pages.h"
#include "ServerController.h"

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

void AppDelegate::performMenuAction(MenuAction action, Platform& platform, AppDelegate* delegate) {
  if (auto command = editingCommandFor(action)) {
    if (delegate && delegate->webView)
      delegate->webView->executeEditingCommand(*command);
    return;
  }
  switch (action) {
    case MenuAction::showAbout:
      platform.showAbout();
      break;
    case MenuAction::signIn:
      platform.openSignInWindow();
      break;
    case MenuAction::hide:
      platform.hide();
      break;
    case MenuAction::quit:
      if (delegate)
        delegate->requestQuit(platform);
      else
        platform.terminate();
      break;
    case MenuAction::reloadPage:
      if (delegate)
        delegate->reloadPage();
      break;
    case MenuAction::resetZoom:
      if (delegate)
        delegate->resetZoom();
      break;
    case MenuAction::zoomIn:
      if (delegate)
        delegate->zoomIn();
      break;
    case MenuAction::zoomOut:
      if (delegate)
        delegate->zoomOut();
      break;
    case MenuAction::undo:
    case MenuAction::redo:
    case MenuAction::cut:
    case MenuAction::copy:
    case MenuAction::paste:
    case MenuAction::selectAll:
      break;  // the editing commands, above
  }
}

void AppDelegate::applicationDidFinishLaunching(Platform& platform) {
  platform_ = &platform;
  const EngineReadiness readiness = platform.webEngineReadiness();

  // The first start opens at the default size; later ones as the window
  // was left, made to fit the screen of this start.
  memory_ = WindowMemory(server->supportDir());
  const WindowState state = memory_.opening(WindowState{kWidth, kHeight, false, zoom::kActualSize},
                                            platform, kMinWidth, kMinHeight, std::time(nullptr));
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  window = platform.makeWindow(WindowOptions{std::string(pages::kMainTitle), state.width,
                                             state.height, kMinWidth, kMinHeight, state.maximized,
                                             [weak] {
                                               auto self = weak.lock();
                                               return !self || self->windowShouldClose();
                                             },
                                             [weak] {
                                               auto self = weak.lock();
                                               if (self && self->bridge_)
                                                 self->bridge_->windowFocused();
                                             }});
  pages_ = std::make_shared<PageController>(platform, server, [weak] {
    auto self = weak.lock();
    return !self || self->terminating;
  });
  std::weak_ptr<PageController> pages = pages_;
  bridge_ = std::make_shared<PageBridge>(platform, [pages] {
    auto controller = pages.lock();
    return controller ? controller->servedOrigin() : std::nullopt;
  });
  std::weak_ptr<PageBridge> bridge = bridge_;
  WebViewHandlers handlers;
  handlers.pageMessage = [bridge](const std::string& message, const std::string& uri) {
    if (auto b = bridge.lock())
      b->received(message, uri);
  };
  handlers.dropped = [bridge](const std::string& text, bool uriList) {
    if (auto b = bridge.lock())
      b->dropped(text, uriList);
  };
  handlers.navigation = [pages](const std::string& uri, bool newWindow) {
    auto controller = pages.lock();
    return controller ? controller->decideNavigation(uri, newWindow) : true;
  };
  handlers.loadFailed = [pages](const LoadFailure& failure) {
    if (auto controller = pages.lock())
      controller->loadFailed(failure);
  };
  handlers.loadFinished = [pages](const std::string& uri) {
    if (auto controller = pages.lock())
      controller->loadFinished(uri);
  };
  webView = platform.makeWebView(*window, std::move(handlers));
  pages_->attach(window, webView);
  bridge_->attach(window, webView);
  if (!earlyAddresses_.empty())
    bridge_->handOver(std::exchange(earlyAddresses_, {}));
  if (state.zoom != zoom::kActualSize)
    setZoom(state.zoom);
  window->present();
  pages_->showStartingPage();

  installSignalHandlers();

  for (const std::string& line : readiness.logLines)
    server->log(line);
  if (readiness.failure) {
    // The engine runs without its sandbox, fit only for the built-in pages:
    // no server is started, so nothing else is ever loaded.
    pages_->showStartFailure(*readiness.failure + "\n\n日志：" + server->logPath().string());
    platform.activate();
    return;
  }

  server->setOnReady([pages](const std::string& url) {
    if (auto controller = pages.lock())
      controller->load(url);
  });
  server->setOnFailed([pages](const std::string& message) {
    if (auto controller = pages.lock())
      controller->serverFailed(message);
  });
  server->start();
  // The secret exists now: the cookie store takes it while the server
  // starts, so its answer no longer waits on the way to the served page.
  pages_->storeSessionCookie();

  platform.activate();
}

void AppDelegate::applicationWillTerminate() {
  rememberWindow();
  server->stop();
}

void AppDelegate::reloadPage() {
  if (webView)
    pages_->reload();
}

void AppDelegate::resetZoom() {
  if (webView)
    setZoom(zoom::kActualSize);
}

void AppDelegate::zoomIn() {
  if (webView)
    setZoom(zoom::stepIn(memory_.zoom()));
}

void AppDelegate::zoomOut() {
  if (webView)
    setZoom(zoom::stepOut(memory_.zoom()));
}

void AppDelegate::setZoom(double level) {
  memory_.setZoom(level);
  webView->setPageZoom(level);
}

void AppDelegate::rememberWindow() {
  if (window)
    memory_.remember(*window);
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

void AppDelegate::openAddresses(const std::vector<std::string>& addresses) {
  if (bridge_)
    bridge_->handOver(addresses);
  else
    earlyAddresses_.insert(earlyAddresses_.end(), addresses.begin(), addresses.end());
}

void AppDelegate::handleSignal() {
  if (terminating)
    return;
  terminating = true;
  rememberWindow();
  server->stop();
  platform_->exitProcess(0);
}

int ZormakApp::main(Application& application) {
  application.setRegularActivationPolicy();
  AppDelegate::installMenu(application);
  application.setDelegate(AppDelegate::shared());
  return application.run();
}

}  // namespace zormak
