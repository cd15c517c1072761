#include "NavigationPolicy.h"

namespace zormak::gtk {

namespace {

bool mayFollow(const NavigationHandler& allowed, const char* uri, bool newWindow) {
  try {
    return allowed(uri ? uri : "", newWindow);
  } catch (...) {
    return false;
  }
}

}  // namespace

gboolean decideNavigationPolicy(WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                const NavigationHandler& allowed) {
  const bool newWindow = type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION;
  if (!newWindow && type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION)
    return FALSE;
  WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
      WEBKIT_NAVIGATION_POLICY_DECISION(decision));
  // Every navigation is decided before its request goes out: one the user
  // asked for, one a script starts on its own and each redirect of either,
  // so that no way of leaving the served origin is followed in place. The
  // engine does not say whether a frame or the page is navigating; the
  // served application has no frames of its own.
  const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
  if (mayFollow(allowed, uri, newWindow))
    return FALSE;
  webkit_policy_decision_ignore(decision);
  return TRUE;
}

}  // namespace zormak::gtk
