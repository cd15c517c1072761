#pragma once

#include <string_view>

namespace zormak::quitconfirmation {

// What the window asks when the page says work is pending (its
// beforeunload handler) and the user closes the window or quits. The
// downloads run in the service, which keeps them for the next start, so
// quitting loses nothing; staying is the default.
inline constexpr std::string_view kMessage = "还有下载没有完成，确定要退出吗？";
inline constexpr std::string_view kDetail = "退出后下载会暂停，下次启动 ZORMAK 时会自动继续。";
inline constexpr std::string_view kStay = "取消";
inline constexpr std::string_view kQuit = "退出(_Q)";

}  // namespace zormak::quitconfirmation
