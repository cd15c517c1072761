#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Output.h"

namespace zormak {
namespace {

using ::testing::ElementsAre;

TEST(ParseURL, TakesTheNumericRunAfterTheFirstLoopbackPrefix) {
  const struct {
    std::string_view line;
    std::optional<std::string> url;
  } kCases[] = {
      {"Serving on http://127.0.0.1:8000/ now", "http://127.0.0.1:8000"},
      {"http://127.0.0.1:8000", "http://127.0.0.1:8000"},
      {"x http://127.0.0.1: 8000", std::nullopt},
      {"http://127.0.0.1:a8000", std::nullopt},
      {"http://127.0.0.1:", std::nullopt},
      {"https://127.0.0.1:8000", std::nullopt},
      {"http://localhost:8000", std::nullopt},
      {"HTTP://127.0.0.1:8000", std::nullopt},
      // Only the first occurrence counts.
      {"http://127.0.0.1:x http://127.0.0.1:9000", std::nullopt},
      // Arabic-Indic digits are numeric but make no URL; neither does a port
      // out of range.
      {"http://127.0.0.1:\xd9\xa8\xd9\xa0", std::nullopt},
      {"http://127.0.0.1:99999", std::nullopt},
      // A digit followed by a combining mark is one numeric character, so the
      // run takes the mark along and the text no longer parses.
      {"http://127.0.0.1:80\xcc\x81", std::nullopt},
      {"http://127.0.0.1:80\xe2\x80\x8b", "http://127.0.0.1:80"},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(parseAnnouncedURL(c.line), c.url) << c.line;
}

std::vector<std::string> split(LineSplitter& splitter,
                               std::initializer_list<std::string_view> chunks) {
  std::vector<std::string> lines;
  for (auto chunk : chunks)
    splitter.feed(chunk, [&](std::string_view line) { lines.emplace_back(line); });
  return lines;
}

TEST(LineSplitter, CutsAtLineFeedsThatAreCharactersOfTheirOwn) {
  const struct {
    std::initializer_list<std::string_view> chunks;
    std::vector<std::string> lines;
  } kCases[] = {
      {{"boot\nServing http://127.0.0.1:", "4321/ ok", "\nmore"},
       {"boot", "Serving http://127.0.0.1:4321/ ok"}},
      // CR LF ends nothing, also when a read falls between the two.
      {{"a\r\n", "b\r", "\n"}, {}},
      // A lone CR ends nothing; the LF after it ends the line.
      {{"a\rtail\n"}, {"a\rtail"}},
      {{"\n\n"}, {"", ""}},
  };
  for (const auto& c : kCases) {
    LineSplitter splitter;
    EXPECT_EQ(split(splitter, c.chunks), c.lines);
  }
}

TEST(LineSplitter, AnOverlongLineIsDroppedUpToItsEndAndTheBufferStaysBounded) {
  LineSplitter splitter;
  std::string progress(70 * 1024, 'x');
  EXPECT_THAT(split(splitter, {progress, "tail\n", "next\n"}), ElementsAre("next"));

  // A progress line redrawn with carriage returns for a long time.
  LineSplitter redraws;
  for (int i = 0; i < 2000; ++i)
    split(redraws, {"\r 42% 3.1MiB/s ETA 00:10        "});
  EXPECT_LE(redraws.bufferedSize(), LineSplitter::kMaxLineLength);
}

TEST(Utf8Repair, KeepsCharactersCutByReadsAndReplacesWhatCanNeverBeOne) {
  const struct {
    std::initializer_list<std::string_view> chunks;
    std::string text;
  } kCases[] = {
      // 就 (E5 B0 B1) cut after each of its bytes.
      {{"a\xe5", "\xb0\xb1z"}, "a就z"},
      {{"a\xe5\xb0", "\xb1z"}, "a就z"},
      {{"\xe5", "\xb0", "\xb1"}, "就"},
      // A four-byte character over three reads.
      {{"\xf0\x9f", "\x98", "\x80!"}, "😀!"},
      // Bytes that can never form a character, wherever they stand.
      {{"bad \xff\n"}, "bad \xef\xbf\xbd\n"},
      {{"\xc0\xaf"}, "\xef\xbf\xbd\xef\xbf\xbd"},
      {{"\xed\xa0\x80"}, "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
      // A character begun but not continued, and one cut off by the end.
      {{"\xe5", "x"}, "\xef\xbf\xbdx"},
      {{"x\xe5\xb0"}, "x\xef\xbf\xbd"},
  };
  for (const auto& c : kCases) {
    Utf8Repair repair;
    std::string text;
    for (auto chunk : c.chunks)
      text += repair.feed(chunk);
    text += repair.finish();
    EXPECT_EQ(text, c.text);
  }
}

}  // namespace
}  // namespace zormak
