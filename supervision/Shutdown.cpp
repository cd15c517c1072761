#include <signal.h>

#include <chrono>

#include "ChildProcess.h"
#include "PidFile.h"
#include "ServerController.h"

namespace zormak {

void ServerController::stop() {
  const PidFile pidFile(locations_.pidFilePath());
  if (!process_ || !process_->isRunning()) {
    pidFile.remove();
    return;
  }
  log("[ZORMAK] 正在关闭服务……\n");
  const pid_t pid = process_->processIdentifier();
  // The server leads its own process group: the signals reach whatever it
  // started as well.
  ::kill(-pid, SIGTERM);
  // Left as soon as the server has gone and its exit is in the log.
  if (!process_->waitForExit(timing_.grace)) {
    ::kill(-pid, SIGKILL);
    // A killed process ends at once; its exit line comes before ours.
    process_->waitForExit(std::chrono::seconds(1));
  }
  pidFile.remove();
  log("[ZORMAK] 服务已关闭\n");
}

}  // namespace zormak
