#include "StartupCover.h"

#include "Trace.h"

namespace zormak::gtk::startup_cover {

namespace {

constexpr const char* kHandler = "zormakPainted";

// Two animation frames: the first runs before the page's first paint, the
// second after it has been handed to the window.
constexpr const char* kPaintedScript =
    "requestAnimationFrame(function () { requestAnimationFrame(function () {"
    " window.webkit.messageHandlers.zormakPainted.postMessage('painted'); }); });";

constexpr const char* kCoverStyle =
    ".zormak-cover { background-color: #f7f7fb; color: #3c3c46; }"
    ".zormak-cover label { font-size: 15px; }";

GtkWidget* makeCover() {
  GtkWidget* cover = gtk_box_new(GTK_ORIENTATION_VERTICAL, 18);
  gtk_widget_add_css_class(cover, "zormak-cover");
  gtk_widget_set_halign(cover, GTK_ALIGN_FILL);
  gtk_widget_set_valign(cover, GTK_ALIGN_FILL);
  GtkWidget* middle = gtk_box_new(GTK_ORIENTATION_VERTICAL, 18);
  gtk_widget_set_hexpand(middle, TRUE);
  gtk_widget_set_vexpand(middle, TRUE);
  gtk_widget_set_halign(middle, GTK_ALIGN_CENTER);
  gtk_widget_set_valign(middle, GTK_ALIGN_CENTER);
  GtkWidget* spinner = gtk_spinner_new();
  gtk_widget_set_size_request(spinner, 34, 34);
  gtk_spinner_start(GTK_SPINNER(spinner));
  gtk_box_append(GTK_BOX(middle), spinner);
  gtk_box_append(GTK_BOX(middle), gtk_label_new("ZORMAK 正在启动…"));
  gtk_box_append(GTK_BOX(cover), middle);
  // The cover takes no clicks or keys meant for the page below.
  gtk_widget_set_can_target(cover, FALSE);
  return cover;
}

void onPainted(WebKitUserContentManager* manager, JSCValue*, gpointer data) {
  auto* cover = static_cast<GtkWidget*>(data);
  g_signal_handlers_disconnect_by_data(manager, data);
  if (GtkWidget* overlay = gtk_widget_get_parent(cover)) {
    trace::mark("cover-lifted");
    gtk_overlay_remove_overlay(GTK_OVERLAY(overlay), cover);
  }
  g_object_unref(cover);
}

}  // namespace

void install(GtkWindow* window, WebKitWebView* view) {
  static GtkCssProvider* style = [] {
    GtkCssProvider* provider = gtk_css_provider_new();
    gtk_css_provider_load_from_data(provider, kCoverStyle, -1);
    gtk_style_context_add_provider_for_display(gdk_display_get_default(),
                                               GTK_STYLE_PROVIDER(provider),
                                               GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    return provider;
  }();
  (void)style;
  GtkWidget* overlay = gtk_overlay_new();
  gtk_overlay_set_child(GTK_OVERLAY(overlay), GTK_WIDGET(view));
  GtkWidget* cover = makeCover();
  gtk_overlay_add_overlay(GTK_OVERLAY(overlay), cover);
  gtk_window_set_child(window, overlay);

  WebKitUserContentManager* manager = webkit_web_view_get_user_content_manager(view);
  webkit_user_content_manager_register_script_message_handler(manager, kHandler, nullptr);
  // The handler holds the cover until it runs (a window closed before any
  // paint keeps it to the end of the process).
  g_signal_connect(manager, "script-message-received::zormakPainted", G_CALLBACK(onPainted),
                   g_object_ref(cover));
  WebKitUserScript* script =
      webkit_user_script_new(kPaintedScript, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                             WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_END, nullptr, nullptr);
  webkit_user_content_manager_add_script(manager, script);
  webkit_user_script_unref(script);
  trace::mark("cover");
}

}  // namespace zormak::gtk::startup_cover
