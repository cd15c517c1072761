#include "SignInWindow.h"

#include <string>
#include <utility>

#include "Navigation.h"

namespace zormak::gtk::sign_in_window {

namespace {

// Without the program's name: the window belongs to the main one, and only
// the main window is found by it.
constexpr const char* kTitle = "登录网站";
constexpr const char* kStartPage =
    "<!doctype html><html lang=\"zh-CN\"><meta charset=\"utf-8\"><title>登录网站</title>"
    "<body style=\"font-family:sans-serif;max-width:40em;margin:3em "
    "auto;line-height:1.7;color:#333\">"
    "<h2>登录网站</h2><p>在上方地址栏输入网站的网址，像在浏览器里一样登录。</p>"
    "<p>登录以后可以关闭这个窗口：下载这个网站的视频时，ZORMAK 会自动带上登录状态。"
    "登录状态只交给下载引擎，只用于同一个网站。</p>"
    "<p>要退出登录，请在“设置”里的“已登录的网站”中点击“退出登录”。</p></body></html>";

GtkWindow* open = nullptr;  // the window while it is shown

struct Parts {
  WebKitWebView* view;
  GtkEntry* address;
  GtkWidget* back;
  GtkWidget* forward;
};

void updateButtons(Parts* parts) {
  gtk_widget_set_sensitive(parts->back, webkit_web_view_can_go_back(parts->view));
  gtk_widget_set_sensitive(parts->forward, webkit_web_view_can_go_forward(parts->view));
}

GtkWidget* button(const char* label, const char* tooltip, GCallback clicked, gpointer data) {
  GtkWidget* widget = gtk_button_new_with_label(label);
  gtk_widget_set_tooltip_text(widget, tooltip);
  g_signal_connect_swapped(widget, "clicked", clicked, data);
  return widget;
}

gboolean decidePolicy(WebKitWebView* view, WebKitPolicyDecision* decision,
                      WebKitPolicyDecisionType type, gpointer) {
  if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE)
    return FALSE;
  auto* action = webkit_navigation_policy_decision_get_navigation_action(
      WEBKIT_NAVIGATION_POLICY_DECISION(decision));
  const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
  const std::string target = uri ? uri : "";
  if (!navigation::originOf(target) && target != "about:blank") {
    // Another scheme could hand the desktop a program to run.
    webkit_policy_decision_ignore(decision);
    return TRUE;
  }
  if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
    // A sign-in that opens a window of its own goes on in this one.
    webkit_policy_decision_ignore(decision);
    webkit_web_view_load_uri(view, target.c_str());
    return TRUE;
  }
  return FALSE;
}

void onActivate(GtkEntry* entry, Parts* parts) {
  const std::string uri = addressFor(gtk_editable_get_text(GTK_EDITABLE(entry)));
  if (!uri.empty()) {
    webkit_web_view_load_uri(parts->view, uri.c_str());
    // As in browsers, the page takes the keys next (a form's autofocus field).
    gtk_widget_grab_focus(GTK_WIDGET(parts->view));
  } else
    gtk_widget_error_bell(GTK_WIDGET(entry));
}

gboolean onPermission(WebKitWebView*, WebKitPermissionRequest* request, gpointer) {
  webkit_permission_request_deny(request);
  return TRUE;
}

void onUri(WebKitWebView* view, GParamSpec*, Parts* parts) {
  const char* uri = webkit_web_view_get_uri(view);
  const bool start = !uri || g_str_has_prefix(uri, "about:");
  gtk_editable_set_text(GTK_EDITABLE(parts->address), start ? "" : uri);
}

void onLoad(WebKitWebView*, WebKitLoadEvent, Parts* parts) {
  updateButtons(parts);
}

// The keys browsers have for the same: F5 and Control+R reload, Control+L
// goes to the address, Alt with an arrow goes back or forward.
void addKeys(GtkWidget* window, Parts* parts) {
  GtkEventController* keys = gtk_shortcut_controller_new();
  gtk_shortcut_controller_set_scope(GTK_SHORTCUT_CONTROLLER(keys), GTK_SHORTCUT_SCOPE_GLOBAL);
  const std::pair<const char*, GtkShortcutFunc> table[] = {
      {"F5|<Control>r",
       +[](GtkWidget*, GVariant*, gpointer data) -> gboolean {
         webkit_web_view_reload(static_cast<Parts*>(data)->view);
         return TRUE;
       }},
      {"<Control>l",
       +[](GtkWidget*, GVariant*, gpointer data) -> gboolean {
         gtk_widget_grab_focus(GTK_WIDGET(static_cast<Parts*>(data)->address));
         return TRUE;
       }},
      {"<Alt>Left",
       +[](GtkWidget*, GVariant*, gpointer data) -> gboolean {
         webkit_web_view_go_back(static_cast<Parts*>(data)->view);
         return TRUE;
       }},
      {"<Alt>Right",
       +[](GtkWidget*, GVariant*, gpointer data) -> gboolean {
         webkit_web_view_go_forward(static_cast<Parts*>(data)->view);
         return TRUE;
       }},
  };
  for (const auto& [trigger, action] : table)
    gtk_shortcut_controller_add_shortcut(
        GTK_SHORTCUT_CONTROLLER(keys),
        gtk_shortcut_new(gtk_shortcut_trigger_parse_string(trigger),
                         gtk_callback_action_new(action, parts, nullptr)));
  gtk_widget_add_controller(window, keys);
}

}  // namespace

