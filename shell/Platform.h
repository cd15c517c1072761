#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "WindowState.h"

namespace zormak {

// What the shell needs of the platform, kept small so the shell's decisions
// are tested with fakes and a second platform layer can sit beside gtk/.
// Every call happens on the main thread.

struct WindowGeometry {
  // The size the window has when not maximised, which is the one to restore.
  int width = 0;
  int height = 0;
  bool maximized = false;
};

class Window {
 public:
  virtual ~Window() = default;
  virtual void setTitle(const std::string& title) = 0;
  // Shows the window and makes it the key (focused) one.
  virtual void present() = 0;
  // What the window looks like now, or as it was when it was closed.
  virtual WindowGeometry geometry() const = 0;
};

// A cookie that lives as long as the process: HttpOnly, SameSite=Strict,
// path "/", sent only to `host`.
struct SessionCookie {
  std::string name;
  std::string value;
  std::string host;
};

class WebView {
 public:
  virtual ~WebView() = default;
  // Puts the cookie in the web view's cookie store and calls `done` on the
  // main thread once the store holds it (true) or has refused it (false);
  // a request made after that carries it. WebKitGTK: the network session's
  // cookie manager. macOS: the data store's WKHTTPCookieStore,
  // setCookie:completionHandler:.
  virtual void setSessionCookie(const SessionCookie& cookie,
                                std::function<void(bool stored)> done) = 0;
  // Shows an HTML document given as text, with no base URL.
  virtual void loadHTML(const std::string& html) = 0;
  // Navigates to the URL; a load still unfinished after `timeout` fails.
  virtual void loadRequest(const std::string& url, std::chrono::seconds timeout) = 0;
  virtual void reload() = 0;
  // 1.0 is the actual size; the level holds for every page shown after.
  virtual void setPageZoom(double zoom) = 0;
  // One of the engine's editing commands: "Undo", "Redo", "Cut", "Copy",
  // "Paste", "SelectAll". Acts on the page's focused content.
  virtual void executeEditingCommand(std::string_view command) = 0;
  // Asks the page whether it may go (its beforeunload handler, which may
  // have the user confirm) and runs `allowed` once it agrees; never when
  // the user chose to stay. A page that cannot answer is not waited for.
  // Both layers run the page's handlers by script (kPendingWorkScript);
  // macOS: WKWebView's evaluateJavaScript:completionHandler:.
  virtual void askToClose(std::function<void()> allowed) = 0;
  // Grants pages of `origin` ("http://127.0.0.1:PORT") the desktop
  // notifications they request (the Web Notifications API) without asking
  // the user, and only them: any other origin's request, and any other permission a page
  // asks for (location, camera, …), is refused. WebKitGTK shows them through
  // the desktop's notification service. macOS: WKWebView offers no web
  // notifications; a macOS layer would relay the page's by script message to
  // UNUserNotificationCenter.
  virtual void allowNotifications(const std::string& origin) = 0;
  // Runs `script` in the page shown now, without waiting for an answer; the
  // shell's only way of telling the page something (PageBridge). macOS:
  // evaluateJavaScript:completionHandler: with no handler.
  virtual void runScript(const std::string& script) = 0;
};

// Kept alive by whoever wants the signal reported; reporting ends with it.
class SignalSource {
 public:
  virtual ~SignalSource() = default;
};

struct WindowOptions {
  std::string title;
  int width = 0;
  int height = 0;
  int minWidth = 0;
  int minHeight = 0;
  bool maximized = false;
  // Asked when the user closes the window; false keeps it open.
  std::function<bool()> shouldClose = {};
  // Told each time the window becomes the focused one.
  std::function<void()> focused = {};
};

// Asked by the web view before it follows a navigation of its main frame
// (a link, a form, script, a server's redirect). `newWindow` is true for a
// request to open a new window. Returns true to let the web view go on in
// place, false to drop the navigation.
using NavigationHandler = std::function<bool(const std::string& uri, bool newWindow)>;

// Why a main-frame load failed. Loads that were only cancelled (replaced by
// another, dropped by the navigation handler) are not failures.
enum class LoadError {
  kRefused,   // nothing accepted the connection
  kReset,     // the connection was reset or closed before an answer
  kTimedOut,  // the load ran out of the time given to loadRequest()
  kOther,
};

struct LoadFailure {
  std::string uri;
  LoadError error = LoadError::kOther;
  std::string description;  // the engine's own text, for the log
};

// Told of each failed main-frame load instead of the engine showing a page
// of its own, so the window never shows the engine's English error pages.
using LoadFailedHandler = std::function<void(const LoadFailure& failure)>;

// Told of each main-frame load that has finished without failing, with the
// address it ended at. macOS: WKNavigationDelegate's
// webView:didFinishNavigation:.
using LoadFinishedHandler = std::function<void(const std::string& uri)>;

// A message a page posted to the shell (window.webkit.messageHandlers.zormak
// .postMessage("text") on both engines), with the address of the page
// that was shown when it arrived. Only a string is taken.
using PageMessageHandler =
    std::function<void(const std::string& message, const std::string& pageURI)>;

// Text dropped onto the window: a text/uri-list when `uriList`, else plain
// text. WebKitGTK: a GtkDropTarget over the web view; macOS: the window's
// NSDraggingDestination with NSPasteboardTypeURL and NSPasteboardTypeString.
using DropHandler = std::function<void(const std::string& text, bool uriList)>;

struct WebViewHandlers {
  NavigationHandler navigation;
  LoadFailedHandler loadFailed;
  LoadFinishedHandler loadFinished = {};
  PageMessageHandler pageMessage = {};
  DropHandler dropped = {};
};

// What the platform had to change so that the web engine can run, and
// whether it can: the engine's helper processes need usable folders (on
// Linux its sandbox binds the home, cache and runtime folders). `logLines`
// go to the service log; a `failure` is a user-facing text, and then the web
// view may show built-in pages only. The log lines also name the renderer
// the platform chose before its toolkit started: on Linux, where GL is only a
// software rasterizer, the window is drawn with cairo and the web view has no
// hardware acceleration (unless the user set GSK_RENDERER). macOS has no
// such case: every Mac draws with Metal on its GPU, so it logs nothing.
struct EngineReadiness {
  std::vector<std::string> logLines;
  std::optional<std::string> failure;
};

class Platform {
 public:
  virtual ~Platform() = default;

