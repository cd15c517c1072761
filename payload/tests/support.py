"""What the payload's tests share: the payload's own server started as the
shell starts it, and the queue wired in this process as the server wires it.

The tests run under the assembled payload's interpreter; ZORMAK_PAYLOAD_DIR
names the assembled payload. Nothing here reaches beyond 127.0.0.1.
"""

import contextlib
import filecmp
import http.client
import io
import json
import logging
import os
import secrets
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from typing import Any, Callable, Sequence

from media import MediaServer

PAYLOAD_DIR = os.environ.get("ZORMAK_PAYLOAD_DIR") or os.path.join(
    os.path.dirname(os.path.abspath(__file__)), os.pardir)
PYTHON = os.path.join(PAYLOAD_DIR, ".venv", "bin", "python")
if not os.path.exists(PYTHON):
    PYTHON = sys.executable
HERE = os.path.dirname(os.path.abspath(__file__))
# The few tests of the server's own functions import them from the payload under test.
sys.path.insert(0, PAYLOAD_DIR)

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def link_tools(folder: str, *tools: str) -> str:
    """Links each of tools found on PATH into folder, for a PATH that holds little else; returns folder."""
    for tool in tools:
        found = shutil.which(tool)
        if found:
            os.symlink(found, os.path.join(folder, tool))
    return folder


