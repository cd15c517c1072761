"""The HTTP side: the page, its static files and the JSON API, on loopback only."""

import json
import mimetypes
import os
import re
import traceback
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from . import errors

STATIC_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "static")
MAX_BODY = 64 * 1024
_JOB_ACTION = re.compile(r"^/api/jobs/(\d{1,9})(?:/(cancel|retry))?$")
_HISTORY_ENTRY = re.compile(r"^/api/history/(\d{1,12})$")


class Server(ThreadingHTTPServer):
    # The shell may give the same port on every launch; a predecessor's
    # connections in TIME_WAIT must not keep us from binding it.
    allow_reuse_address = True
    daemon_threads = True

    def __init__(self, port, app):
        self.app = app
        super().__init__(("127.0.0.1", port), Handler)
        self.port = self.server_address[1]
        self.origin = f"http://127.0.0.1:{self.port}"

    def handle_error(self, request, client_address):
        # A browser dropping a connection is not worth a traceback in the log.
        pass


class Handler(BaseHTTPRequestHandler):
    server_version = "ZormakPayload"
    sys_version = ""
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    # ---- plumbing ----

    def _send(self, status, body, content_type, extra=None):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("X-Frame-Options", "DENY")
        self.send_header("Referrer-Policy", "no-referrer")
        for k, v in (extra or {}).items():
            self.send_header(k, v)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _json(self, status, value):
        self._send(status, json.dumps(value, ensure_ascii=False).encode("utf-8"), "application/json; charset=utf-8")

    def _error(self, status, message):
        self._json(status, {"error": message})

    def _allowed(self, changes_state):
        """Refuses requests that did not come from our own page on our own address.

        Checking Host defeats DNS rebinding (a foreign name resolving to
        127.0.0.1); checking Origin and Sec-Fetch-Site on state-changing
        requests keeps other sites open in a browser from driving the queue."""
        if self.headers.get("Host", "") != f"127.0.0.1:{self.server.port}":
            self._error(403, "拒绝访问：请求的主机名不正确")
            return False
        if changes_state:
            origin = self.headers.get("Origin")
            if origin is not None and origin != self.server.origin:
                self._error(403, "拒绝访问：请求来自其他网站")
                return False
            if self.headers.get("Sec-Fetch-Site", "same-origin") not in ("same-origin", "none"):
                self._error(403, "拒绝访问：请求来自其他网站")
                return False
            ctype = self.headers.get("Content-Type", "").split(";")[0].strip().lower()
            if self.command != "DELETE" and ctype != "application/json":
                # Forms from other pages cannot send JSON without a preflight.
                self._error(415, "请求格式不正确")
                return False
        return True

    def _body(self):
        try:
            length = int(self.headers.get("Content-Length", "0"))
        except ValueError:
            raise errors.UserError("请求格式不正确") from None
        if length < 0 or length > MAX_BODY:
            raise errors.UserError("请求内容太大", 413)
        raw = self.rfile.read(length) if length else b""
        if not raw:
            return {}
        try:
            value = json.loads(raw.decode("utf-8"))
        except (UnicodeDecodeError, ValueError):
            raise errors.UserError("请求格式不正确") from None
        if not isinstance(value, dict):
            raise errors.UserError("请求格式不正确")
        return value

    def _dispatch(self, changes_state, route):
        if not self._allowed(changes_state):
            self.close_connection = True
            return
        try:
            route()
        except errors.UserError as e:
            self._error(e.status, e.message)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True
        except Exception:  # noqa: BLE001  (the page gets a message, the log the details)
            print("[服务] 内部错误：" + traceback.format_exc().rstrip(), flush=True)
            self._error(500, errors.INTERNAL)

    def do_GET(self):
        self._dispatch(False, self._get)

    def do_HEAD(self):
        self._dispatch(False, self._get)

    def do_POST(self):
        self._dispatch(True, self._post)

    def do_PUT(self):
        self._dispatch(True, self._post)

    def do_DELETE(self):
        self._dispatch(True, self._delete)

    # ---- routes ----

    def _path(self):
        return self.path.split("?", 1)[0].split("#", 1)[0]

    def _get(self):
        app = self.server.app
        path = self._path()
        if path == "/api/status":
            self._json(200, {"ok": True, "version": app.version})
        elif path == "/api/jobs":
            self._json(200, {"jobs": app.manager.list()})
        elif path == "/api/settings":
            self._json(200, app.settings.get())
        elif path == "/api/history":
            self._json(200, {"entries": app.history.list()})
        elif path in ("/", "/index.html"):
            self._static("index.html")
        elif path.startswith("/static/"):
            self._static(path[len("/static/"):])
        else:
            self._error(404, "找不到这个页面")

    def _static(self, name):
        # Only plain file names directly inside static/: no separators, no dot files.
        if not re.fullmatch(r"[A-Za-z0-9_-][A-Za-z0-9_.-]*", name) or ".." in name:
            self._error(404, "找不到这个页面")
            return
        path = os.path.join(STATIC_DIR, name)
        if not os.path.isfile(path):
            self._error(404, "找不到这个页面")
            return
        with open(path, "rb") as f:
            body = f.read()
        ctype = mimetypes.guess_type(name)[0] or "application/octet-stream"
        if ctype.startswith("text/") or ctype == "application/javascript":
            ctype += "; charset=utf-8"
        self._send(200, body, ctype, {
            "Content-Security-Policy": "default-src 'self'; img-src 'self' data:; style-src 'self'; script-src 'self'",
        })

    def _post(self):
        app = self.server.app
        path = self._path()
        body = self._body()
        if path == "/api/jobs":
            added, rejected = app.manager.add(body.get("urls"), body.get("format"))
            self._json(200 if added else 400, {"added": added, "errors": rejected,
                                                **({"error": rejected[0]} if not added and rejected else {})})
        elif path == "/api/jobs/clear":
            app.manager.clear_finished()
            self._json(200, {"jobs": app.manager.list()})
        elif path == "/api/settings":
            values = app.settings.update(body)
            app.manager.settings_changed()
            self._json(200, values)
        elif path == "/api/history/clear":
            app.history.clear()
            self._json(200, {"entries": []})
        else:
            m = _JOB_ACTION.match(path)
            if m and m.group(2) == "cancel":
                self._json(200, app.manager.cancel(int(m.group(1))))
            elif m and m.group(2) == "retry":
                self._json(200, app.manager.retry(int(m.group(1))))
            else:
                self._error(404, "找不到这个页面")

    def _delete(self):
        app = self.server.app
        path = self._path()
        self._body()
        m = _JOB_ACTION.match(path)
        if m and not m.group(2):
            app.manager.remove(int(m.group(1)))
            self._json(200, {"ok": True})
            return
        m = _HISTORY_ENTRY.match(path)
        if m:
            if not app.history.remove(int(m.group(1))):
                raise errors.UserError("没有这条记录", 404)
            self._json(200, {"ok": True})
            return
        self._error(404, "找不到这个页面")
