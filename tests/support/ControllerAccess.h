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
  static void log(ServerController& c, std::string_view m) { c.log(m); }
  static std::string timestamp() { return ServerController::timestamp(); }
  static void markReady(ServerController& c, const std::string& url) { c.markReady(url); }
  static void fail(ServerController& c, std::string m) { c.fail(std::move(m)); }
  static bool failUnlessFinished(ServerController& c, std::string m) {
    return c.failUnlessFinished(std::move(m));
  }
  static bool isFinished(const ServerController& c) { return c.isFinished(); }
  static bool isReady(const ServerController& c) { return c.isReady(); }
  static void ingest(ServerController& c, std::string_view chunk) { c.ingest(chunk); }
  static std::optional<std::string> parseURL(std::string_view line) {
    return ServerController::parseURL(line);
  }
  static std::optional<std::int32_t> parsePid(std::string_view text) {
    return ServerController::parsePid(text);
  }
  static void reapStaleServer(ServerController& c) { c.reapStaleServer(); }
  static void pollFrom(ServerController& c, std::int64_t port) {
    c.port_ = port;
    c.pollStatus(0);
  }
  static size_t lineBufferSize(const ServerController& c) { return c.lineBuffer_.size(); }
  static constexpr size_t kMaxLineLength = ServerController::kMaxLineLength;
  static std::optional<std::string> readyURL(const ServerController& c) {
    std::lock_guard lock(c.outcomeMutex_);
    return c.readyURL_;
  }
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
};

}  // namespace testing
}  // namespace zormak
