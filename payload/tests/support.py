"""What the payload's tests share: generated media, a loopback media server
and the payload's own server started as the shell starts it.

The tests run under the assembled payload's interpreter; ZORMAK_PAYLOAD_DIR
names the assembled payload. Nothing here reaches beyond 127.0.0.1.
"""

import http.client
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

PAYLOAD_DIR = os.environ.get("ZORMAK_PAYLOAD_DIR") or os.path.join(
    os.path.dirname(os.path.abspath(__file__)), os.pardir)
PYTHON = os.path.join(PAYLOAD_DIR, ".venv", "bin", "python")
if not os.path.exists(PYTHON):
    PYTHON = sys.executable
FFMPEG = shutil.which("ffmpeg")
# The few tests of the server's own functions import them from the payload under test.
sys.path.insert(0, PAYLOAD_DIR)

_media_dir = None


def media_dir():
    """A folder with the test clips, made once per test process."""
    global _media_dir
    if _media_dir is None:
        if not FFMPEG:
            raise unittest.SkipTest("ffmpeg is not installed")
        _media_dir = tempfile.mkdtemp(prefix="zormak-media-")
        # Three seconds of test picture and tone: small, yet a real MP4 that
        # yt-dlp's generic extractor recognises by its content type.
        subprocess.run([FFMPEG, "-loglevel", "error", "-y",
                        "-f", "lavfi", "-i", "testsrc=size=320x240:rate=25",
                        "-f", "lavfi", "-i", "sine=frequency=440",
                        "-t", "3", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
                        "-c:a", "aac", "-movflags", "+faststart",
                        os.path.join(_media_dir, "clip.mp4")], check=True)
    return _media_dir


def long_audio():
    """An hour of silence as FLAC: tiny to send, seconds of work for ffmpeg to turn into MP3."""
    path = os.path.join(media_dir(), "hour.flac")
    if not os.path.exists(path):
        subprocess.run([FFMPEG, "-loglevel", "error", "-y", "-f", "lavfi",
                        "-i", "anullsrc=r=48000:cl=stereo", "-t", "3600", "-c:a", "flac", path], check=True)
    return path


class _MediaHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def do_HEAD(self):
        self._serve(head=True)

    def do_GET(self):
        self._serve(head=False)

    def _serve(self, head):
        server = self.server
        path = self.path.split("?", 1)[0]
        server.requests.append(path)
        if path in server.redirects:
            self.send_response(302)
            self.send_header("Location", server.redirects[path])
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if path in server.pages:
            body = server.pages[path].encode("utf-8")
            self._head(200, "text/html; charset=utf-8", len(body))
            if not head:
                self.wfile.write(body)
            return
        path = server.aliases.get(path, path)
        slow = path.startswith("/slow/")
        name = path[len("/slow/"):] if slow else path.lstrip("/")
        file = os.path.join(server.root, os.path.basename(name))
        if not name or "/" in name or not os.path.isfile(file):
            self._head(404, "text/plain", 0)
            return
        ctype = {".mp4": "video/mp4", ".flac": "audio/flac"}.get(os.path.splitext(file)[1], "application/octet-stream")
        size = os.path.getsize(file)
        self._head(200, ctype, size)
        if head:
            return
        with open(file, "rb") as f:
            try:
                while True:
                    chunk = f.read(2048 if slow else 1 << 16)
                    if not chunk:
                        break
                    self.wfile.write(chunk)
                    self.wfile.flush()
                    if slow:
                        # About 20 KB/s: a three-second clip takes seconds to arrive.
                        time.sleep(0.1)
            except (BrokenPipeError, ConnectionResetError):
                pass

    def _head(self, status, ctype, length):
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(length))
        self.end_headers()


class MediaServer(ThreadingHTTPServer):
    """Serves media_dir() on 127.0.0.1; /slow/NAME sends NAME slowly."""

    daemon_threads = True

    def __init__(self, root=None):
        super().__init__(("127.0.0.1", 0), _MediaHandler)
        self.root = root or media_dir()
        self.requests = []
        self.pages = {}
        self.redirects = {}
        self.aliases = {}
        self.thread = threading.Thread(target=self.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True)
        self.thread.start()

    def url(self, path):
        return f"http://127.0.0.1:{self.server_address[1]}/{path.lstrip('/')}"

    def close(self):
        self.shutdown()
        self.server_close()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, timeout, interval=0.05, message="condition"):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for {message}")
        time.sleep(interval)


