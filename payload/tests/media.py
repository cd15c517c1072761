"""The sites the tests download from: generated clips served on 127.0.0.1.

/NAME sends a file at full speed, /slow/NAME at about 20 KB/s; both honour
a single byte range, as real video hosts do. A file named in cut breaks off
at that offset, and requests from there on are refused (with
refusal, 403 unless a test changes it), until the test lifts the cut. A file
named in ends gets, for each request from start to end, the length promised
but only the bytes up to ends[name](start, end).
/hls/v.m3u8 is a stream of eight segments, each sent after 0.3 s; the server
keeps the most segments that were in flight at once. A
file named in hold stops sending at that offset, connection open, until
the test sets released. /stall/NAME and /stall-page/NAME send their
headers and then nothing until the test sets stalled. Pages, redirects and aliases
can be added per test, and named bytes served at their paths (files, or
blob() in a subclass). With a cookie set, only requests that carry it are
answered (403 otherwise), as on a site that needs a login. The server counts
every byte it sends per file, and before(path), when a test sets it, runs
as each request arrives.

RecordingProxy is a plain HTTP proxy on 127.0.0.1 that notes each request
line it forwards.
"""

import collections
import http.client
import io
import os
import re
import shutil
import subprocess
import tempfile
import threading
import time
import unittest
from typing import Callable
from http.cookies import SimpleCookie
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import urlsplit

FFMPEG = shutil.which("ffmpeg")
_media_dir: str | None = None


def media_dir() -> str:
    """A folder with the test clips, made once per test process."""
    global _media_dir
    if _media_dir is None:
        if not FFMPEG:
            raise unittest.SkipTest("ffmpeg is not installed")
        _media_dir = tempfile.mkdtemp(prefix="zormak-media-")
        # Three seconds of test picture and tone: small, yet a real MP4 that
        # yt-dlp's generic extractor recognises by its content type.
        _ffmpeg("-f", "lavfi", "-i", "testsrc=size=320x240:rate=25", "-f", "lavfi", "-i", "sine=frequency=440",
                "-t", "3", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
                "-c:a", "aac", "-movflags", "+faststart", os.path.join(_media_dir, "clip.mp4"))
    return _media_dir


def _ffmpeg(*args: str) -> None:
    subprocess.run([FFMPEG or "ffmpeg", "-loglevel", "error", "-y", *args], check=True)


def long_audio() -> str:
    """An hour of silence as FLAC: tiny to send, seconds of work for ffmpeg to turn into MP3."""
    path = os.path.join(media_dir(), "hour.flac")
    if not os.path.exists(path):
        _ffmpeg("-f", "lavfi", "-i", "anullsrc=r=48000:cl=stereo", "-t", "3600", "-c:a", "flac", path)
    return path


def big_file(name: str, size: int) -> str:
    """A file of size random bytes served as video/mp4 (yt-dlp takes it by its content type)."""
    path = os.path.join(media_dir(), name)
    if not os.path.exists(path) or os.path.getsize(path) != size:
        with open(path, "wb") as f:
            f.write(os.urandom(size))
    return path


def poster() -> str:
    """A video's picture as sites give it: a JPEG frame, some tens of KB. Served as /poster.jpg."""
    path = os.path.join(media_dir(), "poster.jpg")
    if not os.path.exists(path):
        _ffmpeg("-f", "lavfi", "-i", "testsrc=size=640x360", "-frames:v", "1", "-q:v", "2", path)
    return path


def hls_stream() -> str:
    """A four-second stream cut into eight segments, with its playlist v.m3u8, in a folder of its own."""
    folder = os.path.join(media_dir(), "hls")
    if not os.path.exists(os.path.join(folder, "v.m3u8")):
        os.makedirs(folder, exist_ok=True)
        _ffmpeg("-f", "lavfi", "-i", "testsrc=size=160x120:rate=25", "-f", "lavfi", "-i", "sine=frequency=440",
                "-t", "4", "-c:v", "libx264", "-preset", "ultrafast", "-g", "12", "-pix_fmt", "yuv420p",
                "-c:a", "aac", "-f", "hls", "-hls_time", "0.5", "-hls_list_size", "0",
                "-hls_segment_filename", os.path.join(folder, "s%02d.ts"), os.path.join(folder, "v.m3u8"))
    return folder


_RANGE = re.compile(r"bytes=(\d+)-(\d*)\Z")


