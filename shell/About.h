#pragma once

#include <string_view>
#include <vector>

namespace zormak::about {

// What the About dialog says, the same on every platform.
inline constexpr std::string_view kProgramName = "ZORMAK";
inline constexpr std::string_view kComment = "把各大平台的视频和音频下载到你的电脑上。";
inline constexpr std::string_view kCopyright = "© 2026 ZORMAK 开发者";
inline constexpr std::string_view kWebsiteLabel = "ZORMAK 网站";
inline constexpr std::string_view kCreditsTitle = "基于";

// The projects ZORMAK stands on, each as "name（role） website" for the
// credits page. The web engine is named as Linux has it; a macOS layer
// would credit WebKit.
const std::vector<std::string_view>& credits();

}  // namespace zormak::about
