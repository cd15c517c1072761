#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "MainQueue.h"

namespace zormak::testing {

// A main queue that tests drive: tasks run only inside the run calls, on the
// calling thread, which stands for the main thread. Immediate tasks run in
// posting order; delayed ones once their time has come.
class TestRunLoop : public MainQueue {
 public:
  TestRunLoop() = default;
  ~TestRunLoop() override;

  void post(Task task) override;
  void postAfter(std::chrono::milliseconds delay, Task task) override;

  // Runs every task that is due, including those that they post, until none
  // is due. Returns how many ran.
  size_t runPending();
  // Runs tasks as they fall due until `done` holds or `timeout` has passed.
  bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
  // Runs tasks as they fall due for the given time.
  void runFor(std::chrono::milliseconds duration);

  // Drops every queued task and every task posted from now on. Tests call it
  // at the end: a queued task may hold a controller that holds this queue.
  void close();

  // The thread that last ran a task (the test's "main thread").
  std::thread::id runnerThread() const;
  bool isRunnerThread() const { return std::this_thread::get_id() == runnerThread(); }

 private:
  using Clock = std::chrono::steady_clock;
  using Key = std::pair<Clock::time_point, std::uint64_t>;

  bool runOne(Clock::time_point now);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<Key, Task> tasks_;
  std::uint64_t sequence_ = 0;
  bool closed_ = false;
  std::thread::id runner_ = std::this_thread::get_id();
};

}  // namespace zormak::testing
