"""End-to-end tests: the built zormak binary under Xvfb with a private session
bus, a fake payload and a temporary home.

Usage: test_shell.py ZORMAK_BINARY [unittest arguments]
Set ZORMAK_E2E_SHOTS to a directory to keep screenshots of what was shown.
"""
import http.server
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from xclient import close_window

HERE = os.path.dirname(os.path.abspath(__file__))
BINARY = None
MAIN_TITLE = "ZORMAK · 多平台视频下载器"
FAILURE_TITLE = "ZORMAK · 启动失败"
STOPPED_TITLE = "ZORMAK · 服务已停止"
READY_LINE = "[ZORMAK] 界面已就绪："


def wait_for(predicate, timeout, interval=0.1):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(interval)


def read(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:  # not there (yet), or its process gone
        return ""


def proc_stat(pid):
    """(state, parent pid) of a process, or None once it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return fields[0], int(fields[1])
    except (OSError, IndexError, ValueError):
        return None


def alive(pid):
    """True while the process exists and is not a zombie."""
    stat = proc_stat(pid)
    return stat is not None and stat[0] != "Z"


class RecordingProxy(http.server.ThreadingHTTPServer):
    """A proxy that answers 502 to everything but keeps each request line."""

    def __init__(self):
        lines = self.lines = []

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                lines.append(self.requestline)
                self.send_error(502)
            do_CONNECT = do_GET

            def log_message(self, *args):
                pass
        super().__init__(("127.0.0.1", 0), Handler)
        self.address = "http://127.0.0.1:%d" % self.server_port
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def close(self):
        self.shutdown()
        self.server_close()


class Display:
    """One Xvfb and one private session bus for a test class."""

    def __init__(self):
        r, w = os.pipe()
        # Without -noreset the server resets whenever its last client has
        # gone, and a shell that connects meanwhile cannot open the display.
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(w), "-noreset", "-screen", "0", "1400x1000x24",
             "-nolisten", "tcp"],
            pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(w)
        with os.fdopen(r) as f:
            self.display = ":" + f.readline().strip()
        self.bus = subprocess.Popen(
            ["dbus-daemon", "--config-file=" + os.path.join(HERE, "session-bus.conf"), "--nofork", "--nopidfile", "--print-address=1"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.bus_address = self.bus.stdout.readline().strip()

    def close(self):
        for p in (self.bus, self.xvfb):
            p.terminate()
            p.wait(10)


class Run:
    """One temporary home with a fake installed tree and payload."""

    def __init__(self, display, mode="serve", payload=True):
        self.display = display
        self.dir = tempfile.mkdtemp(prefix="zormak-e2e-")
        self.home = os.path.join(self.dir, "home")
        self.support = os.path.join(self.home, ".local", "share", "ZORMAK")
        self.requests = os.path.join(self.dir, "requests.log")
        self.opened = os.path.join(self.dir, "opened.log")
        os.makedirs(self.home)
        # The resource folder is found from the executable's real path, so
        # the binary is copied, not linked.
        os.makedirs(os.path.join(self.dir, "bin"))
        shutil.copy2(BINARY, os.path.join(self.dir, "bin", "zormak"))
        if payload:
            p = os.path.join(self.dir, "share", "zormak", "payload")
            os.makedirs(os.path.join(p, ".venv", "bin"))
            shutil.copy(os.path.join(HERE, "fake_server.py"), os.path.join(p, "app.py"))
            with open(os.path.join(p, "PAYLOAD_VERSION"), "w") as f:
                f.write("e2e-1\n")
            with open(os.path.join(p, "behaviour.json"), "w") as f:
                json.dump({"mode": mode, "record": self.requests}, f)
            python = os.path.join(p, ".venv", "bin", "python")
            with open(python, "w") as f:
                f.write('#!/bin/sh\nexec /usr/bin/python3 "$@"\n')
            os.chmod(python, 0o755)
        else:
            os.makedirs(os.path.join(self.dir, "share", "zormak"))
        # A stand-in for the desktop's opener that records what it was given.
        fakebin = os.path.join(self.dir, "fakebin")
        os.makedirs(fakebin)
        opener = os.path.join(fakebin, "xdg-open")
        with open(opener, "w") as f:
            f.write('#!/bin/sh\nprintf "%%s\\n" "$*" >> "%s"\n' % self.opened)
        os.chmod(opener, 0o755)
        self.env = {k: v for k, v in os.environ.items()
                    if not k.startswith("XDG_") and k not in ("DBUS_SESSION_BUS_ADDRESS", "WAYLAND_DISPLAY")}
        self.env.update({
            "HOME": self.home,
            "DISPLAY": display.display,
            "DBUS_SESSION_BUS_ADDRESS": display.bus_address,
            "PATH": fakebin + ":" + os.environ.get("PATH", "/usr/bin:/bin"),
            "GDK_BACKEND": "x11",
            "LIBGL_ALWAYS_SOFTWARE": "1",
            "WEBKIT_DISABLE_COMPOSITING_MODE": "1",
            "NO_AT_BRIDGE": "1",
            "GTK_A11Y": "none",
        })
        self.procs = []

    def behave(self, **fields):
        """Rewrites what the fake server does on its next start, in the bundle
        and in the installed copy it runs from."""
        for folder in (os.path.join(self.dir, "share", "zormak", "payload"),
                       os.path.join(self.support, "app")):
            if os.path.isdir(folder):
                with open(os.path.join(folder, "behaviour.json"), "w") as f:
                    json.dump(dict({"record": self.requests}, **fields), f)

    def file(self, name):
        """Makes a file where a folder is expected; returns its path."""
        path = os.path.join(self.dir, name)
        with open(path, "w") as f:
            f.write("not a folder\n")
        return path

    def launch(self, args=(), binary=None, **env):
        """Starts the run's copy of the program, or `binary`, with `env` added."""
        e = dict(self.env, **env)
        # Standard error is the toolkit's (GTK warns where it finds no bus);
        # standard output must stay empty.
        err = open(os.path.join(self.dir, "stderr-%d.txt" % len(self.procs)), "wb")
        p = subprocess.Popen([binary or os.path.join(self.dir, "bin", "zormak"), *args], env=e,
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=err)
        err.close()
        self.procs.append(p)
        return p

    # What the window and the files show.
    def xdo(self, *args, check=True):
        return subprocess.run(["xdotool", *args], env=self.env, check=check,
                              capture_output=True, text=True).stdout

    def windows(self, name="ZORMAK"):
        return self.xdo("search", "--onlyvisible", "--name", name, check=False).split()

    def find(self, name):
        """The first shown window whose name matches, or None."""
        return next(iter(self.windows(name)), None)

    def titles(self):
        return [self.xdo("getwindowname", w, check=False).strip() for w in self.windows()]

    def wait_title(self, title, timeout=30):
        return wait_for(lambda: title in self.titles(), timeout)

    def window(self):
        return self.find("ZORMAK")

    def requested(self):
        return read(self.requests).splitlines()

    def log(self):
        return read(os.path.join(self.support, "app.log"))

    def secrets(self):
        """The launch secret each start of the fake server was given."""
        return [l[len("secret "):] for l in self.requested() if l.startswith("secret ")]

    def cookies(self):
        """The Cookie header of each request for the root."""
        return [l[len("cookie "):] for l in self.requested() if l.startswith("cookie ")]

    def ready_origins(self):
        return [line[len(READY_LINE):] for line in self.log().splitlines()
                if line.startswith(READY_LINE)]

    def pidfile(self):
        return os.path.join(self.support, "server.pid")

    def server_pid(self):
        text = read(self.pidfile()).strip()
        return int(text) if text.isdigit() else None

    def wait_ready(self, timeout=40):
        ok = wait_for(lambda: "GET /" in self.requested(), timeout)
        return ok and self.wait_title(MAIN_TITLE, 10)

    def screenshot(self, name, settle=1.0):
        """Keeps what is shown, once it has had `settle` seconds to draw,
        when ZORMAK_E2E_SHOTS names a folder; else does nothing."""
        shots = os.environ.get("ZORMAK_E2E_SHOTS")
        if shots:
            time.sleep(settle)
            os.makedirs(shots, exist_ok=True)
            subprocess.run(["import", "-window", "root", os.path.join(shots, name + ".png")],
                           env=self.env, check=False)

    def key(self, *keys, window=None, sync=True):
        """Focuses the window (the main one unless named) and presses the keys."""
        self.xdo("windowfocus", *(["--sync"] if sync else []), window or self.window(), check=False)
        if keys:
            self.xdo("key", "--clearmodifiers", *keys)

    def click(self, x, y):
        self.xdo("mousemove", "--window", self.window(), str(x), str(y), "click", "1")

    def close_window(self, window=None):
        close_window(self.display.display, int(window or self.window()))

    def close(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
                p.wait(10)
        pid = self.server_pid()
        if pid and alive(pid):
            os.kill(pid, signal.SIGKILL)
        shutil.rmtree(self.dir, ignore_errors=True)


class ShellTestCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.display = Display()

    @classmethod
    def tearDownClass(cls):
        cls.display.close()

    def run_with(self, **kw):
        r = Run(self.display, **kw)
        self.addCleanup(r.close)
        return r

    def stop(self, run, proc, how="term"):
        """Ends the shell as the session does (SIGTERM), or by its quit key or
        its window's close button; expects a clean exit, nothing written to
        standard output."""
        if how == "term":
            proc.send_signal(signal.SIGTERM)
        elif how == "quit":
            run.key("ctrl+q")
        else:
            run.close_window()
        try:
            rc = proc.wait(20)
        except subprocess.TimeoutExpired:
            self.fail("zormak did not exit after " + how)
        self.assertEqual(rc, 0, "zormak ended with %s after %s" % (rc, how))
        self.assertEqual(proc.stdout.read(), b"")
        proc.stdout.close()

    def assertEndsCleanly(self, run, proc, server_pid, timeout=15):
        try:
            rc = proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.fail("zormak did not exit")
        self.assertEqual(rc, 0)
        self.assertTrue(wait_for(lambda: not alive(server_pid), 5), "server still running")
        self.assertFalse(os.path.exists(run.pidfile()))
        self.assertEqual(proc.stdout.read(), b"", "nothing may go to standard output")

    def assertSecretSent(self, run):
        """The window sent the latest launch's secret as the session cookie."""
        secret = run.secrets()[-1]
        self.assertTrue(secret, "the launch had no secret")
        self.assertIn("zormak_session=" + secret, run.cookies()[-1].split("; "))

    def assertInOrder(self, text, parts):
        pos = 0
        for part in parts:
            found = text.find(part, pos)
            self.assertNotEqual(found, -1, "%r missing after offset %d in:\n%s" % (part, pos, text))
            pos = found + len(part)


class EarlyClose(ShellTestCase):
    def test_closing_while_the_session_cookie_is_being_stored_ends_cleanly(self):
        # The window asks for the page only once its cookie store holds the
        # secret; closing the window in that moment must not crash the engine.
        for attempt in range(3):
            with self.subTest(attempt=attempt):
                run = self.run_with()
                proc = run.launch()
                self.assertTrue(wait_for(run.window, 30), (proc.poll(), run.log()))
                self.assertTrue(wait_for(run.ready_origins, 40, 0.01), run.log())
                server_pid = run.server_pid()
                run.close_window()
                self.assertEndsCleanly(run, proc, server_pid)
                run.close()


class Recovery(ShellTestCase):
    def test_unusable_folders_of_the_web_engine_never_abort_the_program(self):
        cases = [
            # name, what to change, whether the application can still show
            ("cache a file", lambda run: {"XDG_CACHE_HOME": run.file("cache")}, True),
            ("home a file", lambda run: {"HOME": run.file("homefile")}, False),
        ]
        for name, change, usable in cases:
            with self.subTest(name):
                run = self.run_with()
                env = change(run)
                # The service's files stay where the test looks for them.
                env["XDG_DATA_HOME"] = os.path.join(run.home, ".local", "share")
                proc = run.launch(**env)
                if usable:
                    self.assertTrue(run.wait_ready(), (run.requested(), run.titles(), run.log()))
                    self.assertRegex(run.log(), "\\[ZORMAK\\] 缓存文件夹无法使用（不是文件夹）："
                                     ".*，本次运行改用 /tmp/zormak-")
                    for private in re.findall("本次运行改用 (/tmp/zormak-\\w+)", run.log()):
                        shutil.rmtree(private, ignore_errors=True)
                else:
                    self.assertTrue(run.wait_title(FAILURE_TITLE), (run.titles(), run.log()))
                    time.sleep(1.0)  # long enough for an abort to show
                    run.screenshot("engine-folders-" + name.replace(" ", "-"), settle=0)
                    self.assertEqual(run.requested(), [])
                    self.assertRegex(run.log(), "\\[ZORMAK\\] 主文件夹无法使用（不是文件夹）："
                                     ".*只显示出错页面\n")
                self.assertIsNone(proc.poll(), "the program ended")
                self.stop(run, proc)
                run.close()


class Boundary(ShellTestCase):
    def test_a_script_cached_in_an_earlier_run_never_runs(self):
        run = self.run_with(mode="cache-forever")
        proc = run.launch()
        # Whatever answered on the port in that run told the engine to keep its script a year.
        self.assertTrue(wait_for(lambda: "GET /pwned" in run.requested(), 40),
                        (run.requested(), run.log()))
        time.sleep(2.0)
        self.stop(run, proc, "quit")
        run.behave(mode="serve")
        proc = run.launch()
        self.assertTrue(wait_for(lambda: "GET /fine" in run.requested(), 40),
                        (run.requested(), run.log()))
        self.assertEqual(run.requested().count("GET /static/app.js"), 2)
        time.sleep(1.0)
        self.assertEqual(run.requested().count("GET /pwned"), 1, run.requested())
        self.stop(run, proc)


class OneInstance(ShellTestCase):
    def test_second_launch_leaves_the_first_alone_with_or_without_a_session_bus(self):
        for env in ({}, {"DBUS_SESSION_BUS_ADDRESS": "unix:path=/nonexistent/bus"}):
            with self.subTest(env=env):
                run = self.run_with()
                first = run.launch(**env)
                self.assertTrue(run.wait_ready(), (run.requested(), run.log()))
                server_pid = run.server_pid()
                log = run.log()
                second = run.launch(**env)
                self.assertEqual(second.wait(30), 0)
                self.assertIsNone(first.poll())
                self.assertEqual(run.server_pid(), server_pid)
                self.assertTrue(alive(server_pid))
                self.assertEqual(run.log(), log)
                self.assertEqual(len(run.windows()), 1)
                first.send_signal(signal.SIGTERM)
                self.assertEndsCleanly(run, first, server_pid)
                run.close()


if __name__ == "__main__":
    BINARY = os.path.abspath(sys.argv.pop(1))
    unittest.main()
