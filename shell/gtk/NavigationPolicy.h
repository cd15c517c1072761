#pragma once

#include <webkit/webkit.h>

#include "Platform.h"

namespace zormak::gtk {

// The web view's "decide-policy" for navigations and new windows: each goes
// to `allowed` before its request goes out, and what it refuses is ignored.
// Returns whether the decision was taken (the signal's return value).
gboolean decideNavigationPolicy(WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                const NavigationHandler& allowed);

}  // namespace zormak::gtk
