#pragma once

#include <memory>
#include <string>

#include "ServerController.h"
#include "TempDir.h"
#include "TestRunLoop.h"

namespace zormak {

// Reaches the controller's private steps, so tests can drive one step at a
// time.
class ServerControllerTestAccess {
 public:
  static void prepareRuntime(ServerController& c) { c.prepareRuntime(); }
  static void markReady(ServerController& c, const std::string& url) {
    c.markReady(url, c.currentLaunch());
  }
  static void fail(ServerController& c, std::string m) { c.fail(std::move(m)); }
  static bool failUnlessFinished(ServerController& c, std::string m) {
    return c.failUnlessFinished(std::move(m), c.currentLaunch());
  }
  static void reapStaleServer(ServerController& c) { c.reapStaleServer(); }
};

namespace testing {

// A controller whose folder lies in a temporary directory and whose main
// queue is a TestRunLoop.
struct ControllerFixture {
  TempDir dir;
  std::shared_ptr<TestRunLoop> loop = std::make_shared<TestRunLoop>();
  ~ControllerFixture() { loop->close(); }
  std::filesystem::path support = dir / "ZORMAK";
  std::filesystem::path resources = dir / "resources";

  std::shared_ptr<ServerController> make(ServerController::Timing timing = {}) {
    return ServerController::init(
        ServerController::Setup{ServerController::Locations{support}, resources, loop, timing});
  }
  std::filesystem::path payload() const { return resources / "payload"; }
  std::string logText() const { return readFile(support / "app.log"); }
  // The log after its first start header.
  std::string logBody() const { return logText().substr(kHeaderSize); }
  // "\n===== yyyy-MM-dd HH:mm:ss 启动 =====\n" in bytes.
  static constexpr size_t kHeaderSize = 40;
};

}  // namespace testing
}  // namespace zormak
