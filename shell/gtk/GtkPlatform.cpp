#include "GtkPlatform.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <sys/file.h>
#include <unistd.h>
#include <webkit/webkit.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <system_error>

#include "GlibMainQueue.h"
#include "ServerController.h"
#include "Trace.h"

namespace zormak::gtk {

namespace {

// A window's first showing realises it and sets up its renderer, the longest
// single step of a launch. Done from the main loop once the launch sequence
// has returned, it runs while the web view's processes and the server start
// rather than before them; nothing is drawn before the loop runs anyway.
void presentSoon(GtkWidget* window) {
  g_idle_add_full(
      G_PRIORITY_DEFAULT,
      [](gpointer data) -> gboolean {
        trace::mark("present");
        gtk_window_present(GTK_WINDOW(data));
        return G_SOURCE_REMOVE;
      },
      g_object_ref(window), g_object_unref);
}

class GtkWindowHandle final : public Window {
 public:
  explicit GtkWindowHandle(GtkWidget* window) : window_(window) {}
  void setTitle(const std::string& title) override {
    gtk_window_set_title(GTK_WINDOW(window_), title.c_str());
  }
  void present() override { presentSoon(window_); }
  GtkWidget* widget() const { return window_; }

 private:
  GtkWidget* window_;  // owned by the application
};

// Navigations that someone asked for: a link, a form, or script running for
// a click. Loads a page makes on its own (frames, the served URL itself,
// reloads) keep the engine's default.
bool userInitiated(WebKitNavigationAction* action) {
  switch (webkit_navigation_action_get_navigation_type(action)) {
    case WEBKIT_NAVIGATION_TYPE_LINK_CLICKED:
    case WEBKIT_NAVIGATION_TYPE_FORM_SUBMITTED:
    case WEBKIT_NAVIGATION_TYPE_FORM_RESUBMITTED:
      return true;
    default:
      return webkit_navigation_action_is_user_gesture(action);
  }
}

class GtkWebViewHandle final : public WebView {
 public:
  GtkWebViewHandle(WebKitWebView* view, NavigationHandler navigation)
      : view_(view), navigation_(std::move(navigation)) {
    g_signal_connect(view_, "decide-policy", G_CALLBACK(&GtkWebViewHandle::onDecidePolicy), this);
    g_signal_connect(view_, "load-changed", G_CALLBACK(&GtkWebViewHandle::onLoadChanged), this);
  }
  ~GtkWebViewHandle() override {
    g_signal_handlers_disconnect_by_data(view_, this);
    cancelTimeout();
  }

  void loadHTML(const std::string& html) override {
    trace::mark("load-html");
    cancelTimeout();
    webkit_web_view_load_html(view_, html.c_str(), nullptr);
  }

  void loadRequest(const std::string& url, std::chrono::seconds timeout) override {
    trace::mark("load-request", url.c_str());
    cancelTimeout();
    WebKitURIRequest* request = webkit_uri_request_new(url.c_str());
    webkit_web_view_load_request(view_, request);
    g_object_unref(request);
    // The engine has no time-out of its own for a page load; stop one that
    // is still running when ours runs out.
    timeout_ = g_timeout_add_seconds(
        static_cast<guint>(timeout.count()),
        [](gpointer data) -> gboolean {
          auto* self = static_cast<GtkWebViewHandle*>(data);
          self->timeout_ = 0;
          if (webkit_web_view_is_loading(self->view_))
            webkit_web_view_stop_loading(self->view_);
          return G_SOURCE_REMOVE;
        },
        this);
  }

  void reload() override { webkit_web_view_reload(view_); }
  void setPageZoom(double zoom) override { webkit_web_view_set_zoom_level(view_, zoom); }
  void executeEditingCommand(std::string_view command) override {
    std::string name(command);
    webkit_web_view_execute_editing_command(view_, name.c_str());
  }

 private:
  void cancelTimeout() {
    if (timeout_ != 0) {
      g_source_remove(timeout_);
      timeout_ = 0;
    }
  }

  static void onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer data) {
    static constexpr const char* kNames[] = {"load-started", "load-redirected", "load-committed",
                                             "load-finished"};
    if (static_cast<unsigned>(event) < std::size(kNames))
      trace::mark(kNames[static_cast<unsigned>(event)], webkit_web_view_get_uri(view));
    if (event == WEBKIT_LOAD_FINISHED)
      static_cast<GtkWebViewHandle*>(data)->cancelTimeout();
  }

