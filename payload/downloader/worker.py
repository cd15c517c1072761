"""The server's side of a download in a process of its own, with the engine it was started with.

The server can switch to a newer download engine while downloads run. Two
versions of one package cannot share an interpreter (their modules import
each other by name, some of them lazily), so each download imports its
engine in a process of its own (download_process.py) and keeps it to the end;
the next download starts with whatever engine is current then. What the two
say to each other is in worker_protocol.py.

SIGTERM (pause, cancel, the server's stop) ends the download in order: its
connections and ffmpeg are closed, the partial file is closed as it stands,
and the process exits without a result.
"""

import json
import os
import signal
import subprocess
import sys
import threading
from typing import Any, Iterator

from . import errors, worker_protocol as protocol

PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# The engine reads a fast download in blocks of a megabyte and more, each a new buffer. A fresh
# process's allocator maps every such buffer anew and returns it at once, which costs a page
# fault per 4 KiB read (in the long-running server its threshold had grown past the block size):
# twice the time of the download itself on loopback. glibc reads these at start; elsewhere they
# mean nothing.
_ALLOCATOR = {"MALLOC_MMAP_THRESHOLD_": str(64 << 20), "MALLOC_TRIM_THRESHOLD_": str(256 << 20)}


class Failure(errors.UserError):
    """A download that ended in its own process with a message for the page and a reason for the log."""

    def __init__(self, message: str, reason: str) -> None:
        super().__init__(message)
        self.reason = reason


def _spawn(sys_path: tuple[str, ...]) -> "subprocess.Popen[str]":
    return subprocess.Popen(
        [sys.executable, "-m", protocol.CHILD_MODULE, json.dumps(list(sys_path))], cwd=PACKAGE_ROOT,
        env={**os.environ, **_ALLOCATOR},
        # It stays in the server's process group, so that the shell's signal to the group reaches it.
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, encoding="utf-8", errors="replace")


def _discard(process: "subprocess.Popen[str]") -> None:
    """Lets a process made ready go: the end of its stdin ends it."""
    close(process)
    threading.Thread(target=process.wait, name="reap", daemon=True).start()


class Starter:
    """Starts the downloads' processes, keeping one ready with the engine imported.

    Importing the engine takes about half a second; a process made ready
    while a download runs has it done for the next one. It holds some
    35 MiB, so it is kept only while the queue is busy and for READY_GRACE
    seconds after (idle() says when the queue has emptied); one whose engine
    is no longer the active one is let go, and one that nobody needs for
    worker_protocol.IDLE_LIMIT seconds ends by itself.

    The next one is made READY_DELAY seconds after a download starts, or
    when it ends if that is sooner (ended()), not at once: its import takes
    a core for half a second, which a download just starting needs for its
    own extraction and first blocks, and on a fast line for all of its
    bytes."""

    READY_GRACE = 60.0
    READY_DELAY = 2.0

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._ready: tuple[tuple[str, ...], "subprocess.Popen[str]"] | None = None
        self._closed = False
        # Counts the starts, so that a grace period armed before one knows it is over.
        self._starts = 0
        self._grace: threading.Timer | None = None
        # The next ready process, made when this fires or a download ends.
        self._pending: threading.Timer | None = None

    def start(self, request: dict[str, Any], sys_path: tuple[str, ...]) -> "subprocess.Popen[str]":
        """A process running request with the engine at sys_path; the caller owns it and reads events() from it."""
        with self._lock:
            ready, self._ready = self._ready, None
            closed = self._closed
            self._starts += 1
            grace, self._grace = self._grace, None
        if grace is not None:
            grace.cancel()
        if ready is not None and (ready[0] != sys_path or ready[1].poll() is not None):
            _discard(ready[1])
            ready = None
        process = ready[1] if ready is not None else _spawn(sys_path)
        assert process.stdin is not None
        try:
            process.stdin.write(json.dumps(request) + "\n")
            process.stdin.flush()
        except OSError:
            # It died already; its exit status says why.
            pass
        if not closed:
            self._prepare_soon(sys_path)
        return process

    def _prepare_soon(self, sys_path: tuple[str, ...]) -> None:
        with self._lock:
            if self._closed or self._pending is not None:
                return
            timer = threading.Timer(self.READY_DELAY, self._prepare, args=(sys_path,))
            timer.daemon = True
            self._pending = timer
        timer.start()

    def ended(self) -> None:
        """A download's process has ended: the next one's, if still to be made, is made now."""
        with self._lock:
            timer, self._pending = self._pending, None
        if timer is not None:
            timer.cancel()
            threading.Thread(target=self._prepare, args=timer.args, name="ready-download", daemon=True).start()

    def _prepare(self, sys_path: tuple[str, ...]) -> None:
        with self._lock:
            if self._pending is threading.current_thread():
                self._pending = None  # this is its timer firing
            if self._closed or self._ready is not None:
                return
        process = _spawn(sys_path)
        with self._lock:
            keep = not self._closed and self._ready is None
            if keep:
                self._ready = (sys_path, process)
        if not keep:
            _discard(process)

    def idle(self) -> None:
        """The queue has nothing running: the ready process goes after READY_GRACE seconds, unless a
        download starts before then."""
        with self._lock:
            if self._closed or self._grace is not None:
                return
            timer = threading.Timer(self.READY_GRACE, self._expire, args=(self._starts,))
            timer.daemon = True
            self._grace = timer
        timer.start()

    def _expire(self, starts: int) -> None:
        with self._lock:
            if starts != self._starts:
                return  # a download started meanwhile: the queue is busy again
            self._grace = None
            ready, self._ready = self._ready, None
        if ready is not None:
            _discard(ready[1])

    def close(self) -> None:
        with self._lock:
            self._closed = True
            ready, self._ready = self._ready, None
            grace, self._grace = self._grace, None
            pending, self._pending = self._pending, None
        for timer in (grace, pending):
            if timer is not None:
                timer.cancel()
        if ready is not None:
            _discard(ready[1])


def events(process: "subprocess.Popen[str]") -> Iterator[dict[str, Any]]:
    """The events process sends, until it ends."""
    assert process.stdout is not None
    return protocol.read(process.stdout)


def ended(process: "subprocess.Popen[str]") -> str:
    """How process ended, for a message: "退出码 N" or "被信号 N（SIGNAME）终止"."""
    code = process.wait()
    if code < 0:
        try:
            name = signal.Signals(-code).name
        except ValueError:
            name = "?"
        return f"被信号 {-code}（{name}）终止"
    return f"退出码 {code}"


def close(process: "subprocess.Popen[str]") -> None:
    """Lets go of process's pipes (its end tells a process still running to stop)."""
    for stream in (process.stdin, process.stdout):
        if stream is not None:
            try:
                stream.close()
            except OSError:
                pass
