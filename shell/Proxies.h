#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zormak::proxies {

// Hosts that never go through a proxy: the served application lives there,
// and a proxy would either not reach it or see everything the window sends.
extern const std::vector<std::string_view> kLoopbackHosts;

struct Settings {
  std::optional<std::string> defaultProxy;                   // for every other scheme
  std::vector<std::pair<std::string, std::string>> schemes;  // scheme, proxy
  std::vector<std::string> ignoreHosts;                      // always ends with kLoopbackHosts
};

// Reads an environment variable; none when it is unset.
using Lookup = std::function<std::optional<std::string>(const std::string& name)>;

// The proxies that the usual variables ask for (all_proxy, http_proxy,
// https_proxy and no_proxy, the lower-case name first, then the upper-case
// one; an empty value counts as unset), with loopback always left out. None
// when no variable names a proxy: the system's settings then apply, and
// those leave loopback out by default.
std::optional<Settings> fromEnvironment(const Lookup& lookup);

}  // namespace zormak::proxies