class Payload:
    """The payload's server, started the way the shell starts it, in a work folder of its own."""

    def __init__(self, workdir, settings=None):
        self.workdir = workdir
        self.download_dir = os.path.join(workdir, "downloads")
        data = os.path.join(workdir, "data")
        if settings is not None or not os.path.exists(os.path.join(data, "settings.json")):
            os.makedirs(data, exist_ok=True)
            values = {"download_dir": self.download_dir, "format": "video", "concurrency": 2}
            values.update(settings or {})
            with open(os.path.join(data, "settings.json"), "w", encoding="utf-8") as f:
                json.dump(values, f)
        self.port = free_port()
        env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
        env.update({"PYTHONUNBUFFERED": "1", "HOME": workdir, "LANG": "C"})
        env.pop("PYTHONDONTWRITEBYTECODE", None)
        self.process = subprocess.Popen(
            [PYTHON, "-u", os.path.join(PAYLOAD_DIR, "app.py"), "--port", str(self.port), "--no-browser"],
            cwd=workdir, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self._output = bytearray()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        self.origin = f"http://127.0.0.1:{self.port}"
        wait_for(lambda: self._ready() or self.process.poll() is not None, 20, message="the server")
        if self.process.poll() is not None:
            raise AssertionError("the server ended at start:\n" + self.output())

    def _read(self):
        while True:
            chunk = self.process.stdout.read1(65536)
            if not chunk:
                return
            self._output += chunk

    def _ready(self):
        try:
            return self.request("GET", "/api/status")[0] == 200
        except OSError:
            return False

    def output(self):
        return self._output.decode("utf-8", "replace")

    def request(self, method, path, body=None, headers=None, raw=None):
        """(status, decoded JSON or text) of one request; Host is ours unless headers say otherwise."""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        try:
            all_headers = {"Host": f"127.0.0.1:{self.port}"}
            data = raw
            if body is not None:
                data = json.dumps(body).encode("utf-8")
                all_headers["Content-Type"] = "application/json"
            all_headers.update(headers or {})
            conn.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
            for k, v in all_headers.items():
                if v is not None:
                    conn.putheader(k, v)
            if data is not None:
                conn.putheader("Content-Length", str(len(data)))
            conn.endheaders(data)
            response = conn.getresponse()
            payload = response.read()
            ctype = response.getheader("Content-Type", "")
            if ctype.startswith("application/json"):
                return response.status, json.loads(payload.decode("utf-8"))
            return response.status, payload.decode("utf-8", "replace")
        finally:
            conn.close()

    def add(self, urls, fmt=None):
        body = {"urls": urls}
        if fmt:
            body["format"] = fmt
        return self.request("POST", "/api/jobs", body)

    def jobs(self):
        return {j["id"]: j for j in self.request("GET", "/api/jobs")[1]["jobs"]}

    def wait_job(self, job_id, states, timeout=30):
        def check():
            job = self.jobs()[job_id]
            return job if job["state"] in states else None
        return wait_for(check, timeout, interval=0.1, message=f"job {job_id} to reach {states}")

    def files(self):
        """Everything below the download folder, hidden staging folders included."""
        found = []
        for root, dirs, names in os.walk(self.download_dir):
            for n in dirs + names:
                found.append(os.path.relpath(os.path.join(root, n), self.download_dir))
        return sorted(found)

    def children(self):
        """Pids of every process below the server."""
        tree = {}
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    with open(f"/proc/{entry}/stat") as f:
                        ppid = int(f.read().rsplit(")", 1)[1].split()[1])
                except (OSError, IndexError, ValueError):
                    continue
                tree.setdefault(ppid, []).append(int(entry))
        found, todo = [], list(tree.get(self.process.pid, []))
        while todo:
            pid = todo.pop()
            found.append(pid)
            todo.extend(tree.get(pid, []))
        return found

    def stop(self, timeout=5):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self._reader.join(2)
        self.process.stdout.close()
        return self.process.returncode


def alive(pid):
    """True while pid exists and is not a zombie."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


class PayloadTest(unittest.TestCase):
    """A fresh work folder, a media server and a started payload server per test."""

    settings = None

    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="zormak-payload-")
        self.addCleanup(shutil.rmtree, self.workdir, True)
        self.media = MediaServer()
        self.addCleanup(self.media.close)
        self.server = self.start_server(self.settings)

    def start_server(self, settings=None):
        server = Payload(self.workdir, settings)
        self.addCleanup(server.stop)
        return server
