#pragma once

#include <string_view>

namespace zormak::quitconfirmation {

// What the window asks when the page says work is pending (its
// beforeunload handler) and the user closes the window or quits. The
// downloads run in the service, which keeps them for the next start, so
// quitting loses nothing; staying is the default.
inline constexpr std::string_view kMessage = "还有下载没有完成，确定要退出吗？";
inline constexpr std::string_view kDetail = "退出后下载会暂停，下次启动 ZORMAK 时会自动继续。";
inline constexpr std::string_view kStay = "取消";
inline constexpr std::string_view kQuit = "退出(_Q)";

// Run in the page, it tells whether any of its beforeunload handlers
// objects to leaving, by any of the web's three ways (preventDefault, a
// returnValue, a string returned from onbeforeunload). The page is asked
// this way, not by the engine's own close, so that a busy machine or a
// page nobody has clicked in yet is asked all the same. macOS: the same
// script through WKWebView's evaluateJavaScript:completionHandler:.
inline constexpr std::string_view kPendingWorkScript = R"js((() => {
  let event;
  try {
    event = document.createEvent("BeforeUnloadEvent");
    event.initEvent("beforeunload", false, true);
  } catch (e) {
    event = new Event("beforeunload", {cancelable: true});
  }
  window.dispatchEvent(event);
  return event.defaultPrevented ||
      (typeof event.returnValue === "string" && event.returnValue !== "");
})())js";

}  // namespace zormak::quitconfirmation
