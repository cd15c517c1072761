"""End-to-end tests of what makes ZORMAK a desktop application: one launch to
quit through the served page behind the user's proxies, links and redirects,
zoom, the stopped page and the remembered window; the About dialog, the context menu, quitting with work
pending and notifications. The built binary under Xvfb, with the harness of
test_shell.py.

Usage: test_desktop.py ZORMAK_BINARY [unittest arguments]
Set ZORMAK_E2E_SHOTS to a directory to keep screenshots of what was shown.
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import time
import unittest

import test_shell
from test_shell import MAIN_TITLE, STOPPED_TITLE, RecordingProxy, ShellTestCase, alive, read, wait_for

HERE = os.path.dirname(os.path.abspath(__file__))
APP_ID = "org.zormak.Zormak"


class DesktopTestCase(ShellTestCase):
    def desktop_run(self, **kw):
        """A run with the built icons beside the resources, as in an
        installed tree."""
        run = self.run_with(**kw)
        icons = os.path.join(os.path.dirname(os.path.dirname(test_shell.BINARY)), "share", "icons")
        shutil.copytree(icons, os.path.join(run.dir, "share", "icons"))
        return run

    def width(self, run):
        """The page's latest viewport width in CSS pixels."""
        reports = [line for line in run.requested() if line.startswith("GET /report?w=")]
        return int(reports[-1].split("=")[1]) if reports else None

    def wait_width(self, run, expected, timeout=10):
        return wait_for(lambda: self.width(run) is not None and abs(self.width(run) - expected) <= 1,
                        timeout)

    def geometry(self, run):
        out = run.xdo("getwindowgeometry", "--shell", run.window())
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return int(values["WIDTH"]), int(values["HEIGHT"])

    def state_file(self, run):
        return os.path.join(run.support, "window.ini")

    def popups(self, run):
        """Mapped windows of ours other than the main one: menus, dialogs."""
        out = run.xdo("search", "--onlyvisible", "--classname", APP_ID, check=False)
        return [w for w in out.split() if w and w != run.window_id]

    def start(self, run, **env):
        proc = run.launch(**env)
        self.assertTrue(run.wait_ready(), (run.requested(), run.titles(), run.log()))
        self.assertTrue(wait_for(lambda: self.width(run) is not None, 10), run.requested())
        run.window_id = run.window()
        return proc

    def answer(self, run, keys):
        """Gives `keys` to the one dialog shown and waits until it is gone."""
        dialogs = self.popups(run)
        self.assertEqual(len(dialogs), 1)
        run.key(keys, window=dialogs[0])
        self.assertTrue(wait_for(lambda: not self.popups(run), 10))


