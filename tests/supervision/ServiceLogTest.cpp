#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <thread>
#include <vector>

#include "ControllerAccess.h"

namespace zormak {
namespace {

using testing::ControllerFixture;
using testing::readFile;
using Access = ServerControllerTestAccess;

// "\n===== yyyy-MM-dd HH:mm:ss 启动 =====\n"
const std::regex kHeader("\n===== \\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} 启动 =====\n");

TEST(ServiceLog, FirstMessageCreatesFolderAndFileUnderOneHeader) {
  ControllerFixture f;
  auto c = f.make();
  ASSERT_FALSE(std::filesystem::exists(f.support));
  Access::log(*c, "[ZORMAK] 服务已关闭\n");
  Access::log(*c, "a");
  Access::log(*c, "b\n");

  std::string text = f.logText();
  ASSERT_EQ(text.size(), 40u + 25u + 3u);
  EXPECT_TRUE(std::regex_match(text.substr(0, 40), kHeader)) << text;
  EXPECT_EQ(text.substr(40), "[ZORMAK] 服务已关闭\nab\n");
}

TEST(ServiceLog, SecondRunAppendsAfterAnEmptyLine) {
  ControllerFixture f;
  Access::log(*f.make(), "first run\n");
  Access::log(*f.make(), "second run\n");
  std::string text = f.logText();
  ASSERT_EQ(text.size(), 40u + 10u + 40u + 11u);
  EXPECT_EQ(text.substr(40, 10), "first run\n");
  EXPECT_TRUE(std::regex_match(text.substr(50, 40), kHeader));
  EXPECT_EQ(text.substr(90), "second run\n");
}

TEST(ServiceLog, EmptyMessageStillOpensWithHeader) {
  ControllerFixture f;
  Access::log(*f.make(), "");
  EXPECT_TRUE(std::regex_match(f.logText(), kHeader));
}

TEST(ServiceLog, UnopenableLogDropsMessagesAndRetriesLater) {
  ControllerFixture f;
  std::filesystem::create_directories(f.support / "app.log");  // a directory in its place
  auto c = f.make();
  Access::log(*c, "lost\n");
  std::filesystem::remove(f.support / "app.log");
  Access::log(*c, "kept\n");
  std::string text = f.logText();
  EXPECT_TRUE(std::regex_match(text.substr(0, 40), kHeader));
  EXPECT_EQ(text.substr(40), "kept\n");
}

TEST(ServiceLog, TimestampIsLocalTimeInFixedForm) {
  std::string t = Access::timestamp();
  EXPECT_TRUE(std::regex_match(t, std::regex("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}"))) << t;
}

// Racing first calls open the file once, and no message is torn apart.
TEST(ServiceLog, ConcurrentMessagesStayWholeUnderOneHeader) {
  ControllerFixture f;
  auto c = f.make();
  constexpr int kThreads = 6, kMessages = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Long enough that a torn write would show.
      std::string body(3000 + t, static_cast<char>('a' + t));
      for (int i = 0; i < kMessages; ++i)
        Access::log(*c, "<" + body + ">\n");
    });
  }
  for (auto& t : threads)
    t.join();

  std::string text = f.logText();
  ASSERT_TRUE(std::regex_match(text.substr(0, 40), kHeader));
  std::istringstream lines(text.substr(40));
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    ASSERT_GE(line.size(), 3002u);
    char ch = line[1];
    EXPECT_EQ(line, "<" + std::string(3000 + (ch - 'a'), ch) + ">");
    ++count;
  }
  EXPECT_EQ(count, kThreads * kMessages);
}

}  // namespace
}  // namespace zormak
