#include "SignInCookies.h"

#include <algorithm>

#include "Text.h"

namespace zormak::signin {

namespace {

bool breaksLine(std::string_view field) {
  return field.find_first_of("\t\r\n") != std::string_view::npos;
}

// `name` is `site` or one of its subdomains.
bool within(std::string_view name, std::string_view site) {
  return name == site || (name.size() > site.size() && name.ends_with(site) &&
                          name[name.size() - site.size() - 1] == '.');
}

// An address rather than a name: it has no subdomains.
bool isAddress(std::string_view name) {
  return name.find(':') != std::string_view::npos ||
         name.find_first_not_of("0123456789.") == std::string_view::npos;
}

}  // namespace

std::optional<std::string> netscapeLine(const Cookie& c) {
  if (c.domain.empty() || c.name.empty() || breaksLine(c.domain) || breaksLine(c.path) ||
      breaksLine(c.name) || breaksLine(c.value) || c.name.starts_with('#'))
    return std::nullopt;
  // The engine reads "#HttpOnly_" as a mark on the line, not as a comment,
  // and takes the second field as saying whether the domain has its dot.
  std::string line = c.httpOnly ? "#HttpOnly_" : "";
  line += c.domain + '\t' + (c.domain.starts_with('.') ? "TRUE" : "FALSE") + '\t' +
          (c.path.empty() ? "/" : c.path) + '\t' + (c.secure ? "TRUE" : "FALSE") + '\t' +
          std::to_string(std::max<std::int64_t>(c.expires, 0)) + '\t' + c.name + '\t' + c.value +
          '\n';
  return line;
}

std::string netscapeFile(const std::vector<Cookie>& cookies) {
  std::string file = "# Netscape HTTP Cookie File\n";
  for (const Cookie& cookie : cookies)
    if (auto line = netscapeLine(cookie))
      file += *line;
  return file;
}

bool belongsToSite(std::string_view dataName, std::string_view site) {
  const std::string name = text::asciiLower(dataName), wanted = text::asciiLower(site);
  if (name.empty() || wanted.empty())
    return false;
  if (isAddress(name) || isAddress(wanted))
    return name == wanted;
  // The engine's registered names and ours may differ in depth (a country's
  // second level): either side may hold the other.
  return within(name, wanted) || within(wanted, name);
}

}  // namespace zormak::signin
