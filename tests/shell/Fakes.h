#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "AppDelegate.h"
#include "Platform.h"
#include "Server.h"

namespace zormak::testing {

// One ordered record of what the shell asked of its platform and server.
struct Journal {
  std::vector<std::string> events;
  void add(std::string e) { events.push_back(std::move(e)); }
  size_t count(const std::string& e) const {
    return static_cast<size_t>(std::count(events.begin(), events.end(), e));
  }
};

struct FakeWindow : Window {
  explicit FakeWindow(Journal& j) : journal(j) {}
  void setTitle(const std::string& t) override {
    title = t;
    journal.add("title:" + t);
  }
  void present() override { journal.add("present"); }
  WindowGeometry geometry() const override { return now; }
  Journal& journal;
  std::string title;
  WindowGeometry now;
};

struct FakeWebView : WebView {
  explicit FakeWebView(Journal& j) : journal(j) {}
  // The store answers when the test calls storeCookie().
  void setSessionCookie(const SessionCookie& c, std::function<void(bool)> done) override {
    journal.add("cookie:" + c.name + "=" + c.value + "@" + c.host);
    cookieDone = std::move(done);
  }
  void storeCookie(bool stored = true) {
    auto done = std::move(cookieDone);
    cookieDone = nullptr;
    done(stored);
  }
  void loadHTML(const std::string& h) override {
    html = h;
    journal.add("loadHTML");
  }
  void loadRequest(const std::string& u, std::chrono::seconds t) override {
    url = u;
    timeout = t;
    journal.add("loadRequest:" + u);
  }
  void reload() override { journal.add("reload"); }
  void setPageZoom(double z) override {
    zoom = z;
    journal.add("zoom:" + std::to_string(z));
  }
  void executeEditingCommand(std::string_view c) override { journal.add("edit:" + std::string(c)); }
  void askToClose(std::function<void()> allowed) override {
    journal.add("askToClose");
    closeAllowed = std::move(allowed);
  }
  void allowNotifications(const std::string& origin) override {
    journal.add("allowNotifications:" + origin);
  }
  void runScript(const std::string& s) override { scripts.push_back(s); }
  std::vector<std::string> scripts;
  Journal& journal;
  std::function<void()> closeAllowed;
  std::string html, url;
  std::chrono::seconds timeout{0};
  double zoom = 1.0;
  std::function<void(bool)> cookieDone;
};

struct FakeSignalSource : SignalSource {};

struct FakePlatform : Platform {
  explicit FakePlatform(Journal& j) : journal(j) {}
  std::shared_ptr<Window> makeWindow(const WindowOptions& s) override {
    options = s;
    window = std::make_shared<FakeWindow>(journal);
    journal.add("makeWindow:" + s.title);
    return window;
  }
  EngineReadiness webEngineReadiness() override {
    journal.add("readiness");
    return readiness;
  }
  std::shared_ptr<WebView> makeWebView(Window&, WebViewHandlers h) override {
    navigation = std::move(h.navigation);
    loadFailed = std::move(h.loadFailed);
    loadFinished = std::move(h.loadFinished);
    pageMessage = std::move(h.pageMessage);
    dropped = std::move(h.dropped);
    webView = std::make_shared<FakeWebView>(journal);
    journal.add("makeWebView");
    return webView;
  }
  std::unique_ptr<SignalSource> makeSignalSource(int signo, std::function<void()> h) override {
    journal.add("signal:" + std::to_string(signo));
    handlers.emplace_back(signo, std::move(h));
    return std::make_unique<FakeSignalSource>();
  }
  void runAfter(std::chrono::milliseconds delay, std::function<void()> task) override {
    journal.add("after:" + std::to_string(delay.count()));
    tasks.push_back(std::move(task));
  }
  // Runs the tasks given to runAfter() so far, as their time would come.
  void runTasks() {
    auto due = std::move(tasks);
    tasks.clear();
    for (auto& task : due)
      task();
  }
  void releaseFreeMemory() override { ++memoryReleases; }
  void activate() override { journal.add("activate"); }
  std::optional<ScreenSize> screenSize() override { return screen; }
  void openInBrowser(const std::string& uri) override { journal.add("browser:" + uri); }
  void chooseFolder(Window&, std::function<void(std::optional<std::string>)> done) override {
    journal.add("chooseFolder");
    folderChosen = std::move(done);
  }
  void readClipboardText(std::function<void(std::optional<std::string>)> done) override {
    journal.add("readClipboard");
    done(clipboard);
  }
  void showAbout() override { journal.add("about"); }
  void openSignInWindow() override { journal.add("signIn"); }
  void hide() override { journal.add("hide"); }
  void terminate() override { journal.add("terminate"); }
  void exitProcess(int status) override { journal.add("exit:" + std::to_string(status)); }

