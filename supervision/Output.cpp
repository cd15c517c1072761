#include "Output.h"

#include <curl/curl.h>
#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <cstring>
#include <memory>

#include "ServerController.h"

namespace zormak {

namespace {
constexpr std::string_view kPrefix = "http://127.0.0.1:";
constexpr std::string_view kReplacement = "\xef\xbf\xbd";  // U+FFFD
}  // namespace

void LineSplitter::feed(std::string_view chunk, const LineHandler& onLine) {
  size_t lineStart = 0, position = 0;
  while (const void* found = std::memchr(chunk.data() + position, '\n', chunk.size() - position)) {
    size_t at = static_cast<size_t>(static_cast<const char*>(found) - chunk.data());
    bool afterCR = at > 0 ? chunk[at - 1] == '\r' : lastByteWasCR_;
    position = at + 1;
    if (afterCR)
      continue;
    if (!discarding_) {
      buffer_.append(chunk.substr(lineStart, at - lineStart));
      onLine(buffer_);
    }
    buffer_.clear();
    discarding_ = false;
    lineStart = at + 1;
  }
  if (!discarding_)
    buffer_.append(chunk.substr(lineStart));
  if (!chunk.empty())
    lastByteWasCR_ = chunk.back() == '\r';
  if (buffer_.size() > kMaxLineLength) {
    buffer_.clear();
    buffer_.shrink_to_fit();
    discarding_ = true;
  }
}

std::string Utf8Repair::feed(std::string_view chunk) {
  std::string joined;
  if (!pending_.empty()) {
    joined = pending_ + std::string(chunk);
    chunk = joined;
    pending_.clear();
  }
  const auto* s = reinterpret_cast<const uint8_t*>(chunk.data());
  const auto length = static_cast<int32_t>(chunk.size());
  std::string out;
  out.reserve(chunk.size());
  int32_t i = 0, validFrom = 0;
  while (i < length) {
    if (s[i] < 0x80) {  // the bulk of a server's output
      ++i;
      continue;
    }
    const int32_t start = i;
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c >= 0)
      continue;
    out.append(
        chunk.substr(static_cast<size_t>(validFrom), static_cast<size_t>(start - validFrom)));
    validFrom = i;
    // ICU consumes the longest prefix that could still become a character;
    // reaching the end that way means the read cut a character in two.
    if (i == length && U8_IS_LEAD(s[start]) && U8_COUNT_TRAIL_BYTES(s[start]) >= length - start) {
      pending_.assign(chunk.substr(static_cast<size_t>(start)));
      return out;
    }
    out.append(kReplacement);
  }
  out.append(chunk.substr(static_cast<size_t>(validFrom)));
  return out;
}

std::string Utf8Repair::finish() {
  if (pending_.empty())
    return {};
  pending_.clear();
  return std::string(kReplacement);
}

std::optional<std::string> parseAnnouncedURL(std::string_view line) {
  size_t at = line.find(kPrefix);
  if (at == std::string_view::npos)
    return std::nullopt;
  std::string_view rest = line.substr(at + kPrefix.size());

  // Take user-perceived characters while the first code point of each has a
  // numeric type: digits of any script, fractions, circled numbers.
  auto text = icu::UnicodeString::fromUTF8(
      icu::StringPiece(rest.data(), static_cast<int32_t>(rest.size())));
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> clusters(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status))
    return std::nullopt;
  clusters->setText(text);
  int32_t end = 0;
  for (int32_t next = clusters->next(); next != icu::BreakIterator::DONE; next = clusters->next()) {
    if (u_getIntPropertyValue(text.char32At(end), UCHAR_NUMERIC_TYPE) == U_NT_NONE)
      break;
    end = next;
  }
  if (end == 0)
    return std::nullopt;
  std::string run;
  text.tempSubString(0, end).toUTF8String(run);
  std::string candidate = std::string(kPrefix) + run;

  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), curl_url_cleanup);
  if (!url || curl_url_set(url.get(), CURLUPART_URL, candidate.c_str(), 0) != CURLUE_OK)
    return std::nullopt;
  // The absolute string of a URL without a path: no trailing slash.
  return candidate;
}

// The controller's output watcher. Each chunk is logged, repaired, before its
// lines are looked at, so the ready line follows the announcing chunk.
void ServerController::ingest(OutputState& output, std::string_view bytes, bool end,
                              std::uint64_t launch) {
  const std::string text = end ? output.utf8.finish() : output.utf8.feed(bytes);
  if (text.empty())
    return;
  log(text);
  output.lines.feed(text, [&](std::string_view line) {
    auto url = parseURL(line);
    if (!url)
      return;
    if (*url == output.expectedURL)
      markReady(*url, launch);
    else
      log("[ZORMAK] 输出中的地址不是本次启动的端口，不予理会：" + *url + "\n");
  });
}

std::optional<std::string> ServerController::parseURL(std::string_view line) {
  return parseAnnouncedURL(line);
}

}  // namespace zormak
