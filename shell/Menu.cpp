#include "Menu.h"

namespace zormak {

const std::vector<Menu>& menuBar() {
  using enum MenuAction;
  static const std::vector<Menu> bar{
      Menu{std::nullopt,
           {
               {"关于 ZORMAK", showAbout, ""},
               {},
               {"登录网站…", signIn, ""},
               {},
               {"隐藏 ZORMAK", hide, "h"},
               {},
               {"退出 ZORMAK", quit, "q"},
           }},
      Menu{"编辑",
           {
               {"撤销", undo, "z"},
               {"重做", redo, "Z"},
               {},
               {"剪切", cut, "x"},
               {"拷贝", copy, "c"},
               {"粘贴", paste, "v"},
               {"全选", selectAll, "a"},
           }},
      Menu{"显示",
           {
               {"重新载入", reloadPage, "r"},
               {},
               {"实际大小", resetZoom, "0"},
               // "+" shares the "=" key on most layouts; either zooms in.
               {"放大", zoomIn, "=", {"+"}},
               {"缩小", zoomOut, "-"},
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

std::optional<std::string_view> editingCommandFor(MenuAction action) {
  switch (action) {
    case MenuAction::undo:
      return "Undo";
    case MenuAction::redo:
      return "Redo";
    case MenuAction::cut:
      return "Cut";
    case MenuAction::copy:
      return "Copy";
    case MenuAction::paste:
      return "Paste";
    case MenuAction::selectAll:
      return "SelectAll";
    case MenuAction::showAbout:
    case MenuAction::signIn:
    case MenuAction::hide:
    case MenuAction::quit:
    case MenuAction::reloadPage:
    case MenuAction::resetZoom:
    case MenuAction::zoomIn:
    case MenuAction::zoomOut:
      break;
  }
  return std::nullopt;
}

}  // namespace zormak
