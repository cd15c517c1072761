"""End-to-end test of signing in to a site in ZORMAK's sign-in window: a
loopback site with a login form and a page behind it, signed in to by typing
into that window; the file the shell writes for the engine holds the site's
cookies until signing out, and the session's until the end of the run. The
sign-in window and the main web view never share a cookie. The built binary
under Xvfb, with the harness of test_shell.py.

Usage: test_signin.py ZORMAK_BINARY [unittest arguments]
Set ZORMAK_E2E_SHOTS to a directory to keep screenshots of what was shown.
"""
import http.server
import os
import secrets
import sqlite3
import stat
import sys
import threading
import unittest
from http.cookies import SimpleCookie

import test_shell
from test_shell import ShellTestCase, read, wait_for

SIGN_IN_TITLE = "登录网站"
PASSWORD = "open sesame"
LOGIN = """<!doctype html><meta charset="utf-8"><title>登录</title>
<form method="post" action="/login"><input name="password" type="password" autofocus
  onfocus="fetch('/focused')">
<button>登录</button></form>
<script>fetch('/handler?' + !!(window.webkit && window.webkit.messageHandlers &&
  window.webkit.messageHandlers.zormakSignIn));</script>"""


class Site(http.server.ThreadingHTTPServer):
    """The site: a login form that sets a session cookie (sid) and a lasting
    one (remember), and a page only for a visitor carrying sid; the
    form's field asks for /focused when it takes the keys. Every request's
    path and cookies are kept."""

    daemon_threads = True

    def __init__(self):
        super().__init__(("127.0.0.1", 0), SiteHandler)
        self.sid, self.remember = secrets.token_hex(8), secrets.token_hex(8)
        self.seen = []  # (method and path, {cookie: value})
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.server_address[1], path)

    def cookies_seen(self):
        return {name for _, cookies in self.seen for name in cookies}


class SiteHandler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def _cookies(self):
        jar = SimpleCookie(self.headers.get("Cookie", ""))
        cookies = {name: morsel.value for name, morsel in jar.items()}
        self.server.seen.append((self.command + " " + self.path, cookies))
        return cookies

    def _send(self, status, body=b"", kind="text/html; charset=utf-8", headers=()):
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        signed_in = self._cookies().get("sid") == self.server.sid
        if self.path == "/":
            self._send(200, LOGIN.encode())
        elif self.path == "/video":
            if signed_in:
                self._send(200, '<meta charset="utf-8"><h1>会员视频</h1>'.encode())
            else:
                self._send(303, headers=[("Location", "/")])
        else:
            self._send(403, b"", "text/plain")

    def do_POST(self):
        self._cookies()
        body = self.rfile.read(int(self.headers.get("Content-Length", "0"))).decode()
        if body == "password=" + PASSWORD.replace(" ", "+"):
            self._send(303, headers=[("Location", "/video"),
                                     ("Set-Cookie", "sid=%s; Path=/; HttpOnly" % self.server.sid),
                                     ("Set-Cookie", "remember=%s; Path=/; Max-Age=86400" % self.server.remember)])
        else:
            self._send(303, headers=[("Location", "/")])


def store(path):
    """The cookie names in a WebKit session's SQLite store."""
    if not os.path.exists(path):
        return set()
    db = sqlite3.connect("file:%s?mode=ro" % path, uri=True)
    try:
        return {row[0] for row in db.execute("SELECT name FROM moz_cookies")}
    finally:
        db.close()


class SignIn(ShellTestCase):
    def type_password(self, run, site, since):
        """Types the password once the login page's field has taken the keys:
        the server seeing the page asked for is not enough, the keys typed
        while it loads go nowhere."""
        self.assertTrue(wait_for(lambda: "GET /focused" in [p for p, _ in site.seen[since:]], 20),
                        site.seen[since:])
        run.xdo("type", "--delay", "20", PASSWORD)
        run.xdo("key", "Return")

    def test_sign_in_and_sign_out(self):
        site = Site()
        self.addCleanup(site.server_close)
        self.addCleanup(site.shutdown)
        run = self.run_with()
        proc = run.launch()
        self.assertTrue(run.wait_ready(), run.log())

        run.key("s")
        window = wait_for(lambda: run.find("^%s$" % SIGN_IN_TITLE), 20)
        self.assertTrue(window, run.titles())
        # Only the main window bears the program's name.
        self.assertEqual(len(run.windows()), 1)
        run.screenshot("signin-start")
        run.xdo("windowfocus", "--sync", window)
        run.xdo("type", "--delay", "20", site.url("/"))
        run.xdo("key", "Return")
        self.assertTrue(wait_for(lambda: any(p.startswith("GET /handler") for p, _ in site.seen), 20), site.seen)
        run.screenshot("signin-login-form")
        self.type_password(run, site, 0)
        self.assertTrue(wait_for(lambda: ("GET /video", {"sid": site.sid, "remember": site.remember}) in site.seen,
                                 20), site.seen)
        run.screenshot("signin-signed-in")
        # The sign-in window's pages have no handler into the shell.
        self.assertIn("GET /handler?false", [p for p, _ in site.seen])

        # The site's session cookie, in the line the payload's tests give the engine.
        jar = os.path.join(run.support, "SignIn", "engine-cookies.txt")
        line = "#HttpOnly_127.0.0.1\tFALSE\t/\tFALSE\t0\tsid\t%s\n" % site.sid
        self.assertTrue(wait_for(lambda: line in read(jar), 10), read(jar))
        self.assertEqual(stat.S_IMODE(os.stat(jar).st_mode), 0o600)
        self.assertEqual(stat.S_IMODE(os.stat(os.path.dirname(jar)).st_mode), 0o700)

        # Neither session's cookies reach the other's sites: the site, on the
        # server's host, never got the launch secret or the page's own
        # cookie, and the server's page, loaded again, none of the site's.
        run.key("ctrl+r")
        self.assertTrue(wait_for(lambda: len(run.cookies()) >= 2, 20), run.requested())
        self.assertEqual(site.cookies_seen(), {"sid", "remember"})
        for header in run.cookies():
            self.assertNotIn(site.sid, header)
            self.assertNotIn(site.remember, header)
        self.assertEqual(store(os.path.join(run.support, "WebKit", "cookies.sqlite")), {"kept"})
        self.assertEqual(store(os.path.join(run.support, "SignIn", "data", "cookies.sqlite")), {"remember"})

        # Signing out through the page: the file loses the site's cookies.
        run.key("o")
        self.assertTrue(wait_for(lambda: "GET /signed-out?true" in run.requested(), 20), run.requested())
        self.assertNotIn(site.sid, read(jar))
        self.assertNotIn(site.remember, read(jar))
        # In the sign-in window too the site asks for a sign-in again.
        run.xdo("windowfocus", "--sync", window)
        before = len(site.seen)
        run.xdo("key", "F5")
        self.assertTrue(wait_for(lambda: ("GET /", {}) in site.seen[before:], 20), site.seen[before:])
        self.assertEqual(site.seen[before], ("GET /video", {}))
        run.screenshot("signin-signed-out")

        # Signed in again, then quit: cookies that end with the session leave the file with it.
        self.type_password(run, site, before)
        self.assertTrue(wait_for(lambda: site.sid in read(jar), 20), read(jar))
        self.stop(run, proc)
        self.assertNotIn(site.sid, read(jar))
        self.assertIn("\tremember\t" + site.remember, read(jar))


if __name__ == "__main__":
    test_shell.BINARY = os.path.abspath(sys.argv.pop(1))
    unittest.main()