  static gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                 WebKitPolicyDecisionType type, gpointer data) {
    auto* self = static_cast<GtkWebViewHandle*>(data);
    const bool newWindow = type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION;
    if (!newWindow && type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION)
      return FALSE;
    WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
        WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    if (!newWindow && !userInitiated(action))
      return FALSE;
    const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
    bool goOn = false;
    try {
      goOn = self->navigation_(uri ? uri : "", newWindow);
    } catch (...) {
    }
    if (goOn)
      return FALSE;
    webkit_policy_decision_ignore(decision);
    return TRUE;
  }

  WebKitWebView* view_;  // owned by the window
  NavigationHandler navigation_;
  guint timeout_ = 0;
};

class GlibSignalSource final : public SignalSource {
 public:
  explicit GlibSignalSource(guint id) : id_(id) {}
  ~GlibSignalSource() override { g_source_remove(id_); }

 private:
  guint id_;
};

std::string gactionName(const std::string& action) {
  std::string name = action;
  if (!name.empty() && name.back() == ':')
    name.pop_back();
  return name;
}

// Keeps a second instance that could not reach the first over the session
// bus (there is none, or each has its own) away from the first one's server
// and files: whoever holds the lock on the ZORMAK folder is the one running
// instance. The descriptor is close-on-exec so no server inherits the lock,
// and it stays open for the life of the process.
bool claimDataFolder() {
  const std::filesystem::path& dir = ServerController::appSupportDir();
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return true;  // nothing to guard; start() reports what is wrong with the folder
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
    return true;
  const bool held = errno == EWOULDBLOCK;
  ::close(fd);
  return !held;
}

// WebKit's sandbox hands the session bus on to its processes and aborts the
// whole program when the bus the environment names cannot be reached (an
// address left over after su or ssh, a bus that has gone away). Such a bus
// counts as none: without the variable GLib looks for the display's bus, or
// the program runs without one.
GDBusConnection* sessionBusOrNone() {
  const char* address = g_getenv("DBUS_SESSION_BUS_ADDRESS");
  if (!address || address[0] == '\0')
    return nullptr;
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (!bus) {
    g_clear_error(&error);
    g_unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }
  return bus;
}

// True when `dir` is a folder, after creating it where it was missing.
bool isFolderOrMade(const std::filesystem::path& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  return std::filesystem::is_directory(dir, ec);
}

}  // namespace

GtkPlatform::GtkPlatform(int argc, char** argv) {
  argv0_ = argc > 0 && argv[0] ? argv[0] : "zormak";
  sessionBus_ = sessionBusOrNone();
  MainQueue::installMain(std::make_shared<GlibMainQueue>());
  app_ = gtk_application_new(kApplicationId, G_APPLICATION_DEFAULT_FLAGS);
  g_signal_connect(app_, "startup", G_CALLBACK(&GtkPlatform::onStartup), this);
  g_signal_connect(app_, "activate", G_CALLBACK(&GtkPlatform::onActivate), this);
  g_signal_connect(app_, "shutdown", G_CALLBACK(&GtkPlatform::onShutdown), this);
}

GtkPlatform::~GtkPlatform() {
  if (menubar_)
    g_object_unref(menubar_);
  g_object_unref(app_);
  if (sessionBus_)
    g_object_unref(sessionBus_);
}

void GtkPlatform::setRegularActivationPolicy() {
  // Every GTK application is an ordinary foreground one.
}

void GtkPlatform::setMainMenu(const std::vector<Menu>& menus) {
  GMenu* bar = g_menu_new();
  for (const Menu& menu : menus) {
    GMenu* submenu = g_menu_new();
    GMenu* section = g_menu_new();
    for (const MenuItem& item : menu.items) {
      // GTK draws separators between sections.
      if (item.isSeparator()) {
        g_menu_append_section(submenu, nullptr, G_MENU_MODEL(section));
        g_object_unref(section);
        section = g_menu_new();
        continue;
      }
      std::string name = gactionName(item.action);
      std::string detailed = "app." + name;
      g_menu_append(section, item.title.c_str(), detailed.c_str());

      GSimpleAction* action = g_simple_action_new(name.c_str(), nullptr);
      auto* actionName = new std::string(item.action);
      g_object_set_data_full(G_OBJECT(action), "zormak-platform", this, nullptr);
      g_signal_connect_data(
          action, "activate", G_CALLBACK(+[](GSimpleAction* a, GVariant*, gpointer data) {
            auto* self =
                static_cast<GtkPlatform*>(g_object_get_data(G_OBJECT(a), "zormak-platform"));
            auto delegate = self->delegate_.lock();
            AppDelegate::performMenuAction(*static_cast<std::string*>(data), *self,
                                           self->launched_ ? delegate.get() : nullptr);
          }),
          actionName, [](gpointer data, GClosure*) { delete static_cast<std::string*>(data); },
          GConnectFlags{});
      g_action_map_add_action(G_ACTION_MAP(app_), G_ACTION(action));
      g_object_unref(action);

      if (auto shortcut = shortcutFor(item.keyEquivalent)) {
        // Control stands for Command here.
        std::string accel = shortcut->shift ? "<Shift><Control>" : "<Control>";
        accel += shortcut->key;
        accels_.emplace_back(detailed, accel);
      }
    }
    g_menu_append_section(submenu, nullptr, G_MENU_MODEL(section));
    g_object_unref(section);
    // The application menu has no title of its own; its place shows the name.
    g_menu_append_submenu(bar, menu.title ? menu.title->c_str() : "ZORMAK", G_MENU_MODEL(submenu));
    g_object_unref(submenu);
  }
  // GTK takes the menu bar and the shortcuts only once the application is
  // registered, in "startup".
  menubar_ = bar;
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
  self->otherInstanceRuns_ = !claimDataFolder();
  if (self->menubar_)
    gtk_application_set_menubar(self->app_, G_MENU_MODEL(self->menubar_));
  for (const auto& [action, accel] : self->accels_) {
    const char* accels[] = {accel.c_str(), nullptr};
    gtk_application_set_accels_for_action(self->app_, action.c_str(), accels);
  }
}

