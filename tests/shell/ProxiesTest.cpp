#include <gtest/gtest.h>

#include <map>

#include "Proxies.h"

namespace zormak::proxies {
namespace {

using Env = std::map<std::string, std::string>;
using Hosts = std::vector<std::string>;
using Schemes = std::vector<std::pair<std::string, std::string>>;

std::optional<Settings> settingsFor(const Env& env) {
  return fromEnvironment([&](const std::string& name) -> std::optional<std::string> {
    auto it = env.find(name);
    return it == env.end() ? std::nullopt : std::optional<std::string>(it->second);
  });
}

TEST(Proxies, EnvironmentProxiesAreKeptAndLoopbackNeverGoesThroughThem) {
  const Hosts loopback{"localhost", "127.0.0.0/8", "::1"};
  struct Case {
    const char* name;
    Env env;
    std::optional<std::string> defaultProxy;
    Schemes schemes;
    Hosts ignore;
  } cases[] = {
      {"lower case", {{"http_proxy", "http://p:3128"}}, {}, {{"http", "http://p:3128"}}, loopback},
      {"upper case", {{"HTTPS_PROXY", "http://p:1"}}, {}, {{"https", "http://p:1"}}, loopback},
      {"all", {{"ALL_PROXY", "socks://s:1080"}}, "socks://s:1080", {}, loopback},
      {"lower case wins",
       {{"http_proxy", "http://low:1"}, {"HTTP_PROXY", "http://up:1"}},
       {},
       {{"http", "http://low:1"}},
       loopback},
      {"empty lower falls to upper",
       {{"https_proxy", ""}, {"HTTPS_PROXY", "http://up:1"}},
       {},
       {{"https", "http://up:1"}},
       loopback},
      {"every kind",
       {{"all_proxy", "http://a:1"}, {"http_proxy", "http://h:1"}, {"https_proxy", "http://s:1"}},
       "http://a:1",
       {{"http", "http://h:1"}, {"https", "http://s:1"}},
       loopback},
      {"no_proxy kept before loopback",
       {{"http_proxy", "http://p:1"}, {"NO_PROXY", " .corp.example, 10.0.0.0/8 ,,intra"}},
       {},
       {{"http", "http://p:1"}},
       {".corp.example", "10.0.0.0/8", "intra", "localhost", "127.0.0.0/8", "::1"}},
      {"no_proxy star means none",
       {{"http_proxy", "http://p:1"}, {"no_proxy", "*"}},
       {},
       {},
       loopback},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto settings = settingsFor(c.env);
    ASSERT_TRUE(settings);
    EXPECT_EQ(settings->defaultProxy, c.defaultProxy);
    EXPECT_EQ(settings->schemes, c.schemes);
    EXPECT_EQ(settings->ignoreHosts, c.ignore);
  }
}

TEST(Proxies, WithoutAProxyVariableTheSystemSettingsStay) {
  EXPECT_FALSE(settingsFor({}));
  EXPECT_FALSE(settingsFor({{"no_proxy", "localhost"}, {"http_proxy", ""}, {"ftp_proxy", "x"}}));
}

}  // namespace
}  // namespace zormak::proxies