  virtual std::shared_ptr<Window> makeWindow(const WindowOptions& options) = 0;
  // Checked before the web view is made. macOS has nothing to check: the
  // system sandboxes WKWebView's processes.
  virtual EngineReadiness webEngineReadiness() = 0;
  // A web view with its own persistent site data and JavaScript on, without
  // a background of its own, made the window's whole content. Its network
  // session keeps the user's proxies for remote hosts but never sends
  // loopback (127.0.0.0/8, ::1, localhost) through one. WebKitGTK: custom
  // proxy settings with those hosts ignored; macOS 14:
  // WKWebsiteDataStore.proxyConfigurations with them as excluded domains.
  virtual std::shared_ptr<WebView> makeWebView(Window& window, WebViewHandlers handlers) = 0;
  // Makes `signo` harmless to the process and reports each arrival (arrivals
  // close together may be reported once) by running `handler` on the main
  // thread, never inside the signal context.
  virtual std::unique_ptr<SignalSource> makeSignalSource(int signo,
                                                         std::function<void()> handler) = 0;
  // Runs `task` on the main thread after `delay`, never inside this call.
  virtual void runAfter(std::chrono::milliseconds delay, std::function<void()> task) = 0;
  // Hands the memory the process has freed back to the system. Asked once,
  // when the served application has first loaded: what the toolkit's, the
  // engine's and our own start freed would otherwise stay in glibc's arenas
  // for good (malloc_trim), and from then on the large short-lived blocks of
  // each redraw are mapped and unmapped on their own instead of growing the
  // heap. macOS: nothing; its allocator returns free pages by itself.
  virtual void releaseFreeMemory() = 0;
  // Makes the application the active one, its window in front.
  virtual void activate() = 0;
  // The screen the window opens on, when the platform knows it.
  virtual std::optional<ScreenSize> screenSize() = 0;
  // Hands the URI to the user's default browser.
  virtual void openInBrowser(const std::string& uri) = 0;
  // Shows the desktop's folder dialog over `parent` and calls `done` on the
  // main thread with the folder's path, or none when the user cancelled.
  // GTK 4.8: GtkFileChooserNative (the desktop portal where one runs),
  // GtkFileDialog from 4.10; macOS: NSOpenPanel with canChooseDirectories
  // and canChooseFiles off, as a sheet on the window.
  virtual void chooseFolder(Window& parent,
                            std::function<void(std::optional<std::string> path)> done) = 0;
  // Reads the clipboard's text once and calls `done` on the main thread with
  // it, or none when it holds no text. GTK: GdkClipboard; macOS:
  // NSPasteboard.generalPasteboard stringForType:.
  virtual void readClipboardText(std::function<void(std::optional<std::string> text)> done) = 0;
  // The application object's own commands.
  virtual void showAbout() = 0;
  // Brings the window for signing in to sites to the front, with its own
  // site data apart from the main web view's (GTK: gtk/SignInSession.h,
  // where the macOS counterpart is written down too).
  virtual void openSignInWindow() = 0;
  virtual void hide() = 0;
  virtual void terminate() = 0;
  // Ends the process at once with the status, without normal termination.
  // Only a fake returns.
  virtual void exitProcess(int status) = 0;
};

}  // namespace zormak
