#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "AppDelegate.h"
#include "ContextMenu.h"
#include "Fakes.h"
#include "Pages.h"
#include "TempDir.h"
#include "WindowState.h"
#include "Zoom.h"

namespace zormak::testing {
namespace {

using Events = std::vector<std::string>;

TEST(Zoom, StepsBetweenHalfAndThreeTimes) {
  struct Case {
    double from, in, out;
  };
  const Case cases[] = {
      {1.0, 1.1, 0.9},
      {0.5, 0.67, 0.5},
      {0.67, 0.75, 0.5},
      {3.0, 3.0, 2.5},
      {2.5, 3.0, 2.0},
      {1.25, 1.5, 1.1},
      {1.5, 1.75, 1.25},
      {1.1, 1.25, 1.0},
      {0.9, 1.0, 0.8},
      {0.8, 0.9, 0.75},
      {0.75, 0.8, 0.67},
      // Between two steps: the neighbouring ones.
      {1.3, 1.5, 1.25},
      {0.6, 0.67, 0.5},
      // A hair off a step is that step.
      {1.0000001, 1.1, 0.9},
      {1.4999999, 1.75, 1.25},
      // Outside the range or not a number: from the nearest sane level.
      {7.0, 3.0, 2.5},
      {0.1, 0.67, 0.5},
      {std::numeric_limits<double>::quiet_NaN(), 1.1, 0.9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.from);
    EXPECT_DOUBLE_EQ(zoom::stepIn(c.from), c.in);
    EXPECT_DOUBLE_EQ(zoom::stepOut(c.from), c.out);
  }
}

TEST(ZoomCommands, StepFromTheLevelShownAndResetToActualSize) {
  Shell s;
  for (MenuAction action : {MenuAction::zoomIn, MenuAction::zoomIn, MenuAction::zoomOut,
                            MenuAction::resetZoom, MenuAction::zoomOut})
    s.perform(action);
  EXPECT_EQ(s.journal.events, (Events{"zoom:1.100000", "zoom:1.250000", "zoom:1.100000",
                                      "zoom:1.000000", "zoom:0.900000"}));
  EXPECT_EQ(s.delegate->pageZoom(), 0.9);
}

TEST(WindowStateFile, KeepsWhatItUnderstandsAndNotesTheRest) {
  const WindowState defaults{1180, 840, false, 1.0};
  struct Case {
    const char* text;
    WindowState state;
    bool damaged;
  };
  const Case cases[] = {
      {"", defaults, false},
      {"# comment\n\n[window]\r\n width = 1000 \r\nheight=700\r\n", {1000, 700, false, 1.0}, false},
      // Other groups and unknown keys belong to someone else.
      {"[other]\nwidth=5\n[window]\nzoom=2\nfuture=1\n", {1180, 840, false, 2.0}, false},
      {"[window]\nwidth=wide\nheight=700\n", {1180, 700, false, 1.0}, true},
      {"[window]\nwidth=0\nheight=-3\n", defaults, true},
      {"[window]\nwidth=99999\n", defaults, true},
      {"[window]\nwidth=1000px\n", defaults, true},
      {"[window]\nmaximized=yes\n", defaults, true},
      {"[window]\nmaximized=true\n", {1180, 840, true, 1.0}, false},
      {"[window]\nzoom=nan\n", defaults, true},
      {"[window]\nzoom=0.2\n", defaults, true},
      {"[window]\nzoom=3.5\n", defaults, true},
      {"width=1000\n", defaults, true},
      {"[window]\nno equals sign\n", defaults, true},
      {"\xff\xfe garbage", defaults, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto parsed = windowstate::parse(c.text, defaults);
    EXPECT_EQ(parsed.state, c.state);
    EXPECT_EQ(parsed.damaged, c.damaged);
  }
}

TEST(WindowStateFile, FitsTheCurrentScreenAndTheMinimum) {
  struct Case {
    WindowState remembered;
    std::optional<ScreenSize> screen;
    int width, height;
  };
  const Case cases[] = {
      {{1400, 900, false, 1.0}, ScreenSize{1920, 1080}, 1400, 900},
      {{2500, 1500, true, 1.0}, ScreenSize{1366, 768}, 1366, 768},
      {{2500, 1500, false, 1.0}, std::nullopt, 2500, 1500},
      {{300, 200, false, 1.0}, ScreenSize{1920, 1080}, 900, 640},
      // A screen below the minimum still gets a usable window.
      {{1400, 900, false, 1.0}, ScreenSize{800, 600}, 900, 640},
      {{1400, 900, false, 1.0}, ScreenSize{0, 0}, 1400, 900},
  };
  for (const Case& c : cases) {
    auto fitted = windowstate::fitted(c.remembered, c.screen, 900, 640);
    EXPECT_EQ(fitted.width, c.width);
    EXPECT_EQ(fitted.height, c.height);
    EXPECT_EQ(fitted.maximized, c.remembered.maximized);
  }
}

TEST(WindowStateFile, SavesWholeAndSetsADamagedFileAside) {
  TempDir dir;
  const auto file = dir / "window.ini";
  const WindowState defaults{1180, 840, false, 1.0};
  EXPECT_FALSE(windowstate::load(file, defaults, 0).has_value());

  ASSERT_TRUE(windowstate::save(file, {1300, 700, true, 0.8}));
  EXPECT_EQ(windowstate::load(file, defaults, 0), (WindowState{1300, 700, true, 0.8}));
  EXPECT_FALSE(std::filesystem::exists(dir / "window.ini.partial"));

  writeFile(file, "[window]\nwidth=1300\nheight=lots\n");
  const std::time_t when = 1700000000;
  EXPECT_EQ(windowstate::load(file, defaults, when), (WindowState{1300, 840, false, 1.0}));
  EXPECT_FALSE(std::filesystem::exists(file));
  int aside = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    if (entry.path().filename().string().starts_with("window.ini.damaged-")) {
      ++aside;
      EXPECT_EQ(readFile(entry.path()), "[window]\nwidth=1300\nheight=lots\n");
    }
  }
  EXPECT_EQ(aside, 1);

  // A folder that cannot take the file: the state is lost, nothing else.
  EXPECT_FALSE(windowstate::save(dir / "missing" / "window.ini", defaults));
}

// A shell whose server keeps its files in a folder of the test's.
struct Remembering : Shell {
  TempDir dir;
  Remembering() : Shell(false) { server->support = dir.path(); }
};

TEST(RememberedWindow, FirstStartUsesTheDefaultSizeLaterStartsTheSavedOne) {
  Remembering r;
  r.platform.screen = ScreenSize{1920, 1080};
  auto first = r.relaunch();
  EXPECT_EQ(r.platform.options.width, 1180);
  EXPECT_EQ(r.platform.options.height, 840);
  EXPECT_EQ(r.platform.options.minWidth, 900);
  EXPECT_EQ(r.platform.options.minHeight, 640);
  EXPECT_FALSE(r.platform.options.maximized);
  EXPECT_EQ(r.journal.count("zoom:1.000000"), 0u) << "the actual size needs no call";

  first->zoomIn();
  first->zoomIn();
  r.platform.window->now = WindowGeometry{1500, 1000, true};
  first->applicationWillTerminate();
  EXPECT_EQ(readFile(r.dir / "window.ini"),
            "[window]\nwidth=1500\nheight=1000\nmaximized=true\nzoom=1.25\n");

  // The next start is on a smaller screen.
  r.platform.screen = ScreenSize{1366, 768};
  r.journal.events.clear();
  auto second = r.relaunch();
  EXPECT_EQ(r.platform.options.width, 1366);
  EXPECT_EQ(r.platform.options.height, 768);
  EXPECT_TRUE(r.platform.options.maximized);
  EXPECT_EQ(r.platform.webView->zoom, 1.25);
  EXPECT_EQ(second->pageZoom(), 1.25);
  ASSERT_GE(r.journal.events.size(), 2u);
  EXPECT_EQ(r.journal.events[1], "makeWindow:" + std::string(pages::kMainTitle));

  // A signal saves too; a window never shown keeps the file.
  first.reset();
  second->resetZoom();
  r.platform.window->now = WindowGeometry{1000, 700, false};
  r.platform.raise(SIGTERM);
  EXPECT_EQ(readFile(r.dir / "window.ini"),
            "[window]\nwidth=1000\nheight=700\nmaximized=false\nzoom=1\n");
  auto again = r.relaunch();
  r.platform.window->now = WindowGeometry{0, 0, false};
  again->applicationWillTerminate();
  EXPECT_EQ(readFile(r.dir / "window.ini"),
            "[window]\nwidth=1000\nheight=700\nmaximized=false\nzoom=1\n");
}

TEST(ContextMenu, KeepsEditingCopyAndCopyLinkWithTidySeparators) {
  using contextmenu::Item;
  using contextmenu::kept;
  using Positions = std::vector<std::size_t>;
  const Item S = Item::Separator, O = Item::Other;
  struct Case {
    const char* what;
    std::vector<Item> offered;
    Positions shown;
  };
  const Case cases[] = {
      {"the page: back, forward, stop, reload", {O, O, O, O}, {}},
      {"a link", {O, O, S, Item::CopyLink, S, O}, {3}},
      {"a selection", {Item::Copy, S, O}, {0}},
      {"a text field",
       {Item::Cut, Item::Copy, Item::Paste, Item::Delete, S, Item::SelectAll, S, Item::InsertEmoji,
        S, O},
       {0, 1, 2, 3, 4, 5, 6, 7}},
      {"separators around removed items collapse",
       {Item::Copy, S, O, S, S, O, Item::CopyLink},
       {0, 4, 6}},
      {"leading and trailing separators go", {S, O, Item::Paste, S}, {2}},
      {"spelling in a text field",
       {Item::SpellingGuess, Item::SpellingGuess, S, Item::IgnoreSpelling, Item::LearnSpelling, S,
        Item::Cut, Item::PasteAsPlainText},
       {0, 1, 2, 3, 4, 5, 6, 7}},
      {"an empty menu", {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(kept(c.offered), c.shown);
  }
  // Every kept item but a guessed word reads in Chinese.
  for (Item item : {Item::Cut, Item::Copy, Item::Paste, Item::PasteAsPlainText, Item::Delete,
                    Item::SelectAll, Item::InsertEmoji, Item::NoGuessesFound, Item::IgnoreSpelling,
                    Item::LearnSpelling, Item::CopyLink})
    EXPECT_FALSE(contextmenu::title(item).empty()) << static_cast<int>(item);
  EXPECT_EQ(contextmenu::title(Item::Copy), "拷贝") << "as the edit menu says";
  EXPECT_TRUE(contextmenu::title(Item::SpellingGuess).empty());
}

TEST(ErrorPage, TipNamesTheLogWhenTheMessageDoesNot) {
  const std::string log = "/home/u/.local/share/ZORMAK/app.log";
  const std::string named = "服务进程意外退出了（退出码 1）。\n\n日志：" + log;
  // The message names the log: the page is the usual one.
  EXPECT_EQ(pages::errorPage(named, log, true), pages::errorPage(named));

  const std::string prep = "准备运行环境失败：找不到 payload";
  const std::string page = pages::errorPage(prep, log, true);
  EXPECT_NE(page.find("<p>准备运行环境失败：找不到 payload</p>"), std::string::npos);
  EXPECT_NE(page.find("把日志文件 " + log + " 里的内容发出来。</div>"), std::string::npos);
  EXPECT_EQ(page.find("上面日志文件"), std::string::npos);
  EXPECT_TRUE(page.ends_with("</div></div></body></html>"));

  // A log that could not be written: where it should have been.
  const std::string missing = pages::errorPage(prep, "/ro/<x>&/app.log", false);
  EXPECT_NE(missing.find("日志文件本应写在 /ro/&lt;x&gt;&amp;/app.log，但没能写出来。"),
            std::string::npos);
}

TEST(ErrorPage, TheDelegatePassesTheLogPathAndWhetherItExists) {
  Remembering r;
  r.launch();
  r.server->onFailed("准备运行环境失败：磁盘已满");
  EXPECT_NE(r.platform.webView->html.find("本应写在 " + (r.dir / "app.log").string()),
            std::string::npos);
  writeFile(r.dir / "app.log", "x");
  r.server->onFailed("准备运行环境失败：磁盘已满");
  EXPECT_NE(r.platform.webView->html.find("把日志文件 " + (r.dir / "app.log").string()),
            std::string::npos);
}

TEST(Quit, TheCommandAndTheWindowAskThePageFirst) {
  for (bool byCommand : {true, false}) {
    for (bool pageAgrees : {true, false}) {
      SCOPED_TRACE(std::string(byCommand ? "quit" : "close") +
                   (pageAgrees ? ", agreed" : ", stays"));
      Shell r;
      if (byCommand) {
        r.perform(MenuAction::quit);
      } else {
        EXPECT_FALSE(r.platform.options.shouldClose()) << "the window waits for the page";
      }
      if (pageAgrees)
        r.platform.webView->closeAllowed();
      EXPECT_EQ(r.journal.events,
                pageAgrees ? (Events{"askToClose", "terminate"}) : Events{"askToClose"});
    }
  }

  // Nothing to ask yet: the quit goes ahead at once.
  Shell early(false);
  early.perform(MenuAction::quit);
  AppDelegate::performMenuAction(MenuAction::quit, early.platform, nullptr);
  EXPECT_EQ(early.journal.events, (Events{"terminate", "terminate"}));
}

}  // namespace
}  // namespace zormak::testing
