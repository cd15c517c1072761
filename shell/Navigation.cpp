#include "Navigation.h"

#include <curl/curl.h>

#include <memory>

#include "Text.h"

namespace zormak::navigation {

namespace {

bool hasScheme(std::string_view uri, std::string_view scheme) {
  return uri.size() > scheme.size() && uri[scheme.size()] == ':' &&
         text::asciiLower(uri.substr(0, scheme.size())) == scheme;
}

struct UrlDeleter {
  void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
struct TextDeleter {
  void operator()(char* p) const { curl_free(p); }
};

std::optional<std::string> part(CURLU* url, CURLUPart which, unsigned flags = 0) {
  char* raw = nullptr;
  if (curl_url_get(url, which, &raw, flags) != CURLUE_OK || raw == nullptr)
    return std::nullopt;
  std::unique_ptr<char, TextDeleter> owned(raw);
  return std::string(raw);
}

}  // namespace

std::optional<std::string> originOf(std::string_view url) {
  if (hasScheme(url, "blob"))
    return originOf(url.substr(5));
  if (!hasScheme(url, "http") && !hasScheme(url, "https"))
    return std::nullopt;
  std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
  if (!parsed)
    return std::nullopt;
  std::string text(url);
  if (curl_url_set(parsed.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK)
    return std::nullopt;
  auto scheme = part(parsed.get(), CURLUPART_SCHEME);
  auto host = part(parsed.get(), CURLUPART_HOST);
  auto port = part(parsed.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
  if (!scheme || !host || !port || host->empty())
    return std::nullopt;
  return text::asciiLower(*scheme) + "://" + text::asciiLower(*host) + ":" + *port;
}

bool isBuiltInPage(std::string_view uri) {
  return uri == "about:blank";
}

bool mayOpenInBrowser(std::string_view uri) {
  return hasScheme(uri, "http") || hasScheme(uri, "https") || hasScheme(uri, "mailto");
}

}  // namespace zormak::navigation
