#include <gtest/gtest.h>

#include "AppDelegate.h"
#include "Fakes.h"
#include "Links.h"

namespace zormak::testing {
namespace {

using List = std::vector<std::string>;

TEST(Links, FreeTextGivesEachWebAddressOnceWithoutTheSentenceAroundIt) {
  const struct {
    std::string text;
    List expected;
  } cases[] = {
      {"【标题】 https://b23.tv/AbC 复制此链接", {"https://b23.tv/AbC"}},
      {"看这个https://v.example.com/x?id=1&t=2，很好。", {"https://v.example.com/x?id=1&t=2"}},
      {"(see http://a.example/p). Or http://a.example/p!", {"http://a.example/p"}},
      {"https://en.example.org/wiki/Foo_(bar) end", {"https://en.example.org/wiki/Foo_(bar)"}},
      {"<a href=\"HTTPS://Up.Example/v\">", {"HTTPS://Up.Example/v"}},
      {"one\nhttp://x.example/1\r\nhttp://x.example/2\thttp://x.example/1",
       {"http://x.example/1", "http://x.example/2"}},
      {"xhttp://no.example/ file:///etc/passwd javascript:alert(1) http:// https:///path", {}},
      {"ftp://files.example/v.mp4 zormak:restart-server", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(links::fromText(c.text), c.expected);
  }
  std::string many;
  for (int i = 0; i < 80; ++i)
    many += "http://h.example/" + std::to_string(i) + " ";
  EXPECT_EQ(links::fromText(many).size(), links::kMaxAddresses);
  EXPECT_TRUE(links::fromText("http://h.example/" + std::string(links::kMaxLength, 'a')).empty());
}

TEST(Links, UriListsSchemeAddressesAndArguments) {
  EXPECT_EQ(links::fromUriList("# dragged\r\nhttps://a.example/v\r\nfile:///home/u/x.mp4\r\n"
                               "  http://b.example/w  \nnot an address\n"),
            (List{"https://a.example/v", "http://b.example/w"}));
  const struct {
    std::string address;
    std::optional<std::string> carried;
  } schemes[] = {
      {"zormak:https://a.example/v?x=1", "https://a.example/v?x=1"},
      {"ZORMAK:https%3A%2F%2Fa.example%2Fv%3Fx%3D1%26y%3D2", "https://a.example/v?x=1&y=2"},
      {"zormak://add?url=http%3A%2F%2F127.0.0.1%3A8080%2Fx.mp4&from=bm",
       "http://127.0.0.1:8080/x.mp4"},
      {"zormak:?url=https%3A%2F%2Fa.example%2Fv", "https://a.example/v"},
      {"zormak:restart-server", std::nullopt},
      {"zormak://add?url=file%3A%2F%2F%2Fetc%2Fpasswd", std::nullopt},
      {"zormak://add?url=https%3A%2F%2Fa.example%2F%0Aevil", std::nullopt},
      {"zormak:https%3A%2F%2Fa.example%2F%20b", std::nullopt},
      {"zormakx:https://a.example/v", std::nullopt},
      {"https://a.example/v", std::nullopt},
  };
  for (const auto& c : schemes) {
    SCOPED_TRACE(c.address);
    EXPECT_EQ(links::fromSchemeAddress(c.address), c.carried);
  }
  EXPECT_EQ(links::fromArguments({"--gapplication-service", "https://a.example/v", "./local.mp4",
                                  "zormak:https%3A%2F%2Fa.example%2Fv", "zormak:http://b.example/",
                                  "http://c.example/ two words"}),
            (List{"https://a.example/v", "http://b.example/"}));
}

TEST(Links, JsonStringsEscapeWhatBreaksALiteralAndRefuseBrokenUtf8) {
  const struct {
    std::string text;
    std::optional<std::string> json;
  } cases[] = {
      {"/home/用户/视频", "\"/home/用户/视频\""},
      {"a\"b\\c\n\x01\x7f", "\"a\\\"b\\\\c\\u000a\\u0001\\u007f\""},
      {"\xe2\x80\xa8\xe2\x80\xa9 \xf0\x9f\x8e\xac", "\"\\u2028\\u2029 \xf0\x9f\x8e\xac\""},
      {"\xff", std::nullopt},             // never a UTF-8 byte
      {"caf\xe9", std::nullopt},          // Latin-1
      {"\xc0\xaf", std::nullopt},         // overlong "/"
      {"\xed\xa0\x80", std::nullopt},     // a surrogate
      {"\xe4\xb8", std::nullopt},         // cut short
      {"\xf4\x90\x80\x80", std::nullopt}  // past U+10FFFF
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(links::jsonString(c.text), c.json);
  }
}

// The delegate launched, its server ready and the served page shown.
struct Served : Shell {
  Served() { ready(); }
  void post(const std::string& message, const std::string& uri = "") {
    platform.pageMessage(message, uri.empty() ? kURL + std::string("/") : uri);
  }
  List& scripts() { return platform.webView->scripts; }
  static std::string event(const std::string& detail) {
    return "window.dispatchEvent(new CustomEvent(\"zormak-shell\",{detail:" + detail + "}));";
  }
};

TEST(PageBridge, HandedOverAddressesWaitForTheServedPageToListen) {
  Shell s(false);
  auto& [journal, platform, server, delegate] = s;
  // Before the launch has made the window, then while the server starts.
  delegate->openAddresses({"zormak:https%3A%2F%2Fa.example%2Fv"});
  s.launch();
  delegate->openAddresses({"http://b.example/w", "file:///etc/passwd"});
  delegate->openAddresses({"not one"});
  server->onReady("http://127.0.0.1:43567");
  platform.webView->storeCookie();
  platform.pageMessage("ready", "about:blank");  // a built-in page does not count
  EXPECT_TRUE(platform.webView->scripts.empty());
  platform.pageMessage("ready", "http://127.0.0.1:43567/#queue");
  EXPECT_EQ(
      platform.webView->scripts,
      (List{Served::event(R"({"kind":"links","source":"launch","urls":["https://a.example/v"]})"),
            Served::event(R"({"kind":"links","source":"launch","urls":["http://b.example/w"]})")}));
  delegate->openAddresses({"http://c.example/"});
  EXPECT_EQ(platform.webView->scripts.size(), 3u) << "a listening page is told at once";
}

TEST(PageBridge, TheFolderDialogOpensForTheServedPageOnlyAndOnlyItsAnswerIsSent) {
  Served s;
  s.post("pick-folder", "http://127.0.0.1:9/");  // another origin
  s.post("pick-folder", "about:blank");
  EXPECT_EQ(s.journal.count("chooseFolder"), 0u);
  s.post("ready");
  s.post("pick-folder");
  s.post("pick-folder");  // while the dialog is open
  EXPECT_EQ(s.journal.count("chooseFolder"), 1u);
  const struct {
    std::optional<std::string> path;
    std::string detail;
  } answers[] = {
      {"/home/u/视频", R"({"kind":"folder","path":"/home/u/视频"})"},
      {std::nullopt, R"({"kind":"folder","cancelled":true})"},
      {"/home/u/caf\xe9",
       R"({"kind":"folder","error":"这个文件夹的名字里有无法识别的字符，请换一个文件夹。"})"},
  };
  for (const auto& a : answers) {
    s.scripts().clear();
    if (!s.platform.folderChosen)
      s.post("pick-folder");
    std::exchange(s.platform.folderChosen, nullptr)(a.path);
    EXPECT_EQ(s.scripts(), List{Served::event(a.detail)});
  }
}

TEST(PageBridge, TheClipboardIsReadOnFocusOnlyWhenThePageAskedAndOffersAnAddressOnce) {
  Served s;
  s.platform.clipboard = "复制 https://a.example/v 打开";
  s.platform.options.focused();
  s.post("ready");
  s.platform.options.focused();
  EXPECT_EQ(s.journal.count("readClipboard"), 0u) << "the switch is off until the page says";
  s.post("clipboard:on", "http://evil.example/");
  s.platform.options.focused();
  EXPECT_EQ(s.journal.count("readClipboard"), 0u);
  s.post("clipboard:on");
  s.platform.options.focused();
  s.platform.options.focused();
  EXPECT_EQ(s.journal.count("readClipboard"), 2u);
  EXPECT_EQ(s.scripts(),
            List{Served::event(R"({"kind":"clipboard","url":"https://a.example/v"})")});
  s.platform.clipboard = "no address";
  s.platform.options.focused();
  s.post("clipboard:off");
  s.platform.clipboard = "https://b.example/";
  s.platform.options.focused();
  EXPECT_EQ(s.journal.count("readClipboard"), 3u);
  EXPECT_EQ(s.scripts().size(), 1u);
  // A server that restarted on another port serves a page that has not yet listened.
  s.post("clipboard:on");
  s.server->onFailed("stopped");
  s.platform.options.focused();
  EXPECT_EQ(s.journal.count("readClipboard"), 3u);
}

TEST(PageBridge, DropsAreSentAsFoundEvenWhenNothingWasFound) {
  Served s;
  s.post("ready");
  s.platform.dropped("#c\r\nhttps://a.example/v\r\nfile:///x\r\n", true);
  s.platform.dropped("看 http://b.example/w。", false);
  s.platform.dropped("file:///home/u/a.mp4", true);
  EXPECT_EQ(
      s.scripts(),
      (List{Served::event(R"({"kind":"links","source":"drop","urls":["https://a.example/v"]})"),
            Served::event(R"({"kind":"links","source":"drop","urls":["http://b.example/w"]})"),
            Served::event(R"({"kind":"links","source":"drop","urls":[]})")}));
}

}  // namespace
}  // namespace zormak::testing
