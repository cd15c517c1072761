#include "Text.h"

#include <fcntl.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>
#include <unistd.h>

#include <cerrno>

#include "UniqueFd.h"

namespace zormak::text {

std::string asciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool isValidUtf8(std::string_view bytes) {
  const auto* s = reinterpret_cast<const uint8_t*>(bytes.data());
  const auto length = static_cast<int32_t>(bytes.size());
  int32_t i = 0;
  while (i < length) {
    if (s[i] < 0x80) {  // fast path for ASCII, the bulk of a server's output
      ++i;
      continue;
    }
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0)
      return false;
  }
  return true;
}

namespace {

bool isTrimmed(UChar32 c) {
  if ((c >= 0x09 && c <= 0x0D) || c == 0x85)
    return true;
  switch (u_charType(c)) {
    case U_SPACE_SEPARATOR:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string_view trimWhitespaceAndNewlines(std::string_view utf8) {
  const auto* s = reinterpret_cast<const uint8_t*>(utf8.data());
  const auto length = static_cast<int32_t>(utf8.size());
  int32_t begin = 0;
  while (begin < length) {
    int32_t next = begin;
    UChar32 c;
    U8_NEXT(s, next, length, c);
    if (c < 0 || !isTrimmed(c))
      break;
    begin = next;
  }
  int32_t end = length;
  while (end > begin) {
    int32_t previous = end;
    UChar32 c;
    U8_PREV(s, 0, previous, c);
    if (c < 0 || !isTrimmed(c))
      break;
    end = previous;
  }
  return utf8.substr(static_cast<size_t>(begin), static_cast<size_t>(end - begin));
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
  if (a == b)
    return true;
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status))
    return false;
  auto ua =
      icu::UnicodeString::fromUTF8(icu::StringPiece(a.data(), static_cast<int32_t>(a.size())));
  auto ub =
      icu::UnicodeString::fromUTF8(icu::StringPiece(b.data(), static_cast<int32_t>(b.size())));
  icu::UnicodeString na = nfc->normalize(ua, status);
  icu::UnicodeString nb = nfc->normalize(ub, status);
  return U_SUCCESS(status) && na == nb;
}

std::optional<std::string> readUtf8File(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd)
    return std::nullopt;
  std::string content;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n > 0) {
      content.append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      return std::nullopt;  // a directory, an I/O error
    }
  }
  if (!isValidUtf8(content))
    return std::nullopt;
  return content;
}

}  // namespace zormak::text
