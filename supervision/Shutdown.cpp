#include <signal.h>
#include <unistd.h>

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
  // Left as soon as the server has gone and its exit is in the log.
  process_->waitForExit(timing_.grace);
  if (process_->isRunning())
    ::kill(-pid, SIGKILL);
  ::unlink(locations_.pidFileURL().c_str());
  log("[ZORMAK] 服务已关闭\n");
}

}  // namespace zormak