class LaunchToQuit(DesktopTestCase):
    """One real launch checked at each step, then a second that finds what
    the first left."""

    def test_launch_browse_zoom_resize_restart_quit_and_relaunch(self):
        # Every request goes to a proxy that answers 502: the application
        # shows only if loopback bypasses it.
        proxy = RecordingProxy()
        self.addCleanup(proxy.close)
        proxies = {n: proxy.address for n in ("http_proxy", "https_proxy", "all_proxy")}
        run = self.desktop_run()
        self.assertFalse(os.path.exists(self.state_file(run)))
        proc = self.start(run, **proxies)
        run.screenshot("served-application")
        server_pid = run.server_pid()
        self.assertIsNotNone(server_pid)

        # The default size, and the launch's secret as the session cookie.
        self.assertEqual(self.geometry(run), (1180, 840))
        actual = self.width(run)
        self.assertEqual(actual, 1180)
        self.assertSecretSent(run)
        self.assertNotIn("kept=yes", run.cookies()[-1])

        # A link to another site, one asking for a new window and a move of
        # the page that another site redirects go to the browser; the window
        # keeps the application, whose page goes on polling.
        for act, url in ((lambda: run.click(70, 165), "http://outside.invalid/page"),
                         (lambda: run.click(70, 445), "http://popup.invalid/new"),
                         (lambda: run.key("g"), "http://outside.invalid/redirected")):
            act()
            self.assertTrue(wait_for(lambda: url in read(run.opened), 10), read(run.opened))
            pings = run.requested().count("GET /ping")
            self.assertTrue(wait_for(lambda: run.requested().count("GET /ping") > pings + 2, 5), url)
        self.assertEqual(read(run.opened).splitlines(), ["http://outside.invalid/page",
                         "http://popup.invalid/new", "http://outside.invalid/redirected"])
        self.assertEqual(run.titles(), [MAIN_TITLE])
        # Remote hosts still go through the proxy: the page's picture from elsewhere.
        self.assertTrue(wait_for(lambda: any("thumbs.invalid" in l for l in proxy.lines), 10),
                        proxy.lines)

        # Zoom by each key and by Control and the wheel; the wheel alone scrolls.
        for keys, level in (("ctrl+equal", 1.1), ("ctrl+plus", 1.25), ("ctrl+minus", 1.1),
                            ("ctrl+0", 1.0)):
            with self.subTest(keys=keys):
                run.key(keys)
                self.assertTrue(self.wait_width(run, int(actual / level)), self.width(run))

        # The wheel alone scrolls: the level stays (checked after a longer wait).
        for button, ctrl, level in (("4", True, 1.1), ("4", True, 1.25), ("5", True, 1.1),
                                    ("5", False, 1.1)):
            held = ["keydown", "ctrl", "click", button, "keyup", "ctrl"] if ctrl else ["click", button]
            run.xdo("mousemove", "--window", run.window_id, "600", "500", *held)
            time.sleep(0.3 if ctrl else 0.8)
            self.assertTrue(self.wait_width(run, int(actual / level)), (button, ctrl, self.width(run)))
        run.screenshot("zoom-110")

        # The user makes the window smaller.
        run.xdo("windowsize", "--sync", run.window_id, "1000", "700")
        self.assertTrue(self.wait_width(run, int(1000 / 1.1)), self.width(run))

        # The server dies: the stopped page, whose focused button starts it
        # again on the same origin with a secret of its own.
        roots = run.requested().count("GET /")
        os.kill(server_pid, signal.SIGKILL)
        self.assertTrue(run.wait_title(STOPPED_TITLE), (run.titles(), run.log()))
        self.assertIn("[ZORMAK] 子进程退出，被信号 9（SIGKILL）终止\n", run.log())
        before_restart = run.log()
        time.sleep(1.0)  # the page under the title, its button focused
        run.screenshot("stopped-page", settle=0)
        run.key("Return")
        self.assertTrue(wait_for(lambda: run.requested().count("GET /") > roots, 40),
                        (run.requested(), run.titles(), run.log()))
        self.assertTrue(run.wait_title(MAIN_TITLE, 10), run.titles())
        self.assertNotEqual(run.server_pid(), server_pid)
        self.assertInOrder(run.log()[len(before_restart):], [
            "[ZORMAK] 按用户要求重新启动服务\n", "[ZORMAK] 已启动 python pid=", test_shell.READY_LINE])
        origins = run.ready_origins()
        self.assertEqual((len(origins), len(set(origins))), (2, 1), origins)
        self.assertSecretSent(run)
        self.assertEqual(len(set(run.secrets())), 2)
        self.assertTrue(self.wait_width(run, int(1000 / 1.1)), self.width(run))

        # Quitting stops the server once and keeps the window and the zoom.
        server_pid = run.server_pid()
        run.key("ctrl+q")
        self.assertEndsCleanly(run, proc, server_pid)
        # The server's own output is logged too, and the server was stopped once.
        log = run.log()
        self.assertEqual(log.count("serving at http://127.0.0.1:"), 2)
        self.assertEqual(log.count("[ZORMAK] 正在关闭服务……\n"), 1)
        self.assertEqual(read(self.state_file(run)),
                         "[window]\nwidth=1000\nheight=700\nmaximized=false\nzoom=1.1\n")

        # The next launch, as if saved maximised on a larger screen than this
        # one (1400 × 1000): fitted, asked to maximise, at the kept zoom, and
        # the page's own cookie survived beside a new secret.
        with open(self.state_file(run), "w") as f:
            f.write("[window]\nwidth=2400\nheight=1600\nmaximized=true\nzoom=1.1\n")
        proc = run.launch(**proxies)
        self.assertTrue(wait_for(lambda: len(run.cookies()) == 3, 40), run.requested()[-5:])
        self.assertTrue(run.wait_title(MAIN_TITLE, 10), run.titles())
        run.window_id = run.window()
        width, height = self.geometry(run)
        self.assertLessEqual(width, 1400)
        self.assertLessEqual(height, 1000)
        # Without a window manager the request stays a request on the window.
        self.assertIn("_NET_WM_STATE_MAXIMIZED_VERT",
                      subprocess.run(["xprop", "-id", run.window_id, "_NET_WM_STATE"], env=run.env,
                                     capture_output=True, text=True).stdout)
        self.assertTrue(self.wait_width(run, int(width / 1.1)), (width, self.width(run)))
        self.assertIn("kept=yes", run.cookies()[-1])
        self.assertSecretSent(run)
        self.assertEqual(len(set(run.secrets())), 3)

        # Closing the window with nothing pending asks nothing.
        server_pid = run.server_pid()
        run.close_window(run.window_id)
        self.assertEndsCleanly(run, proc, server_pid)
        self.assertFalse([l for l in proxy.lines if "127.0.0.1" in l or "localhost" in l],
                         proxy.lines)


