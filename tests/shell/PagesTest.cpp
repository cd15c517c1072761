#include <gtest/gtest.h>

#include "Pages.h"

namespace zormak::pages {
namespace {

TEST(Escaping, ReplacesInOrderWithoutDoubleEscaping) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"a & b < c > d", "a &amp; b &lt; c &gt; d"},
      {"&&", "&amp;&amp;"},
      {"&lt;", "&amp;lt;"},        // entity text stays text
      {"a\n\nb", "a<br><br>b"},    // an empty line survives
      {"\"it's\"", "\"it's\""},    // quotes are element content
      {"a\r\n\tb", "a\r<br>\tb"},  // only the line feed becomes markup
      {"<br>", "&lt;br&gt;"},
      {"日志：/home/u/app.log", "日志：/home/u/app.log"},
      {"", ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(escapeMessage(c.in), c.out) << c.in;
}

TEST(ErrorPage, SuggestsARestartOnlyWhenOneCanHelp) {
  const std::string broken = "缺少解释器。重新启动也无法修复，请重新安装 ZORMAK。";
  for (const std::string& page : {errorPage(broken), errorPage(broken, "/x/app.log", true),
                                  errorPage(broken, "/x/app.log", false)}) {
    EXPECT_EQ(page.find("重启"), std::string::npos) << page;
    EXPECT_NE(page.find("重新安装"), std::string::npos);
  }
  EXPECT_NE(errorPage("磁盘空间不足", "/x/app.log", true).find("可以先试试重启应用"),
            std::string::npos);
}

TEST(ProblemPages, StoppedAndLoadFailurePagesAreCardsAroundTheEscapedMessage) {
  struct Case {
    std::string page;
    const char* heading;
    const char* after;  // what follows the message
  } cases[] = {
      {stoppedPage("a<b\nc"), "ZORMAK 的服务已停止",
       "</p><button type=\"button\" autofocus style="},
      {loadFailurePage("a<b\nc"), "ZORMAK 的界面没能打开", "</p><div class=\"tip\">在“显示”菜单"},
      {errorPage("a<b\nc"), "ZORMAK 没能启动", "</p><div class=\"tip\">可以先试试重启应用"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.heading);
    EXPECT_NE(c.page.find(std::string("<h1>") + c.heading + "</h1><p>a&lt;b<br>c" + c.after),
              std::string::npos)
        << c.page;
    EXPECT_TRUE(c.page.ends_with("</div></div></body></html>"));
  }
  // The button leads to the address the shell answers, and says what it does.
  EXPECT_NE(stoppedPage("").find(
                "onclick=\"location.href='zormak:restart-server'\">重新启动服务</button>"),
            std::string::npos);
}

// Shown before any server exists, so it loads nothing from anywhere.
TEST(StartingPage, LoadsNothingFromOutside) {
  const std::string page(kStartingPage);
  EXPECT_NE(page.find("<meta charset=\"utf-8\">"), std::string::npos);
  EXPECT_EQ(page.find("src="), std::string::npos);
  EXPECT_EQ(page.find("href="), std::string::npos);
  EXPECT_EQ(page.find("url("), std::string::npos);
}

}  // namespace
}  // namespace zormak::pages
