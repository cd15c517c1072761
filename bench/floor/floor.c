/* The floor of the start-up benchmark: the least a native program must do to
 * show the payload's server. It opens a window with a web view, spawns the
 * server and loads the one-time sign-in address the server prints (started
 * without the shell's launch secret, the server admits only a browser that
 * has signed in there, as a user's browser does); the server answers it with
 * the session cookie and a redirect to the application. Nothing else (no
 * install, no log, no status page, no menu, no uniqueness).
 *
 * Usage: floor APP_DIR PORT
 * With ZORMAK_TRACE naming a file, it appends the same marks as zormak's
 * trace: "<CLOCK_MONOTONIC ns> <event> [detail]". */
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
#include <webkit/webkit.h>

static FILE* trace_file;
static GPid server_pid;

static void mark(const char* event, const char* detail) {
  if (!trace_file)
    return;
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  fprintf(trace_file, "%lld %s%s%s\n", (long long)now.tv_sec * 1000000000LL + now.tv_nsec, event,
          detail ? " " : "", detail ? detail : "");
  fflush(trace_file);
}

static gulong after_paint_handler;

static void on_after_paint(GdkFrameClock* clock, gpointer data) {
  (void)data;
  mark("first-frame", NULL);
  g_signal_handler_disconnect(clock, after_paint_handler);
}

static void on_realize(GtkWidget* window, gpointer data) {
  (void)data;
  after_paint_handler = g_signal_connect(gtk_widget_get_frame_clock(window), "after-paint",
                                         G_CALLBACK(on_after_paint), NULL);
}

static void on_load_changed(WebKitWebView* view, WebKitLoadEvent event, gpointer data) {
  (void)data;
  static const char* const names[] = {"load-started", "load-redirected", "load-committed",
                                      "load-finished"};
  if ((unsigned)event < G_N_ELEMENTS(names))
    mark(names[event], webkit_web_view_get_uri(view));
}

/* Reads the server's output a line at a time and loads the sign-in address. */
static gboolean on_output(GIOChannel* channel, GIOCondition condition, gpointer data) {
  WebKitWebView* view = data;
  (void)condition;
  gchar* line = NULL;
  gsize length = 0;
  GIOStatus status = g_io_channel_read_line(channel, &line, &length, NULL, NULL);
  if (status != G_IO_STATUS_NORMAL) {
    g_free(line);
    return status == G_IO_STATUS_AGAIN;
  }
  const char* at = strstr(line, "http://127.0.0.1:");
  if (at && strstr(at, "/signin?token=")) {
    size_t end = 0;
    while (at[end] && !g_ascii_isspace(at[end]))
      ++end;
    gchar* url = g_strndup(at, end);
    mark("load-request", url);
    webkit_web_view_load_uri(view, url);
    g_free(url);
    g_free(line);
    /* Output after the sign-in address is drained and dropped. */
    return TRUE;
  }
  g_free(line);
  return TRUE;
}

static void on_close(GtkWindow* window, gpointer data) {
  (void)window;
  (void)data;
  kill(-server_pid, SIGTERM);
}

static gboolean on_term(gpointer data) {
  (void)data;
  kill(-server_pid, SIGTERM);
  exit(0);
}

static void on_setup_child(gpointer data) {
  (void)data;
  setpgid(0, 0);
}

int main(int argc, char** argv) {
  const char* path = getenv("ZORMAK_TRACE");
  if (path && path[0])
    trace_file = fopen(path, "ae");
  mark("main", NULL);
  if (argc < 3) {
    fprintf(stderr, "usage: %s APP_DIR PORT\n", argv[0]);
    return 2;
  }
  gtk_init();

  GtkWidget* window = gtk_window_new();
  gtk_window_set_title(GTK_WINDOW(window), "floor");
  gtk_window_set_default_size(GTK_WINDOW(window), 1180, 840);
  g_signal_connect(window, "realize", G_CALLBACK(on_realize), NULL);
  mark("window", NULL);
  GtkWidget* view = webkit_web_view_new();
  gtk_window_set_child(GTK_WINDOW(window), view);
  g_signal_connect(view, "load-changed", G_CALLBACK(on_load_changed), NULL);
  mark("web-view", NULL);
  gtk_window_present(GTK_WINDOW(window));

  gchar* python = g_build_filename(argv[1], ".venv", "bin", "python", NULL);
  gchar* child_argv[] = {python, "-u", "app.py", "--port", argv[2], "--no-browser", NULL};
  gint out = -1;
  GError* error = NULL;
  if (!g_spawn_async_with_pipes(argv[1], child_argv, NULL, G_SPAWN_STDERR_TO_DEV_NULL,
                                on_setup_child, NULL, &server_pid, NULL, &out, NULL, &error)) {
    fprintf(stderr, "spawn: %s\n", error->message);
    return 1;
  }
  mark("spawned", NULL);
  GIOChannel* channel = g_io_channel_unix_new(out);
  g_io_add_watch(channel, G_IO_IN | G_IO_HUP, on_output, view);

  g_signal_connect(window, "destroy", G_CALLBACK(on_close), NULL);
  g_unix_signal_add(SIGTERM, on_term, NULL);
  while (g_list_model_get_n_items(gtk_window_get_toplevels()) > 0)
    g_main_context_iteration(NULL, TRUE);
  return 0;
}
