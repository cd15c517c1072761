// The pid file's text: PidFile::parse must agree with a plain reference reading of
// an optionally signed decimal number in the 32-bit range.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "PidFile.h"

namespace {

std::optional<std::int64_t> reference(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty())
    return std::nullopt;
  for (char c : text) {
    if (c < '0' || c > '9')
      return std::nullopt;
  }
  while (text.size() > 1 && text.front() == '0')
    text.remove_prefix(1);
  if (text.size() > 10)
    return std::nullopt;
  std::int64_t value = std::stoll(std::string(text));
  if (negative)
    value = -value;
  if (value < INT32_MIN || value > INT32_MAX)
    return std::nullopt;
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto got = zormak::PidFile::parse(text);
  auto want = reference(text);
  if (got.has_value() != want.has_value() || (got && *got != *want))
    std::abort();
  return 0;
}
