#pragma once

#include <functional>
#include <thread>

namespace zormak {

// A thread of the supervision, owned by the object that starts it: joined
// when that object goes. Its body shares ownership of whatever it touches,
// so that when the owner is destroyed on the thread itself (the body released
// the last reference to it), the thread is detached instead and finishes on
// its own.
//
// It starts with SIGTERM, SIGINT and SIGHUP blocked, so those signals reach
// the main loop's handling rather than a worker.
class Worker {
 public:
  Worker() = default;
  explicit Worker(std::function<void()> body);
  Worker(Worker&&) noexcept = default;
  Worker& operator=(Worker&& other) noexcept;
  ~Worker() { finish(); }

  // Joins the thread, or detaches it when called on the thread itself.
  void finish();

 private:
  std::thread thread_;
};

}  // namespace zormak
