#include "ServerController.h"
#include "StatusPoller.h"

namespace zormak {

void ServerController::pollStatus(std::int64_t attempt, std::uint64_t launch) {
  if (isFinished() || isReady() || launch != currentLaunch())
    return;
  if (attempt > timing_.lastAttempt) {
    if (failUnlessFinished("服务启动超时（60 秒）。\n\n日志：" + locations_.logPath().string(),
                           launch)) {
      log("[ZORMAK] 服务启动超时：" + std::to_string(timing_.lastAttempt + 1) +
          " 次状态请求都没有得到就绪应答，已放弃等待\n");
    }
    return;
  }
  if (!poller_)
    poller_ = std::make_unique<StatusPoller>(timing_.requestTimeout);
  const std::string base = "http://127.0.0.1:" + std::to_string(port_);
  // One attempt is outstanding at a time; its request runs off the main thread.
  poller_->request(base + "/api/status",
                   [weak = weak_from_this(), base, attempt, launch](long status) {
                     auto self = weak.lock();
                     if (!self)
                       return;
                     if (status == 200) {
                       self->markReady(base, launch);
                       return;
                     }
                     if (!self->mainQueue_)
                       return;
                     // The retry holds the controller until it has run.
                     self->mainQueue_->postAfter(self->timing_.pollDelay, [self, attempt, launch] {
                       self->pollStatus(attempt + 1, launch);
                     });
                   });
}

}  // namespace zormak
