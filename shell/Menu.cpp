#include "Menu.h"

#include <array>
#include <utility>

namespace zormak {

const std::vector<Menu>& menuBar() {
  static const std::vector<Menu> bar{
      Menu{std::nullopt,
           {
               {"关于 ZORMAK", "orderFrontStandardAboutPanel:", ""},
               {},
               {"隐藏 ZORMAK", "hide:", "h"},
               {},
               {"退出 ZORMAK", "terminate:", "q"},
           }},
      Menu{"编辑",
           {
               {"撤销", "undo:", "z"},
               {"重做", "redo:", "Z"},
               {},
               {"剪切", "cut:", "x"},
               {"拷贝", "copy:", "c"},
               {"粘贴", "paste:", "v"},
               {"全选", "selectAll:", "a"},
           }},
      Menu{"显示",
           {
               {"重新载入", "reloadPage:", "r"},
               {},
               {"实际大小", "resetZoom:", "0"},
               // "+" shares the "=" key on most layouts; either zooms in.
               {"放大", "zoomIn:", "=", {"+"}},
               {"缩小", "zoomOut:", "-"},
           }},
  };
  return bar;
}

std::optional<Shortcut> shortcutFor(std::string_view keyEquivalent) {
  if (keyEquivalent.size() != 1)
    return std::nullopt;
  char c = keyEquivalent[0];
  if (c >= 'A' && c <= 'Z')
    return Shortcut{static_cast<char>(c - 'A' + 'a'), true};
  return Shortcut{c, false};
}

std::optional<std::string_view> editingCommandFor(std::string_view action) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 6> commands{{
      {"undo:", "Undo"},
      {"redo:", "Redo"},
      {"cut:", "Cut"},
      {"copy:", "Copy"},
      {"paste:", "Paste"},
      {"selectAll:", "SelectAll"},
  }};
  for (const auto& [name, command] : commands) {
    if (name == action)
      return command;
  }
  return std::nullopt;
}

}  // namespace zormak
