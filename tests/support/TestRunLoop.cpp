#include "TestRunLoop.h"

namespace zormak::testing {

TestRunLoop::~TestRunLoop() {
  close();
}

void TestRunLoop::close() {
  std::map<Key, Task> left;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    left.swap(tasks_);
  }
  // Destroyed outside the lock: a task's captures may post again.
}

void TestRunLoop::post(Task task) {
  postAfter(std::chrono::milliseconds(0), std::move(task));
}

void TestRunLoop::postAfter(std::chrono::milliseconds delay, Task task) {
  {
    std::lock_guard lock(mutex_);
    if (closed_)
      return;  // `task` is destroyed after the lock is released
    // Immediate tasks share one time point so that their order is the
    // posting order alone.
    Clock::time_point due = delay.count() <= 0 ? Clock::time_point::min() : Clock::now() + delay;
    tasks_.emplace(Key{due, sequence_++}, std::move(task));
  }
  changed_.notify_all();
}

bool TestRunLoop::runOne(Clock::time_point now) {
  Task task;
  {
    std::lock_guard lock(mutex_);
    if (tasks_.empty() || tasks_.begin()->first.first > now)
      return false;
    task = std::move(tasks_.begin()->second);
    tasks_.erase(tasks_.begin());
    runner_ = std::this_thread::get_id();
  }
  task();
  return true;
}

size_t TestRunLoop::runPending() {
  size_t count = 0;
  while (runOne(Clock::now()))
    ++count;
  return count;
}

bool TestRunLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    runPending();
    if (done())
      return true;
    std::unique_lock lock(mutex_);
    auto now = Clock::now();
    if (now >= deadline)
      return done();
    // Wake for a new task, the next delayed one, or a short tick so that
    // conditions changed by other threads are seen.
    auto wake = std::min(deadline, now + std::chrono::milliseconds(5));
    if (!tasks_.empty() && tasks_.begin()->first.first < wake)
      wake = tasks_.begin()->first.first;
    if (wake > now)
      changed_.wait_until(lock, wake);
  }
}

void TestRunLoop::runFor(std::chrono::milliseconds duration) {
  runUntil([] { return false; }, duration);
}

std::thread::id TestRunLoop::runnerThread() const {
  std::lock_guard lock(mutex_);
  return runner_;
}

}  // namespace zormak::testing
