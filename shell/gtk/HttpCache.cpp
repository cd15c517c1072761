#include "HttpCache.h"

#include <system_error>

namespace zormak::gtk {

void clearHttpCache(WebKitNetworkSession* session, const std::filesystem::path& cacheDir) {
  // WebKit keeps its HTTP cache in WebKitCache below the session's cache
  // folder; its network process opens it only with the first load. The
  // folder goes now, synchronously, so that no load of this run can find an
  // entry; the data manager's clear covers what the engine keeps elsewhere.
  // Nothing here may stop the start.
  std::error_code ignored;
  std::filesystem::remove_all(cacheDir / "WebKitCache", ignored);
  WebKitWebsiteDataManager* manager = webkit_network_session_get_website_data_manager(session);
  webkit_website_data_manager_clear(
      manager,
      static_cast<WebKitWebsiteDataTypes>(WEBKIT_WEBSITE_DATA_DISK_CACHE |
                                          WEBKIT_WEBSITE_DATA_MEMORY_CACHE),
      0, nullptr, nullptr, nullptr);
}

}  // namespace zormak::gtk
