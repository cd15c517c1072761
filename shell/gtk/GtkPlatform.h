#pragma once

#include <gtk/gtk.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AppDelegate.h"
#include "MenuBar.h"
#include "Platform.h"
#include "SignIn.h"
#include "Version.h"

namespace zormak::gtk {

class WindowHandle;

// The application object on GTK: a GtkApplication, unique over the session
// bus, and its lifecycle. The menu bar, the window, the web view and the
// single-instance guards each live in a file of their own.
class GtkPlatform final : public Application, public Platform {
 public:
  static constexpr const char* kApplicationId = product::kApplicationId.data();

  // Installs the GLib main queue, which the controller reads when it is
  // created, so this must come before the delegate. Settles the folders the
  // web engine needs first, before GLib reads and keeps them. `resourceDir`
  // is the bundle's resource folder, where the icons lie beside the payload.
  GtkPlatform(int argc, char** argv, std::optional<std::filesystem::path> resourceDir);
  ~GtkPlatform() override;
  GtkPlatform(const GtkPlatform&) = delete;
  GtkPlatform& operator=(const GtkPlatform&) = delete;

  // Application
  void setRegularActivationPolicy() override;
  void setMainMenu(const std::vector<Menu>& menus) override;
  void setDelegate(std::weak_ptr<AppDelegate> delegate) override;
  int run() override;

  // Platform
  std::shared_ptr<Window> makeWindow(const WindowOptions& options) override;
  EngineReadiness webEngineReadiness() override { return engineReadiness_; }
  std::shared_ptr<WebView> makeWebView(Window& window, WebViewHandlers handlers) override;
  std::unique_ptr<SignalSource> makeSignalSource(int signo, std::function<void()> handler) override;
  void runAfter(std::chrono::milliseconds delay, std::function<void()> task) override;
  void releaseFreeMemory() override;
  void activate() override;
  std::optional<ScreenSize> screenSize() override;
  void openInBrowser(const std::string& uri) override;
  void chooseFolder(Window& parent,
                    std::function<void(std::optional<std::string> path)> done) override;
  void readClipboardText(std::function<void(std::optional<std::string> text)> done) override;
  void showAbout() override;
  void openSignInWindow() override;
  void hide() override;
  void terminate() override;
  void exitProcess(int status) override;

 private:
  std::optional<std::filesystem::path> resourceDir_;
  static void onStartup(GApplication* app, gpointer self);
  static void onActivate(GApplication* app, gpointer self);
  static void onShutdown(GApplication* app, gpointer self);
  static void onOpen(GApplication* app, GFile** files, int count, const char* hint, gpointer self);
  void launch();
  void perform(MenuAction action);

  EngineReadiness engineReadiness_;
  bool webAcceleration_ = true;  // false where GL is a software rasterizer
  GtkApplication* app_ = nullptr;
  GDBusConnection* sessionBus_ = nullptr;  // held so the application reuses it
  std::string argv0_;
  std::vector<std::string> addresses_;  // what this launch hands over
  std::weak_ptr<AppDelegate> delegate_;
  bool launched_ = false;
  bool otherInstanceRuns_ = false;
  std::shared_ptr<WindowHandle> window_;
  GtkWindow* about_ = nullptr;  // the open About dialog, cleared when it goes
  MenuBar menuBar_;
  // Made with the web view, unless the web engine cannot run.
  std::unique_ptr<SignIn> signIn_;
};

}  // namespace zormak::gtk
