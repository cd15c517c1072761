#include "SignInCookies.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace zormak::signin {
namespace {

TEST(SignInCookies, LinesAreWhatTheEngineReadsAndNothingBreaksThem) {
  struct Row {
    Cookie cookie;
    std::optional<std::string> line;
  };
  const Row rows[] = {
      // A session cookie of one host, kept from scripts.
      {{"127.0.0.1", "/", "sid", "abc", false, true, 0},
       "#HttpOnly_127.0.0.1\tFALSE\t/\tFALSE\t0\tsid\tabc\n"},
      // A domain cookie over https with an expiry; an empty path is the root.
      {{".example.com", "", "LOGIN", "a=b c", true, false, 4102444800},
       ".example.com\tTRUE\t/\tTRUE\t4102444800\tLOGIN\ta=b c\n"},
      {{"example.com", "/", "x", "", false, false, -5}, "example.com\tFALSE\t/\tFALSE\t0\tx\t\n"},
      // A tab or line break would make one cookie into two, or another's.
      {{"example.com", "/", "x", "a\tb", false, false, 0}, std::nullopt},
      {{"example.com", "/", "x", "a\nevil.com\tTRUE", false, false, 0}, std::nullopt},
      {{"example.com\r", "/", "x", "1", false, false, 0}, std::nullopt},
      // A name the engine would read as a comment, and no name or domain at all.
      {{"example.com", "/", "#c", "1", false, false, 0}, std::nullopt},
      {{"example.com", "/", "", "1", false, false, 0}, std::nullopt},
      {{"", "/", "x", "1", false, false, 0}, std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.cookie.name + "=" + row.cookie.value);
    EXPECT_EQ(netscapeLine(row.cookie), row.line);
  }
  EXPECT_EQ(netscapeFile({rows[0].cookie, rows[3].cookie}),
            "# Netscape HTTP Cookie File\n" + *rows[0].line);
}

TEST(SignInCookies, SigningOutOfASiteTakesItsDataAndNoOthers) {
  struct Row {
    const char* dataName;
    const char* site;
    bool belongs;
  };
  const Row rows[] = {
      {"example.com", "example.com", true}, {"Example.COM", "example.com", true},
      {"example.co.uk", "co.uk", true},     {"example.co.uk", "example.co.uk", true},
      {"127.0.0.1", "127.0.0.1", true},     {"notexample.com", "example.com", false},
      {"example.com", "ample.com", false},  {"127.0.0.10", "127.0.0.1", false},
      {"127.0.0.1", "0.0.1", false},        {"", "example.com", false},
      {"example.com", "", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.dataName) + " / " + row.site);
    EXPECT_EQ(belongsToSite(row.dataName, row.site), row.belongs);
  }
}

}  // namespace
}  // namespace zormak::signin
