#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace zormak::contextmenu {

// What the web engine offers in a page's context menu, as far as the shell
// decides on it. The platform layer maps the engine's own actions here;
// everything the shell has no use for (navigation, opening in a new
// window, downloading or opening images and media, inspecting, the input
// method and Unicode control character submenus) is Other.
enum class Item {
  Separator,
  // Editing, offered in text fields.
  Cut,
  Copy,
  Paste,
  PasteAsPlainText,
  Delete,
  SelectAll,
  InsertEmoji,
  SpellingGuess,
  NoGuessesFound,
  IgnoreSpelling,
  LearnSpelling,
  // On a link.
  CopyLink,
  Other,
};

// The positions in `offered` of what the window shows: the editing
// commands, copy and copy link, in the engine's order, with separators only
// between kept items, never two in a row and never at either end. Empty
// when nothing is left: then no menu opens.
std::vector<std::size_t> kept(const std::vector<Item>& offered);

// The Chinese title the window gives a kept item, whatever the language of
// the desktop; empty where the engine's own text stays (a spelling guess
// is the word itself, a separator has none).
std::string_view title(Item item);

}  // namespace zormak::contextmenu
