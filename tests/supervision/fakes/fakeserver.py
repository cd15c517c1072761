"""The fake servers of the process tests, one per behaviour named by the
first argument; the interpreter's own arguments follow. They record what the
child was given and serve /api/status with the answers the test chooses."""
import http.server
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time

port = int(sys.argv[sys.argv.index('--port') + 1]) if '--port' in sys.argv else 0
out = sys.stdout.buffer


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
        json.dump({'argv': sys.argv[2:], 'cwd': os.getcwd(), 'env': dict(os.environ),
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


def serve(*announcements: str) -> None:
    s = server()
    for line in announcements:
        print(line, flush=True)
    signal.signal(signal.SIGTERM, lambda *a: sys.exit(0))
    s.serve_forever()


def announce_and_serve() -> None:
    record_launch()
    serve('Serving on http://127.0.0.1:%d/' % port)


def serve_silently() -> None:
    serve()


def announce_foreign() -> None:
    # A line naming another loopback server comes first, as a resumed
    # download from a loopback site prints its address.
    serve('继续：http://127.0.0.1:%d/video.mp4' % (1 if port != 1 else 2),
          'Serving on http://127.0.0.1:%d/' % port)


def listen_late() -> None:
    # Slow to start: a second passes before it serves at all.
    time.sleep(1.0)
    serve('Serving on http://127.0.0.1:%d/' % port)


def announce_and_exit() -> None:
    # Answers the status poll and ends at once, a little later in some rounds.
    threading.Thread(target=server().serve_forever, daemon=True).start()
    print('http://127.0.0.1:%d' % port, flush=True)
    time.sleep(int(os.environ['RACE_ROUND']) % 4 * 0.002)
    os._exit(0)


def print_then_exit() -> None:
    # Much output just before the end: the exit line must come after it.
    for i in range(2000):
        sys.stdout.write('line %d\n' % i)
    sys.stdout.write('bye\n')
    sys.stdout.flush()
    os._exit(0)


def ignore_sigterm_with_child() -> None:
    # The server and a child of its own both ignore SIGTERM.
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    kid = subprocess.Popen(['/usr/bin/python3', '-c',
                            'import signal,time; signal.signal(signal.SIGTERM, signal.SIG_IGN); '
                            'time.sleep(60)'])
    with open('kid.pid', 'w') as f:
        f.write(str(kid.pid))
    print('http://127.0.0.1:%d' % port, flush=True)
    time.sleep(60)


def output_flood() -> None:
    # Valid lines around an invalid byte, then 100 MB of progress redraws
    # without a line feed.
    for chunk in (b'before\n', b'bad \xff\n', b'after\n'):
        out.write(chunk)
        out.flush()
        time.sleep(0.1)
    block = b'\r 42%' * 13107  # 64 KiB
    for _ in range(1600):
        out.write(block)
    out.flush()
    time.sleep(0.3)


if __name__ == '__main__':
    globals()[sys.argv[1]]()
