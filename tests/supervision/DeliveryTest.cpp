#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <thread>

#include "ControllerAccess.h"
#include "ProcessSupport.h"

namespace zormak {
namespace {

using testing::ControllerFixture;
using testing::countOf;
using ::testing::ElementsAre;
using Access = ServerControllerTestAccess;

TEST(Delivery, ReadyIsDeliveredOnceOnTheMainQueueAndLoggedOnce) {
  ControllerFixture f;
  auto c = f.make();
  std::vector<std::string> ready;
  c->onReady = [&](const std::string& url) {
    EXPECT_TRUE(f.loop->isRunnerThread());
    ready.push_back(url);
  };
  Access::markReady(*c, "http://127.0.0.1:8000");
  Access::markReady(*c, "http://127.0.0.1:9000");
  EXPECT_TRUE(ready.empty());  // never inside the call that posted it
  f.loop->runPending();
  EXPECT_THAT(ready, ElementsAre("http://127.0.0.1:8000"));
  EXPECT_EQ(f.logBody(), "[ZORMAK] 界面已就绪：http://127.0.0.1:8000\n");
}

TEST(Delivery, NothingIsReadyAfterAGuardedFailure) {
  ControllerFixture f;
  auto c = f.make();
  std::vector<std::string> events;
  c->onReady = [&](const std::string& url) { events.push_back("ready " + url); };
  c->onFailed = [&](const std::string& m) { events.push_back("failed " + m); };
  EXPECT_TRUE(Access::failUnlessFinished(*c, "exited"));
  EXPECT_FALSE(Access::failUnlessFinished(*c, "timed out"));
  Access::markReady(*c, "http://127.0.0.1:8000");
  f.loop->runPending();
  EXPECT_THAT(events, ElementsAre("failed exited"));
  EXPECT_FALSE(std::filesystem::exists(f.support / "app.log"));
}

TEST(Delivery, AnExitAfterReadinessFollowsTheReadyCallback) {
  ControllerFixture f;
  auto c = f.make();
  std::vector<std::string> events;
  c->onReady = [&](const std::string&) { events.push_back("ready"); };
  c->onFailed = [&](const std::string&) { events.push_back("failed"); };
  Access::markReady(*c, "http://127.0.0.1:8000");
  EXPECT_TRUE(Access::failUnlessFinished(*c, "exited after ready"));
  f.loop->runPending();
  EXPECT_THAT(events, ElementsAre("ready", "failed"));
}

TEST(Delivery, CallbacksAreReadWhenTheTaskRuns) {
  ControllerFixture f;
  auto c = f.make();
  std::string seen;
  Access::fail(*c, "no callback yet");  // posted while onFailed is absent
  c->onFailed = [&](const std::string& m) { seen = "first " + m; };
  Access::fail(*c, "message");
  c->onFailed = [&](const std::string& m) { seen = "second " + m; };
  f.loop->runPending();
  EXPECT_EQ(seen, "second message");

  seen.clear();
  c->onFailed = nullptr;
  Access::fail(*c, "dropped");
  f.loop->runPending();
  EXPECT_EQ(seen, "");
}

TEST(Delivery, TasksOfADestroyedControllerDoNothing) {
  ControllerFixture f;
  bool called = false;
  {
    auto c = f.make();
    c->onReady = [&](const std::string&) { called = true; };
    c->onFailed = [&](const std::string&) { called = true; };
    Access::markReady(*c, "http://127.0.0.1:8000");
    Access::fail(*c, "late");
  }
  EXPECT_EQ(f.loop->runPending(), 2u);
  EXPECT_FALSE(called);
}

// Two announcement contexts race each other and a guarded failure path, over
// many fresh controllers: exactly one outcome wins each time, the log agrees
// with the callbacks, and a ready outcome is never followed by a ready one.
TEST(Delivery, RacingAnnouncementsAndFailureDecideOnce) {
  for (int round = 0; round < 300; ++round) {
    ControllerFixture f;
    auto c = f.make();
    std::vector<std::string> events;
    c->onReady = [&](const std::string& url) { events.push_back(url); };
    c->onFailed = [&](const std::string& m) { events.push_back(m); };

    std::barrier sync(3);
    std::atomic<int> failedFirst{0};
    std::thread reader([&] {
      sync.arrive_and_wait();
      Access::markReady(*c, "http://127.0.0.1:1");
    });
    std::thread http([&] {
      sync.arrive_and_wait();
      Access::markReady(*c, "http://127.0.0.1:2");
    });
    std::thread waiter([&] {
      sync.arrive_and_wait();
      if (Access::failUnlessFinished(*c, "exited"))
        failedFirst = 1;
    });
    reader.join();
    http.join();
    waiter.join();
    f.loop->runPending();

    const std::string log =
        std::filesystem::exists(f.support / "app.log") ? f.logText() : std::string();
    const int readyLines = countOf(log, "界面已就绪");
    ASSERT_LE(readyLines, 1);
    ASSERT_EQ(failedFirst.load(), 1);  // nothing else sets `finished` here
    if (readyLines == 1) {
      ASSERT_EQ(events.size(), 2u);
      ASSERT_EQ(events[1], "exited");
      ASSERT_NE(log.find(events[0]), std::string::npos);
    } else {
      ASSERT_EQ(events, std::vector<std::string>{"exited"});
    }
  }
}

}  // namespace
}  // namespace zormak
