"""Start-up marks of the payload's server for the benchmarks.

On the server's PYTHONPATH together with ZORMAK_SERVER_TRACE=FILE, this
appends "<CLOCK_MONOTONIC ns> <event> [detail]" lines to FILE: the
interpreter's start, the listening socket, the announcement, the request
line of every HTTP request and the status it was answered with. The server itself is left as it is.
"""
import os
import sys
import time

# Only the payload's server is traced, not another Python program (such as
# the pywebview contender) that runs with the same environment.
_path = os.environ.get("ZORMAK_SERVER_TRACE") if "app.py" in sys.orig_argv else None


def _mark(event, detail=""):
    line = "%d %s %s\n" % (time.clock_gettime_ns(time.CLOCK_MONOTONIC), event, detail)
    fd = os.open(_path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    try:
        os.write(fd, line.encode())
    finally:
        os.close(fd)


if _path:
    import http.server
    import socketserver

    _mark("python", str(os.getpid()))

    _activate = socketserver.TCPServer.server_activate

    def server_activate(self):
        _activate(self)
        _mark("listen")

    socketserver.TCPServer.server_activate = server_activate

    class _Stdout:
        """sys.stdout with a mark after the line that names the server's address.

        The server writes its log lines straight to sys.stdout, not through
        print(), so the stream itself is wrapped."""

        def __init__(self, stream):
            self._stream = stream

        def write(self, text):
            n = self._stream.write(text)
            if "http://127.0.0.1:" in text:
                self._stream.flush()
                _mark("announce")
            return n

        def __getattr__(self, name):
            return getattr(self._stream, name)

    sys.stdout = _Stdout(sys.stdout)

    _parse = http.server.BaseHTTPRequestHandler.parse_request

    def parse_request(self):
        ok = _parse(self)
        _mark("request", getattr(self, "path", ""))
        return ok

    http.server.BaseHTTPRequestHandler.parse_request = parse_request

    _respond = http.server.BaseHTTPRequestHandler.send_response

    def send_response(self, code, message=None):
        _mark("response", "%d %s" % (code, getattr(self, "path", "")))
        return _respond(self, code, message)

    http.server.BaseHTTPRequestHandler.send_response = send_response
