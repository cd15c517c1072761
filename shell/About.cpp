#include "About.h"

namespace zormak::about {

const std::vector<std::string_view>& credits() {
  static const std::vector<std::string_view> list{
      "yt-dlp（下载引擎） https://github.com/yt-dlp/yt-dlp",
      "FFmpeg（音频提取） https://ffmpeg.org/",
      "WebKitGTK（网页引擎） https://webkitgtk.org/",
  };
  return list;
}

}  // namespace zormak::about
