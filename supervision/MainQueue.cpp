#include "MainQueue.h"

#include <mutex>

namespace zormak {

namespace {
std::mutex mainMutex;
std::shared_ptr<MainQueue> mainQueue;
}  // namespace

void MainQueue::installMain(std::shared_ptr<MainQueue> queue) {
  std::lock_guard lock(mainMutex);
  mainQueue = std::move(queue);
}

std::shared_ptr<MainQueue> MainQueue::main() {
  std::lock_guard lock(mainMutex);
  return mainQueue;
}

}  // namespace zormak