def write_json(path: str, value: Any) -> None:
    """Writes value to path as JSON, making the folders on the way."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        json.dump(value, f)


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

    def __init__(self, workdir: str, settings: dict[str, Any] | None = None, standin_parent: bool = False,
                 secret: str | None = "", browser: bool = False, env: dict[str, str] | None = None) -> None:
        """secret "" makes a fresh launch secret, None starts the server without one. The listening socket
        is made here and handed over as descriptor 3, as the shell does. browser: the server may open a
        browser (the environment's BROWSER decides which)."""
        self.workdir = workdir
        self.secret = secrets.token_hex(32) if secret == "" else secret
        self.download_dir = os.path.join(workdir, "downloads")
        data = os.path.join(workdir, "data")
        # A chosen download folder exists; the server creates only the default one.
        os.makedirs(self.download_dir, exist_ok=True)
        if settings is not None or not os.path.exists(os.path.join(data, "settings.json")):
            write_json(os.path.join(data, "settings.json"),
                       {"download_dir": self.download_dir, "format": "video", "concurrency": 2, **(settings or {})})
        # The bundled engine is old enough to be checked for at start, and downloads would wait for
        # that check; here the day's check ran a moment ago (for the page, none was tried yet),
        # unless a test wrote its own record or made the data folder unwritable.
        state = os.path.join(data, "engines", "state.json")
        if not os.path.exists(state):
            with contextlib.suppress(OSError):
                write_json(state, {"last_check": time.time()})
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(128)
        self.port = listener.getsockname()[1]
        env = {**{k: v for k, v in os.environ.items() if "proxy" not in k.lower()}, **(env or {})}
        env.update({"PYTHONUNBUFFERED": "1", "HOME": workdir, "LANG": "C"})
        env.pop("ZORMAK_LAUNCH_SECRET", None)
        if self.secret is not None:
            env["ZORMAK_LAUNCH_SECRET"] = self.secret
        env.pop("PYTHONDONTWRITEBYTECODE", None)
        command = [PYTHON, "-u", os.path.join(PAYLOAD_DIR, "app.py"), "--port", str(self.port),
                   *([] if browser else ["--no-browser"])]
        if standin_parent:
            command = [sys.executable, os.path.join(HERE, "standin_parent.py"), *command]
        # Descriptor 3, and LISTEN_PID set in the process that becomes the server, as the shell's
        # fork and exec does; below a stand-in parent without it, as posix_spawn does.
        env.update({"LISTEN_FDS": "1", "LISTEN_FDNAMES": "zormak"})
        command = [sys.executable, os.path.join(HERE, "handover.py"), str(listener.fileno()),
                   *(["--no-pid"] if standin_parent else []), *command]
        # Like the shell: a process group of its own, output and errors on one pipe.
        self.process = subprocess.Popen(command, cwd=workdir, env=env, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, process_group=0, pass_fds=(listener.fileno(),))
        listener.close()  # the server holds it now
        assert self.process.stdout is not None
        self.stdout: io.BufferedReader = self.process.stdout  # type: ignore[assignment]
        # The server itself, below the stand-in parent when there is one.
        self.pid = int(self.stdout.readline()) if standin_parent else self.process.pid
        self._output = bytearray()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        self.origin = f"http://127.0.0.1:{self.port}"
        wait_for(lambda: self._ready() or self.process.poll() is not None, 20, message="the server")
        if self.process.poll() is not None:
            raise AssertionError("the server ended at start:\n" + self.output())

    def _read(self):
        while True:
            chunk = self.stdout.read1(65536)
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

    def request(self, method, path, body=None, headers=None, raw=None, timeout=10.0):
        """(status, decoded JSON or text) of one request; Host and the session cookie are ours
        unless headers say otherwise (a header given as None is left out)."""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            all_headers = {"Host": f"127.0.0.1:{self.port}"}
            if self.secret:
                all_headers["Cookie"] = f"zormak_session={self.secret}"
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
            self.last_headers = response.headers
            ctype = response.getheader("Content-Type", "")
            if ctype.startswith("application/json"):
                return response.status, json.loads(payload.decode("utf-8"))
            return response.status, payload.decode("utf-8", "replace")
        finally:
            conn.close()

    def add(self, urls, fmt=None, force=False):
        """force: a video already queued or downloaded is fetched again without asking."""
        body = {"urls": urls}
        if fmt:
            body["format"] = fmt
        if force:
            body["force"] = True
        return self.request("POST", "/api/jobs", body)

    def finish(self, urls, fmt=None, force=False, timeout=30):
        """Adds one address and waits until its job has ended; returns the job."""
        status, body = self.add(urls, fmt, force)
        if status != 200 or len(body["added"]) != 1:
            raise AssertionError(f"adding {urls} answered {status}: {body}")
        return self.wait_job(body["added"][0]["id"], {"done", "failed"}, timeout)

    def jobs(self):
        return {j["id"]: j for j in self.request("GET", "/api/jobs")[1]["jobs"]}

    def command(self, job_id: int, verb: str) -> tuple[int, Any]:
        """(status, answer) of POST /api/jobs/ID/VERB: pause, resume, cancel, retry."""
        return self.request("POST", f"/api/jobs/{job_id}/{verb}", {})

    def history(self) -> list[dict[str, Any]]:
        return self.request("GET", "/api/history")[1]["entries"]

    def notices(self) -> list[str]:
        return self.request("GET", "/api/notices")[1]["notices"]

    def wait_job(self, job_id, states, timeout=30):
        def check():
            job = self.jobs()[job_id]
            return job if job["state"] in states else None
        return wait_for(check, timeout, interval=0.1, message=f"job {job_id} to reach {states}")

    def query(self, sql: str, *params: Any, many: Sequence[Sequence[Any]] | None = None) -> list[Any]:
        """Runs sql on the server's database (once per row of many, when given), committed; returns its rows."""
        db = sqlite3.connect(os.path.join(self.workdir, "data", "history.sqlite3"))
        try:
            with db:
                return (db.executemany(sql, many) if many is not None else db.execute(sql, params)).fetchall()
        finally:
            db.close()

    def files(self):
        """Everything below the download folder, hidden staging folders included."""
        return sorted(os.path.relpath(os.path.join(root, n), self.download_dir)
                      for root, dirs, names in os.walk(self.download_dir) for n in dirs + names)

    def children(self):
        """Pids of every process below the server."""
        tree: dict[int, list[int]] = {}
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    with open(f"/proc/{entry}/stat") as f:
                        ppid = int(f.read().rsplit(")", 1)[1].split()[1])
                except (OSError, IndexError, ValueError):
                    continue
                tree.setdefault(ppid, []).append(int(entry))
        found, todo = [], list(tree.get(self.pid, []))
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
        self.stdout.close()
        return self.process.returncode


def same_file(a: str, b: str) -> bool:
    return filecmp.cmp(a, b, shallow=False)


def command_line(pid: int) -> list[str]:
    """pid's program and arguments; none once it has ended."""
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read().decode(errors="replace").split("\0")[:-1]
    except OSError:
        return []


def writer(data: str | bytes) -> Callable[[str], None]:
    """What writes data over the file it is given: a damage done to a stored file."""
    def write(path: str) -> None:
        with open(path, "wb") as f:
            f.write(data.encode() if isinstance(data, str) else data)
    return write


def alive(pid):
    """True while pid exists and is not a zombie."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


class QueueCase(unittest.TestCase):
    """The queue wired in this process as the server wires it, on a work folder of its own: data/ with
    settings naming downloads/, a media server, and the lines the server's modules log. A test may call
    setUp again for a fresh folder."""

    concurrency = 2

    def setUp(self) -> None:
        self.work = tempfile.mkdtemp(prefix="zormak-queue-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.data, self.downloads = os.path.join(self.work, "data"), os.path.join(self.work, "downloads")
        os.makedirs(self.downloads)
        os.makedirs(os.path.join(self.data, "engines"))
        write_json(os.path.join(self.data, "settings.json"), {"download_dir": self.downloads, "concurrency": self.concurrency})
        self.media = MediaServer()
        self.addCleanup(self.media.close)
        from downloader import log
        self.log: list[str] = []
        log.send_to(self.log.append)
        self.addCleanup(log.send_to, None)

    def queue(self, engines: Any, *hold: Any, notices: list[str] | None = None, restored: int = 0) -> Any:
        """The queue on engines, with restored downloads in its journal; notices (the engines' too)
        must stay empty."""
        from downloader.ask import Ask
        from downloader.jobs import Manager
        from downloader.settings import Settings
        from downloader.store import Store
        notices = [] if notices is None else notices
        store = Store(os.path.join(self.data, "history.sqlite3"), notices)
        for _ in range(restored):
            store.add_job(self.media.url("clip.mp4"), "video", "downloading", time.time())
        settings = Settings(self.data, notices)
        manager = Manager(settings, store, engines, Ask(engines, settings, self.data), *hold)
        self.addCleanup(manager.shutdown)
        self.assertEqual(notices, [])
        return manager

    def logged(self, text: str) -> bool:
        return any(text in line for line in self.log)

    @staticmethod
    def job(manager: Any, job_id: int) -> dict[str, Any]:
        return next(j for j in manager.snapshot() if j["id"] == job_id)

    @staticmethod
    def states(manager: Any) -> list[str]:
        return [j["state"] for j in sorted(manager.snapshot(), key=lambda j: j["id"])]


# The jobs journal as versions before playlist folders and per-job extras wrote it.
OLD_JOBS = ("CREATE TABLE jobs (id INTEGER PRIMARY KEY AUTOINCREMENT, url TEXT NOT NULL, format TEXT NOT NULL, "
            "state TEXT NOT NULL, title TEXT NOT NULL DEFAULT '', error TEXT NOT NULL DEFAULT '', staging TEXT, "
            "placing TEXT, downloaded INTEGER NOT NULL DEFAULT 0, total INTEGER, created REAL NOT NULL)")


# A logger for the engine that keeps nothing.
QUIET = logging.getLogger("zormak.tests.quiet")
QUIET.disabled = True


def engine_error(exc: BaseException, report: str) -> BaseException:
    """exc as the engine hands it on when it reports `report` while handling exc (a failed step)."""
    import yt_dlp
    try:
        try:
            raise exc
        except BaseException:
            yt_dlp.YoutubeDL({"quiet": True, "logger": QUIET}).report_error(report)
    except yt_dlp.utils.DownloadError as e:
        return e
    raise AssertionError("report_error did not raise")
