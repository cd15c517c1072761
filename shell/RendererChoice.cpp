#include "RendererChoice.h"

#include <algorithm>
#include <array>

#include "Text.h"

namespace zormak::renderer {

namespace {

// What the environment or a driver said, fit for one log line.
std::string printable(std::string_view text) {
  std::string out(text.substr(0, 200));
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      c = '?';
  }
  return out;
}

}  // namespace

bool isSoftwareRasterizer(std::string_view glName) {
  // Mesa's EGL driver name for its software drivers is "swrast" (or
  // "kms_swrast"); the GL renderer strings name the rasterizer itself.
  static constexpr std::array<std::string_view, 6> kSoftware = {
      "llvmpipe", "softpipe", "swrast", "swiftshader", "lavapipe", "software rasterizer"};
  const std::string name = text::asciiLower(glName);
  return std::any_of(kSoftware.begin(), kSoftware.end(), [&](std::string_view software) {
    return name.find(software) != std::string::npos;
  });
}

Choice choose(const Facts& facts) {
  Choice choice;
  if (facts.userRenderer) {
    choice.logLine =
        "[ZORMAK] 图形渲染：沿用环境中的 GSK_RENDERER=" + printable(*facts.userRenderer) + "\n";
    return choice;
  }
  if (facts.softwareOnly) {
    choice.useCairo = true;
    choice.webAcceleration = false;
    choice.logLine =
        "[ZORMAK] 图形渲染：显示服务器不提供 GPU 渲染（无 DRI），GL 只能是软件渲染，"
        "窗口改用 cairo 绘制，网页关闭硬件加速\n";
    return choice;
  }
  if (!facts.glName) {
    // GTK finds out itself and falls back to cairo where GL does not work.
    choice.logLine =
        "[ZORMAK] 图形渲染：无法查询 GL（" + printable(facts.problem) + "），由 GTK 选择\n";
    return choice;
  }
  if (!isSoftwareRasterizer(*facts.glName)) {
    choice.logLine =
        "[ZORMAK] 图形渲染：GL 由显卡驱动（" + printable(*facts.glName) + "），使用 GL\n";
    return choice;
  }
  choice.useCairo = true;
  choice.webAcceleration = false;
  choice.logLine = "[ZORMAK] 图形渲染：GL 是软件渲染（" + printable(*facts.glName) +
                   "），窗口改用 cairo 绘制，网页关闭硬件加速\n";
  return choice;
}

}  // namespace zormak::renderer
