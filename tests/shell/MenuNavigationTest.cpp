#include <gtest/gtest.h>

#include <set>

#include "Menu.h"
#include "Navigation.h"

namespace zormak {
namespace {

struct Row {
  std::string title;
  std::optional<MenuAction> action;
  std::string key;
  bool operator==(const Row&) const = default;
};

std::vector<Row> rows(const Menu& menu) {
  std::vector<Row> out;
  for (const auto& item : menu.items)
    out.push_back({item.title, item.action, item.keyEquivalent});
  return out;
}

TEST(MenuBar, HasThreeMenusWithTheirItemsActionsAndKeys) {
  const auto& bar = menuBar();
  ASSERT_EQ(bar.size(), 3u);
  EXPECT_FALSE(bar[0].title.has_value());
  EXPECT_EQ(bar[1].title, "编辑");
  EXPECT_EQ(bar[2].title, "显示");
  using enum MenuAction;
  using R = std::vector<Row>;
  const Row separator;
  EXPECT_EQ(rows(bar[0]), (R{{"关于 ZORMAK", showAbout, ""},
                             separator,
                             {"登录网站…", signIn, ""},
                             separator,
                             {"隐藏 ZORMAK", hide, "h"},
                             separator,
                             {"退出 ZORMAK", quit, "q"}}));
  EXPECT_EQ(rows(bar[1]), (R{{"撤销", undo, "z"},
                             {"重做", redo, "Z"},
                             separator,
                             {"剪切", cut, "x"},
                             {"拷贝", copy, "c"},
                             {"粘贴", paste, "v"},
                             {"全选", selectAll, "a"}}));
  EXPECT_EQ(rows(bar[2]), (R{{"重新载入", reloadPage, "r"},
                             separator,
                             {"实际大小", resetZoom, "0"},
                             {"放大", zoomIn, "="},
                             {"缩小", zoomOut, "-"}}));
  EXPECT_EQ(bar[2].items[3].alternateKeys, (std::vector<std::string>{"+"}));
  // One item per action: the platform makes one command of each.
  std::set<MenuAction> seen;
  for (const Menu& menu : bar) {
    for (const MenuItem& item : menu.items) {
      if (item.action) {
        EXPECT_TRUE(seen.insert(*item.action).second) << item.title;
      }
    }
  }
}

TEST(MenuBar, KeyEquivalentsAndEditingCommands) {
  EXPECT_FALSE(shortcutFor("").has_value());
  auto redo = shortcutFor("Z");
  ASSERT_TRUE(redo);
  EXPECT_EQ(redo->key, 'z');
  EXPECT_TRUE(redo->shift);
  auto undo = shortcutFor("z");
  EXPECT_FALSE(undo->shift);
  EXPECT_EQ(shortcutFor("0")->key, '0');
  EXPECT_FALSE(shortcutFor("0")->shift);

  EXPECT_EQ(editingCommandFor(MenuAction::selectAll), "SelectAll");
  EXPECT_EQ(editingCommandFor(MenuAction::paste), "Paste");
  EXPECT_FALSE(editingCommandFor(MenuAction::reloadPage).has_value());
  EXPECT_FALSE(editingCommandFor(MenuAction::quit).has_value());
}

TEST(Origins, NormaliseWebUrlsAndRejectTheRest) {
  using navigation::originOf;
  EXPECT_EQ(originOf("http://127.0.0.1:43567"), "http://127.0.0.1:43567");
  EXPECT_EQ(originOf("http://127.0.0.1:43567/a/b?c#d"), "http://127.0.0.1:43567");
  EXPECT_EQ(originOf("HTTP://Example.COM/"), "http://example.com:80");
  EXPECT_EQ(originOf("https://example.com"), "https://example.com:443");
  EXPECT_EQ(originOf("http://example.com:80/"), originOf("http://example.com/"));
  EXPECT_EQ(originOf("http://user:pw@127.0.0.1:5/"), "http://127.0.0.1:5");
  EXPECT_EQ(originOf("blob:http://127.0.0.1:5/uuid"), "http://127.0.0.1:5");
  EXPECT_FALSE(originOf("about:blank"));
  EXPECT_FALSE(originOf("file:///etc/passwd"));
  EXPECT_FALSE(originOf("javascript:alert(1)"));
  EXPECT_FALSE(originOf("http://"));
  EXPECT_FALSE(originOf(""));
  EXPECT_FALSE(originOf("httpx://a/"));
}

}  // namespace
}  // namespace zormak