std::string addressFor(const std::string& typed) {
  const auto start = typed.find_first_not_of(" \t\r\n");
  if (start == std::string::npos)
    return {};
  std::string text = typed.substr(start, typed.find_last_not_of(" \t\r\n") - start + 1);
  if (text.find_first_of(" \t\r\n") != std::string::npos)
    return {};
  if (text.find("://") == std::string::npos)
    text = "https://" + text;
  return navigation::originOf(text) ? text : std::string();
}

void present(SignInSession& session, GtkWindow* parent) {
  if (open) {
    gtk_window_present(open);
    return;
  }
  GtkWidget* window = gtk_window_new();
  gtk_window_set_title(GTK_WINDOW(window), kTitle);
  gtk_window_set_default_size(GTK_WINDOW(window), 1000, 760);
  if (parent)
    gtk_window_set_transient_for(GTK_WINDOW(window), parent);
  gtk_window_set_destroy_with_parent(GTK_WINDOW(window), TRUE);

  auto* view = WEBKIT_WEB_VIEW(
      g_object_new(WEBKIT_TYPE_WEB_VIEW, "network-session", session.session(), nullptr));
  auto* parts = new Parts{view, GTK_ENTRY(gtk_entry_new()), nullptr, nullptr};
  g_object_set_data_full(G_OBJECT(window), "zormak-sign-in", parts,
                         [](gpointer data) { delete static_cast<Parts*>(data); });
  parts->back = button("←", "后退", G_CALLBACK(webkit_web_view_go_back), view);
  parts->forward = button("→", "前进", G_CALLBACK(webkit_web_view_go_forward), view);
  GtkWidget* reload = button("↻", "重新载入", G_CALLBACK(webkit_web_view_reload), view);
  gtk_entry_set_placeholder_text(parts->address, "输入网址，例如 https://www.example.com");
  gtk_widget_set_hexpand(GTK_WIDGET(parts->address), TRUE);
  g_signal_connect(parts->address, "activate", G_CALLBACK(onActivate), parts);

  GtkWidget* bar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
  gtk_widget_set_margin_start(bar, 6);
  gtk_widget_set_margin_end(bar, 6);
  gtk_widget_set_margin_top(bar, 6);
  gtk_widget_set_margin_bottom(bar, 6);
  gtk_box_append(GTK_BOX(bar), parts->back);
  gtk_box_append(GTK_BOX(bar), parts->forward);
  gtk_box_append(GTK_BOX(bar), reload);
  gtk_box_append(GTK_BOX(bar), GTK_WIDGET(parts->address));

  GtkWidget* column = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_box_append(GTK_BOX(column), bar);
  gtk_widget_set_vexpand(GTK_WIDGET(view), TRUE);
  gtk_widget_set_hexpand(GTK_WIDGET(view), TRUE);
  gtk_box_append(GTK_BOX(column), GTK_WIDGET(view));
  gtk_window_set_child(GTK_WINDOW(window), column);

  g_signal_connect(view, "decide-policy", G_CALLBACK(decidePolicy), nullptr);
  // Cameras, places, notifications: nothing a sign-in needs.
  g_signal_connect(view, "permission-request", G_CALLBACK(onPermission), nullptr);
  g_signal_connect(view, "notify::uri", G_CALLBACK(onUri), parts);
  g_signal_connect(view, "load-changed", G_CALLBACK(onLoad), parts);
  addKeys(window, parts);
  updateButtons(parts);
  webkit_web_view_load_html(view, kStartPage, nullptr);

  open = GTK_WINDOW(window);
  g_object_add_weak_pointer(G_OBJECT(window), reinterpret_cast<gpointer*>(&open));
  gtk_window_present(open);
  gtk_widget_grab_focus(GTK_WIDGET(parts->address));
}

}  // namespace zormak::gtk::sign_in_window
