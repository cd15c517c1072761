#pragma once

#include <webkit/webkit.h>

#include <filesystem>

namespace zormak::gtk {

// Empties the HTTP disk cache of the network session whose caches live in
// `cacheDir`, once per start, before anything is loaded. Whatever answered
// on our port in an earlier run, another program among them, could have
// left scripts there with long lifetimes that would run against the real
// server with the real cookie. Site storage and cookies stay.
void clearHttpCache(WebKitNetworkSession* session, const std::filesystem::path& cacheDir);

}  // namespace zormak::gtk
