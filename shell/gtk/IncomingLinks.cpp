#include "IncomingLinks.h"

#include <memory>

#include "Trace.h"

namespace zormak::gtk::incoming {

namespace {

// Dropped text beyond this is cut: an address list is never that long.
constexpr gsize kMaxDrop = 256 * 1024;

gboolean onDrop(GtkDropTarget*, const GValue* value, double, double, gpointer data) {
  const auto& handler = *static_cast<DropHandler*>(data);
  if (G_VALUE_HOLDS(value, GDK_TYPE_FILE_LIST)) {
    // GDK builds the list from text/uri-list; a web address becomes a GFile
    // that still answers its URI.
    std::string list;
    for (GSList* item = static_cast<GSList*>(g_value_get_boxed(value)); item; item = item->next) {
      char* uri = g_file_get_uri(G_FILE(item->data));
      list += uri;
      list += "\r\n";
      g_free(uri);
    }
    trace::mark("drop", "uri-list");
    handler(list.substr(0, kMaxDrop), true);
    return TRUE;
  }
  if (G_VALUE_HOLDS_STRING(value) && g_value_get_string(value)) {
    trace::mark("drop", "text");
    handler(std::string(g_value_get_string(value)).substr(0, kMaxDrop), false);
    return TRUE;
  }
  return FALSE;
}

}  // namespace

void installDropTarget(GtkWidget* widget, DropHandler handler) {
  GtkDropTarget* target = gtk_drop_target_new(G_TYPE_INVALID, GDK_ACTION_COPY);
  GType types[] = {GDK_TYPE_FILE_LIST, G_TYPE_STRING};
  gtk_drop_target_set_gtypes(target, types, G_N_ELEMENTS(types));
  // Before the web view's own drop handling, which sits below this widget.
  gtk_event_controller_set_propagation_phase(GTK_EVENT_CONTROLLER(target), GTK_PHASE_CAPTURE);
  g_signal_connect_data(
      target, "drop", G_CALLBACK(onDrop), new DropHandler(std::move(handler)),
      [](gpointer data, GClosure*) { delete static_cast<DropHandler*>(data); }, G_CONNECT_DEFAULT);
  gtk_widget_add_controller(widget, GTK_EVENT_CONTROLLER(target));
}

void readClipboardText(std::function<void(std::optional<std::string> text)> done) {
  GdkDisplay* display = gdk_display_get_default();
  if (!display) {
    done(std::nullopt);
    return;
  }
  gdk_clipboard_read_text_async(
      gdk_display_get_clipboard(display), nullptr,
      [](GObject* clipboard, GAsyncResult* result, gpointer data) {
        std::unique_ptr<std::function<void(std::optional<std::string>)>> callback(
            static_cast<std::function<void(std::optional<std::string>)>*>(data));
        GError* error = nullptr;
        char* text = gdk_clipboard_read_text_finish(GDK_CLIPBOARD(clipboard), result, &error);
        g_clear_error(&error);
        std::optional<std::string> answer;
        if (text)
          answer = std::string(text);
        g_free(text);
        try {
          (*callback)(std::move(answer));
        } catch (...) {
        }
      },
      new std::function<void(std::optional<std::string>)>(std::move(done)));
}

}  // namespace zormak::gtk::incoming
