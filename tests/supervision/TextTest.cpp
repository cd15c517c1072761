#include <gtest/gtest.h>

#include "TempDir.h"
#include "Text.h"

namespace zormak::text {
namespace {

TEST(Text, Utf8Validation) {
  EXPECT_TRUE(isValidUtf8(""));
  EXPECT_TRUE(isValidUtf8("ascii only"));
  EXPECT_TRUE(isValidUtf8("启动 · 😀"));
  EXPECT_FALSE(isValidUtf8("\xff"));
  EXPECT_FALSE(isValidUtf8("\xc0\xaf"));          // overlong "/"
  EXPECT_FALSE(isValidUtf8("\xed\xa0\x80"));      // a surrogate
  EXPECT_FALSE(isValidUtf8("\xf4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(isValidUtf8("\xe5\x90"));          // a character cut in two
}

TEST(Text, TrimsUnicodeBlanksAndLineBreaksAtBothEndsOnly) {
  EXPECT_EQ(trimWhitespaceAndNewlines("  1.2.0\n"), "1.2.0");
  EXPECT_EQ(trimWhitespaceAndNewlines("\t\r\n\v\f 731 \r\n"), "731");
  // NEL, no-break space, ideographic space, line and paragraph separators
  // (a universal character name takes four digits, so the 7 is text).
  EXPECT_EQ(trimWhitespaceAndNewlines("\u0085\u00a0\u30007\u2028\u2029"), "7");
  EXPECT_EQ(trimWhitespaceAndNewlines("1 2"), "1 2");
  EXPECT_EQ(trimWhitespaceAndNewlines(" \n\t"), "");
  // Not white space in this sense: zero-width space and BOM stay.
  EXPECT_EQ(trimWhitespaceAndNewlines("\u200b1\ufeff"), "\u200b1\ufeff");
}

TEST(Text, CanonicalEquivalence) {
  EXPECT_TRUE(canonicallyEqual("1.0", "1.0"));
  EXPECT_FALSE(canonicallyEqual("1.0", "1.0.0"));
  EXPECT_TRUE(canonicallyEqual("caf\xc3\xa9", "cafe\xcc\x81"));  // é composed and decomposed
  EXPECT_FALSE(canonicallyEqual("A", "a"));
}

TEST(Text, ReadsOnlyValidUtf8Files) {
  testing::TempDir dir;
  testing::writeFile(dir / "ok", "版本 2\n");
  testing::writeFile(dir / "bad", "2\xff");
  EXPECT_EQ(readUtf8File((dir / "ok").string()), "版本 2\n");
  EXPECT_EQ(readUtf8File((dir / "bad").string()), std::nullopt);
  EXPECT_EQ(readUtf8File((dir / "missing").string()), std::nullopt);
  EXPECT_EQ(readUtf8File(dir.path().string()), std::nullopt);  // a directory
}

}  // namespace
}  // namespace zormak::text
