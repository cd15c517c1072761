#include "GtkPlatform.h"

#include <glib-unix.h>
#include <malloc.h>

#include <cstdlib>
#include <string>

#include "About.h"

#include "EngineFolders.h"
#include "FolderDialog.h"
#include "GlibMainQueue.h"
#include "IncomingLinks.h"
#include "Links.h"
#include "Renderer.h"
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

std::optional<std::string> environmentVariable(const char* name) {
  const char* value = g_getenv(name);
  return value ? std::optional<std::string>(value) : std::nullopt;
}

// A folder of our own, mode 0700, under /tmp so that its path stays short
// enough for the engine's sockets. It outlives the run; the system clears
// /tmp.
std::optional<std::string> makePrivateFolder() {
  std::string name = "/tmp/zormak-XXXXXX";
  if (!g_mkdtemp(name.data()))
    return std::nullopt;
  return name;
}

// GLib reads the cache and runtime folders once and keeps them, so any
// replacement goes into the environment before anything asks for them. When
// even that cannot help, the engine runs without its sandbox: it then shows
// the built-in failure page only, and no server is started.
EngineReadiness settleEngineFolders() {
  const auto plan =
      engine_folders::plan({environmentVariable("HOME"), environmentVariable("XDG_CACHE_HOME"),
                            environmentVariable("XDG_RUNTIME_DIR")},
                           makePrivateFolder);
  for (const auto& [variable, value] : plan.setEnvironment)
    g_setenv(variable.c_str(), value.c_str(), TRUE);
  if (plan.failure)
    g_setenv("WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS", "1", TRUE);
  return EngineReadiness{plan.logLines, plan.failure};
}

}  // namespace

GtkPlatform::GtkPlatform(int argc, char** argv, std::optional<std::filesystem::path> resourceDir)
    : resourceDir_(std::move(resourceDir)) {
  engineReadiness_ = settleEngineFolders();
  // Before GTK starts: GDK reads GSK_RENDERER once, for the first window.
  const auto rendering = renderer::settle();
  trace::mark("renderer");
  engineReadiness_.logLines.push_back(rendering.logLine);
  webAcceleration_ = rendering.webAcceleration;
  argv0_ = argc > 0 && argv[0] ? argv[0] : "zormak";
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i)
    arguments.emplace_back(argv[i]);
  addresses_ = links::fromArguments(arguments);
  // The window's class (WM_CLASS on X11) is the program's name; as the
  // application id it matches the launcher entry's StartupWMClass, so docks
  // and task bars put the window under ZORMAK's icon.
  g_set_prgname(kApplicationId);
  g_set_application_name("ZORMAK");
  sessionBus_ = single_instance::sessionBusOrNone();
  MainQueue::installMain(std::make_shared<GlibMainQueue>());
  // Addresses reach the running instance as "open": a second launch with
  // some hands them over the session bus and exits.
  app_ = gtk_application_new(kApplicationId, G_APPLICATION_HANDLES_OPEN);
  g_signal_connect(app_, "startup", G_CALLBACK(&GtkPlatform::onStartup), this);
  g_signal_connect(app_, "activate", G_CALLBACK(&GtkPlatform::onActivate), this);
  g_signal_connect(app_, "shutdown", G_CALLBACK(&GtkPlatform::onShutdown), this);
  g_signal_connect(app_, "open", G_CALLBACK(&GtkPlatform::onOpen), this);
}

GtkPlatform::~GtkPlatform() {
  signIn_.reset();
  window_.reset();
  g_object_unref(app_);
  if (sessionBus_)
    g_object_unref(sessionBus_);
}

void GtkPlatform::setRegularActivationPolicy() {
  // Every GTK application is an ordinary foreground one.
}

void GtkPlatform::setMainMenu(const std::vector<Menu>& menus) {
  menuBar_.build(app_, menus, [this](MenuAction action) { perform(action); });
}

void GtkPlatform::perform(MenuAction action) {
  auto delegate = delegate_.lock();
  AppDelegate::performMenuAction(action, *this, launched_ ? delegate.get() : nullptr);
}

void GtkPlatform::setDelegate(std::weak_ptr<AppDelegate> delegate) {
  delegate_ = std::move(delegate);
}

