"""The listening side of the server: loopback only, a cap on connections, our own user only."""

import json
import socket
import threading
from http.server import ThreadingHTTPServer
from socketserver import BaseRequestHandler
from typing import Any

from . import peers
from .log import say

# A client that sends nothing for this long loses its connection, idle keep-alives included.
CONNECTION_TIMEOUT = 10.0
# Connections served at once; the page needs a handful, more are someone holding the server.
MAX_CONNECTIONS = 32
BUSY = "服务正忙：打开的连接太多，请稍后再试"


class LoopbackServer(ThreadingHTTPServer):
    # The shell may give the same port on every launch; a predecessor's
    # connections in TIME_WAIT must not keep us from binding it.
    allow_reuse_address = True
    daemon_threads = True
    # Connections beyond the cap are accepted and told to come back, not left waiting in the kernel.
    request_queue_size = 128

    def __init__(self, port: int, handler: type[BaseRequestHandler], sock: socket.socket | None = None) -> None:
        """Serves on sock, the socket the shell listens on for us, or binds 127.0.0.1:port without one."""
        super().__init__(("127.0.0.1", port), handler, bind_and_activate=sock is None)
        if sock is not None:
            self.socket.close()
            self.socket = sock
            self.server_address = sock.getsockname()
        self.port: int = self.server_address[1]
        self._slots = threading.BoundedSemaphore(MAX_CONNECTIONS)
        self._refusals = self._strangers = 0

    def verify_request(self, request: Any, client_address: Any) -> bool:
        # Another user's connection is closed before a byte of it is read.
        if not peers.is_ours(client_address, (str(self.server_address[0]), self.server_address[1])):
            self._strangers += 1
            if self._strangers in (1, 100, 1000):
                say(f"[服务] 已关闭 {self._strangers} 个来自其他用户的连接")
            return False
        return True

    def process_request(self, request: Any, client_address: Any) -> None:
        # One thread per connection, but never more than MAX_CONNECTIONS of them.
        if not self._slots.acquire(blocking=False):
            self._refusals += 1
            if self._refusals in (1, 100, 1000):
                say(f"[服务] 打开的连接太多，已拒绝 {self._refusals} 个连接")
            _refuse(request)
            self.shutdown_request(request)
            return
        super().process_request(request, client_address)

    def process_request_thread(self, request: Any, client_address: Any) -> None:
        try:
            super().process_request_thread(request, client_address)
        finally:
            self._slots.release()

    def handle_error(self, request: Any, client_address: Any) -> None:
        # A browser dropping a connection is not worth a traceback in the log.
        pass


def _refuse(request: socket.socket) -> None:
    body = json.dumps({"error": BUSY}, ensure_ascii=False).encode("utf-8")
    head = (f"HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json; charset=utf-8\r\n"
            f"Content-Length: {len(body)}\r\nConnection: close\r\nRetry-After: 1\r\n\r\n").encode("ascii")
    try:
        request.settimeout(0.2)
        request.sendall(head + body)
    except OSError:
        pass
