"""The HTTP side: the page, its static files and the JSON API, on loopback only."""

import json
import mimetypes
import os
import re
import socket
import traceback
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler
from typing import TYPE_CHECKING, Any, Callable

from urllib.parse import parse_qs, urlsplit

from . import addresses, engine_files, errors, extras, model, opener, playlists, probe
from .auth import Gate
from .deadline import HeadDeadline
from .serving import CONNECTION_TIMEOUT, LoopbackServer
from .log import say, say_lines
from .store import StorageError

if TYPE_CHECKING:
    from app import App

STATIC_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "static")
MAX_BODY = 64 * 1024
_STATIC_NAME = re.compile(r"[A-Za-z0-9_-][A-Za-z0-9_.-]*")


class Server(LoopbackServer):
    def __init__(self, port: int, app: "App", gate: Gate, sock: socket.socket | None = None) -> None:
        self.app = app
        self.gate = gate
        super().__init__(port, Handler, sock)
        self.origin = f"http://127.0.0.1:{self.port}"


Action = Callable[["Handler", "re.Match[str]"], None]


@dataclass(frozen=True)
class Route:
    methods: tuple[str, ...]
    pattern: "re.Pattern[str]"
    action: Action
    # Open routes answer without the session cookie.
    open: bool = False


def _route(methods: str, pattern: str, open: bool = False) -> Callable[[Action], Action]:
    """Adds the decorated handler method to ROUTES for these methods and this path."""
    def register(action: Action) -> Action:
        ROUTES.append(Route(tuple(methods.split()), re.compile(pattern + r"\Z"), action, open))
        return action
    return register


REFUSED = "拒绝访问：请在 ZORMAK 的窗口中使用下载器"
DUPLICATE = "这些视频已经在下载队列中或已经下载过"


def _choice(body: dict[str, Any]) -> dict[str, Any]:
    """What a request chose besides the format: subtitles, cover, metadata."""
    return {k: body[k] for k in extras.KEYS if k in body}


def _one_address(text: object) -> object:
    """The address in text when it holds exactly one, as a share text does; otherwise text as it came."""
    if isinstance(text, str):
        paste = addresses.extract(text)
        if len(paste.addresses) == 1 and not paste.unusable:
            return paste.addresses[0]
    return text


