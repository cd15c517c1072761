#pragma once

#include <gtk/gtk.h>

#include <string>

#include "SignInSession.h"

namespace zormak::gtk {

// A small browser for signing in to sites: an address field with back,
// forward and reload over a web view of the sign-in session. It has no
// message handler into our page and no way to reach the shell; whatever a
// site asks of it beyond pages (a new window, a permission, a program for
// another scheme) stays in it or is refused.
namespace sign_in_window {

// Brings the window to the front, made the first time; one at a time.
void present(SignInSession& session, GtkWindow* parent);

// What an address typed into the field is loaded as: http and https only,
// https when no scheme is given; empty for anything else.
std::string addressFor(const std::string& typed);

}  // namespace sign_in_window

}  // namespace zormak::gtk
