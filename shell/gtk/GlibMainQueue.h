#pragma once

#include <deque>
#include <memory>
#include <mutex>

#include "MainQueue.h"

namespace zormak::gtk {

// The main queue on the default GLib main context: one FIFO of immediate
// tasks, drained by an idle source that is attached whenever the FIFO
// becomes non-empty, and one timeout source per delayed task. Sources that
// never run still free their task through their destroy notify.
class GlibMainQueue final : public MainQueue, public std::enable_shared_from_this<GlibMainQueue> {
 public:
  void post(Task task) override;
  void postAfter(std::chrono::milliseconds delay, Task task) override;

 private:
  static int drain(void* data);

  std::mutex mutex_;
  std::deque<Task> tasks_;
  bool scheduled_ = false;
};

}  // namespace zormak::gtk
