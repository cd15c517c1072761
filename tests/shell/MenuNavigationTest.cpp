#include <gtest/gtest.h>

#include <set>

#include "Menu.h"
#include "Navigation.h"

namespace zormak {
namespace {

// Every action has one item, with a title, and no two items share a key: the
// platform makes one command of each and binds each key once.
TEST(MenuBar, EachActionOnceAndEachKeyOnce) {
  std::set<MenuAction> actions;
  std::set<std::string> keys;
  for (const Menu& menu : menuBar()) {
    for (const MenuItem& item : menu.items) {
      if (!item.action)
        continue;
      EXPECT_FALSE(item.title.empty());
      EXPECT_TRUE(actions.insert(*item.action).second) << item.title;
      std::vector<std::string> all = item.alternateKeys;
      if (!item.keyEquivalent.empty())
        all.push_back(item.keyEquivalent);
      for (const auto& key : all)
        EXPECT_TRUE(keys.insert(key).second) << key;
    }
  }
  EXPECT_EQ(actions.size(), static_cast<size_t>(MenuAction::zoomOut) + 1);
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
