#include "GlibMainQueue.h"

#include <glib.h>

namespace zormak::gtk {

namespace {

// Exceptions must not unwind through GLib's C frames.
void runGuarded(const MainQueue::Task& task) {
  try {
    task();
  } catch (...) {
  }
}

}  // namespace

void GlibMainQueue::post(Task task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
    if (scheduled_)
      return;
    scheduled_ = true;
  }
  // An idle source runs on a later iteration of the loop, never inside this
  // call, even when it is made on the main thread.
  GSource* source = g_idle_source_new();
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_callback(
      source, &GlibMainQueue::drain, new std::weak_ptr<GlibMainQueue>(weak_from_this()),
      [](void* data) { delete static_cast<std::weak_ptr<GlibMainQueue>*>(data); });
  g_source_attach(source, g_main_context_default());
  g_source_unref(source);
}

int GlibMainQueue::drain(void* data) {
  auto self = static_cast<std::weak_ptr<GlibMainQueue>*>(data)->lock();
  if (!self)
    return G_SOURCE_REMOVE;
  // Only the tasks present now run in this turn; tasks they post schedule a
  // new source and follow in order.
  std::deque<Task> batch;
  {
    std::lock_guard lock(self->mutex_);
    batch.swap(self->tasks_);
    self->scheduled_ = false;
  }
  for (auto& task : batch)
    runGuarded(task);
  return G_SOURCE_REMOVE;
}

void GlibMainQueue::postAfter(std::chrono::milliseconds delay, Task task) {
  auto ms = delay.count() < 0 ? 0u : static_cast<guint>(delay.count());
  g_timeout_add_full(
      G_PRIORITY_DEFAULT, ms,
      [](void* data) -> int {
        runGuarded(*static_cast<Task*>(data));
        return G_SOURCE_REMOVE;
      },
      new Task(std::move(task)), [](void* data) { delete static_cast<Task*>(data); });
}

}  // namespace zormak::gtk
