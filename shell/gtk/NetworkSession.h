#pragma once

#include <webkit/webkit.h>

#include <functional>

#include "Platform.h"

namespace zormak::gtk {

// The web view's network session: site data and cookies kept in the ZORMAK
// folder across launches (in memory only when its folders cannot be made),
// the user's proxies for remote hosts and none for loopback.
WebKitNetworkSession* makeNetworkSession();

// The user's proxies, from the environment, for everything but loopback.
// Without proxy variables the system's settings stay in force.
void keepLoopbackDirect(WebKitNetworkSession* session);

// Puts the session cookie in the session's cookie manager and calls `done`
// on the main thread once it is stored (true) or refused (false).
void addSessionCookie(WebKitNetworkSession* session, const SessionCookie& cookie,
                      std::function<void(bool stored)> done);

}  // namespace zormak::gtk