class _MediaHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server: "MediaServer"

    def log_message(self, format: str, *args: object) -> None:
        pass

    def do_HEAD(self) -> None:
        self._serve(head=True)

    def do_GET(self) -> None:
        self._serve(head=False)

    def _serve(self, head: bool) -> None:
        server = self.server
        path = self.path.split("?", 1)[0]
        server.requests.append(path)
        if server.before:
            server.before(path)
        if server.cookie is not None:
            name, value = server.cookie
            sent: SimpleCookie[str] = SimpleCookie(self.headers.get("Cookie", ""))
            if name not in sent or sent[name].value != value:
                server.refused.append(path)
                self._head(403, "text/plain", 0)
                return
        if path in server.redirects:
            self._head(302, "text/plain", 0, {"Location": server.redirects[path]})
            return
        if path in server.pages:
            body = server.pages[path].encode("utf-8")
            self._head(200, "text/html; charset=utf-8", len(body))
            if not head:
                self.wfile.write(body)
            return
        path = server.aliases.get(path, path)
        if path.startswith("/stall/"):
            # Headers, then silence: a server that stopped sending.
            self._head(200, "video/mp4", 1 << 20)
            server.stalled.wait(60)
            return
        if path.startswith("/stall-page/"):
            # A page that never finishes: the headers, a start, then silence until the test lifts it.
            self._head(200, "text/html; charset=utf-8", 1 << 16)
            self.wfile.write(b"<html><head>")
            self.wfile.flush()
            server.stalled.wait(60)
            self.close_connection = True
            return
        if path.startswith("/hls/"):
            self._stream(os.path.join(hls_stream(), os.path.basename(path)), head)
            return
        blob = server.blob(path)
        slow = path.startswith("/slow/")
        name = path.rsplit("/", 1)[-1] if blob is not None else path[len("/slow/"):] if slow else path.lstrip("/")
        file = os.path.join(server.root, os.path.basename(name))
        if blob is None and (not name or "/" in name or not os.path.isfile(file)):
            self._head(404, "text/plain", 0)
            return
        ctype = "application/octet-stream" if blob is not None else {".mp4": "video/mp4", ".flac": "audio/flac",
                                                                      ".jpg": "image/jpeg"}.get(os.path.splitext(file)[1], "video/mp4")
        size = os.path.getsize(file) if blob is None else len(blob)
        start, end = 0, size
        m = _RANGE.match(self.headers.get("Range", ""))
        if m and int(m.group(1)) < size:
            start = int(m.group(1))
            end = min(size, int(m.group(2)) + 1) if m.group(2) else size
        cut = server.cut.get(name)
        if cut is not None and start >= cut:
            self._head(server.refusal, "text/plain", 0)
            return
        if m and int(m.group(1)) < size:
            server.resumed(name, start)
            self._head(206, ctype, end - start, {"Content-Range": f"bytes {start}-{end - 1}/{size}"})
        else:
            self._head(200, ctype, size, {"Accept-Ranges": "bytes"})
        if head:
            return
        rate = server.slow_rate if slow else 0
        with open(file, "rb") if blob is None else io.BytesIO(blob) as f:
            f.seek(start)
            try:
                if rate:
                    # A prober that reads only the headers is gone before the first byte.
                    time.sleep(0.1)
                stop = server.ends[name](start, end) if name in server.ends else end
                left = min(end, stop, end if cut is None else cut) - start
                hold = server.hold.get(name)
                while left > 0:
                    if hold is not None and f.tell() >= hold:
                        server.released.wait(60)
                        hold = None
                    step = min(left, max(2048, rate // 100) if rate else 1 << 16)
                    if hold is not None:
                        step = max(1, min(step, hold - f.tell()))
                    chunk = f.read(step)
                    self.wfile.write(chunk)
                    self.wfile.flush()
                    server.count(name, len(chunk), f.tell())
                    left -= len(chunk)
                    if rate:
                        time.sleep(len(chunk) / rate)
            except ConnectionError:
                pass
            if cut is not None or name in server.ends:
                # Less than Content-Length promised: the client must see the connection end.
                self.close_connection = True

    def _stream(self, file: str, head: bool) -> None:
        if not os.path.isfile(file):
            self._head(404, "text/plain", 0)
            return
        segment = file.endswith(".ts")
        if segment:
            with self.server._lock:
                self.server.in_flight += 1
                self.server.most_in_flight = max(self.server.most_in_flight, self.server.in_flight)
            time.sleep(0.3)
            with self.server._lock:
                self.server.in_flight -= 1
        with open(file, "rb") as f:
            body = f.read()
        self._head(200, "video/mp2t" if segment else "application/vnd.apple.mpegurl", len(body))
        if not head:
            self.wfile.write(body)

    def _head(self, status: int, ctype: str, length: int, extra: dict[str, str] | None = None) -> None:
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(length))
        for k, v in (extra or {}).items():
            self.send_header(k, v)
        self.end_headers()


class MediaServer(ThreadingHTTPServer):
    """Serves media_dir() on 127.0.0.1."""

    daemon_threads = True

    def __init__(self, root: str | None = None, slow_rate: int = 20000) -> None:
        super().__init__(("127.0.0.1", 0), _MediaHandler)
        self.root = root or media_dir()
        self.slow_rate = slow_rate
        self.requests: list[str] = []
        self.pages: dict[str, str] = {}
        self.redirects: dict[str, str] = {}
        self.aliases: dict[str, str] = {}
        self.files: dict[str, bytes] = {}
        self.before: Callable[[str], object] | None = None
        self.stalled = threading.Event()
        # (name, value) of the cookie a request must carry, and the paths refused for the want of it.
        self.cookie: tuple[str, str] | None = None
        self.refused: list[str] = []
        self.cut: dict[str, int] = {}
        self.ends: dict[str, Callable[[int, int], int]] = {}
        self.refusal = 403
        self.hold: dict[str, int] = {}
        self.released = threading.Event()
        # Per file: bytes sent, range requests (downloads that continued), bytes sent again by them.
        self.sent: collections.Counter[str] = collections.Counter()
        self.resumes: collections.Counter[str] = collections.Counter()
        self.refetched: collections.Counter[str] = collections.Counter()
        self._reached: collections.Counter[str] = collections.Counter()
        self.in_flight = self.most_in_flight = 0
        self._lock = threading.Lock()
        threading.Thread(target=self.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True).start()

    def count(self, name: str, n: int, reached: int) -> None:
        with self._lock:
            self.sent[name] += n
            self._reached[name] = max(self._reached[name], reached)

    def resumed(self, name: str, start: int) -> None:
        """A range request from start: what was sent beyond it before is sent again."""
        with self._lock:
            self.refetched[name] += max(0, self._reached[name] - start)
            self.resumes[name] += 1

    def blob(self, path: str) -> bytes | None:
        """The bytes served at path, if it names some rather than a file of root."""
        return self.files.get(path)

    def asked(self, name: str) -> list[str]:
        """The paths requested for files called name."""
        return [p for p in self.requests if p.rsplit("/", 1)[-1] == name]

    def url(self, path: str) -> str:
        return f"http://127.0.0.1:{self.server_address[1]}/{path.lstrip('/')}"

    def close(self) -> None:
        self.stalled.set()
        self.released.set()
        self.shutdown()
        self.server_close()


# Headers that concern one connection, not the request: a proxy does not pass them on.
_HOP_BY_HOP = {"connection", "keep-alive", "proxy-connection", "proxy-authorization", "te", "trailer",
               "transfer-encoding", "upgrade"}


class _ProxyHandler(BaseHTTPRequestHandler):
    """Forwards a request whose target is a whole http:// address, as clients send them to a proxy."""

    protocol_version = "HTTP/1.1"
    server: "RecordingProxy"

    def log_message(self, format: str, *args: object) -> None:
        pass

    def _forward(self) -> None:
        self.server.seen.append((self.requestline, dict(self.headers)))
        target = urlsplit(self.path)
        if target.scheme != "http" or not target.hostname:
            self.send_error(400, "only http:// targets are forwarded")
            return
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        headers = {k: v for k, v in self.headers.items() if k.lower() not in _HOP_BY_HOP}
        path = (target.path or "/") + (f"?{target.query}" if target.query else "")
        upstream = http.client.HTTPConnection(target.hostname, target.port or 80, timeout=60)
        try:
            upstream.request(self.command, path, body or None, headers)
            response = upstream.getresponse()
            # One request per connection: the answer's end is the connection's end, whatever its framing.
            self.send_response(response.status, response.reason)
            for k, v in response.getheaders():
                if k.lower() not in _HOP_BY_HOP:
                    self.send_header(k, v)
            self.send_header("Connection", "close")
            self.end_headers()
            self.close_connection = True
            if self.command != "HEAD":
                while chunk := response.read1(1 << 16):
                    self.wfile.write(chunk)
        except OSError:
            self.close_connection = True
        finally:
            upstream.close()

    do_GET = do_HEAD = do_POST = _forward


class RecordingProxy(ThreadingHTTPServer):
    """A plain HTTP proxy on 127.0.0.1 that keeps each forwarded request's line and headers."""

    daemon_threads = True

    def __init__(self) -> None:
        super().__init__(("127.0.0.1", 0), _ProxyHandler)
        # (request line, headers) of each request so far, in order.
        self.seen: list[tuple[str, dict[str, str]]] = []
        self.address = f"http://127.0.0.1:{self.server_address[1]}"
        threading.Thread(target=self.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True).start()

    def close(self) -> None:
        self.shutdown()
        self.server_close()
