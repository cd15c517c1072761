#include "PageController.h"

#include "Navigation.h"
#include "Pages.h"

namespace zormak {

PageController::PageController(Platform& platform, std::shared_ptr<Server> server,
                               std::function<bool()> terminating)
    : platform_(platform), server_(std::move(server)), terminating_(std::move(terminating)) {}

void PageController::attach(std::shared_ptr<Window> window, std::shared_ptr<WebView> webView) {
  window_ = std::move(window);
  webView_ = std::move(webView);
}

void PageController::showStartingPage() {
  webView_->loadHTML(std::string(pages::kStartingPage));
}

void PageController::showStartFailure(const std::string& message) {
  show(Showing::kStartFailure, pages::kFailureTitle, startFailurePage(message));
}

void PageController::show(Showing showing, std::string_view title, const std::string& html) {
  ++generation_;
  showing_ = showing;
  window_->setTitle(std::string(title));
  webView_->loadHTML(html);
}

void PageController::load(const std::string& url) {
  ++generation_;
  showing_ = Showing::kApplication;
  window_->setTitle(std::string(pages::kMainTitle));
  servedOrigin_ = navigation::originOf(url);
  servedURL_ = url;
  if (servedOrigin_)
    webView_->allowNotifications(*servedOrigin_);
  retries_ = 0;
  const std::string secret = server_->launchSecret();
  if (secret.empty()) {
    loadServed(url);
    return;
  }
  // The server answers only requests that carry the launch's secret, so the
  // page is asked for once the cookie store holds it; the secret itself never
  // appears in a URL. A restart brings a new secret.
  if (secret != cookieSecret_)
    storeSessionCookie();
  if (cookieHeld_) {
    loadServed(url);
    return;
  }
  waitingForCookie_.emplace(url, generation_);
}

void PageController::storeSessionCookie() {
  const std::string secret = server_->launchSecret();
  if (secret.empty() || !webView_)
    return;
  cookieSecret_ = secret;
  cookieHeld_ = false;
  std::weak_ptr<PageController> weak = weak_from_this();
  webView_->setSessionCookie(SessionCookie{kSessionCookie, secret, "127.0.0.1"},
                             [weak, secret](bool stored) {
                               if (auto self = weak.lock())
                                 self->cookieAnswered(secret, stored);
                             });
}

void PageController::cookieAnswered(const std::string& secret, bool stored) {
  if (secret != cookieSecret_)
    return;  // an earlier launch's
  cookieHeld_ = stored;
  if (!stored)
    cookieSecret_.clear();  // the next load asks the store again
  auto waiting = std::exchange(waitingForCookie_, std::nullopt);
  if (!waiting || waiting->second != generation_)
    return;  // nothing waits, or the window has moved on since
  if (stored)
    loadServed(waiting->first);
  else
    showLoadFailure(waiting->first, "网页引擎没有接受会话凭据");
}

void PageController::loadServed(const std::string& url) {
  webView_->loadRequest(url, kLoadTimeout);
}

// A start failure's page; its tip names the log when the message does not.
std::string PageController::startFailurePage(const std::string& message) const {
  const std::filesystem::path log = server_->logPath();
  std::error_code ec;
  return pages::errorPage(message, log.string(), std::filesystem::is_regular_file(log, ec));
}

void PageController::loadFailed(const LoadFailure& failure) {
  // Only the served application is ever loaded from the network here: the
  // built-in pages cannot fail, and other origins go to the browser.
  if (showing_ != Showing::kApplication || !servedOrigin_ ||
      navigation::originOf(failure.uri) != servedOrigin_)
    return;
  const bool notListening =
      failure.error == LoadError::kRefused || failure.error == LoadError::kReset;
  if (notListening && retries_ < kLoadRetries) {
    ++retries_;
    std::weak_ptr<PageController> weak = weak_from_this();
    const unsigned generation = generation_;
    platform_.runAfter(kLoadRetryDelay, [weak, generation, uri = failure.uri] {
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

void PageController::loadFinished(const std::string& uri) {
  if (startMemoryReleased_ || showing_ != Showing::kApplication || !servedOrigin_ ||
      navigation::originOf(uri) != servedOrigin_)
    return;
  startMemoryReleased_ = true;
  platform_.releaseFreeMemory();
}

void PageController::showLoadFailure(const std::string& uri, const std::string& reason) {
  std::string retried;
  if (retries_ > 0) {
    retried = "，已重试 " + std::to_string(retries_) + " 次";
  }
  server_->log("[ZORMAK] 界面没能打开：" + uri + "（" + reason + "）" + retried + "\n");
  show(Showing::kLoadFailure, pages::kLoadFailureTitle,
       pages::loadFailurePage("服务已经启动，但界面没能打开：" + reason + retried + "。\n地址：" +
                              uri + "\n\n服务和其中的下载不受影响。\n\n日志：" +
                              server_->logPath().string()));
}

void PageController::serverFailed(const std::string& message) {
  // A server that had been ready has stopped; one that never got there
  // failed to start, and reloading that page does not retry it.
  if (showing_ == Showing::kApplication || showing_ == Showing::kLoadFailure)
    show(Showing::kStopped, pages::kStoppedTitle, pages::stoppedPage(message));
  else
    showStartFailure(message);
}

void PageController::restartServer() {
  if (terminating_() || showing_ != Showing::kStopped)
    return;
  servedOrigin_.reset();
  show(Showing::kStarting, pages::kMainTitle, std::string(pages::kStartingPage));
  server_->log(std::string(kRestartLine));
  server_->restart();
}

void PageController::reload() {
  switch (showing_) {
    case Showing::kStopped:
      restartServer();
      break;
    case Showing::kLoadFailure:
      load(servedURL_);
      break;
    default:
      webView_->reload();
  }
}

bool PageController::decideNavigation(const std::string& uri, bool newWindow) {
  if (uri == pages::kRestartURI) {
    // Restarting blocks while the old server stops; it runs after the
    // engine's navigation callback has returned.
    if (!newWindow && showing_ == Showing::kStopped) {
      std::weak_ptr<PageController> weak = weak_from_this();
      platform_.runAfter(std::chrono::milliseconds(0), [weak] {
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

void PageController::leaveForBrowser(const std::string& uri) {
  if (navigation::mayOpenInBrowser(uri))
    platform_.openInBrowser(uri);
}

}  // namespace zormak
