#include "Server.h"

#include "ServerController.h"

namespace zormak {

namespace {

class ControllerServer final : public Server {
 public:
  explicit ControllerServer(std::shared_ptr<ServerController> controller)
      : controller_(std::move(controller)) {}

  void setOnReady(ReadyCallback callback) override { controller_->onReady = std::move(callback); }
  void setOnFailed(FailedCallback callback) override {
    controller_->onFailed = std::move(callback);
  }
  void start() override { controller_->start(); }
  void restart() override { controller_->restart(); }
  void stop() override { controller_->stop(); }
  std::filesystem::path supportDir() const override {
    return controller_->locations().appSupportDir;
  }
  std::filesystem::path logPath() const override { return controller_->locations().logPath(); }
  std::string launchSecret() const override { return controller_->launchSecret(); }
  void log(const std::string& message) override { controller_->log(message); }

 private:
  std::shared_ptr<ServerController> controller_;
};

}  // namespace

std::shared_ptr<Server> makeControllerServer(std::shared_ptr<ServerController> controller) {
  return std::make_shared<ControllerServer>(std::move(controller));
}

}  // namespace zormak
