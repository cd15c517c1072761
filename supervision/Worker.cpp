#include "Worker.h"

#include <signal.h>

namespace zormak {

Worker::Worker(std::function<void()> body) {
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  thread_ = std::thread(std::move(body));  // the new thread inherits the mask
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

Worker& Worker::operator=(Worker&& other) noexcept {
  finish();
  thread_ = std::move(other.thread_);
  return *this;
}

void Worker::finish() {
  if (!thread_.joinable())
    return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

}  // namespace zormak
