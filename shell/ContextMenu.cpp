#include "ContextMenu.h"

namespace zormak::contextmenu {

std::vector<std::size_t> kept(const std::vector<Item>& offered) {
  std::vector<std::size_t> out;
  bool separatorPending = false;
  for (std::size_t i = 0; i < offered.size(); ++i) {
    switch (offered[i]) {
      case Item::Other:
        break;
      case Item::Separator:
        // Placed only once an item follows it, and never first.
        separatorPending = !out.empty();
        break;
      default:
        if (separatorPending) {
          // The separator closest to the item stands for the run.
          std::size_t separator = i;
          while (offered[separator] != Item::Separator)
            --separator;
          out.push_back(separator);
          separatorPending = false;
        }
        out.push_back(i);
    }
  }
  return out;
}

std::string_view title(Item item) {
  switch (item) {
    case Item::Cut:
      return "剪切";
    case Item::Copy:
      return "拷贝";
    case Item::Paste:
      return "粘贴";
    case Item::PasteAsPlainText:
      return "粘贴为纯文本";
    case Item::Delete:
      return "删除";
    case Item::SelectAll:
      return "全选";
    case Item::InsertEmoji:
      return "插入表情符号";
    case Item::NoGuessesFound:
      return "没有拼写建议";
    case Item::IgnoreSpelling:
      return "忽略拼写";
    case Item::LearnSpelling:
      return "记住拼写";
    case Item::CopyLink:
      return "拷贝链接地址";
    case Item::Separator:
    case Item::SpellingGuess:
    case Item::Other:
      break;
  }
  return {};
}

}  // namespace zormak::contextmenu
