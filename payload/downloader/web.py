"""The HTTP side: the page, its static files and the JSON API, on loopback only."""

import json
import mimetypes
import os
import re
import socket
import traceback
from http.server import BaseHTTPRequestHandler
from typing import TYPE_CHECKING, Any
from urllib.parse import parse_qs, urlsplit

from . import (errors, model, routes_engine, routes_files, routes_history, routes_jobs, routes_playlists,
               routes_signin)
from .auth import Gate
from .deadline import HeadDeadline
from .serving import CONNECTION_TIMEOUT, LoopbackServer
from .log import say_lines
from .routing import ROUTES, route
from .store import StorageError

if TYPE_CHECKING:
    from .application import App

STATIC_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "static")
MAX_BODY = 64 * 1024
_STATIC_NAME = re.compile(r"[A-Za-z0-9_-][A-Za-z0-9_.-]*")


class Server(LoopbackServer):
    def __init__(self, port: int, app: "App", gate: Gate, sock: socket.socket | None = None) -> None:
        self.app = app
        self.gate = gate
        super().__init__(port, Handler, sock)
        self.origin = f"http://127.0.0.1:{self.port}"


REFUSED = "拒绝访问：请在 ZORMAK 的窗口中使用下载器"
# The route modules fill ROUTES as they are imported, one per area of the page.
AREAS = (routes_jobs, routes_playlists, routes_engine, routes_history, routes_files, routes_signin)
# POST and PUT, and GET and HEAD, reach the same actions.
_SAME = {"HEAD": "GET", "PUT": "POST"}


class Handler(HeadDeadline, BaseHTTPRequestHandler):
    server: Server
    server_version = "ZormakPayload"
    sys_version = ""
    protocol_version = "HTTP/1.1"
    timeout = CONNECTION_TIMEOUT

    def log_message(self, format: str, *args: Any) -> None:
        pass

    # ---- plumbing ----

    def _send(self, status: int, body: bytes, content_type: str, extra: dict[str, str] | None = None) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("X-Frame-Options", "DENY")
        self.send_header("Referrer-Policy", "no-referrer")
        if status == 403:
            # A refused client gets nothing more on this connection.
            self.close_connection = True
            self.send_header("Connection", "close")
        for k, v in (extra or {}).items():
            self.send_header(k, v)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def reply(self, status: int, value: Any) -> None:
        text = json.dumps(value, ensure_ascii=False)
        try:
            body = text.encode("utf-8")
        except UnicodeEncodeError:
            # A lone surrogate that got past the checks still makes valid JSON, escaped.
            body = json.dumps(value).encode("ascii")
        self._send(status, body, "application/json; charset=utf-8")

    def send_file(self, body: bytes, content_type: str) -> None:
        self._send(200, body, content_type)

    def _error(self, status: int, message: str) -> None:
        if self.path.startswith("/api/"):
            self.reply(status, {"error": message})
        else:
            self._send(status, (message + "\n").encode("utf-8"), "text/plain; charset=utf-8")

    def _allowed(self, changes_state: bool) -> bool:
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

    def read_json(self, limit: int = MAX_BODY) -> dict[str, Any]:
        try:
            length = int(self.headers.get("Content-Length", "0"))
        except ValueError:
            raise errors.UserError("请求格式不正确") from None
        if length < 0 or length > limit:
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

    def _dispatch(self) -> None:
        method = _SAME.get(self.command, self.command)
        if not self._allowed(changes_state=method != "GET"):
            self.close_connection = True
            return
        path = self.path.split("?", 1)[0].split("#", 1)[0]
        try:
            found = next(((r, m) for r in ROUTES if method in r.methods and (m := r.pattern.match(path))), None)
            if not (found and found[0].open) and not self.server.gate.admits(self.headers.get("Cookie")):
                # Unknown paths too: without the cookie nothing about the server is told.
                self._error(403, REFUSED)
                self.close_connection = True
                return
            if found is None:
                raise errors.UserError("找不到这个页面", 404)
            found[0].action(self, found[1])
        except errors.UserError as e:
            self._error(e.status, e.message)
        except StorageError as e:
            self._error(503, str(e))
        except (BrokenPipeError, ConnectionResetError, TimeoutError):
            self.close_connection = True
        except Exception:  # noqa: BLE001  (the page gets a message, the log the details)
            say_lines(["[服务] 内部错误：", *traceback.format_exc().rstrip().splitlines()])
            self._error(500, errors.INTERNAL)

    do_GET = do_HEAD = do_POST = do_PUT = do_DELETE = _dispatch

    # ---- routes ----

    @route("GET", "/api/status", open=True)
    def status(self, m: "re.Match[str]") -> None:
        # Anyone on the machine may ask; the answer says only that the server is up.
        self.reply(200, {"ok": True})

    @route("GET", "/signin", open=True)
    def signin(self, m: "re.Match[str]") -> None:
        tokens = parse_qs(urlsplit(self.path).query).get("token", [])
        cookie = self.server.gate.redeem(tokens[0]) if len(tokens) == 1 else None
        if cookie is None:
            raise errors.UserError("这个登录地址无效或已经用过，请重新启动下载器", 403)
        self._send(303, b"", "text/plain; charset=utf-8", {"Location": "/", "Set-Cookie": cookie})

    @route("GET", "/api/meta")
    def meta(self, m: "re.Match[str]") -> None:
        self.reply(200, {"version": self.server.app.version, **model.meta()})

    @route("GET", "/api/notices")
    def notices(self, m: "re.Match[str]") -> None:
        self.reply(200, {"notices": self.server.app.notices})

    @route("GET", "/api/settings")
    def settings(self, m: "re.Match[str]") -> None:
        self.reply(200, self.server.app.settings.get())

    @route("POST", "/api/settings")
    def save_settings(self, m: "re.Match[str]") -> None:
        values = self.server.app.settings.update(self.read_json())
        self.server.app.manager.settings_changed()
        self.reply(200, values)

    @route("GET", "/(?:index.html)?")
    def index(self, m: "re.Match[str]") -> None:
        self._static("index.html")

    @route("GET", "/static/(.*)")
    def static(self, m: "re.Match[str]") -> None:
        self._static(m.group(1))

    def _static(self, name: str) -> None:
        # Only plain file names directly inside static/: no separators, no dot files.
        path = os.path.join(STATIC_DIR, name)
        if not _STATIC_NAME.fullmatch(name) or ".." in name or not os.path.isfile(path):
            raise errors.UserError("找不到这个页面", 404)
        with open(path, "rb") as f:
            body = f.read()
        ctype = mimetypes.guess_type(name)[0] or "application/octet-stream"
        if ctype.startswith("text/") or ctype == "application/javascript":
            ctype += "; charset=utf-8"
        self._send(200, body, ctype, {
            "Content-Security-Policy": "default-src 'self'; img-src 'self' data:; style-src 'self'; script-src 'self'",
        })
