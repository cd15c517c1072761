#include "GtkPlatform.h"

#include <glib-unix.h>

#include <cstdlib>

#include "GlibMainQueue.h"
#include "SingleInstance.h"
#include "Trace.h"
#include "WebViewHandle.h"
#include "WindowHandle.h"

namespace zormak::gtk {

namespace {

class GlibSignalSource final : public SignalSource {
 public:
  explicit GlibSignalSource(guint id) : id_(id) {}
  ~GlibSignalSource() override { g_source_remove(id_); }

 private:
  guint id_;
};

}  // namespace

GtkPlatform::GtkPlatform(int argc, char** argv) {
  argv0_ = argc > 0 && argv[0] ? argv[0] : "zormak";
  sessionBus_ = single_instance::sessionBusOrNone();
  MainQueue::installMain(std::make_shared<GlibMainQueue>());
  app_ = gtk_application_new(kApplicationId, G_APPLICATION_DEFAULT_FLAGS);
  g_signal_connect(app_, "startup", G_CALLBACK(&GtkPlatform::onStartup), this);
  g_signal_connect(app_, "activate", G_CALLBACK(&GtkPlatform::onActivate), this);
  g_signal_connect(app_, "shutdown", G_CALLBACK(&GtkPlatform::onShutdown), this);
}

GtkPlatform::~GtkPlatform() {
  window_.reset();
  g_object_unref(app_);
  if (sessionBus_)
    g_object_unref(sessionBus_);
}

void GtkPlatform::setRegularActivationPolicy() {
  // Every GTK application is an ordinary foreground one.
}

void GtkPlatform::setMainMenu(const std::vector<Menu>& menus) {
  menuBar_.build(app_, menus, [this](const std::string& action) {
    auto delegate = delegate_.lock();
    AppDelegate::performMenuAction(action, *this, launched_ ? delegate.get() : nullptr);
  });
}

void GtkPlatform::setDelegate(std::weak_ptr<AppDelegate> delegate) {
  delegate_ = std::move(delegate);
}

int GtkPlatform::run() {
  // No command-line options: only the program's name goes to GTK.
  char* args[] = {argv0_.data(), nullptr};
  return g_application_run(G_APPLICATION(app_), 1, args);
}

// Runs in the primary instance only; a second launch that finds the first
// over the session bus hands it "activate" and exits without getting here.
void GtkPlatform::onStartup(GApplication*, gpointer data) {
  trace::mark("startup");
  auto* self = static_cast<GtkPlatform*>(data);
  self->otherInstanceRuns_ = !single_instance::claimDataFolder();
  self->menuBar_.install(self->app_);
}

void GtkPlatform::onActivate(GApplication*, gpointer data) {
  auto* self = static_cast<GtkPlatform*>(data);
  if (self->otherInstanceRuns_)
    return;  // no window is made, so the application ends after this
  if (self->launched_) {
    if (self->window_)
      self->window_->presentNow();  // a second launch asks for the window
    return;
  }
  auto delegate = self->delegate_.lock();
  if (!delegate)
    return;
  self->launched_ = true;
  trace::mark("launching");
  delegate->applicationDidFinishLaunching(*self);
  if (!delegate->applicationShouldTerminateAfterLastWindowClosed())
    g_application_hold(G_APPLICATION(self->app_));
}

void GtkPlatform::onShutdown(GApplication*, gpointer data) {
  auto* self = static_cast<GtkPlatform*>(data);
  if (!self->launched_)
    return;
  if (auto delegate = self->delegate_.lock())
    delegate->applicationWillTerminate();
}

std::shared_ptr<Window> GtkPlatform::makeWindow(const WindowOptions& options) {
  GtkWidget* widget = gtk_application_window_new(app_);
  gtk_application_window_set_show_menubar(GTK_APPLICATION_WINDOW(widget), TRUE);
  gtk_window_set_title(GTK_WINDOW(widget), options.title.c_str());
  gtk_window_set_default_size(GTK_WINDOW(widget), options.width, options.height);
  gtk_widget_set_size_request(widget, options.minWidth, options.minHeight);
  trace::mark("window");
  window_ = std::make_shared<WindowHandle>(widget);
  return window_;
}

std::shared_ptr<WebView> GtkPlatform::makeWebView(Window& window, NavigationHandler navigation) {
  return WebViewHandle::make(static_cast<WindowHandle&>(window), std::move(navigation));
}

std::unique_ptr<SignalSource> GtkPlatform::makeSignalSource(int signo,
                                                            std::function<void()> handler) {
  // GLib installs a handler of its own, so the default action no longer ends
  // the process, and turns each arrival into an event on the main loop.
  guint id = g_unix_signal_add_full(
      G_PRIORITY_DEFAULT, signo,
      [](gpointer data) -> gboolean {
        try {
          (*static_cast<std::function<void()>*>(data))();
        } catch (...) {
        }
        return G_SOURCE_CONTINUE;
      },
      new std::function<void()>(std::move(handler)),
      [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
  return std::make_unique<GlibSignalSource>(id);
}

void GtkPlatform::activate() {
  trace::mark("activate");
  if (window_)
    window_->present();
}

void GtkPlatform::openInBrowser(const std::string& uri) {
  // The desktop's opener picks the user's default browser. Nothing of its
  // output reaches ours; GLib reaps it.
  char* argv[] = {const_cast<char*>("xdg-open"), const_cast<char*>(uri.c_str()), nullptr};
  g_spawn_async(nullptr, argv, nullptr,
                static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDOUT_TO_DEV_NULL |
                                         G_SPAWN_STDERR_TO_DEV_NULL),
                nullptr, nullptr, nullptr, nullptr);
}

void GtkPlatform::showAbout() {
  gtk_show_about_dialog(window_ ? window_->gtkWindow() : nullptr, "program-name", "ZORMAK",
                        "version", ZORMAK_VERSION, "comments", "多平台视频下载器", nullptr);
}

void GtkPlatform::hide() {
  if (window_)
    window_->minimize();
}

void GtkPlatform::terminate() {
  g_application_quit(G_APPLICATION(app_));
}

void GtkPlatform::exitProcess(int status) {
  std::exit(status);
}

}  // namespace zormak::gtk