int GtkPlatform::run() {
  // No command-line options: only the program's name and the web addresses
  // found among the arguments go to GTK, which opens them as files (a URI
  // it has no file system for keeps its text) in whichever instance runs.
  std::vector<char*> args{argv0_.data()};
  for (std::string& address : addresses_)
    args.push_back(address.data());
  args.push_back(nullptr);
  return g_application_run(G_APPLICATION(app_), static_cast<int>(args.size() - 1), args.data());
}

// Runs in the primary instance only; a second launch that finds the first
// over the session bus hands it "activate" and exits without getting here.
void GtkPlatform::onStartup(GApplication*, gpointer data) {
  trace::mark("startup");
  auto* self = static_cast<GtkPlatform*>(data);
  self->otherInstanceRuns_ = !single_instance::claimDataFolder();
  self->menuBar_.install(self->app_);
  // The icon lies in share/icons beside the resources, in the installed tree
  // and in the build tree alike; the theme finds it there when the prefix is
  // not one the desktop searches. The window and the About dialog show it.
  if (const auto& resources = self->resourceDir_) {
    const std::string icons = (resources->parent_path() / "icons").string();
    gtk_icon_theme_add_search_path(gtk_icon_theme_get_for_display(gdk_display_get_default()),
                                   icons.c_str());
  }
  gtk_window_set_default_icon_name(kApplicationId);
}

void GtkPlatform::onActivate(GApplication*, gpointer data) {
  static_cast<GtkPlatform*>(data)->launch();
}

void GtkPlatform::launch() {
  if (otherInstanceRuns_)
    return;  // no window is made, so the application ends after this
  if (launched_) {
    if (window_)
      window_->presentNow();  // a second launch asks for the window
    return;
  }
  auto delegate = delegate_.lock();
  if (!delegate)
    return;
  launched_ = true;
  trace::mark("launching");
  delegate->applicationDidFinishLaunching(*this);
  if (!delegate->applicationShouldTerminateAfterLastWindowClosed())
    g_application_hold(G_APPLICATION(app_));
}

// The first launch's own addresses, or those a later one handed over. Any
// process on the session bus may send these, so they are checked again.
void GtkPlatform::onOpen(GApplication*, GFile** files, int count, const char*, gpointer data) {
  auto* self = static_cast<GtkPlatform*>(data);
  std::vector<std::string> uris;
  for (int i = 0; i < count && uris.size() < links::kMaxAddresses; ++i) {
    char* uri = g_file_get_uri(files[i]);
    if (uri)
      uris.emplace_back(uri);
    g_free(uri);
  }
  trace::mark("open", std::to_string(uris.size()).c_str());
  self->launch();
  if (auto delegate = self->delegate_.lock(); delegate && self->launched_)
    delegate->openAddresses(uris);
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
  if (options.maximized)
    gtk_window_maximize(GTK_WINDOW(widget));
  trace::mark("window");
  window_ = std::make_shared<WindowHandle>(widget, options.shouldClose, options.focused);
  return window_;
}

std::shared_ptr<WebView> GtkPlatform::makeWebView(Window& window, WebViewHandlers handlers) {
  auto view = WebViewHandle::make(
      static_cast<WindowHandle&>(window), std::move(handlers),
      [this](MenuAction action) { perform(action); }, webAcceleration_);
  if (!engineReadiness_.failure) {
    if (!signIn_)
      signIn_ = std::make_unique<SignIn>(
          [this]() -> GtkWindow* { return window_ ? window_->gtkWindow() : nullptr; });
    signIn_->listenTo(view->webView());
  }
  return view;
}

void GtkPlatform::openSignInWindow() {
  if (signIn_)
    signIn_->openWindow();
}

