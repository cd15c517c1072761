// The error page shows messages that carry paths and system texts. The
// escaped message may hold no markup but the line breaks, must give back the
// message when unescaped, and must sit whole between the page's two pieces
// (the closing one telling to reinstall when the message says only that helps).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Pages.h"
#include "ZormakError.h"

namespace {

void check(bool condition) {
  if (!condition)
    std::abort();
}

// Undoes the four replacements. A '&' or '<' that starts none of them, or a
// '>' or line feed of its own, is markup the escaping let through.
std::string unescape(std::string_view html) {
  static constexpr std::pair<std::string_view, char> kEntities[] = {
      {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"<br>", '\n'}};
  std::string out;
  while (!html.empty()) {
    char c = html.front();
    if (c == '&' || c == '<') {
      bool matched = false;
      for (auto [entity, plain] : kEntities) {
        if (html.substr(0, entity.size()) == entity) {
          out += plain;
          html.remove_prefix(entity.size());
          matched = true;
          break;
        }
      }
      check(matched);
      continue;
    }
    check(c != '>' && c != '\n');
    out += c;
    html.remove_prefix(1);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view message(reinterpret_cast<const char*>(data), size);
  std::string escaped = zormak::pages::escapeMessage(message);
  check(unescape(escaped) == message);

  std::string page = zormak::pages::errorPage(message);
  const auto& head = zormak::pages::kErrorPageHead;
  const auto& tail = zormak::pages::kErrorPageTail;
  check(page.size() > head.size() + escaped.size());
  check(std::string_view(page).substr(0, head.size()) == head);
  check(std::string_view(page).substr(head.size(), escaped.size()) == escaped);
  const std::string_view rest = std::string_view(page).substr(head.size() + escaped.size());
  if (message.find(zormak::kReinstallAdvice) == std::string_view::npos)
    check(rest == tail);
  else
    check(rest.starts_with("</p>") && rest.find("重启") == std::string_view::npos);
  // The message never closes the paragraph it is put in.
  check(page.find("</p>", head.size()) == head.size() + escaped.size());
  return 0;
}
