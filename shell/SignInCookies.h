#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zormak::signin {

// One cookie of the sign-in window's jar, as the platform's store gives it.
struct Cookie {
  std::string domain;  // ".example.com" for the domain and its subdomains
  std::string path;
  std::string name;
  std::string value;
  bool secure = false;
  bool httpOnly = false;
  std::int64_t expires = 0;  // seconds since the epoch; 0 ends with the session
};

// The cookie as a line of a Netscape cookie file, the format the download
// engine reads; none for a cookie whose fields would break the line.
std::optional<std::string> netscapeLine(const Cookie& cookie);

// The whole jar as a Netscape cookie file.
std::string netscapeFile(const std::vector<Cookie>& cookies);

// Whether the site data the web engine names `dataName` (its registered
// name: "example.com", "127.0.0.1") belongs to `site` as the settings page
// lists it, so that signing out of the site removes it.
bool belongsToSite(std::string_view dataName, std::string_view site);

}  // namespace zormak::signin
