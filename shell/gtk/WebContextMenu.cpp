#include "WebContextMenu.h"

#include <string>
#include <vector>

#include "ContextMenu.h"

namespace zormak::gtk {

namespace {

contextmenu::Item contextItem(WebKitContextMenuItem* item) {
  using contextmenu::Item;
  if (webkit_context_menu_item_is_separator(item))
    return Item::Separator;
  switch (webkit_context_menu_item_get_stock_action(item)) {
    case WEBKIT_CONTEXT_MENU_ACTION_CUT:
      return Item::Cut;
    case WEBKIT_CONTEXT_MENU_ACTION_COPY:
      return Item::Copy;
    case WEBKIT_CONTEXT_MENU_ACTION_PASTE:
      return Item::Paste;
    case WEBKIT_CONTEXT_MENU_ACTION_PASTE_AS_PLAIN_TEXT:
      return Item::PasteAsPlainText;
    case WEBKIT_CONTEXT_MENU_ACTION_DELETE:
      return Item::Delete;
    case WEBKIT_CONTEXT_MENU_ACTION_SELECT_ALL:
      return Item::SelectAll;
    case WEBKIT_CONTEXT_MENU_ACTION_INSERT_EMOJI:
      return Item::InsertEmoji;
    case WEBKIT_CONTEXT_MENU_ACTION_SPELLING_GUESS:
      return Item::SpellingGuess;
    case WEBKIT_CONTEXT_MENU_ACTION_NO_GUESSES_FOUND:
      return Item::NoGuessesFound;
    case WEBKIT_CONTEXT_MENU_ACTION_IGNORE_SPELLING:
      return Item::IgnoreSpelling;
    case WEBKIT_CONTEXT_MENU_ACTION_LEARN_SPELLING:
      return Item::LearnSpelling;
    case WEBKIT_CONTEXT_MENU_ACTION_COPY_LINK_TO_CLIPBOARD:
      return Item::CopyLink;
    default:
      return Item::Other;
  }
}

}  // namespace

// Navigation, new windows, downloads and the inspector belong to a browser.
gboolean trimContextMenu(WebKitContextMenu* menu) {
  std::vector<WebKitContextMenuItem*> items;
  std::vector<contextmenu::Item> offered;
  for (GList* l = webkit_context_menu_get_items(menu); l; l = l->next) {
    auto* item = static_cast<WebKitContextMenuItem*>(l->data);
    items.push_back(item);
    offered.push_back(contextItem(item));
  }
  const std::vector<std::size_t> kept = contextmenu::kept(offered);
  // Nothing left: no menu at all rather than an empty one.
  if (kept.empty())
    return TRUE;
  // The menu sinks the new (floating) items it is given; the engine's own
  // ones are held here across the clearing and handed back.
  std::vector<WebKitContextMenuItem*> shown;
  for (std::size_t i : kept) {
    const std::string title(contextmenu::title(offered[i]));
    shown.push_back(title.empty()
                        ? WEBKIT_CONTEXT_MENU_ITEM(g_object_ref(items[i]))
                        : webkit_context_menu_item_new_from_stock_action_with_label(
                              webkit_context_menu_item_get_stock_action(items[i]), title.c_str()));
  }
  webkit_context_menu_remove_all(menu);
  for (WebKitContextMenuItem* item : shown) {
    const bool held = !g_object_is_floating(item);
    webkit_context_menu_append(menu, item);
    if (held)
      g_object_unref(item);
  }
  return FALSE;
}

}  // namespace zormak::gtk
