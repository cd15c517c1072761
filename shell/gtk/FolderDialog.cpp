#include "FolderDialog.h"

#include <memory>

#include "Trace.h"

namespace zormak::gtk {

namespace {

using Done = std::function<void(std::optional<std::string>)>;

std::optional<std::string> localPath(GFile* file) {
  if (!file)
    return std::nullopt;
  char* path = g_file_get_path(file);
  std::optional<std::string> answer;
  if (path)
    answer = std::string(path);
  g_free(path);
  return answer;
}

void answer(Done& done, std::optional<std::string> path) {
  trace::mark("folder-chosen", path ? path->c_str() : "(none)");
  try {
    done(std::move(path));
  } catch (...) {
  }
}

}  // namespace

#if GTK_CHECK_VERSION(4, 10, 0)
void chooseFolder(GtkWindow* parent, Done done) {
  GtkFileDialog* dialog = gtk_file_dialog_new();
  gtk_file_dialog_set_title(dialog, "选择下载文件夹");
  gtk_file_dialog_set_modal(dialog, TRUE);
  gtk_file_dialog_select_folder(
      dialog, parent, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<Done> done(static_cast<Done*>(data));
        GFile* folder =
            gtk_file_dialog_select_folder_finish(GTK_FILE_DIALOG(source), result, nullptr);
        answer(*done, localPath(folder));
        if (folder)
          g_object_unref(folder);
        g_object_unref(source);
      },
      new Done(std::move(done)));
  trace::mark("folder-dialog");
}
#else
// GTK 4.8 has no GtkFileDialog; its native chooser goes through the portal
// in the same way.
void chooseFolder(GtkWindow* parent, Done done) {
  GtkFileChooserNative* chooser = gtk_file_chooser_native_new(
      "选择下载文件夹", parent, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, "选择", "取消");
  gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser), TRUE);
  g_signal_connect_data(
      chooser, "response", G_CALLBACK(+[](GtkNativeDialog* dialog, int response, gpointer data) {
        std::optional<std::string> path;
        if (response == GTK_RESPONSE_ACCEPT) {
          GFile* folder = gtk_file_chooser_get_file(GTK_FILE_CHOOSER(dialog));
          path = localPath(folder);
          if (folder)
            g_object_unref(folder);
        }
        answer(*static_cast<Done*>(data), std::move(path));
        g_object_unref(dialog);  // the reference gtk_file_chooser_native_new gave
      }),
      new Done(std::move(done)), [](gpointer data, GClosure*) { delete static_cast<Done*>(data); },
      G_CONNECT_DEFAULT);
  gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser));
  trace::mark("folder-dialog");
}
#endif

}  // namespace zormak::gtk