void GtkPlatform::runAfter(std::chrono::milliseconds delay, std::function<void()> task) {
  MainQueue::main()->postAfter(delay, std::move(task));
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

void GtkPlatform::releaseFreeMemory() {
  // The start's animated pages redraw at the display's rate, and each redraw
  // has the engine copy the whole view (some 4 MB at the window's first size)
  // a few times. glibc then raises its mapping threshold past those copies:
  // they come from the heap and, once freed, stay there for the next frame,
  // which spares the start a fresh mapping per copy, but keeps some 10 MB in
  // the heap for as long as the process lives. From here on large blocks are
  // mapped on their own and unmapped when freed, and a heap top above the
  // usual ratio to that size goes back as well. The price is a fresh mapping
  // per copy (about 1.7 ms instead of 0.1): with the served page's caret
  // blinking, the idle shell takes some 2.5 % of a core instead of 1 %.
  constexpr int kLargeBlock = 1 << 20;
  mallopt(M_MMAP_THRESHOLD, kLargeBlock);
  mallopt(M_TRIM_THRESHOLD, 2 * kLargeBlock);
  // Also hands back free pages inside the arenas, not only at their tops.
  malloc_trim(0);
  trace::mark("memory-released");
}

void GtkPlatform::activate() {
  trace::mark("activate");
  if (window_)
    window_->present();
}

std::optional<ScreenSize> GtkPlatform::screenSize() {
  // The window opens on the first monitor; GTK 4 places windows itself and
  // says nothing of where before they are shown.
  GdkDisplay* display = gdk_display_get_default();
  if (!display)
    return std::nullopt;
  GListModel* monitors = gdk_display_get_monitors(display);
  auto* monitor = static_cast<GdkMonitor*>(g_list_model_get_item(monitors, 0));
  if (!monitor)
    return std::nullopt;
  GdkRectangle area;
  gdk_monitor_get_geometry(monitor, &area);
  g_object_unref(monitor);
  return ScreenSize{area.width, area.height};
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

void GtkPlatform::chooseFolder(Window& parent,
                               std::function<void(std::optional<std::string> path)> done) {
  gtk::chooseFolder(static_cast<WindowHandle&>(parent).gtkWindow(), std::move(done));
}

void GtkPlatform::readClipboardText(std::function<void(std::optional<std::string> text)> done) {
  incoming::readClipboardText(std::move(done));
}

void GtkPlatform::showAbout() {
  GtkWindow* parent = window_ ? window_->gtkWindow() : nullptr;
  // One dialog at a time: asking again brings the open one to the front.
  if (about_) {
    gtk_window_present(about_);
    return;
  }
  const std::string version(product::kVersion), website(product::kWebsite);
  const std::string comment(about::kComment), copyright(about::kCopyright);
  const std::string websiteLabel(about::kWebsiteLabel), name(about::kProgramName);
  GtkWidget* dialog = gtk_about_dialog_new();
  auto* about = GTK_ABOUT_DIALOG(dialog);
  gtk_about_dialog_set_program_name(about, name.c_str());
  gtk_about_dialog_set_logo_icon_name(about, kApplicationId);
  gtk_about_dialog_set_version(about, version.c_str());
  gtk_about_dialog_set_comments(about, comment.c_str());
  gtk_about_dialog_set_copyright(about, copyright.c_str());
  gtk_about_dialog_set_website(about, website.c_str());
  gtk_about_dialog_set_website_label(about, websiteLabel.c_str());
  gtk_about_dialog_set_license_type(about, GTK_LICENSE_MIT_X11);
  std::vector<std::string> credits(about::credits().begin(), about::credits().end());
  std::vector<const char*> people;
  for (const std::string& credit : credits)
    people.push_back(credit.c_str());
  people.push_back(nullptr);
  const std::string creditsTitle(about::kCreditsTitle);
  gtk_about_dialog_add_credit_section(about, creditsTitle.c_str(), people.data());
  gtk_window_set_transient_for(GTK_WINDOW(dialog), parent);
  gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
  gtk_window_set_hide_on_close(GTK_WINDOW(dialog), FALSE);
  about_ = GTK_WINDOW(dialog);
  g_object_add_weak_pointer(G_OBJECT(dialog), reinterpret_cast<gpointer*>(&about_));
  gtk_window_present(about_);
  // The name is a selectable label and, as the first thing that can take
  // the focus, would come up selected; the dialog starts with nothing
  // focused instead.
  gtk_window_set_focus(about_, nullptr);
}

void GtkPlatform::hide() {
  if (window_)
    window_->minimize();
}

void GtkPlatform::terminate() {
  g_application_quit(G_APPLICATION(app_));
}

void GtkPlatform::exitProcess(int status) {
  // The one piece of clean-up that cannot wait for the next start: the
  // engine's file must not keep the sign-in session's cookies past it.
  signIn_.reset();
  std::exit(status);
}

}  // namespace zormak::gtk