class QuitAsks(DesktopTestCase):
    def test_pending_work_makes_closing_and_quitting_ask(self):
        # Pending since the page loaded: asked before anyone clicked in it.
        run = self.desktop_run(mode="pending")
        proc = self.start(run)
        server_pid = run.server_pid()
        for how, ask in (("close", lambda: run.close_window(run.window_id)),
                         ("quit", lambda: run.key("ctrl+q"))):
            with self.subTest(how=how):
                ask()
                self.assertTrue(wait_for(lambda: len(self.popups(run)) == 1, 10), how)
                time.sleep(0.5)  # the dialog takes the keyboard
                run.screenshot("quit-confirmation-" + how, settle=0)
                # Escape stays, and the program goes on as before.
                self.answer(run, "Escape")
                time.sleep(0.5)
                self.assertIsNone(proc.poll())
                self.assertTrue(alive(server_pid))
        # Asking again asks again; this time the user quits.
        run.close_window(run.window_id)
        self.assertTrue(wait_for(lambda: len(self.popups(run)) == 1, 10))
        self.answer(run, "alt+q")
        self.assertEndsCleanly(run, proc, server_pid)


class Popups(DesktopTestCase):
    def test_notifications_the_about_dialog_and_the_context_menu(self):
        run = self.desktop_run()
        record = os.path.join(run.dir, "notifications.jsonl")
        # The system's Python: the service needs GObject introspection.
        daemon = subprocess.Popen(["/usr/bin/python3", os.path.join(HERE, "notification_daemon.py"),
                                   record], env=run.env, stdout=subprocess.PIPE, text=True)
        self.addCleanup(daemon.stdout.close)
        self.addCleanup(daemon.wait, 10)
        self.addCleanup(daemon.terminate)
        self.assertEqual(daemon.stdout.readline().strip(), "ready")
        proc = self.start(run)

        # The served page notifies through the desktop's service, granted
        # without a question to the user.
        run.key("n")
        self.assertTrue(wait_for(lambda: "GET /notification?granted" in run.requested(), 10),
                        run.requested()[-3:])
        self.assertTrue(wait_for(lambda: os.path.exists(record) and read(record), 10))
        shown = [json.loads(line) for line in read(record).splitlines()]
        self.assertEqual([(n["summary"], n["body"]) for n in shown], [("下载完成", "桌面通知 e2e")])

        # The About dialog opens once and closes.
        activate = ["gdbus", "call", "--session", "--dest", APP_ID, "--object-path",
                    "/org/zormak/Zormak", "--method", "org.gtk.Actions.Activate",
                    "orderFrontStandardAboutPanel", "[]", "{}"]
        subprocess.run(activate, env=run.env, check=True, capture_output=True)
        self.assertTrue(wait_for(lambda: len(self.popups(run)) == 1, 10))
        run.screenshot("about-dialog")
        # Asking again brings the same dialog forward rather than a second one.
        subprocess.run(activate, env=run.env, check=True, capture_output=True)
        time.sleep(0.5)
        self.answer(run, "Escape")

        # A context menu only in text fields and on links. Where, and whether
        # a word is selected first (a double click).
        w = run.window()
        cases = (("field", 100, 80, False, True), ("page", 600, 500, False, False),
                 ("text", 80, 260, False, False), ("link", 70, 165, False, True),
                 ("selection", 80, 260, True, True))
        for name, x, y, select, menu in cases:
            with self.subTest(where=name):
                clicks = ["click", "--repeat", "2", "1"] if select else []
                run.xdo("mousemove", "--window", w, str(x), str(y), *clicks, "click", "3")
                if menu:
                    self.assertTrue(wait_for(lambda: self.popups(run), 5))
                else:
                    time.sleep(1.5)
                    self.assertEqual(self.popups(run), [])
                time.sleep(0.5)  # the menu takes the keyboard
                run.screenshot("context-menu-" + name, settle=0)
                run.xdo("key", "Escape")
                self.assertTrue(wait_for(lambda: not self.popups(run), 5))
        self.stop(run, proc, "quit")


if __name__ == "__main__":
    test_shell.BINARY = os.path.abspath(sys.argv.pop(1))
    unittest.main()
