"""The start-up benchmark's pywebview contender: the same server shown by
pywebview (Debian's python3-webview, GTK 3 + WebKit2GTK backend), done the
way the floor does it: a window first, then the server, and the one-time
sign-in address it prints loaded at once (the server redirects it to the
application with the session cookie, as for a user's browser).

Usage: /usr/bin/python3 pywebview_show.py APP_DIR PORT
With ZORMAK_TRACE naming a file it appends the same marks as zormak's trace.
"""
import os
import re
import signal
import subprocess
import sys
import threading
import time

TRACE = os.environ.get("ZORMAK_TRACE")


def mark(event, detail=""):
    if TRACE:
        with open(TRACE, "a") as f:
            f.write("%d %s %s\n" % (time.clock_gettime_ns(time.CLOCK_MONOTONIC), event, detail))


mark("main")
import webview  # noqa: E402
from webview.platforms import gtk as backend  # noqa: E402

_load_changed = backend.BrowserView.on_load_finish
_names = {0: "load-started", 1: "load-redirected", 2: "load-committed", 3: "load-finished"}


def on_load_changed(self, view, status):
    mark(_names.get(int(status), "load-event"), view.get_uri() or "")
    return _load_changed(self, view, status)


backend.BrowserView.on_load_finish = on_load_changed

_init = backend.BrowserView.__init__


def init(self, window):
    _init(self, window)

    def after_paint(clock):
        mark("first-frame")
        clock.disconnect(handler[0])

    handler = []
    self.window.connect("realize", lambda w: handler.append(
        w.get_frame_clock().connect("after-paint", after_paint)))


backend.BrowserView.__init__ = init


def main():
    app_dir, port = sys.argv[1], sys.argv[2]
    window = webview.create_window("pywebview", html="<html></html>", width=1180, height=840)
    mark("window")
    server = subprocess.Popen(
        [os.path.join(app_dir, ".venv", "bin", "python"), "-u", "app.py", "--port", port,
         "--no-browser"],
        cwd=app_dir, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, start_new_session=True)
    mark("spawned")

    def stop(*_):
        try:
            os.killpg(server.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        os._exit(0)

    signal.signal(signal.SIGTERM, stop)

    def watch():
        for raw in server.stdout:
            found = re.search(r"http://127\.0\.0\.1:\d+/signin\?token=\S+",
                              raw.decode("utf-8", "replace"))
            if found:
                mark("load-request", found.group(0))
                window.load_url(found.group(0))
                break
        for _ in server.stdout:
            pass

    threading.Thread(target=watch, daemon=True).start()
    webview.start(gui="gtk")
    stop()


main()
