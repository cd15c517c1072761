"""What the fake servers of the process tests share: the port from the
command line, a record of what the child was given, and a tiny HTTP server
whose /api/status answers the test chooses."""
import http.server
import json
import os
import signal
import socket
import sys
import threading

port = int(sys.argv[sys.argv.index('--port') + 1])


def record_launch() -> None:
    fds = {}
    for fd in os.listdir('/proc/self/fd'):
        try:
            fds[fd] = os.readlink('/proc/self/fd/' + fd)
        except OSError:
            pass
    with open('/proc/self/status') as status:
        mask = status.read()
    with open('launch.json', 'w') as f:
        json.dump({'argv': sys.argv[1:], 'cwd': os.getcwd(), 'env': dict(os.environ),
                   'mask': mask, 'fds': fds}, f)


class Handler(http.server.BaseHTTPRequestHandler):
    statuses = os.environ.get('FAKE_STATUSES', '200').split(',')
    count = 0

    def do_GET(self) -> None:
        Handler.count += 1
        with open('requests.log', 'a') as f:
            f.write(self.path + '\n')
        code = int(self.statuses[min(Handler.count, len(self.statuses)) - 1])
        self.send_response(code)
        self.send_header('Content-Length', '0')
        self.end_headers()

    def log_message(self, *args: object) -> None:
        pass


def server() -> http.server.ThreadingHTTPServer:
    """Serves on the socket the shell handed over as descriptor 3, as the
    payload does; binds the port itself only when started without one."""
    http.server.ThreadingHTTPServer.allow_reuse_address = True
    if os.environ.get('LISTEN_FDS') != '1':
        return http.server.ThreadingHTTPServer(('127.0.0.1', port), Handler)
    s = http.server.ThreadingHTTPServer(('127.0.0.1', port), Handler, bind_and_activate=False)
    s.socket.close()
    s.socket = socket.socket(fileno=3)
    return s


def serve_in_background() -> None:
    threading.Thread(target=server().serve_forever, daemon=True).start()


def exit_on_sigterm() -> None:
    signal.signal(signal.SIGTERM, lambda *a: sys.exit(0))
