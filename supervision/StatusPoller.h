#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "Worker.h"

namespace zormak {

// Sends the readiness requests, one at a time, on one worker thread that
// keeps its curl handle (and with it a connection the server kept open)
// from one request to the next. Each request is a GET with the given total
// time-out that never goes through a proxy, follows no redirect and reads no
// body.
//
// When the poller goes, a request in flight is abandoned and the worker
// leaves (see Worker).
class StatusPoller {
 public:
  // Runs on the worker with the HTTP status, or 0 when there was no answer.
  using Completion = std::function<void(long status)>;

  explicit StatusPoller(std::chrono::milliseconds timeout);
  ~StatusPoller();
  StatusPoller(const StatusPoller&) = delete;
  StatusPoller& operator=(const StatusPoller&) = delete;

  // Queues a request; the worker starts with the first one.
  void request(std::string url, Completion done);

 private:
  struct State;
  std::shared_ptr<State> state_;
  bool started_ = false;  // guarded by the state's mutex
  Worker worker_;
};

}  // namespace zormak
