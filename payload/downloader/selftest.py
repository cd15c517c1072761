"""The self-test of a new engine before it is switched to: a child process imports it from its file and
must extract a page served here on loopback."""

import http.client
import http.server
import json
import os
import subprocess
import sys
import threading
from typing import Any

from .log import say
from .runtime import Runtimes
from .fetching import Failure


# Run in a child process with the candidate's entries first on sys.path: it must
# import the engine from those entries, name its version, the companion version
# and the JavaScript runtimes' minimum versions it needs, and, given a page,
# extract the media link from it.
_PROBE = r"""
import json, os, sys
entries, page = json.loads(sys.argv[1]), sys.argv[2]
sys.path[:0] = entries
import yt_dlp
from yt_dlp.version import __version__
origin = os.path.abspath(yt_dlp.__file__)
if not origin.startswith(os.path.abspath(entries[0]) + os.sep):
    sys.exit("yt_dlp was imported from " + origin)
out = {"version": __version__, "ejs_needed": None, "ejs": None}
try:
    from yt_dlp.extractor.youtube.jsc._builtin import vendor
    out["ejs_needed"] = str(vendor.VERSION)
except Exception:
    pass
try:
    import yt_dlp_ejs
    out["ejs"] = str(yt_dlp_ejs.version)
except Exception:
    pass
try:
    import yt_dlp.utils._jsruntime as jsr
    out["js_minimums"] = {n: list(c.MIN_SUPPORTED_VERSION) for n, c in vars(jsr).items()
                          if isinstance(c, type) and isinstance(getattr(c, "MIN_SUPPORTED_VERSION", None), tuple)}
except ModuleNotFoundError as e:
    if e.name == "yt_dlp.utils._jsruntime":
        out["js_minimums"] = None
except Exception:
    pass
if page:
    params = {"quiet": True, "no_warnings": True, "proxy": "", "socket_timeout": 10, "noplaylist": True}
    with yt_dlp.YoutubeDL(params) as ydl:
        info = ydl.extract_info(page, download=False)
    formats = info.get("formats") or [info]
    out["media"] = [f.get("url") for f in formats]
print("\n" + json.dumps(out))
"""


_PAGE = ('<!DOCTYPE html><html><head><meta charset="utf-8"><title>engine check</title></head>'
         '<body><video src="/check.mp4" type="video/mp4"></video></body></html>').encode()


_MEDIA = b"\x00\x00\x00\x18ftypmp42\x00\x00\x00\x00mp42isom" + bytes(1000)


class _PageServer(http.server.ThreadingHTTPServer):
    """The loopback page a new engine must extract before it is used."""

    daemon_threads = True

    def __init__(self) -> None:
        super().__init__(("127.0.0.1", 0), _PageHandler)
        self.thread = threading.Thread(target=self.serve_forever, name="engine-page", daemon=True)
        self.thread.start()

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.server_address[1]}/"

    def close(self) -> None:
        self.shutdown()
        self.server_close()


class _PageHandler(http.server.BaseHTTPRequestHandler):
    def do_GET(self) -> None:
        body, kind = (_PAGE, "text/html; charset=utf-8") if self.path == "/" else (_MEDIA, "video/mp4")
        if self.path not in ("/", "/check.mp4"):
            self.send_error(404)
            return
        self.send_response(200)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_HEAD(self) -> None:
        self.send_response(200 if self.path in ("/", "/check.mp4") else 404)
        self.end_headers()

    def log_message(self, format: str, *args: Any) -> None:
        pass


class SelfTest:
    runtime: Runtimes

    def _probe(self, entries: list[str], ejs: str | None) -> dict[str, Any]:
        """Imports the candidate in a child process, which must extract the loopback page and,
        with ejs set, load that version of the companion package."""
        page = _PageServer()
        try:
            env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
            try:
                done = subprocess.run([sys.executable, "-I", "-c", _PROBE, json.dumps(entries), page.url],
                                      capture_output=True, text=True, timeout=120, env=env,
                                      cwd=os.path.dirname(entries[0]), stdin=subprocess.DEVNULL, check=False)
            except subprocess.TimeoutExpired:
                raise Failure("新的下载引擎在两分钟内没有完成自检，已丢弃") from None
        finally:
            page.close()
        lines = done.stdout.strip().splitlines()
        try:
            out = json.loads(lines[-1]) if done.returncode == 0 and lines else None
        except ValueError:
            out = None
        if not isinstance(out, dict):
            detail = (done.stderr.strip().splitlines() or ["没有输出"])[-1]
            say(f"[引擎] 新的下载引擎自检失败：{detail}")
            raise Failure(f"新的下载引擎无法运行（{detail[:120]}），已丢弃")
        media = out.get("media") or []
        if not any(isinstance(u, str) and u == page.url + "check.mp4" for u in media):
            raise Failure("新的下载引擎没能从测试网页中找到视频，已丢弃")
        if ejs and out.get("ejs") != ejs:
            raise Failure(f"新的下载引擎需要 yt-dlp-ejs {ejs}，但无法载入它，已丢弃")
        self.runtime.probed(out)
        return out
