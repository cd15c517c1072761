"""ZORMAK's video downloader: a small web server on 127.0.0.1.

Usage: python -u app.py --port N [--no-browser]

Settings and history live in data/ under the working directory. The server
ends on SIGTERM, SIGINT or SIGHUP with status 0, after cancelling running
downloads and ending the processes they started.
"""

import argparse
import os
import signal
import sys
import threading
import webbrowser

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from downloader import jobs  # noqa: E402
from downloader.history import History  # noqa: E402
from downloader.settings import Settings  # noqa: E402
from downloader.web import Server  # noqa: E402


class _Stop(BaseException):
    pass


class App:
    def __init__(self, data_dir):
        os.makedirs(data_dir, exist_ok=True)
        try:
            with open(os.path.join(HERE, "PAYLOAD_VERSION"), encoding="utf-8") as f:
                self.version = f.read().strip()
        except OSError:
            self.version = "unknown"
        self.settings = Settings(data_dir)
        self.history = History(os.path.join(data_dir, "history.sqlite3"))
        self.manager = jobs.Manager(self.settings, self.history)


def _stop(signum, frame):
    raise _Stop(signum)


def main(argv=None):
    parser = argparse.ArgumentParser(description="ZORMAK 视频下载器")
    parser.add_argument("--port", type=int, default=8765)
    parser.add_argument("--no-browser", action="store_true", help="不要打开浏览器")
    args = parser.parse_args(argv)
    if not 0 <= args.port <= 65535:
        parser.error("端口必须在 0 到 65535 之间")

    # The log is UTF-8 whatever locale the parent passed on.
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.reconfigure(encoding="utf-8", errors="replace", line_buffering=True)
        except (AttributeError, ValueError):
            pass

    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, _stop)

    app = server = None
    signum = None
    try:
        app = App(os.path.abspath("data"))
        try:
            server = Server(args.port, app)
        except OSError as e:
            print(f"[服务] 无法监听 127.0.0.1:{args.port}：{e.strerror or e}", flush=True)
            return 1
        url = f"http://127.0.0.1:{server.port}"
        print(f"[服务] ZORMAK 视频下载器 {app.version} 已启动：{url}", flush=True)
        # Import the download engine now, off the request path, so the first download starts at once.
        threading.Thread(target=jobs.yt_dlp, name="warm-up", daemon=True).start()
        if not args.no_browser:
            webbrowser.open(url)
        server.serve_forever(poll_interval=0.25)
    except _Stop as e:
        signum = e.args[0] if e.args else signal.SIGTERM
    except KeyboardInterrupt:
        signum = signal.SIGINT
    # A second signal must not interrupt the orderly stop below.
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, signal.SIG_IGN)
    if signum is not None:
        print(f"[服务] 收到信号 {signal.Signals(signum).name}，正在停止", flush=True)
    cancelled = app.manager.shutdown(wait=0.5) if app else 0
    if server:
        server.server_close()
    if app:
        app.history.close()
    print(f"[服务] 已停止（取消了 {cancelled} 个下载）", flush=True)
    sys.stdout.flush()
    # Download threads stuck on a silent network must not delay the exit.
    os._exit(0)


if __name__ == "__main__":
    sys.exit(main())