void GtkPlatform::onActivate(GApplication*, gpointer data) {
  auto* self = static_cast<GtkPlatform*>(data);
  if (self->otherInstanceRuns_)
    return;  // no window is made, so the application ends after this
  if (self->launched_) {
    gtk_window_present(self->mainWindow());  // a second launch asks for the window
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

GtkWindow* GtkPlatform::mainWindow() const {
  return GTK_WINDOW(window_);
}

std::shared_ptr<Window> GtkPlatform::makeWindow(const WindowOptions& options) {
  window_ = gtk_application_window_new(app_);
  gtk_application_window_set_show_menubar(GTK_APPLICATION_WINDOW(window_), TRUE);
  gtk_window_set_title(GTK_WINDOW(window_), options.title.c_str());
  gtk_window_set_default_size(GTK_WINDOW(window_), options.width, options.height);
  gtk_widget_set_size_request(window_, options.minWidth, options.minHeight);
  trace::mark("window");
  return std::make_shared<GtkWindowHandle>(window_);
}

std::shared_ptr<WebView> GtkPlatform::makeWebView(Window& window, NavigationHandler navigation) {
  // Site data lives beside the runtime in the ZORMAK folder (never inside
  // app/, which a reinstall replaces), so cookies and storage survive.
  const std::filesystem::path data = ServerController::appSupportDir() / "WebKit";
  const std::filesystem::path cache = std::filesystem::path(g_get_user_cache_dir()) / "ZORMAK";
  WebKitNetworkSession* session = nullptr;
  if (isFolderOrMade(data) && isFolderOrMade(cache)) {
    session = webkit_network_session_new(data.c_str(), cache.c_str());
    webkit_cookie_manager_set_persistent_storage(webkit_network_session_get_cookie_manager(session),
                                                 (data / "cookies.sqlite").c_str(),
                                                 WEBKIT_COOKIE_PERSISTENT_STORAGE_SQLITE);
  } else {
    // WebKit's sandbox binds folders below these, and its web process dies
    // at start (taking this process with it) when such a path runs through a
    // file. The window still has to show what went wrong, so this run keeps
    // its site data in memory only.
    session = webkit_network_session_new_ephemeral();
  }
  GtkWidget* widget =
      GTK_WIDGET(g_object_new(WEBKIT_TYPE_WEB_VIEW, "network-session", session, nullptr));
  g_object_unref(session);
  auto* view = WEBKIT_WEB_VIEW(widget);
  webkit_settings_set_enable_javascript(webkit_web_view_get_settings(view), TRUE);
  const GdkRGBA transparent{0, 0, 0, 0};
  webkit_web_view_set_background_color(view, &transparent);
  gtk_widget_set_hexpand(widget, TRUE);
  gtk_widget_set_vexpand(widget, TRUE);
  gtk_window_set_child(GTK_WINDOW(static_cast<GtkWindowHandle&>(window).widget()), widget);
  trace::mark("web-view");
  return std::make_shared<GtkWebViewHandle>(view, std::move(navigation));
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
    presentSoon(window_);
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
  gtk_show_about_dialog(window_ ? mainWindow() : nullptr, "program-name", "ZORMAK", "version",
                        ZORMAK_VERSION, "comments", "多平台视频下载器", nullptr);
}

void GtkPlatform::hide() {
  if (window_)
    gtk_window_minimize(mainWindow());
}

void GtkPlatform::terminate() {
  g_application_quit(G_APPLICATION(app_));
}

void GtkPlatform::exitProcess(int status) {
  std::exit(status);
}

}  // namespace zormak::gtk
