#include <curl/curl.h>
#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <cstring>
#include <memory>

#include "ServerController.h"

namespace zormak {

namespace {
constexpr std::string_view kPrefix = "http://127.0.0.1:";
}

// Cuts the output into lines as it arrives. Only the bytes each chunk adds
// are scanned, and an unfinished line longer than kMaxLineLength is dropped
// up to its line end: a progress display redrawn with carriage returns for
// hours would otherwise grow the buffer without bound.
//
// A line end is a line feed that is a character of its own: one directly
// after a carriage return forms a single CR LF character with it.
void ServerController::ingest(std::string_view chunk) {
  log(chunk);
  size_t lineStart = 0, position = 0;
  while (const void* found = std::memchr(chunk.data() + position, '\n', chunk.size() - position)) {
    size_t at = static_cast<size_t>(static_cast<const char*>(found) - chunk.data());
    bool afterCR = at > 0 ? chunk[at - 1] == '\r' : lastByteWasCR_;
    position = at + 1;
    if (afterCR)
      continue;
    if (!discardingLine_) {
      lineBuffer_.append(chunk.substr(lineStart, at - lineStart));
      if (auto url = parseURL(lineBuffer_))
        markReady(*url);
    }
    lineBuffer_.clear();
    discardingLine_ = false;
    lineStart = at + 1;
  }
  if (!discardingLine_)
    lineBuffer_.append(chunk.substr(lineStart));
  if (!chunk.empty())
    lastByteWasCR_ = chunk.back() == '\r';
  if (lineBuffer_.size() > kMaxLineLength) {
    lineBuffer_.clear();
    lineBuffer_.shrink_to_fit();
    discardingLine_ = true;
  }
}

std::optional<std::string> ServerController::parseURL(std::string_view line) {
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

  CURLU* url = curl_url();
  if (!url)
    return std::nullopt;
  CURLUcode parsed = curl_url_set(url, CURLUPART_URL, candidate.c_str(), 0);
  curl_url_cleanup(url);
  if (parsed != CURLUE_OK)
    return std::nullopt;
  // The absolute string of a URL without a path: no trailing slash.
  return candidate;
}

}  // namespace zormak
