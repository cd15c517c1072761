#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace zormak {

// The queue of the user-interface thread. Outcomes of the supervision reach
// the shell only as tasks posted here.
//
// Contract for every implementation:
//  - post() and postAfter() may be called from any thread;
//  - tasks run on the one main thread, one at a time, immediate tasks in the
//    order in which they were posted;
//  - a task never runs inside the call that posted it, even when that call is
//    made on the main thread;
//  - a task that never runs (the loop ended first) is still destroyed, so
//    whatever it captured is released.
//
// The GTK layer implements it on the GLib main context; tests use
// TestRunLoop. On macOS it maps onto the main dispatch queue.
class MainQueue {
 public:
  using Task = std::function<void()>;

  virtual ~MainQueue() = default;
  virtual void post(Task task) = 0;
  virtual void postAfter(std::chrono::milliseconds delay, Task task) = 0;

  // The process's main queue, installed once by the platform layer before
  // the first controller is created with the plain initialiser.
  static void installMain(std::shared_ptr<MainQueue> queue);
  static std::shared_ptr<MainQueue> main();
};

}  // namespace zormak
