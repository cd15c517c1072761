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

// Readiness and a guarded failure, in either order: the first outcome wins,
// on the main queue and never inside the call; only a ready one is logged,
// and an exit after readiness is still reported, after it.
TEST(Delivery, TheFirstOutcomeWinsOnTheMainQueue) {
  const std::string ready8 = "http://127.0.0.1:8000", ready9 = "http://127.0.0.1:9000";
  struct Case {
    std::vector<std::string> steps;  // a URL marks ready, anything else fails
    std::vector<std::string> events;
    const char* log;  // none: no log at all; empty: not checked
  } cases[] = {
      {{ready8, ready9}, {"ready " + ready8}, "[ZORMAK] 界面已就绪：http://127.0.0.1:8000\n"},
      {{"exited", "timed out", ready8}, {"failed exited"}, nullptr},
      {{ready8, "exited after ready"}, {"ready " + ready8, "failed exited after ready"}, ""},
  };
  for (const auto& c : cases) {
    ControllerFixture f;
    auto controller = f.make();
    std::vector<std::string> events;
    controller->onReady = [&](const std::string& url) {
      EXPECT_TRUE(f.loop->isRunnerThread());
      events.push_back("ready " + url);
    };
    controller->onFailed = [&](const std::string& m) { events.push_back("failed " + m); };
    bool finished = false;
    for (const auto& step : c.steps) {
      if (step.starts_with("http://")) {
        Access::markReady(*controller, step);
      } else {
        EXPECT_EQ(Access::failUnlessFinished(*controller, step), !finished) << step;
        finished = true;
      }
    }
    EXPECT_TRUE(events.empty());
    f.loop->runPending();
    EXPECT_EQ(events, c.events);
    if (c.log == nullptr) {
      EXPECT_FALSE(std::filesystem::exists(f.support / "app.log"));
    } else if (*c.log) {
      EXPECT_EQ(f.logBody(), c.log);
    }
  }
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
