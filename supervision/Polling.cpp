#include <curl/curl.h>

#include <mutex>

#include "ChildProcess.h"
#include "ServerController.h"

namespace zormak {

namespace {

size_t discardBody(char*, size_t size, size_t count, void*) {
  return size * count;
}

// The HTTP status of one GET, or 0 when there was no HTTP answer.
long statusOf(const std::string& url, std::chrono::milliseconds timeout) {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  CURL* curl = curl_easy_init();
  if (!curl)
    return 0;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  // Loopback never goes through a user's http_proxy or all_proxy.
  curl_easy_setopt(curl, CURLOPT_PROXY, "");
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discardBody);
  long status = 0;
  if (curl_easy_perform(curl) == CURLE_OK) {
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  }
  curl_easy_cleanup(curl);
  return status;
}

}  // namespace

void ServerController::pollStatus(std::int64_t attempt) {
  if (isFinished() || isReady())
    return;
  if (attempt > timing_.lastAttempt) {
    failUnlessFinished("服务启动超时（60 秒）。\n\n日志：" + locations_.logURL().string());
    return;
  }
  const std::string base = "http://127.0.0.1:" + std::to_string(port_);
  // One attempt is outstanding at a time; its request runs off the main thread.
  startBackgroundThread([weak = weak_from_this(), base, attempt, timeout = timing_.requestTimeout] {
    long status = statusOf(base + "/api/status", timeout);
    auto self = weak.lock();
    if (!self)
      return;
    if (status == 200) {
      self->markReady(base);
      return;
    }
    if (!self->mainQueue_)
      return;
    // The retry holds the controller until it has run.
    self->mainQueue_->postAfter(self->timing_.pollDelay,
                                [self, attempt] { self->pollStatus(attempt + 1); });
  });
}

}  // namespace zormak
