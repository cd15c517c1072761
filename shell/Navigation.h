#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zormak::navigation {

// "scheme://host:port" of an http or https URL, scheme and host in lower
// case and the port always written; for a blob: URL the origin of the URL it
// wraps. None for anything else or a URL that does not parse.
std::optional<std::string> originOf(std::string_view url);

// The built-in pages are loaded as strings without a base URL, which the
// engine shows as about:blank.
bool isBuiltInPage(std::string_view uri);

// Only web and mail links are handed to the browser: anything else (file:,
// a desktop entry, a custom scheme) could make the desktop run a program.
bool mayOpenInBrowser(std::string_view uri);

}  // namespace zormak::navigation
