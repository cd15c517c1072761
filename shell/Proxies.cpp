#include "Proxies.h"

#include <cctype>

namespace zormak::proxies {

const std::vector<std::string_view> kLoopbackHosts = {"localhost", "127.0.0.0/8", "::1"};

namespace {

std::optional<std::string> variable(const Lookup& lookup, std::string lowerName) {
  std::string upperName = lowerName;
  for (char& c : upperName)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const std::string& name : {lowerName, upperName}) {
    auto value = lookup(name);
    if (value && !value->empty())
      return value;
  }
  return std::nullopt;
}

// no_proxy is a list separated by commas, often with spaces after them.
std::vector<std::string> hostList(const std::string& text) {
  std::vector<std::string> hosts;
  std::string current;
  auto flush = [&] {
    if (!current.empty())
      hosts.push_back(current);
    current.clear();
  };
  for (char c : text) {
    if (c == ',' || std::isspace(static_cast<unsigned char>(c)))
      flush();
    else
      current += c;
  }
  flush();
  return hosts;
}

}  // namespace

std::optional<Settings> fromEnvironment(const Lookup& lookup) {
  Settings settings;
  settings.defaultProxy = variable(lookup, "all_proxy");
  for (const char* scheme : {"http", "https"}) {
    if (auto proxy = variable(lookup, std::string(scheme) + "_proxy"))
      settings.schemes.emplace_back(scheme, *proxy);
  }
  if (!settings.defaultProxy && settings.schemes.empty())
    return std::nullopt;
  if (auto noProxy = variable(lookup, "no_proxy")) {
    settings.ignoreHosts = hostList(*noProxy);
    for (const std::string& host : settings.ignoreHosts) {
      if (host == "*")
        return Settings{{}, {}, {kLoopbackHosts.begin(), kLoopbackHosts.end()}};
    }
  }
  settings.ignoreHosts.insert(settings.ignoreHosts.end(), kLoopbackHosts.begin(),
                              kLoopbackHosts.end());
  return settings;
}

}  // namespace zormak::proxies