  // Delivers a signal as the platform's main-loop source would.
  void raise(int signo) {
    for (auto& [s, h] : handlers)
      if (s == signo)
        h();
  }

  Journal& journal;
  EngineReadiness readiness;
  WindowOptions options;
  std::shared_ptr<FakeWindow> window;
  std::shared_ptr<FakeWebView> webView;
  NavigationHandler navigation;
  std::optional<ScreenSize> screen;
  LoadFailedHandler loadFailed;
  LoadFinishedHandler loadFinished;
  size_t memoryReleases = 0;
  PageMessageHandler pageMessage;
  DropHandler dropped;
  std::function<void(std::optional<std::string>)> folderChosen;
  std::optional<std::string> clipboard;
  std::vector<std::pair<int, std::function<void()>>> handlers;
  std::vector<std::function<void()>> tasks;
};

struct FakeServer : Server {
  explicit FakeServer(Journal& j) : journal(j) {}
  void setOnReady(ReadyCallback c) override {
    onReady = std::move(c);
    journal.add("setOnReady");
  }
  void setOnFailed(FailedCallback c) override {
    onFailed = std::move(c);
    journal.add("setOnFailed");
  }
  void start() override { journal.add("start"); }
  void restart() override {
    journal.add("restart");
    secret += "1";  // each launch has a secret of its own
  }
  void stop() override { journal.add("stop"); }
  std::filesystem::path supportDir() const override { return support; }
  // Without a support folder the log is named as a test reads it best.
  std::filesystem::path logPath() const override {
    return support.empty() ? std::filesystem::path("/x/app.log") : support / "app.log";
  }
  std::string launchSecret() const override { return secret; }
  void log(const std::string& m) override { journal.add("log:" + m); }
  Journal& journal;
  // Empty: the shell keeps no files of its own.
  std::filesystem::path support;
  std::string secret = "5ec2e7";
  ReadyCallback onReady;
  FailedCallback onFailed;
};

// A delegate over the fakes, launched unless told otherwise with the journal
// then cleared; ready() has the server announce itself and the cookie store
// take the secret.
struct Shell {
  static constexpr const char* kURL = "http://127.0.0.1:43567";
  Journal journal;
  FakePlatform platform{journal};
  std::shared_ptr<FakeServer> server = std::make_shared<FakeServer>(journal);
  std::shared_ptr<AppDelegate> delegate = std::make_shared<AppDelegate>(server);

  explicit Shell(bool launched = true) {
    if (launched) {
      launch();
      journal.events.clear();
    }
  }
  void launch() { delegate->applicationDidFinishLaunching(platform); }
  // A new delegate on the same platform and server, as a later run of the program.
  std::shared_ptr<AppDelegate> relaunch() {
    delegate = std::make_shared<AppDelegate>(server);
    launch();
    return delegate;
  }
  void ready() {
    server->onReady(kURL);
    if (platform.webView->cookieDone)  // not when it holds this launch's secret already
      platform.webView->storeCookie();
    journal.events.clear();
  }
  void fail(LoadError error) {
    platform.loadFailed(LoadFailure{std::string(kURL) + "/", error, "engine text"});
  }
  void perform(MenuAction action) {
    AppDelegate::performMenuAction(action, platform, delegate.get());
  }
};

}  // namespace zormak::testing