ROUTES: list[Route] = []
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

    def _json(self, status: int, value: Any) -> None:
        text = json.dumps(value, ensure_ascii=False)
        try:
            body = text.encode("utf-8")
        except UnicodeEncodeError:
            # A lone surrogate that got past the checks still makes valid JSON, escaped.
            body = json.dumps(value).encode("ascii")
        self._send(status, body, "application/json; charset=utf-8")

    def _error(self, status: int, message: str) -> None:
        if self.path.startswith("/api/"):
            self._json(status, {"error": message})
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

    def _body(self, limit: int = MAX_BODY) -> dict[str, Any]:
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

    @_route("GET", "/api/status", open=True)
    def status(self, m: "re.Match[str]") -> None:
        # Anyone on the machine may ask; the answer says only that the server is up.
        self._json(200, {"ok": True})

    @_route("GET", "/signin", open=True)
    def signin(self, m: "re.Match[str]") -> None:
        tokens = parse_qs(urlsplit(self.path).query).get("token", [])
        cookie = self.server.gate.redeem(tokens[0]) if len(tokens) == 1 else None
        if cookie is None:
            raise errors.UserError("这个登录地址无效或已经用过，请重新启动下载器", 403)
        self._send(303, b"", "text/plain; charset=utf-8", {"Location": "/", "Set-Cookie": cookie})

    @_route("GET", "/api/meta")
    def meta(self, m: "re.Match[str]") -> None:
        self._json(200, {"version": self.server.app.version, **model.meta()})

    @_route("GET", "/api/jobs")
    def jobs(self, m: "re.Match[str]") -> None:
        manager = self.server.app.manager
        self._json(200, {"jobs": manager.snapshot(), "engine_update": manager.engine_update()})

    @_route("POST", "/api/jobs")
    def add_jobs(self, m: "re.Match[str]") -> None:
        body = self._body()
        self._added(self.server.app.manager.add(body.get("urls"), body.get("format"), _choice(body),
                                                force=body.get("force") is True))

    def _added(self, result: dict[str, Any], **more: Any) -> None:
        added, rejected, duplicates = result["added"], result["errors"], result["duplicates"]
        # 409: nothing new was added, but some videos are already here and the page may ask to fetch them again.
        status = 200 if added else 409 if duplicates else 400
        error = {} if status == 200 else {"error": DUPLICATE if duplicates else rejected[0]}
        self._json(status, {**more, **result, **error})

    @_route("POST", "/api/probe")
    def probe_formats(self, m: "re.Match[str]") -> None:
        body = self._body()
        self._json(200, probe.probe(self.server.app.ask, body.get("url")))

    @_route("POST", "/api/subtitles")
    def subtitles(self, m: "re.Match[str]") -> None:
        self._json(200, extras.fetch_languages(self.server.app.ask, self._body().get("url")))

    @_route("POST", "/api/playlist")
    def list_playlist(self, m: "re.Match[str]") -> None:
        """Lists a page with several videos for the chooser; a single video is added to the queue at once."""
        body = self._body()
        url = _one_address(body.get("url"))
        info = playlists.extract(self.server.app.ask, url)
        url = str(url).strip()
        if not playlists.is_playlist(info):
            self._added(self.server.app.manager.add(url, body.get("format"), _choice(body),
                                                    force=body.get("force") is True), playlist=False)
            return
        found = playlists.entries(info)
        if not found:
            raise errors.UserError("这个列表里没有可以下载的视频")
        title = playlists.clean_title(info.get("title"))
        listing = self.server.app.listings.keep(url, title, found)
        say(f"[列表] 列出了 {len(found)} 个视频：{title or listing.url}")
        self._json(200, {"playlist": True, **listing.public()})

    @_route("POST", "/api/playlist/select")
    def select_playlist(self, m: "re.Match[str]") -> None:
        body = self._body()
        listing = self.server.app.listings.get(body.get("id"))
        self._json(200, {"indices": playlists.parse_range(body.get("range"), len(listing.entries))})

    @_route("POST", "/api/playlist/add")
    def add_playlist(self, m: "re.Match[str]") -> None:
        """One job per chosen entry of a listing, saving into the playlist's folder."""
        body = self._body()
        listing = self.server.app.listings.get(body.get("id"))
        indices = body.get("indices")
        if body.get("range") is not None:
            indices = playlists.parse_range(body.get("range"), len(listing.entries))
        if not isinstance(indices, list) or not all(isinstance(i, int) and not isinstance(i, bool) for i in indices):
            raise errors.UserError("请求格式不正确")
        if any(not 1 <= i <= len(listing.entries) for i in indices):
            raise errors.UserError(f"序号超出范围，这个列表只有 1 到 {len(listing.entries)}")
        chosen = [listing.entries[i - 1] for i in sorted(set(indices))]
        added, rejected = self.server.app.manager.add_entries(
            [(e["url"], e["title"]) for e in chosen], body.get("format"), listing.folder, _choice(body))
        self._json(200 if added else 400, {"added": added, "errors": rejected, "folder": listing.folder,
                                            **({"error": rejected[0]} if not added and rejected else {})})

    @_route("POST", "/api/jobs/clear")
    def clear_jobs(self, m: "re.Match[str]") -> None:
        self._body()
        self.server.app.manager.clear_finished()
        self._json(200, {"jobs": self.server.app.manager.snapshot()})

    @_route("POST", r"/api/jobs/([0-9]{1,9})/cancel")
    def cancel_job(self, m: "re.Match[str]") -> None:
        self._body()
        self._json(200, self.server.app.manager.cancel(int(m.group(1))))

    @_route("POST", r"/api/jobs/([0-9]{1,9})/retry")
    def retry_job(self, m: "re.Match[str]") -> None:
        self._body()
        self._json(200, self.server.app.manager.retry(int(m.group(1))))

    @_route("POST", r"/api/jobs/([0-9]{1,9})/pause")
    def pause_job(self, m: "re.Match[str]") -> None:
        self._body()
        self._json(200, self.server.app.manager.pause(int(m.group(1))))

    @_route("POST", r"/api/jobs/([0-9]{1,9})/resume")
    def resume_job(self, m: "re.Match[str]") -> None:
        self._body()
        self._json(200, self.server.app.manager.resume(int(m.group(1))))

    @_route("GET", "/api/notices")
    def notices(self, m: "re.Match[str]") -> None:
        self._json(200, {"notices": self.server.app.notices})

    @_route("DELETE", r"/api/jobs/([0-9]{1,9})")
    def remove_job(self, m: "re.Match[str]") -> None:
        self._body()
        self.server.app.manager.remove(int(m.group(1)))
        self._json(200, {"ok": True})

    @_route("GET", "/api/settings")
    def settings(self, m: "re.Match[str]") -> None:
        self._json(200, self.server.app.settings.get())

    @_route("POST", "/api/settings")
    def save_settings(self, m: "re.Match[str]") -> None:
        values = self.server.app.settings.update(self._body())
        self.server.app.manager.settings_changed()
        self._json(200, values)

    @_route("GET", "/api/engine")
    def engine(self, m: "re.Match[str]") -> None:
        self._json(200, self.server.app.updater.status())

    @_route("POST", "/api/engine/(check|rollback|runtime)")
    def engine_action(self, m: "re.Match[str]") -> None:
        """Starts a check or the runtime's fetch, or goes back one engine; refusals come back as 409."""
        self._body()
        updater = self.server.app.updater
        action = {"check": updater.check, "rollback": updater.rollback, "runtime": updater.fetch_runtime}
        self._json(200, action[m.group(1)]())

    @_route("POST", "/api/engine/import")
    def engine_import(self, m: "re.Match[str]") -> None:
        """The release files the user chose, checked and installed in the background like a download."""
        files = engine_files.read(self._body(engine_files.MAX_BODY))
        self._json(200, self.server.app.updater.import_files(files))

    @_route("GET", "/api/history")
    def history(self, m: "re.Match[str]") -> None:
        self._json(200, {"entries": self.server.app.store.entries()})

    @_route("POST", "/api/history/clear")
    def clear_history(self, m: "re.Match[str]") -> None:
        self._body()
        self.server.app.store.clear_history()
        self._json(200, {"entries": []})

    @_route("DELETE", r"/api/history/([0-9]{1,12})")
    def remove_history_entry(self, m: "re.Match[str]") -> None:
        self._body()
        if not self.server.app.store.remove_entry(int(m.group(1))):
            raise errors.UserError("没有这条记录", 404)
        self._json(200, {"ok": True})

    # Opening a download: the path is always the one the server recorded;
    # the request names only the job or the history row.

    @_route("POST", r"/api/jobs/([0-9]{1,9})/(open|reveal)")
    def open_job_file(self, m: "re.Match[str]") -> None:
        self._body()
        self._open(self.server.app.manager.finished_file(int(m.group(1))), m.group(2))

    @_route("POST", r"/api/history/([0-9]{1,12})/(open|reveal)")
    def open_history_file(self, m: "re.Match[str]") -> None:
        self._body()
        path = self.server.app.store.entry_path(int(m.group(1)))
        if path is None:
            raise errors.UserError("没有这条记录", 404)
        self._open(path, m.group(2))

    def _open(self, path: str, how: str) -> None:
        if how == "reveal":
            opener.reveal(path)
            self._json(200, {"ok": True})
            return
        message = opener.open_file(path)
        self._json(200, {"ok": True, **({"revealed": True, "message": message} if message else {})})

    @_route("GET", "/(?:index.html)?")
    def index(self, m: "re.Match[str]") -> None:
        self._static("index.html")

    @_route("GET", "/static/(.*)")
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
