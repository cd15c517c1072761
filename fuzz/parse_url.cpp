// A line of the server's output: parseAnnouncedURL may only answer the loopback
// prefix followed by a run of the line's own characters that forms a valid
// URL, and must find a plain decimal port.
#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Output.h"

namespace {

constexpr std::string_view kPrefix = "http://127.0.0.1:";

void check(bool condition) {
  if (!condition)
    std::abort();
}

bool curlAccepts(const std::string& text) {
  CURLU* url = curl_url();
  check(url != nullptr);
  bool ok = curl_url_set(url, CURLUPART_URL, text.c_str(), 0) == CURLUE_OK;
  curl_url_cleanup(url);
  return ok;
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view line(reinterpret_cast<const char*>(data), size);
  auto url = zormak::parseAnnouncedURL(line);
  size_t at = line.find(kPrefix);
  if (at == std::string_view::npos) {
    check(!url);
    return 0;
  }
  std::string_view rest = line.substr(at + kPrefix.size());
  if (url) {
    std::string_view found(*url);
    check(found.substr(0, kPrefix.size()) == kPrefix);
    std::string_view run = found.substr(kPrefix.size());
    check(!run.empty() && rest.substr(0, run.size()) == run);
    check(run.find_first_of("/?#@ \t\r\n") == std::string_view::npos);
    check(curlAccepts(*url));
  }
  // A decimal port of up to five digits in 1...65535, followed by the end or
  // by another ASCII character, is always found.
  size_t digits = 0;
  while (digits < rest.size() && isDigit(rest[digits]))
    ++digits;
  bool asciiEnd = digits == rest.size() || static_cast<unsigned char>(rest[digits]) < 0x80;
  if (digits >= 1 && digits <= 5 && asciiEnd) {
    long port = std::strtol(std::string(rest.substr(0, digits)).c_str(), nullptr, 10);
    if (port >= 1 && port <= 65535)
      check(url == std::string(kPrefix) + std::string(rest.substr(0, digits)));
  }
  if (rest.empty() || !isDigit(rest.front())) {
    // Only digits of other scripts could start a run; none makes a URL.
    check(!url);
  }
  return 0;
}
