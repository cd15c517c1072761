#pragma once

#include <gio/gio.h>

namespace zormak::gtk::single_instance {

// GtkApplication finds a running instance over the session bus and hands it
// the launch. These cover what the bus cannot.

// WebKit's sandbox hands the session bus on to its processes and aborts the
// whole program when the bus the environment names cannot be reached (an
// address left over after su or ssh, a bus that has gone away). Such a bus
// counts as none: the variable is removed, and GLib then looks for the
// display's bus or the program runs without one. Returns the connection
// (the caller's reference) or null.
GDBusConnection* sessionBusOrNone();

// Keeps a second instance that could not reach the first over the session
// bus (there is none, or each has its own) away from the first one's server
// and files: whoever holds the lock on the ZORMAK folder is the one running
// instance. False when another process holds it.
bool claimDataFolder();

}  // namespace zormak::gtk::single_instance
