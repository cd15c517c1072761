#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ControllerAccess.h"

namespace zormak {
namespace {

using testing::ControllerFixture;
using ::testing::ElementsAre;
using Access = ServerControllerTestAccess;

TEST(ParseURL, TakesTheDigitsAfterTheFirstLoopbackPrefix) {
  auto p = [](std::string_view line) { return Access::parseURL(line); };
  EXPECT_EQ(p("Serving on http://127.0.0.1:8000/ now"), "http://127.0.0.1:8000");
  EXPECT_EQ(p("http://127.0.0.1:8000"), "http://127.0.0.1:8000");
  EXPECT_EQ(p("x http://127.0.0.1: 8000"), std::nullopt);
  EXPECT_EQ(p("http://127.0.0.1:a8000"), std::nullopt);
  EXPECT_EQ(p("http://127.0.0.1:"), std::nullopt);
  EXPECT_EQ(p("https://127.0.0.1:8000"), std::nullopt);
  EXPECT_EQ(p("http://localhost:8000"), std::nullopt);
  EXPECT_EQ(p("HTTP://127.0.0.1:8000"), std::nullopt);
  // Only the first occurrence counts.
  EXPECT_EQ(p("http://127.0.0.1:x http://127.0.0.1:9000"), std::nullopt);
  // Arabic-Indic digits are numeric but make no URL; neither does a port out of range.
  EXPECT_EQ(p("http://127.0.0.1:\xd9\xa8\xd9\xa0"), std::nullopt);
  EXPECT_EQ(p("http://127.0.0.1:99999"), std::nullopt);
  // A digit followed by a combining mark is one numeric character, so the run
  // takes the mark along and the text no longer parses.
  EXPECT_EQ(p("http://127.0.0.1:80\xcc\x81"), std::nullopt);
  EXPECT_EQ(p("http://127.0.0.1:80\xe2\x80\x8b"), "http://127.0.0.1:80");
}

struct Ingest : ControllerFixture {
  std::shared_ptr<ServerController> c = make();
  std::vector<std::string> ready;
  Ingest() {
    c->onReady = [this](const std::string& url) { ready.push_back(url); };
  }
  void feed(std::initializer_list<std::string_view> chunks) {
    for (auto chunk : chunks)
      Access::ingest(*c, chunk);
    loop->runPending();
  }
};

TEST(Ingest, LogsChunksVerbatimAndFindsAURLSplitAcrossChunks) {
  Ingest f;
  f.feed({"boot\nServing http://127.0.", "0.1:4321/ ok", "\nmore"});
  EXPECT_THAT(f.ready, ElementsAre("http://127.0.0.1:4321"));
  EXPECT_EQ(
      f.logText().substr(40),
      "boot\nServing http://127.0.0.1:4321/ ok\nmore[ZORMAK] 界面已就绪：http://127.0.0.1:4321\n");
}

TEST(Ingest, CarriageReturnLineFeedIsNoLineEndEvenAcrossChunks) {
  {
    Ingest f;
    f.feed({"http://127.0.0.1:4321\r\n", "next\r", "\n"});
    EXPECT_TRUE(f.ready.empty());
  }
  {
    Ingest f;  // a lone CR ends nothing; the LF after it ends the line
    f.feed({"http://127.0.0.1:4321\rtail\n"});
    EXPECT_THAT(f.ready, ElementsAre("http://127.0.0.1:4321"));
  }
}

TEST(Ingest, UnfinishedLastLineIsNeverScanned) {
  Ingest f;
  f.feed({"http://127.0.0.1:4321"});
  EXPECT_TRUE(f.ready.empty());
}

TEST(Ingest, OverlongLineIsDroppedUpToItsEnd) {
  Ingest f;
  std::string progress(70 * 1024, 'x');
  f.feed({progress, "http://127.0.0.1:1111\n", "http://127.0.0.1:2222\n"});
  EXPECT_THAT(f.ready, ElementsAre("http://127.0.0.1:2222"));

  // A progress line redrawn with carriage returns for a long time stays bounded.
  Ingest g;
  for (int i = 0; i < 2000; ++i)
    Access::ingest(*g.c, "\r 42% 3.1MiB/s ETA 00:10        ");
  EXPECT_LE(Access::lineBufferSize(*g.c), 64u * 1024u + 64u);
}

TEST(ReapingPidFile, ParsesSignedDecimalIn32Bits) {
  auto p = [](std::string_view t) { return Access::parsePid(t); };
  EXPECT_EQ(p("731"), 731);
  EXPECT_EQ(p("+731"), 731);
  EXPECT_EQ(p("-5"), -5);
  EXPECT_EQ(p("2147483647"), 2147483647);
  EXPECT_EQ(p("-2147483648"), std::numeric_limits<std::int32_t>::min());
  for (std::string_view bad : {"", "+", "-", "2147483648", "-2147483649", "99999999999999999999",
                               "7 31", "731a", "0x1f", "7.0", "++7", " 731"}) {
    EXPECT_EQ(p(bad), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace zormak
