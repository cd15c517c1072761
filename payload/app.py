"""ZORMAK's video downloader: a small web server on 127.0.0.1.

Usage: python -u app.py --port N [--no-browser]

Settings, the queue and the history live in data/ under the working directory. The server
ends on SIGTERM, SIGINT or SIGHUP with status 0, after cancelling running
downloads and ending the processes they started. It also ends when the
process that started it is gone.
"""

import argparse
import os
import signal
import sys
import threading
import time
from types import FrameType

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from downloader import listener, signin  # noqa: E402
from downloader.application import App  # noqa: E402
from downloader.auth import Gate  # noqa: E402
from downloader.log import say  # noqa: E402
from downloader.web import Server  # noqa: E402

STOP_SIGNALS = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)
PARENT_CHECK_INTERVAL = 0.5


class _Stop(BaseException):
    """Raised in the main thread to leave serve_forever; carries the log line that says why."""


def _tighten(data_dir: str) -> None:
    """Takes group and other access from data/ and what it holds, as an older install left them."""
    for root, dirs, files in os.walk(data_dir):
        for name in [root, *(os.path.join(root, f) for f in files)]:
            try:
                st = os.lstat(name)
                if st.st_mode & 0o077 and not os.path.islink(name):
                    os.chmod(name, st.st_mode & 0o700)
            except OSError:
                pass


def _on_signal(signum: int, frame: FrameType | None) -> None:
    raise _Stop(f"[服务] 收到信号 {signal.Signals(signum).name}，正在停止")


_ORPHANED = "[服务] 启动服务的进程已经退出，正在停止"


def _watch_parent(parent: int) -> None:
    """Stops the server once the process that started it is gone.

    Not every platform can ask the kernel for a signal when the parent dies,
    so the server looks for itself: an orphan is adopted by another process
    and its parent id changes. The main thread is interrupted with SIGHUP,
    which runs the same orderly stop as a signal from the shell."""
    while os.getppid() == parent:
        time.sleep(PARENT_CHECK_INTERVAL)
    global _stop_reason
    _stop_reason = _ORPHANED
    os.kill(os.getpid(), signal.SIGHUP)


_stop_reason: str | None = None


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="ZORMAK 视频下载器")
    parser.add_argument("--port", type=int, default=8765)
    parser.add_argument("--no-browser", action="store_true", help="不要打开浏览器")
    args = parser.parse_args(argv)
    if not 0 <= args.port <= 65535:
        parser.error("端口必须在 0 到 65535 之间")
    # Settings, history and the log are the user's alone.
    os.umask(0o077)

    # The log is UTF-8 whatever locale the parent passed on.
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.reconfigure(encoding="utf-8", errors="replace", line_buffering=True)  # type: ignore[attr-defined]
        except (AttributeError, ValueError):
            pass

    for sig in STOP_SIGNALS:
        signal.signal(sig, _on_signal)
    # A parent of 1 means we were started by init or already orphaned: nothing to watch.
    parent = os.getppid()
    if parent != 1:
        threading.Thread(target=_watch_parent, args=(parent,), name="parent-watch", daemon=True).start()

    gate = Gate.from_env()
    app = server = None
    reason = None
    page = None
    try:
        try:
            handed = listener.handed_over(args.port)
        except OSError as e:
            say(f"[服务] 无法监听 127.0.0.1:{args.port}：{e.strerror or e}")
            return 1
        app = App(os.path.abspath("data"))
        _tighten(os.path.abspath("data"))
        try:
            server = Server(args.port, app, gate, handed)
        except OSError as e:
            say(f"[服务] 无法监听 127.0.0.1:{args.port}：{e.strerror or e}")
            return 1
        url = f"http://127.0.0.1:{server.port}"
        say(f"[服务] ZORMAK 视频下载器 {app.version} 已启动：{url}")
        app.start_queue()
        if gate.signin_token:
            # Started by hand: the one way in is this address, good for one sign-in.
            url = f"{url}/signin?token={gate.signin_token}"
            say(f"[服务] 请在浏览器中打开这个一次性登录地址：{url}")
            if not args.no_browser:
                page = signin.write_page(url)
                url = signin.page_uri(page)
        # The server's own engine (some 20 MiB) is imported when a request first needs it: adding a
        # download sets its import going without waiting for it, so a window left open without
        # downloads never holds it, and the import does not compete with the window's start.
        app.updater.start()
        if not args.no_browser:
            import webbrowser  # only the browser mode's; the window's start does without it

            webbrowser.open(url)
        server.serve_forever(poll_interval=0.25)
    except _Stop as e:
        reason = _stop_reason or str(e)
    except KeyboardInterrupt:
        reason = "[服务] 收到信号 SIGINT，正在停止"
    # A second signal must not interrupt the orderly stop below.
    for sig in STOP_SIGNALS:
        signal.signal(sig, signal.SIG_IGN)
    if reason:
        say(reason)
    if page:
        signin.remove_page(page)
    cancelled = app.manager.shutdown(wait=0.5) if app and hasattr(app, "manager") else 0
    if server:
        server.server_close()
    if app:
        app.store.close()
    if cancelled:
        say(f"[服务] 已停止（中断了 {cancelled} 个下载，下次启动时继续）")
    else:
        say("[服务] 已停止")
    # Download threads stuck on a silent network must not delay the exit.
    os._exit(0)


if __name__ == "__main__":
    sys.exit(main())
