"""Who may use the server: only the window that holds this launch's secret.

The shell gives each launch a fresh secret in ZORMAK_LAUNCH_SECRET and hands
the same value to its web view as the zormak_session cookie. Every request
but the readiness check must carry that cookie. Another local user or
program can find the port, but not the secret.

Started by hand, without the variable, the server makes its own secret and
a one-time sign-in token; the sign-in address sets the cookie in whatever
browser opens it first.
"""

import hmac
import os
import secrets
import threading

COOKIE = "zormak_session"
VARIABLE = "ZORMAK_LAUNCH_SECRET"
# The shell's secrets are 64 hex digits; a shorter one is a mistake, not a secret.
MIN_LENGTH = 32


def _same(a: str, b: str) -> bool:
    # compare_digest takes only ASCII text; bytes keep any header comparable.
    return hmac.compare_digest(a.encode("utf-8", "surrogateescape"), b.encode("utf-8", "surrogateescape"))


class Gate:
    def __init__(self, secret: str | None) -> None:
        self._lock = threading.Lock()
        self.from_environment = bool(secret) and len(secret or "") >= MIN_LENGTH
        self._secret = secret if secret and self.from_environment else secrets.token_hex(32)
        self._token: str | None = None if self.from_environment else secrets.token_urlsafe(32)
        # What the sign-in address carries; read once by whoever prints it.
        self.signin_token = self._token

    @classmethod
    def from_env(cls) -> "Gate":
        """The gate for this launch; the variable is removed so that no download's process inherits it."""
        return cls(os.environ.pop(VARIABLE, None))

    def admits(self, cookie_header: str | None) -> bool:
        """True if the Cookie header carries this launch's session cookie."""
        found = False
        for part in (cookie_header or "").split(";"):
            name, sep, value = part.strip().partition("=")
            if sep and name == COOKIE:
                found = _same(value.strip().strip('"'), self._secret) or found
        return found

    def redeem(self, token: str) -> str | None:
        """The Set-Cookie value for the one valid sign-in token, once; None otherwise."""
        with self._lock:
            if self._token is None or not _same(token, self._token):
                return None
            self._token = None
        return f"{COOKIE}={self._secret}; Path=/; HttpOnly; SameSite=Strict"
