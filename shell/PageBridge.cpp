#include "PageBridge.h"

#include "Links.h"
#include "Navigation.h"

namespace zormak {

namespace {

std::string addressList(const std::vector<std::string>& addresses) {
  std::string list = "[";
  for (const std::string& address : addresses) {
    // Every address has been checked to be printable ASCII.
    if (auto quoted = links::jsonString(address)) {
      list += list.size() > 1 ? "," : "";
      list += *quoted;
    }
  }
  return list + "]";
}

}  // namespace

PageBridge::PageBridge(Platform& platform, std::function<std::optional<std::string>()> servedOrigin)
    : platform_(platform), servedOrigin_(std::move(servedOrigin)) {}

void PageBridge::attach(std::shared_ptr<Window> window, std::shared_ptr<WebView> webView) {
  window_ = std::move(window);
  webView_ = std::move(webView);
}

bool PageBridge::pageListens() const {
  const auto served = servedOrigin_();
  return webView_ && served && readyOrigin_ == served;
}

void PageBridge::received(const std::string& message, const std::string& pageURI) {
  const auto served = servedOrigin_();
  if (!served || navigation::originOf(pageURI) != served)
    return;
  if (message == "ready") {
    readyOrigin_ = served;
    auto waiting = std::move(waiting_);
    waiting_.clear();
    for (const std::string& detail : waiting)
      send(detail, false);
  } else if (message == "pick-folder") {
    if (choosing_ || !window_)
      return;
    choosing_ = true;
    std::weak_ptr<PageBridge> weak = weak_from_this();
    platform_.chooseFolder(*window_, [weak](std::optional<std::string> path) {
      if (auto self = weak.lock())
        self->folderChosen(std::move(path));
    });
  } else if (message == "clipboard:on" || message == "clipboard:off") {
    watchClipboard_ = message == "clipboard:on";
  }
}

void PageBridge::folderChosen(std::optional<std::string> path) {
  choosing_ = false;
  if (!path) {
    send(R"({"kind":"folder","cancelled":true})", false);
    return;
  }
  if (auto quoted = links::jsonString(*path))
    send(R"({"kind":"folder","path":)" + *quoted + "}", false);
  else
    send(R"({"kind":"folder","error":"这个文件夹的名字里有无法识别的字符，请换一个文件夹。"})",
         false);
}

void PageBridge::handOver(const std::vector<std::string>& addresses) {
  const auto found = links::fromArguments(addresses);
  if (!found.empty())
    send(R"({"kind":"links","source":"launch","urls":)" + addressList(found) + "}", true);
}

void PageBridge::dropped(const std::string& text, bool uriList) {
  const auto found = uriList ? links::fromUriList(text) : links::fromText(text);
  send(R"({"kind":"links","source":"drop","urls":)" + addressList(found) + "}", false);
}

void PageBridge::windowFocused() {
  // The clipboard is read only when the page has asked for the offer and
  // listens, and only on focus, when the user may just have copied
  // something elsewhere; the same address is offered once.
  if (!watchClipboard_ || !pageListens())
    return;
  std::weak_ptr<PageBridge> weak = weak_from_this();
  platform_.readClipboardText([weak](std::optional<std::string> text) {
    auto self = weak.lock();
    if (!self || !text || !self->watchClipboard_)
      return;
    const auto found = links::fromText(text->substr(0, 4 * links::kMaxLength));
    if (found.empty() || found.front() == self->lastOffered_)
      return;
    self->lastOffered_ = found.front();
    self->send(R"({"kind":"clipboard","url":)" + *links::jsonString(found.front()) + "}", false);
  });
}

void PageBridge::send(const std::string& detail, bool keep) {
  if (!pageListens()) {
    if (keep && waiting_.size() < kMaxWaiting)
      waiting_.push_back(detail);
    return;
  }
  webView_->runScript("window.dispatchEvent(new CustomEvent(\"" + std::string(kEvent) +
                      "\",{detail:" + detail + "}));");
}

}  // namespace zormak
