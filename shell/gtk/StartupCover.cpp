#include "StartupCover.h"

#include <algorithm>

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

// The spinner is drawn here, as the starting page draws its own (a ring of
// #e2e2ee with a quarter of #6b5ce7, one turn in 0.9 s), rather than by
// GtkSpinner: its theme icon is an SVG, and loading it brings the SVG library
// into the process (some 7 MiB) for the moment the cover is up.
void drawSpinner(GtkDrawingArea* area, cairo_t* cr, int width, int height, gpointer) {
  constexpr double kLine = 3;
  constexpr gint64 kTurnMicroseconds = 900000;
  const double radius = std::min(width, height) / 2.0 - kLine / 2;
  GdkFrameClock* clock = gtk_widget_get_frame_clock(GTK_WIDGET(area));
  const gint64 now = clock ? gdk_frame_clock_get_frame_time(clock) : 0;
  const double start = 2 * G_PI * static_cast<double>(now % kTurnMicroseconds) /
                           static_cast<double>(kTurnMicroseconds) -
                       G_PI / 2;
  cairo_set_line_width(cr, kLine);
  cairo_translate(cr, width / 2.0, height / 2.0);
  cairo_set_source_rgb(cr, 0xe2 / 255.0, 0xe2 / 255.0, 0xee / 255.0);
  cairo_arc(cr, 0, 0, radius, 0, 2 * G_PI);
  cairo_stroke(cr);
  cairo_set_source_rgb(cr, 0x6b / 255.0, 0x5c / 255.0, 0xe7 / 255.0);
  cairo_arc(cr, 0, 0, radius, start - G_PI / 4, start + G_PI / 4);
  cairo_stroke(cr);
}

gboolean turn(GtkWidget* spinner, GdkFrameClock*, gpointer) {
  gtk_widget_queue_draw(spinner);
  return G_SOURCE_CONTINUE;
}

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
  GtkWidget* spinner = gtk_drawing_area_new();
  gtk_drawing_area_set_content_width(GTK_DRAWING_AREA(spinner), 34);
  gtk_drawing_area_set_content_height(GTK_DRAWING_AREA(spinner), 34);
  gtk_widget_set_halign(spinner, GTK_ALIGN_CENTER);
  gtk_drawing_area_set_draw_func(GTK_DRAWING_AREA(spinner), drawSpinner, nullptr, nullptr);
  gtk_widget_add_tick_callback(spinner, turn, nullptr, nullptr);
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
