#include "Links.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>

namespace zormak::links {

namespace {

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) ==
                  std::tolower(static_cast<unsigned char>(b));
         });
}

bool startsWebAddress(std::string_view text) {
  return startsWithNoCase(text, "http://") || startsWithNoCase(text, "https://");
}

// Ends an address found in free text.
bool endsAddress(unsigned char c) {
  return c <= 0x20 || c >= 0x7f || c == '"' || c == '\'' || c == '<' || c == '>' || c == '`' ||
         c == '{' || c == '}' || c == '|' || c == '\\' || c == '^';
}

struct UrlDeleter {
  void operator()(CURLU* u) const { curl_url_cleanup(u); }
};

int hexValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// %XX sequences decoded; a broken one stays as it is.
std::string percentDecoded(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const int high = hexValue(text[i + 1]), low = hexValue(text[i + 2]);
      if (high >= 0 && low >= 0) {
        out += static_cast<char>(high * 16 + low);
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

// Adds `address` unless it is there already or the list is full.
void collect(std::vector<std::string>& found, std::string address) {
  if (found.size() < kMaxAddresses && std::find(found.begin(), found.end(), address) == found.end())
    found.push_back(std::move(address));
}

}  // namespace

bool isWebAddress(std::string_view text) {
  if (text.empty() || text.size() > kMaxLength || !startsWebAddress(text))
    return false;
  // libcurl reads "https:///path" as the host "path"; a browser would not.
  const std::size_t authority = text.find("://") + 3;
  if (authority >= text.size() || text[authority] == '/')
    return false;
  if (std::any_of(text.begin(), text.end(),
                  [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7f; }))
    return false;
  std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
  if (!url)
    return false;
  const std::string copy(text);
  if (curl_url_set(url.get(), CURLUPART_URL, copy.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
    return false;
  char* host = nullptr;
  const bool hasHost =
      curl_url_get(url.get(), CURLUPART_HOST, &host, 0) == CURLUE_OK && host && host[0] != '\0';
  curl_free(host);
  return hasHost;
}

std::vector<std::string> fromText(std::string_view text) {
  std::vector<std::string> found;
  for (std::size_t i = 0; i < text.size(); ++i) {
    // An address starts at "http" that does not continue a word ("xhttp://").
    if (!startsWebAddress(text.substr(i)) ||
        (i > 0 && std::isalnum(static_cast<unsigned char>(text[i - 1]))))
      continue;
    std::size_t end = i;
    while (end < text.size() && !endsAddress(static_cast<unsigned char>(text[end])))
      ++end;
    std::string_view candidate = text.substr(i, end - i);
    // Sentence punctuation after an address, and a bracket that closes one
    // the address did not open.
    while (!candidate.empty()) {
      const char last = candidate.back();
      const bool closes = (last == ')' && candidate.find('(') == std::string_view::npos) ||
                          (last == ']' && candidate.find('[') == std::string_view::npos);
      if (!closes && std::string_view(".,;:!?").find(last) == std::string_view::npos)
        break;
      candidate.remove_suffix(1);
    }
    if (isWebAddress(candidate))
      collect(found, std::string(candidate));
    i = end == i ? i : end - 1;
  }
  return found;
}

std::vector<std::string> fromUriList(std::string_view list) {
  std::vector<std::string> found;
  while (!list.empty()) {
    const std::size_t newline = list.find('\n');
    std::string_view line = list.substr(0, newline);
    list = newline == std::string_view::npos ? std::string_view() : list.substr(newline + 1);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
      line.remove_suffix(1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
      line.remove_prefix(1);
    if (line.empty() || line.front() == '#')
      continue;
    if (isWebAddress(line))
      collect(found, std::string(line));
  }
  return found;
}

std::optional<std::string> fromSchemeAddress(std::string_view address) {
  if (address.size() > 3 * kMaxLength || address.size() <= kScheme.size() ||
      !startsWithNoCase(address, kScheme) || address[kScheme.size()] != ':')
    return std::nullopt;
  std::string_view rest = address.substr(kScheme.size() + 1);
  if (rest.substr(0, 2) == "//")
    rest.remove_prefix(2);
  std::string carried;
  if (startsWithNoCase(rest, "add?url=") || startsWithNoCase(rest, "?url=")) {
    rest.remove_prefix(rest.find('=') + 1);
    carried = percentDecoded(rest.substr(0, rest.find('&')));
  } else if (startsWithNoCase(rest, "http%3a") || startsWithNoCase(rest, "https%3a")) {
    carried = percentDecoded(rest);
  } else {
    carried = std::string(rest);
  }
  if (!isWebAddress(carried))
    return std::nullopt;
  return carried;
}

std::vector<std::string> fromArguments(const std::vector<std::string>& arguments) {
  std::vector<std::string> found;
  for (const std::string& argument : arguments) {
    if (isWebAddress(argument))
      collect(found, argument);
    else if (auto carried = fromSchemeAddress(argument))
      collect(found, std::move(*carried));
  }
  return found;
}

std::optional<std::string> jsonString(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      if (c == '"' || c == '\\') {
        out += '\\';
        out += static_cast<char>(c);
      } else if (c < 0x20 || c == 0x7f) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
        out += escaped;
      } else {
        out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    // One UTF-8 sequence, checked for its length, its continuation bytes,
    // overlong forms, surrogates and the end of Unicode.
    const std::size_t length = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc0 ? 2 : 0;
    if (length == 0 || c > 0xf4 || i + length > text.size())
      return std::nullopt;
    char32_t point = c & (0xff >> (length + 1));
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xc0) != 0x80)
        return std::nullopt;
      point = (point << 6) | (next & 0x3f);
    }
    static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < kLeast[length] || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff))
      return std::nullopt;
    if (point == 0x2028 || point == 0x2029)
      out += point == 0x2028 ? "\\u2028" : "\\u2029";
    else
      out.append(text.substr(i, length));
    i += length;
  }
  out += '"';
  return out;
}

}  // namespace zormak::links
