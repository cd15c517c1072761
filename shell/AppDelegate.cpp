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
  const EngineReadiness readiness = platform.webEngineReadiness();

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
  WebViewHandlers handlers;
  handlers.navigation = [weak](const std::string& uri, bool newWindow) {
    auto self = weak.lock();
    return self ? self->decideNavigation(uri, newWindow) : true;
  };
  handlers.loadFailed = [weak](const LoadFailure& failure) {
    if (auto self = weak.lock())
      self->loadFailed(failure);
  };
  webView = platform.makeWebView(*window, std::move(handlers));
  if (state.zoom != zoom::kActualSize)
    setZoom(state.zoom);
  window->present();
  webView->loadHTML(std::string(pages::kStartingPage));

  installSignalHandlers();

  for (const std::string& line : readiness.logLines)
    server->log(line);
  if (readiness.failure) {
    // The engine runs without its sandbox, fit only for the built-in pages:
    // no server is started, so nothing else is ever loaded.
    show(Showing::kStartFailure, pages::kFailureTitle,
         startFailurePage(*readiness.failure + "\n\n日志：" + server->logPath().string()));
    platform.activate();
    return;
  }

  server->setOnReady([weak](const std::string& url) {
    if (auto self = weak.lock())
      self->load(url);
  });
  server->setOnFailed([weak](const std::string& message) {
    if (auto self = weak.lock())
      self->serverFailed(message);
  });
  server->start();

  platform.activate();
}

void AppDelegate::applicationWillTerminate() {
  rememberWindow();
  server->stop();
}

void AppDelegate::show(Showing showing, std::string_view title, const std::string& html) {
  ++generation_;
  showing_ = showing;
  window->setTitle(std::string(title));
  webView->loadHTML(html);
}

void AppDelegate::load(const std::string& url) {
  ++generation_;
  showing_ = Showing::kApplication;
  window->setTitle(std::string(pages::kMainTitle));
  servedOrigin_ = navigation::originOf(url);
  servedURL_ = url;
  if (servedOrigin_)
    webView->allowNotifications(*servedOrigin_);
  retries_ = 0;
  const std::string secret = server->launchSecret();
  if (secret.empty()) {
    loadServed(url);
    return;
  }
  // The server answers only requests that carry the launch's secret, so the
  // page is asked for once the cookie store holds it; the secret itself never
  // appears in a URL.
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  const unsigned generation = generation_;
  webView->setSessionCookie(SessionCookie{kSessionCookie, secret, "127.0.0.1"},
                            [weak, generation, url](bool stored) {
                              auto self = weak.lock();
                              if (!self || self->generation_ != generation)
                                return;
                              if (stored)
                                self->loadServed(url);
                              else
                                self->showLoadFailure(url, "网页引擎没有接受会话凭据");
                            });
}

void AppDelegate::loadServed(const std::string& url) {
  webView->loadRequest(url, kLoadTimeout);
}

// A start failure's page; its tip names the log when the message does not.
std::string AppDelegate::startFailurePage(const std::string& message) const {
  const std::filesystem::path log = server->logPath();
  std::error_code ec;
  return pages::errorPage(message, log.string(), std::filesystem::is_regular_file(log, ec));
}

void AppDelegate::loadFailed(const LoadFailure& failure) {
  // Only the served application is ever loaded from the network here: the
  // built-in pages cannot fail, and other origins go to the browser.
  if (showing_ != Showing::kApplication || !servedOrigin_ ||
      navigation::originOf(failure.uri) != servedOrigin_)
    return;
  const bool notListening =
      failure.error == LoadError::kRefused || failure.error == LoadError::kReset;
  if (notListening && retries_ < kLoadRetries) {
    ++retries_;
    std::weak_ptr<AppDelegate> weak = weak_from_this();
    const unsigned generation = generation_;
    platform_->runAfter(kLoadRetryDelay, [weak, generation, uri = failure.uri] {
      auto self = weak.lock();
      if (self && self->generation_ == generation)
        self->loadServed(uri);
    });
    return;
  }
  std::string reason;
  switch (failure.error) {
    case LoadError::kRefused:
      reason = "连接被拒绝";
      break;
    case LoadError::kReset:
      reason = "连接被中断";
      break;
    case LoadError::kTimedOut:
      reason = std::to_string(kLoadTimeout.count()) + " 秒内没有载入完成";
      break;
    case LoadError::kOther:
      reason = "载入出错（" + failure.description + "）";
      break;
  }
  showLoadFailure(failure.uri, reason);
}

void AppDelegate::showLoadFailure(const std::string& uri, const std::string& reason) {
  std::string retried;
  if (retries_ > 0) {
    retried = "，已重试 " + std::to_string(retries_) + " 次";
  }
  server->log("[ZORMAK] 界面没能打开：" + uri + "（" + reason + "）" + retried + "\n");
  show(Showing::kLoadFailure, pages::kLoadFailureTitle,
       pages::loadFailurePage("服务已经启动，但界面没能打开：" + reason + retried + "。\n地址：" +
                              uri + "\n\n服务和其中的下载不受影响。\n\n日志：" +
                              server->logPath().string()));
}

void AppDelegate::serverFailed(const std::string& message) {
  // A server that had been ready has stopped; one that never got there
  // failed to start, and reloading that page does not retry it.
  if (showing_ == Showing::kApplication || showing_ == Showing::kLoadFailure)
    show(Showing::kStopped, pages::kStoppedTitle, pages::stoppedPage(message));
  else
    show(Showing::kStartFailure, pages::kFailureTitle, startFailurePage(message));
}

void AppDelegate::restartServer() {
  if (terminating || showing_ != Showing::kStopped)
    return;
  servedOrigin_.reset();
  show(Showing::kStarting, pages::kMainTitle, std::string(pages::kStartingPage));
  server->log(std::string(kRestartLine));
  server->restart();
}

void AppDelegate::reloadPage() {
  if (!webView)
    return;
  switch (showing_) {
    case Showing::kStopped:
      restartServer();
      break;
    case Showing::kLoadFailure:
      load(servedURL_);
      break;
    default:
      webView->reload();
  }
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
  if (uri == pages::kRestartURI) {
    // Restarting blocks while the old server stops; it runs after the
    // engine's navigation callback has returned.
    if (!newWindow && showing_ == Showing::kStopped && platform_) {
      std::weak_ptr<AppDelegate> weak = weak_from_this();
      platform_->runAfter(std::chrono::milliseconds(0), [weak] {
        if (auto self = weak.lock())
          self->restartServer();
      });
    }
    return false;
  }
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
