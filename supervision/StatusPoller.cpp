#include "StatusPoller.h"

#include <curl/curl.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace zormak {

namespace {

using CurlHandle = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;

size_t discardBody(char*, size_t size, size_t count, void*) {
  return size * count;
}

// Aborts a transfer in flight once the poller is going.
int abortWhenStopping(void* stopping, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<std::atomic<bool>*>(stopping)->load() ? 1 : 0;
}

}  // namespace

struct StatusPoller::State {
  std::chrono::milliseconds timeout;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::pair<std::string, Completion>> queue;
  std::atomic<bool> stopping{false};

  void run() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    CurlHandle curl(curl_easy_init(), curl_easy_cleanup);
    if (curl) {
      CURL* c = curl.get();
      curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
      // Loopback never goes through a user's http_proxy or all_proxy.
      curl_easy_setopt(c, CURLOPT_PROXY, "");
      curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
      curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
      curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
      curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
      curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, discardBody);
      curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
      curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, abortWhenStopping);
      curl_easy_setopt(c, CURLOPT_XFERINFODATA, &stopping);
    }
    for (;;) {
      std::pair<std::string, Completion> next;
      {
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return stopping || !queue.empty(); });
        if (stopping)
          return;
        next = std::move(queue.front());
        queue.pop_front();
      }
      long status = 0;
      if (curl) {
        curl_easy_setopt(curl.get(), CURLOPT_URL, next.first.c_str());
        if (curl_easy_perform(curl.get()) == CURLE_OK)
          curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
      }
      if (!stopping)
        next.second(status);
    }
  }
};

StatusPoller::StatusPoller(std::chrono::milliseconds timeout) : state_(std::make_shared<State>()) {
  state_->timeout = timeout;
}

StatusPoller::~StatusPoller() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->changed.notify_all();
  worker_.finish();
}

void StatusPoller::request(std::string url, Completion done) {
  bool first;
  {
    std::lock_guard lock(state_->mutex);
    state_->queue.emplace_back(std::move(url), std::move(done));
    first = !started_;
    started_ = true;
  }
  if (first)
    worker_ = Worker([state = state_] { state->run(); });
  else
    state_->changed.notify_all();
}

}  // namespace zormak
