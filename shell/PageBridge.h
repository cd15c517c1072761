#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform.h"

namespace zormak {

// What passes between the served page and the shell, besides navigation.
//
// The page posts plain words: "ready" once it listens, "pick-folder" for
// the folder dialog, "clipboard:on" / "clipboard:off" for the clipboard
// offer. Each counts only from the served application's own origin, so no
// other page shown in the window can open a dialog or have the clipboard
// read. The page never sends a path or an address for the shell to act on.
//
// The shell answers with one "zormak-shell" event on the page's window whose
// detail is one of
//   {"kind":"folder","path":"…"}            the folder the user chose
//   {"kind":"folder","cancelled":true}      the dialog was closed
//   {"kind":"folder","error":"…"}           a folder the page cannot be told
//   {"kind":"links","source":"launch"|"drop","urls":[…]}
//   {"kind":"clipboard","url":"…"}
// Addresses only fill the add box: nothing is downloaded without the
// user's click, whoever opened the `zormak:` address. Main thread only.
class PageBridge : public std::enable_shared_from_this<PageBridge> {
 public:
  static constexpr std::string_view kEvent = "zormak-shell";
  // Hand-overs kept while no page listens (the server is still starting);
  // later ones are dropped.
  static constexpr std::size_t kMaxWaiting = 20;

  // `servedOrigin` answers the served application's origin while it is what
  // the window shows, else none.
  PageBridge(Platform& platform, std::function<std::optional<std::string>()> servedOrigin);

  void attach(std::shared_ptr<Window> window, std::shared_ptr<WebView> webView);

  void received(const std::string& message, const std::string& pageURI);
  // Addresses a launch handed over: the command line or a `zormak:` address.
  void handOver(const std::vector<std::string>& addresses);
  void dropped(const std::string& text, bool uriList);
  void windowFocused();

 private:
  // Sends one event's detail now, or keeps it until the page says "ready".
  void send(const std::string& detail, bool keep);
  bool pageListens() const;
  void folderChosen(std::optional<std::string> path);

  Platform& platform_;
  const std::function<std::optional<std::string>()> servedOrigin_;
  std::shared_ptr<Window> window_;
  std::shared_ptr<WebView> webView_;
  std::optional<std::string> readyOrigin_;  // the origin whose page said "ready"
  std::vector<std::string> waiting_;
  bool watchClipboard_ = false;
  bool choosing_ = false;  // one folder dialog at a time
  std::string lastOffered_;
};

}  // namespace zormak
