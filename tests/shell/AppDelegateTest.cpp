#include <gtest/gtest.h>

#include <csignal>
#include <functional>

#include "AppDelegate.h"
#include "Fakes.h"
#include "Pages.h"

namespace zormak::testing {
namespace {

using Events = std::vector<std::string>;

const std::string kMain(pages::kMainTitle);
const std::string kFailure(pages::kFailureTitle);
const std::string kStopped(pages::kStoppedTitle);
const std::string kLoadFailure(pages::kLoadFailureTitle);
const std::string kURL = Shell::kURL;
const std::string kRestartLog = "log:[ZORMAK] 按用户要求重新启动服务\n";
const std::string kCookie = "cookie:zormak_session=5ec2e7@127.0.0.1";

// The window and its starting page come first, then the signal handlers and
// the engine folders' log lines; a usable setup then starts the server and
// hands its secret to the cookie store, an unusable one shows the failure
// without a server.
TEST(LaunchSequence, BuildsShowsStartingPageInstallsSignalsThenStartsOrShowsTheFailure) {
  for (bool usable : {true, false}) {
    SCOPED_TRACE(usable);
    Shell s(false);
    auto& [journal, platform, server, delegate] = s;
    platform.readiness.logLines = {"[ZORMAK] a\n", "[ZORMAK] b\n"};
    if (!usable)
      platform.readiness.failure = "HOME 不是文件夹";
    EXPECT_TRUE(journal.events.empty()) << "creating the delegate must do nothing";
    s.launch();
    Events tail = usable ? Events{"setOnReady", "setOnFailed", "start", kCookie, "activate"}
                         : Events{"title:" + kFailure, "loadHTML", "activate"};
    Events expected{"readiness",        "makeWindow:" + kMain, "makeWebView", "present",
                    "loadHTML",         "signal:15",           "signal:2",    "signal:1",
                    "log:[ZORMAK] a\n", "log:[ZORMAK] b\n"};
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(journal.events, expected);
    EXPECT_EQ(platform.webView->html,
              usable ? std::string(pages::kStartingPage)
                     : pages::errorPage("HOME 不是文件夹\n\n日志：/x/app.log"));
    EXPECT_EQ(delegate->signalSources.size(), 3u);
    EXPECT_FALSE(delegate->terminating);
  }
}

TEST(Outcome, TheSecretIsStoredAsTheSessionCookieBeforeTheServedURLLoads) {
  Shell l;  // the launch handed the secret to the store, which has not answered
  l.platform.window->title = "";  // the launch sequence's title must be set again by load()
  l.server->onReady(kURL);
  // Only the served origin may notify, and it may before its page loads.
  const std::string notify = "allowNotifications:" + kURL;
  EXPECT_EQ(l.journal.events, (Events{"title:" + kMain, notify}));
  l.platform.webView->storeCookie();
  EXPECT_EQ(l.journal.events, (Events{"title:" + kMain, notify, "loadRequest:" + kURL}));
  EXPECT_EQ(l.platform.webView->timeout, std::chrono::seconds(60));
  // The same launch again: the store holds its secret already.
  l.journal.events.clear();
  l.server->onReady(kURL);
  EXPECT_EQ(l.journal.events, (Events{"title:" + kMain, notify, "loadRequest:" + kURL}));

  // A new launch's secret is stored before its page loads; a store that
  // refuses it leaves the page unloaded and says why.
  l.server->secret = "d00d";
  l.journal.events.clear();
  l.server->onReady(kURL);
  EXPECT_EQ(l.journal.events.back(), "cookie:zormak_session=d00d@127.0.0.1");
  l.platform.webView->storeCookie(false);
  EXPECT_EQ(l.journal.count("loadRequest:" + kURL), 0u);
  EXPECT_EQ(l.platform.window->title, kLoadFailure);

  // A confirmation that comes after the window moved on does nothing.
  l.server->onReady(kURL);
  l.server->onFailed("gone");
  l.journal.events.clear();
  l.platform.webView->storeCookie();
  EXPECT_TRUE(l.journal.events.empty());
}

TEST(Outcome, AFailureBeforeReadinessIsAFailedStartAndAfterItAStoppedServer) {
  const std::string message = "服务进程意外退出了（被信号 9（SIGKILL）终止）。\n\n日志：/x/app.log";
  struct Case {
    const char* name;
    std::function<void(Shell&)> before;
    std::string title;
    std::string html;
  } cases[] = {
      {"starting", [](Shell&) {}, kFailure, pages::errorPage(message)},
      {"ready", [](Shell& l) { l.ready(); }, kStopped, pages::stoppedPage(message)},
      {"cookie pending", [](Shell& l) { l.server->onReady(kURL); }, kStopped,
       pages::stoppedPage(message)},
      {"load failed",
       [](Shell& l) {
         l.ready();
         l.fail(LoadError::kTimedOut);
       },
       kStopped, pages::stoppedPage(message)},
      {"restarting",
       [](Shell& l) {
         l.ready();
         l.server->onFailed("first");
         l.delegate->reloadPage();
       },
       kFailure, pages::errorPage(message)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Shell l;
    c.before(l);
    l.journal.events.clear();
    l.server->onFailed(message);
    EXPECT_EQ(l.journal.events, (Events{"title:" + c.title, "loadHTML"})) << "title before page";
    EXPECT_EQ(l.platform.webView->html, c.html);
  }
}

TEST(Restart, TheStoppedPagesButtonAndReloadStartTheServerAgainOnly) {
  const std::string restartURI(pages::kRestartURI);
  Shell l;
  l.ready();
  l.server->onFailed("stopped");
  l.journal.events.clear();
  // The button's navigation never loads and never reaches the browser; the
  // restart runs after the engine's callback has returned.
  EXPECT_FALSE(l.platform.navigation(restartURI, false));
  EXPECT_EQ(l.journal.events, (Events{"after:0"}));
  l.platform.runTasks();
  EXPECT_EQ(l.journal.events,
            (Events{"after:0", "title:" + kMain, "loadHTML", kRestartLog, "restart"}));
  EXPECT_EQ(l.platform.webView->html, pages::kStartingPage);

  // A second press while starting, or the address on any other page, does
  // nothing.
  l.journal.events.clear();
  EXPECT_FALSE(l.platform.navigation(restartURI, false));
  l.platform.runTasks();
  l.ready();
  EXPECT_FALSE(l.platform.navigation(restartURI, false));
  EXPECT_FALSE(l.platform.navigation(restartURI, true));
  l.platform.runTasks();
  EXPECT_EQ(l.journal.count("restart"), 0u);
  EXPECT_EQ(l.platform.window->title, kMain);

  // Reload on the stopped page restarts; the server's new address (the same
  // origin) shows the application again.
  l.server->onFailed("stopped again");
  l.journal.events.clear();
  l.perform(MenuAction::reloadPage);
  EXPECT_EQ(l.journal.events, (Events{"title:" + kMain, "loadHTML", kRestartLog, "restart"}));
  l.server->onReady(kURL);
  l.platform.webView->storeCookie();
  EXPECT_EQ(l.platform.webView->url, kURL);
  EXPECT_EQ(l.journal.count("reload"), 0u);
}

TEST(LoadRetries, RefusedOrResetLoadsAreRetriedAboutFiveSecondsThenTheChinesePageShows) {
  struct Case {
    LoadError error;
    int retries;  // before the page shows
    const char* reason;
    const char* retried;
  } cases[] = {
      {LoadError::kRefused, PageController::kLoadRetries, "连接被拒绝", "，已重试 10 次"},
      {LoadError::kReset, PageController::kLoadRetries, "连接被中断", "，已重试 10 次"},
      {LoadError::kTimedOut, 0, "60 秒内没有载入完成", ""},
      {LoadError::kOther, 0, "载入出错（engine text）", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    Shell l;
    l.ready();
    for (int i = 0; i < c.retries; ++i) {
      l.fail(c.error);
      EXPECT_EQ(l.journal.events, (Events{"after:500"}));
      l.platform.runTasks();
      EXPECT_EQ(l.journal.events, (Events{"after:500", "loadRequest:" + kURL + "/"}));
      l.journal.events.clear();
    }
    l.fail(c.error);
    const std::string line =
        "log:[ZORMAK] 界面没能打开：" + kURL + "/（" + c.reason + "）" + c.retried + "\n";
    EXPECT_EQ(l.journal.events, (Events{line, "title:" + kLoadFailure, "loadHTML"}));
    EXPECT_EQ(l.platform.webView->html,
              pages::loadFailurePage("服务已经启动，但界面没能打开：" + std::string(c.reason) +
                                     c.retried + "。\n地址：" + kURL +
                                     "/\n\n服务和其中的下载不受影响。\n\n日志：/x/app.log"));

    // Reload there loads the application again, with a fresh set of retries.
    l.journal.events.clear();
    l.delegate->reloadPage();  // the store holds the secret already
    EXPECT_EQ(l.journal.events,
              (Events{"title:" + kMain, "allowNotifications:" + kURL, "loadRequest:" + kURL}));
    l.journal.events.clear();
    l.fail(LoadError::kRefused);
    EXPECT_EQ(l.journal.events, (Events{"after:500"}));
  }
}

TEST(LoadRetries, FailuresElsewhereAndRetriesOvertakenByEventsDoNothing) {
  Shell l;
  l.platform.loadFailed(LoadFailure{kURL, LoadError::kRefused, ""});  // still starting
  l.ready();
  l.platform.loadFailed(LoadFailure{"http://127.0.0.1:1/", LoadError::kRefused, ""});
  EXPECT_TRUE(l.journal.events.empty());

  l.fail(LoadError::kRefused);
  l.server->onFailed("stopped");  // the server died while a retry waited
  l.journal.events.clear();
  l.platform.runTasks();
  l.fail(LoadError::kRefused);
  EXPECT_TRUE(l.journal.events.empty());
  EXPECT_EQ(l.platform.window->title, kStopped);
}

// What the start left free goes back to the system once, when the served
// application first finishes loading; no other page's load asks for it.
TEST(StartMemory, IsReleasedOnceWhenTheServedApplicationFirstLoads) {
  using Step = std::function<void(Shell&)>;
  const auto done = [](const std::string& uri) -> Step {
    return [uri](Shell& l) { l.platform.loadFinished(uri); };
  };
  const Step ready = [](Shell& l) { l.ready(); };
  const Step failed = [](Shell& l) { l.fail(LoadError::kOther); };
  const Step stopped = [](Shell& l) { l.server->onFailed("stopped"); };
  const Step reload = [](Shell& l) { l.perform(MenuAction::reloadPage); };
  const Step announced = [](Shell& l) { l.server->onReady(kURL); };  // the store has not answered
  const std::string served = kURL + "/", blank = "about:blank";
  const std::pair<std::vector<Step>, size_t> cases[] = {
      {{done(blank), done(served)}, 0},
      {{announced, done(blank)}, 0},
      {{ready, done("http://127.0.0.1:1/")}, 0},
      {{ready, failed, done(blank)}, 0},
      {{ready, failed, done(served)}, 0},  // reported late, over the page that replaced it
      {{ready, stopped, done(served)}, 0},
      {{ready, failed, done(blank), reload, done(served)}, 1},
      {{ready, done(served), reload, done(served), stopped, reload, ready, done(served)}, 1},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    const auto& [steps, releases] = cases[i];
    Shell l;
    for (const auto& step : steps)
      step(l);
    EXPECT_EQ(l.platform.memoryReleases, releases);
  }
}

TEST(Outcome, CallbacksAndSignalsDoNothingOnceTheDelegateIsGone) {
  Shell l;
  std::weak_ptr<AppDelegate> weak = l.delegate;
  l.delegate.reset();
  ASSERT_TRUE(weak.expired()) << "the callbacks must not keep the delegate alive";

  l.server->onReady("http://127.0.0.1:1");
  l.server->onFailed("late");
  l.platform.raise(SIGTERM);
  ASSERT_TRUE(l.platform.navigation);
  EXPECT_TRUE(l.platform.navigation("http://elsewhere.example/", false));
  l.platform.loadFailed(LoadFailure{"http://127.0.0.1:1/", LoadError::kRefused, ""});
  EXPECT_TRUE(l.journal.events.empty());
}

TEST(PageCommands, DoNothingBeforeTheWebViewExists) {
  Shell s(false);
  for (MenuAction action : {MenuAction::reloadPage, MenuAction::resetZoom, MenuAction::zoomIn,
                            MenuAction::zoomOut, MenuAction::copy, MenuAction::undo})
    s.perform(action);
  AppDelegate::performMenuAction(MenuAction::reloadPage, s.platform, nullptr);
  EXPECT_TRUE(s.journal.events.empty());
  EXPECT_EQ(s.delegate->pageZoom(), 1.0);
}

TEST(PageCommands, ReachTheirTargetsAlongTheChain) {
  Shell l;
  l.server->onFailed("boom");
  l.journal.events.clear();
  for (MenuAction action :
       {MenuAction::reloadPage, MenuAction::resetZoom, MenuAction::redo, MenuAction::selectAll,
        MenuAction::showAbout, MenuAction::signIn, MenuAction::hide, MenuAction::quit})
    l.perform(action);
  // Reloading the error page neither retries the server nor touches the title.
  EXPECT_EQ(l.journal.events, (Events{"reload", "zoom:1.000000", "edit:Redo", "edit:SelectAll",
                                      "about", "signIn", "hide", "askToClose"}));
  EXPECT_EQ(l.platform.window->title, kFailure);
}

TEST(Termination, FirstSignalStopsOnceAndExitsZeroLaterOnesDoNothing) {
  for (int first : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(first);
    Shell l;
    l.platform.raise(first);
    EXPECT_EQ(l.journal.events, (Events{"stop", "exit:0"}));
    EXPECT_TRUE(l.delegate->terminating);
    l.platform.raise(first);
    l.platform.raise(first == SIGTERM ? SIGHUP : SIGTERM);
    EXPECT_EQ(l.journal.count("stop"), 1u);
  }
}

TEST(Navigation, OnlyTheServedOriginAndBuiltInPagesStayInTheWindow) {
  Shell l;
  auto& go = l.platform.navigation;
  // Before the server is ready only the built-in pages belong to the window.
  EXPECT_TRUE(go("about:blank", false));
  EXPECT_FALSE(go("http://127.0.0.1:43567/", false));

  l.ready();
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

}  // namespace
}  // namespace zormak::testing
