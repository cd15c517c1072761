"""What a download holds: the processes it starts (ffmpeg, mostly) and its
connections, and how they end.

yt-dlp starts every external program through its own Popen class and opens
every HTTP connection through one function. Each download thread names the
Holdings that own what it starts, and both are wrapped once so that every
new process and socket joins its owner: a cancelled or paused download ends
exactly its own processes, whatever their command line says, and closes its
connections at once instead of when a silent server's time-out expires. The
processes stay in the server's process group, so that the shell's signal to
that group reaches them too, and the server ends the whole group when it
stops.
"""

import contextlib
import http.client
import os
import signal
import socket
import subprocess
import threading
import time
from types import ModuleType
from typing import Any, Callable, Iterator, TypeVar

_owner = threading.local()


class Holdings:
    """The processes and connections of one download attempt."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._processes: list[subprocess.Popen[Any]] = []
        self._sockets: list[socket.socket] = []
        self._closed = False

    def add(self, process: "subprocess.Popen[Any]") -> None:
        with self._lock:
            if not self._closed:
                self._processes.append(process)
                return
        # The download was cancelled while this process was being started.
        end([process])

    def add_socket(self, sock: socket.socket) -> None:
        with self._lock:
            if not self._closed:
                self._sockets = [s for s in self._sockets if s.fileno() != -1] + [sock]
                return
        _shut(sock)

    def drop_connections(self) -> None:
        """Closes the connections opened so far; later ones are kept."""
        with self._lock:
            sockets, self._sockets = self._sockets, []
        for sock in sockets:
            _shut(sock)

    def end(self, grace: float = 1.0) -> None:
        """Closes every connection and ends every process; later ones end as soon as they start."""
        with self._lock:
            self._closed = True
            processes, self._processes = self._processes, []
            sockets, self._sockets = self._sockets, []
        for sock in sockets:
            _shut(sock)
        end(processes, grace)


def _shut(sock: socket.socket) -> None:
    # shutdown wakes a thread blocked reading the socket; close alone would not.
    with contextlib.suppress(OSError):
        sock.shutdown(socket.SHUT_RDWR)


@contextlib.contextmanager
def owned_by(group: Holdings) -> Iterator[None]:
    """Processes started by this thread inside the block belong to group."""
    previous = getattr(_owner, "group", None)
    _owner.group = group
    try:
        yield
    finally:
        _owner.group = previous


def track(popen_class: type) -> None:
    """Makes every process that popen_class starts join the starting thread's group."""
    if getattr(popen_class, "_zormak_tracked", False):
        return
    original = getattr(popen_class, "__init__")

    def __init__(self: "subprocess.Popen[Any]", *args: Any, **kwargs: Any) -> None:
        original(self, *args, **kwargs)
        group = getattr(_owner, "group", None)
        if group is not None:
            group.add(self)

    popen_class.__init__ = __init__  # type: ignore[misc]
    popen_class._zormak_tracked = True  # type: ignore[attr-defined]


class _PromptResponse(http.client.HTTPResponse):
    """Hands over what has arrived instead of waiting until a whole block is in.

    yt-dlp reads a download in blocks that it grows with the speed, up to
    megabytes. A plain read of such a block waits until all of it is there, so
    a slow or stalled server would keep the bytes it did send from the file and
    from the page, and a crash would lose them. One receive per read gives
    large reads on a fast line and prompt ones on a slow line."""

    def read(self, amt: int | None = None) -> bytes:
        if amt is None or amt < 0:
            return super().read(amt)
        return super().read1(amt)


def track_connections(utils: ModuleType) -> None:
    """Makes every HTTP connection yt-dlp opens join the opening thread's holdings."""
    original: Callable[..., Any] = utils._create_http_connection
    if getattr(original, "_zormak_tracked", False):
        return

    def create(*args: Any, **kwargs: Any) -> Any:
        connection = original(*args, **kwargs)
        group: Holdings | None = getattr(_owner, "group", None)
        if group is not None:
            opener = connection.connect
            holder = group

            def connect() -> None:
                opener()
                # After connect, sock is the plain socket or, for https, its TLS wrapper.
                holder.add_socket(connection.sock)
            connection.connect = connect
        connection.response_class = _PromptResponse
        return connection

    create._zormak_tracked = True  # type: ignore[attr-defined]
    setattr(utils, "_create_http_connection", create)


def track_engine_connections(engine: ModuleType) -> None:
    """track_connections where the engine keeps that function: yt_dlp.utils in older engines,
    yt_dlp.networking._urllib since its networking layer (2023.07), which looks it up there at each
    request. Without it a slow or stalled line would show no progress and a crash would lose the
    bytes of the block being read."""
    for home in (getattr(engine, "utils", None), getattr(getattr(engine, "networking", None), "_urllib", None)):
        if home is not None and hasattr(home, "_create_http_connection"):
            track_connections(home)
            return


def end(processes: "list[subprocess.Popen[Any]]", grace: float = 0.3) -> None:
    """SIGTERM, then SIGKILL for whatever is still there after grace seconds."""
    for p in processes:
        if p.poll() is None:
            with contextlib.suppress(OSError):
                p.terminate()
    deadline = time.monotonic() + grace
    while time.monotonic() < deadline and any(p.poll() is None for p in processes):
        time.sleep(0.02)
    for p in processes:
        if p.poll() is None:
            with contextlib.suppress(OSError):
                p.kill()
            with contextlib.suppress(subprocess.TimeoutExpired):
                p.wait(1)


def end_own_group() -> None:
    """SIGTERM to every other process of the server's group, when the server leads it.

    The caller ignores SIGTERM by now. A server that does not lead its group
    (started by hand from a terminal) would reach its terminal's other jobs,
    so it leaves the group alone."""
    if os.getpgrp() == os.getpid():
        with contextlib.suppress(OSError):
            os.killpg(os.getpgrp(), signal.SIGTERM)


T = TypeVar("T")


_calls = 0
_calls_lock = threading.Lock()


def calls_running() -> int:
    """How many run_with_deadline works have not ended yet (timed-out ones included)."""
    with _calls_lock:
        return _calls


class TimedOut(Exception):
    """run_with_deadline's work did not end in time."""


def run_with_deadline(work: Callable[[], T], slot: threading.BoundedSemaphore, timeout: float, name: str) -> T:
    """Runs work on a thread of its own for a request that will not wait longer than timeout.

    The caller has acquired one of slot; it comes back when work ends. What
    work opens belongs to it, so on TimedOut its connections are closed and the
    engine gives up soon after. What work raised is raised here."""
    holdings = Holdings()
    outcome: dict[str, Any] = {}
    global _calls
    with _calls_lock:
        _calls += 1

    def run() -> None:
        global _calls
        try:
            with owned_by(holdings):
                outcome["value"] = work()
        except BaseException as e:  # noqa: BLE001  (the waiting request reports it)
            outcome["error"] = e
        finally:
            with _calls_lock:
                _calls -= 1
            slot.release()

    thread = threading.Thread(target=run, name=name, daemon=True)
    thread.start()
    thread.join(timeout)
    if thread.is_alive():
        holdings.end()
        raise TimedOut()
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]

