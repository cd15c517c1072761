#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "ChildProcess.h"
#include "ServerController.h"

namespace zormak {

void ServerController::stop() {
  if (!process_ || !process_->isRunning()) {
    ::unlink(locations_.pidFileURL().c_str());
    return;
  }
  log("[ZORMAK] 正在关闭服务……\n");
  const pid_t pid = process_->processIdentifier();
  // The server leads its own process group: the signals reach whatever it
  // started as well.
  ::kill(-pid, SIGTERM);
  // Checked every poll interval until the grace period ends, but left as soon
  // as the server has gone and its exit is in the log.
  const auto deadline = std::chrono::steady_clock::now() + timing_.grace;
  for (auto now = std::chrono::steady_clock::now(); now < deadline;
       now = std::chrono::steady_clock::now()) {
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
    if (process_->waitForExit(std::min(timing_.pollInterval, left)))
      break;
  }
  if (process_->isRunning())
    ::kill(-pid, SIGKILL);
  ::unlink(locations_.pidFileURL().c_str());
  log("[ZORMAK] 服务已关闭\n");
}

}  // namespace zormak
