"""A request head must arrive whole soon after it begins.

The handler's socket time-out limits each read, so a client that sends one
byte every few seconds would hold its connection, and one of the server's
few slots, for as long as it likes. Reads go through this clock instead:
from the head's first byte it has HEAD_LIMIT seconds in all, whatever the
idle limit of each single read.
"""

import io
import socket
import time
from typing import Any

HEAD_LIMIT = 5.0


class HeadClock(io.RawIOBase):
    def __init__(self, sock: socket.socket, idle: float) -> None:
        self._sock = sock
        self._idle = idle
        self._deadline: float | None = None
        self._in_head = True

    def readable(self) -> bool:
        return True

    def head_begins(self) -> None:
        """Called before a request line is read: the clock starts at its first byte."""
        self._in_head = True
        self._deadline = None

    def head_ends(self) -> None:
        """Called once the headers are read: a body and the answer get the idle limit again."""
        self._in_head = False
        self._deadline = None
        self._sock.settimeout(self._idle)

    def readinto(self, buffer: "bytearray | memoryview") -> int:  # type: ignore[override]
        timeout = self._idle
        if self._deadline is not None:
            left = self._deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("the request head took too long")
            timeout = min(timeout, left)
        self._sock.settimeout(timeout)
        n = self._sock.recv_into(buffer)
        if n and self._in_head and self._deadline is None:
            self._deadline = time.monotonic() + HEAD_LIMIT
        return n


class HeadDeadline:
    """Mixed into a BaseHTTPRequestHandler: its requests' heads are read against a HeadClock."""

    connection: socket.socket
    rfile: Any

    def setup(self) -> None:
        super().setup()  # type: ignore[misc]
        self.rfile.close()
        self._clock = HeadClock(self.connection, getattr(self, "timeout", None) or HEAD_LIMIT)
        self.rfile = io.BufferedReader(self._clock)

    def handle_one_request(self) -> None:
        self._clock.head_begins()
        super().handle_one_request()  # type: ignore[misc]

    def parse_request(self) -> bool:
        try:
            return super().parse_request()  # type: ignore[misc]
        finally:
            self._clock.head_ends()
