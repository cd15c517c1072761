#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include "AppDelegate.h"
#include "Fakes.h"
#include "Pages.h"

namespace zormak::testing {
namespace {

using Events = std::vector<std::string>;

const std::string kMain(pages::kMainTitle);
const std::string kFailure(pages::kFailureTitle);

struct Launched {
  Journal journal;
  FakePlatform platform{journal};
  std::shared_ptr<FakeServer> server = std::make_shared<FakeServer>(journal);
  std::shared_ptr<AppDelegate> delegate = std::make_shared<AppDelegate>(server);

  Launched() {
    delegate->applicationDidFinishLaunching(platform);
    journal.events.clear();
  }
};

TEST(LaunchSequence, BuildsShowsStartingPageInstallsSignalsConnectsThenStartsAndActivates) {
  Journal journal;
  FakePlatform platform(journal);
  auto server = std::make_shared<FakeServer>(journal);
  auto delegate = std::make_shared<AppDelegate>(server);
  EXPECT_TRUE(journal.events.empty()) << "creating the delegate must do nothing";

  delegate->applicationDidFinishLaunching(platform);

  EXPECT_EQ(journal.events,
            (Events{"makeWindow:" + kMain, "makeWebView", "present", "loadHTML", "signal:15",
                    "signal:2", "signal:1", "setOnReady", "setOnFailed", "start", "activate"}));
  EXPECT_EQ(platform.options.width, 1180);
  EXPECT_EQ(platform.options.height, 840);
  EXPECT_EQ(platform.options.minWidth, 900);
  EXPECT_EQ(platform.options.minHeight, 640);
  EXPECT_EQ(platform.webView->html, pages::kStartingPage);
  EXPECT_EQ(delegate->signalSources.size(), 3u);
  EXPECT_FALSE(delegate->terminating);
}

TEST(Outcome, ReadyLoadsTheServedApplicationAndFailureReplacesIt) {
  Launched l;
  l.platform.window->title = "";  // the launch sequence's title must be set again by load()
  l.server->onReady("http://127.0.0.1:43567");
  EXPECT_EQ(l.journal.events, (Events{"title:" + kMain, "loadRequest:http://127.0.0.1:43567"}));
  EXPECT_EQ(l.platform.webView->timeout, std::chrono::seconds(60));

  // The server ends after it was ready.
  l.server->onFailed("服务进程意外退出了（退出码 1）。\n\n日志：/x/app.log");
  EXPECT_EQ(l.platform.window->title, kFailure);
  EXPECT_EQ(l.platform.webView->html,
            pages::errorPage("服务进程意外退出了（退出码 1）。\n\n日志：/x/app.log"));
  EXPECT_EQ(l.journal.events.size(), 4u);
  EXPECT_EQ(l.journal.events[2], "title:" + kFailure) << "title before the page";

  // A later load() restores the main title whatever was shown.
  l.server->onReady("http://127.0.0.1:43567");
  EXPECT_EQ(l.platform.window->title, kMain);
}

TEST(Outcome, CallbacksAndSignalsDoNothingOnceTheDelegateIsGone) {
  Launched l;
  std::weak_ptr<AppDelegate> weak = l.delegate;
  l.delegate.reset();
  ASSERT_TRUE(weak.expired()) << "the callbacks must not keep the delegate alive";

  l.server->onReady("http://127.0.0.1:1");
  l.server->onFailed("late");
  l.platform.raise(SIGTERM);
  ASSERT_TRUE(l.platform.navigation);
  EXPECT_TRUE(l.platform.navigation("http://elsewhere.example/", false));
  EXPECT_TRUE(l.journal.events.empty());
}

TEST(PageCommands, DoNothingBeforeTheWebViewExists) {
  Journal journal;
  FakePlatform platform(journal);
  auto delegate = std::make_shared<AppDelegate>(std::make_shared<FakeServer>(journal));
  delegate->reloadPage();
  delegate->resetZoom();
  for (const char* action : {"reloadPage:", "resetZoom:", "copy:", "undo:"})
    AppDelegate::performMenuAction(action, platform, delegate.get());
  AppDelegate::performMenuAction("reloadPage:", platform, nullptr);
  EXPECT_TRUE(journal.events.empty());
}

TEST(PageCommands, ReachTheirTargetsAlongTheChain) {
  Launched l;
  l.server->onFailed("boom");
  l.journal.events.clear();
  for (const char* action : {"reloadPage:", "resetZoom:", "redo:", "selectAll:",
                             "orderFrontStandardAboutPanel:", "hide:", "terminate:", "unknown:"})
    AppDelegate::performMenuAction(action, l.platform, l.delegate.get());
  // Reloading the error page neither retries the server nor touches the title.
  EXPECT_EQ(l.journal.events, (Events{"reload", "zoom:1.000000", "edit:Redo", "edit:SelectAll",
                                      "about", "hide", "askToClose"}));
  EXPECT_EQ(l.platform.window->title, kFailure);
}

TEST(Termination, FirstSignalStopsOnceAndExitsZeroLaterOnesDoNothing) {
  for (int first : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(first);
    Launched l;
    l.platform.raise(first);
    EXPECT_EQ(l.journal.events, (Events{"stop", "exit:0"}));
    EXPECT_TRUE(l.delegate->terminating);
    l.platform.raise(first);
    l.platform.raise(first == SIGTERM ? SIGHUP : SIGTERM);
    EXPECT_EQ(l.journal.count("stop"), 1u);
  }
}

TEST(Termination, QuitStopsTheServerOnceWithoutTerminating) {
  Launched l;
  EXPECT_TRUE(l.delegate->applicationShouldTerminateAfterLastWindowClosed());
  l.delegate->applicationWillTerminate();
  EXPECT_EQ(l.journal.events, (Events{"stop"}));
  EXPECT_FALSE(l.delegate->terminating);
}

TEST(Navigation, OnlyTheServedOriginAndBuiltInPagesStayInTheWindow) {
  Launched l;
  auto& go = l.platform.navigation;
  // Before the server is ready only the built-in pages belong to the window.
  EXPECT_TRUE(go("about:blank", false));
  EXPECT_FALSE(go("http://127.0.0.1:43567/", false));

  l.server->onReady("http://127.0.0.1:43567");
  l.journal.events.clear();
  EXPECT_TRUE(go("http://127.0.0.1:43567/", false));
  EXPECT_TRUE(go("HTTP://127.0.0.1:43567/history?x=1#top", false));
  EXPECT_TRUE(go("blob:http://127.0.0.1:43567/8c2e", false));
  EXPECT_TRUE(go("about:blank", false));
  EXPECT_TRUE(l.journal.events.empty());

  EXPECT_FALSE(go("https://www.example.com/watch?v=1", false));
  EXPECT_FALSE(go("http://127.0.0.1:43568/", false));
  EXPECT_FALSE(go("http://localhost:43567/", false));
  EXPECT_FALSE(go("https://127.0.0.1:43567/", false));
  // Every new window leaves, even one for the application's own pages.
  EXPECT_FALSE(go("http://127.0.0.1:43567/help", true));
  EXPECT_FALSE(go("mailto:someone@example.com", true));
  // Schemes that could run something on the desktop are dropped, not opened.
  EXPECT_FALSE(go("file:///etc/passwd", false));
  EXPECT_FALSE(go("file:///usr/share/applications/x.desktop", true));
  EXPECT_FALSE(go("", true));

  EXPECT_EQ(l.journal.events,
            (Events{"browser:https://www.example.com/watch?v=1", "browser:http://127.0.0.1:43568/",
                    "browser:http://localhost:43567/", "browser:https://127.0.0.1:43567/",
                    "browser:http://127.0.0.1:43567/help", "browser:mailto:someone@example.com"}));
}

struct FakeApplication : Application {
  void setRegularActivationPolicy() override { events.push_back("policy"); }
  void setMainMenu(const std::vector<Menu>& m) override {
    events.push_back("menu:" + std::to_string(m.size()));
  }
  void setDelegate(std::weak_ptr<AppDelegate> d) override {
    events.push_back(d.lock() ? "delegate" : "no delegate");
  }
  int run() override {
    events.push_back("run");
    return 7;
  }
  Events events;
};

TEST(Entry, InstallsTheMenuBeforeTheDelegateThenRuns) {
  FakeApplication app;
  EXPECT_EQ(ZormakApp::main(app), 7);
  EXPECT_EQ(app.events, (Events{"policy", "menu:3", "delegate", "run"}));
}

TEST(Entry, SharedDelegateIsMadeOnceAcrossThreads) {
  const AppDelegate* seen[2] = {};
  std::thread a([&] { seen[0] = AppDelegate::shared().get(); });
  std::thread b([&] { seen[1] = AppDelegate::shared().get(); });
  a.join();
  b.join();
  ASSERT_NE(seen[0], nullptr);
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_EQ(seen[0], AppDelegate::shared().get());
}

}  // namespace
}  // namespace zormak::testing
