#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "ControllerAccess.h"

namespace zormak {
namespace {

using testing::ControllerFixture;
using testing::readFile;
using testing::writeFile;
constexpr size_t kHeader = ControllerFixture::kHeaderSize;

// "\n===== yyyy-MM-dd HH:mm:ss 启动 =====\n"
const auto kHeaderPattern = ::testing::MatchesRegex(
    "\n===== [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} 启动 =====\n");

// The first message of a run opens the log (and its folder) under one
// header; the next run appends after an empty line under a header of its own.
TEST(ServiceLog, EachRunWritesUnderAHeaderOfItsOwn) {
  ControllerFixture f;
  auto c = f.make();
  ASSERT_FALSE(std::filesystem::exists(f.support));
  c->log("");  // an empty message still opens the log with its header
  EXPECT_THAT(f.logText(), kHeaderPattern);
  c->log("[ZORMAK] 服务已关闭\n");
  c->log("a");
  c->log("b\n");
  EXPECT_EQ(f.logBody(), "[ZORMAK] 服务已关闭\nab\n");

  f.make()->log("second run\n");
  const std::string text = f.logText();
  const size_t first = kHeader + 25u + 3u;
  ASSERT_EQ(text.size(), first + kHeader + 11u);
  EXPECT_THAT(text.substr(0, kHeader), kHeaderPattern) << text;
  EXPECT_THAT(text.substr(first, kHeader), kHeaderPattern) << text;
  EXPECT_EQ(text.substr(first + kHeader), "second run\n");
}

// An older install left the folder and the log readable by every user; the
// first message of a run takes that back, whatever the process's umask.
TEST(ServiceLog, AnOlderInstallIsTightenedAtTheFirstMessage) {
  namespace fs = std::filesystem;
  ControllerFixture f;
  fs::create_directories(f.support);
  writeFile(f.support / "app.log", "older\n");
  fs::permissions(f.support, fs::perms(0755));
  fs::permissions(f.support / "app.log", fs::perms(0644));
  f.make()->log("a\n");
  EXPECT_EQ(fs::status(f.support).permissions(), fs::perms(0700));
  EXPECT_EQ(fs::status(f.support / "app.log").permissions(), fs::perms(0600));
  EXPECT_TRUE(f.logText().starts_with("older\n"));
}

TEST(ServiceLog, UnopenableLogDropsMessagesAndRetriesLater) {
  ControllerFixture f;
  std::filesystem::create_directories(f.support / "app.log");  // a directory in its place
  auto c = f.make();
  c->log("lost\n");
  std::filesystem::remove(f.support / "app.log");
  c->log("kept\n");
  EXPECT_THAT(f.logText().substr(0, kHeader), kHeaderPattern);
  EXPECT_EQ(f.logBody(), "kept\n");
}

// At a run's first message, a log over 10 MiB becomes app.log.1 (replacing
// an older one) and the run starts a new file; a smaller one grows on. A run
// never rotates its own log, however much it writes.
TEST(ServiceLog, ALogOver10MiBIsSetAsideAtTheStartOfARun) {
  constexpr size_t kLimit = 10 * 1024 * 1024;
  for (size_t size : {kLimit, kLimit + 1}) {
    SCOPED_TRACE(size);
    ControllerFixture f;
    const std::string earlier(size, 'x');
    writeFile(f.support / "app.log", earlier);
    writeFile(f.support / "app.log.1", "older");
    auto c = f.make();
    c->log("run\n");
    c->log(std::string(kLimit, 'y'));
    c->log("end\n");
    const bool rotated = size > kLimit;
    EXPECT_EQ(readFile(f.support / "app.log.1"), rotated ? earlier : "older");
    const std::string text = f.logText();
    EXPECT_EQ(text.size(), (rotated ? 0 : size) + kHeader + 4 + kLimit + 4);
    EXPECT_TRUE(text.ends_with("end\n"));
  }
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
        c->log("<" + body + ">\n");
    });
  }
  for (auto& t : threads)
    t.join();

  ASSERT_THAT(f.logText().substr(0, kHeader), kHeaderPattern);
  std::istringstream lines(f.logBody());
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
