"""End-to-end tests of what makes ZORMAK a desktop application: the About
dialog, page zoom, the context menu and the remembered window, with the
built binary under Xvfb and the harness of test_shell.py.

Usage: test_desktop.py ZORMAK_BINARY [unittest arguments]
Set ZORMAK_E2E_SHOTS to a directory to keep screenshots of what was shown.
"""
import filecmp
import json
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import time
import unittest

import test_shell
from test_shell import ShellTestCase, alive, read, wait_for

HERE = os.path.dirname(os.path.abspath(__file__))
# The payload's tests' media server: slow downloads that honour byte ranges.
sys.path.insert(0, os.path.join(HERE, os.pardir, os.pardir, "payload", "tests"))
from media import MediaServer  # noqa: E402
APP_ID = "org.zormak.Zormak"


class DesktopTestCase(ShellTestCase):
    def desktop_run(self, **kw):
        """A run whose payload serves the desktop page, with the built icons
        beside the resources as in an installed tree."""
        run = self.run_with(**kw)
        payload = os.path.join(run.dir, "share", "zormak", "payload")
        if os.path.isdir(payload):
            shutil.copy(os.path.join(HERE, "desktop_server.py"), os.path.join(payload, "app.py"))
        icons = os.path.join(os.path.dirname(os.path.dirname(test_shell.BINARY)), "share", "icons")
        shutil.copytree(icons, os.path.join(run.dir, "share", "icons"))
        return run

    def sh(self, run, *args):
        return subprocess.run(list(args), env=run.env, capture_output=True, text=True).stdout

    def width(self, run):
        """The page's latest viewport width in CSS pixels."""
        reports = [line for line in run.requested() if line.startswith("GET /report?w=")]
        return int(reports[-1].split("=")[1]) if reports else None

    def wait_width(self, run, expected, timeout=10):
        return wait_for(lambda: self.width(run) is not None and abs(self.width(run) - expected) <= 1,
                        timeout)

    def geometry(self, run):
        out = self.sh(run, "xdotool", "getwindowgeometry", "--shell", run.window())
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return int(values["WIDTH"]), int(values["HEIGHT"])

    def state_file(self, run):
        return os.path.join(run.support, "window.ini")

    def popups(self, run):
        """Mapped windows of ours other than the main one: menus, dialogs."""
        out = self.sh(run, "xdotool", "search", "--onlyvisible", "--classname", APP_ID)
        return [w for w in out.split() if w and w != run.window_id]

    def start(self, run, **env):
        proc = run.launch(**env)
        self.assertTrue(run.wait_ready(), (run.requested(), run.titles(), run.log()))
        self.assertTrue(wait_for(lambda: self.width(run) is not None, 10), run.requested())
        run.window_id = run.window()
        return proc

    def close_window(self, run):
        test_shell.close_window(run.env["DISPLAY"], int(run.window_id))

    def answer(self, run, keys):
        """Gives `keys` to the one dialog shown and waits until it is gone."""
        dialogs = self.popups(run)
        self.assertEqual(len(dialogs), 1)
        subprocess.run(["xdotool", "windowfocus", "--sync", dialogs[0]], env=run.env, check=False)
        subprocess.run(["xdotool", "key", keys], env=run.env, check=True)
        self.assertTrue(wait_for(lambda: not self.popups(run), 10))

    def make_pending(self, run):
        """Checks the page's box so that it has pending work. A click that a
        busy machine loses is given again; one that the page took twice
        leaves the box clear, and the next click checks it."""
        def pending():
            marks = [line for line in run.requested() if line.startswith("GET /pending?")]
            return bool(marks) and marks[-1] == "GET /pending?1"
        for _ in range(3):
            run.click(55, 345)
            if wait_for(pending, 5):
                return
        self.fail(run.requested()[-5:])

    def quit(self, run, proc):
        run.key("ctrl+q")
        self.assertEqual(proc.wait(15), 0)


class About(DesktopTestCase):
    def test_about_dialog_opens_once_and_closes(self):
        run = self.desktop_run()
        proc = self.start(run)
        activate = ["gdbus", "call", "--session", "--dest", APP_ID, "--object-path",
                    "/org/zormak/Zormak", "--method", "org.gtk.Actions.Activate",
                    "orderFrontStandardAboutPanel", "[]", "{}"]
        subprocess.run(activate, env=run.env, check=True, capture_output=True)
        self.assertTrue(wait_for(lambda: len(self.popups(run)) == 1, 10))
        time.sleep(1.0)
        run.screenshot("about-dialog")
        # Asking again brings the same dialog forward rather than a second one.
        subprocess.run(activate, env=run.env, check=True, capture_output=True)
        time.sleep(0.5)
        self.answer(run, "Escape")
        self.quit(run, proc)


class Zoom(DesktopTestCase):
    def test_keys_and_wheel_zoom_in_steps_and_the_level_is_kept(self):
        run = self.desktop_run()
        proc = self.start(run)
        actual = self.width(run)
        self.assertEqual(actual, 1180)
        # Three steps in: 110 %, 125 %, 150 %.
        for _ in range(3):
            run.key("ctrl+equal")
        self.assertTrue(self.wait_width(run, int(actual / 1.5)), self.width(run))
        time.sleep(0.5)
        run.screenshot("zoom-150")
        for keys, level in (("ctrl+minus", 1.25), ("ctrl+plus", 1.5),
                            ("ctrl+0", 1.0)):
            with self.subTest(keys=keys):
                run.key(keys)
                self.assertTrue(self.wait_width(run, int(actual / level)), self.width(run))
        # The ends hold: 50 % after any number of steps out.
        for _ in range(8):
            run.key("ctrl+minus")
        self.assertTrue(self.wait_width(run, int(actual / 0.5)), self.width(run))
        run.key("ctrl+0")
        self.assertTrue(self.wait_width(run, actual), self.width(run))

        # Control and the wheel: up zooms in, down zooms out; the wheel
        # alone leaves the zoom alone.
        w = run.window()
        def wheel(button, ctrl=True):
            keys = ["keydown", "ctrl"] if ctrl else []
            subprocess.run(["xdotool", "mousemove", "--window", w, "600", "500"] + keys +
                           ["click", button] + (["keyup", "ctrl"] if ctrl else []),
                           env=run.env, check=True)
            time.sleep(0.3)
        wheel("4")
        wheel("4")
        self.assertTrue(self.wait_width(run, int(actual / 1.25)), self.width(run))
        wheel("5")
        self.assertTrue(self.wait_width(run, int(actual / 1.1)), self.width(run))
        wheel("5", ctrl=False)
        time.sleep(0.5)
        self.assertTrue(self.wait_width(run, int(actual / 1.1)), self.width(run))

        # The level survives a restart.
        self.quit(run, proc)
        self.assertIn("zoom=1.1\n", read(self.state_file(run)))
        proc = self.start(run)
        self.assertTrue(self.wait_width(run, int(actual / 1.1)), self.width(run))
        self.quit(run, proc)


class ContextMenu(DesktopTestCase):
    def test_menu_only_in_text_fields_and_on_links(self):
        run = self.desktop_run()
        proc = self.start(run)
        w = run.window()
        # Where, and whether a word is selected first (a double click).
        cases = (("field", 100, 80, False, True), ("page", 600, 500, False, False),
                 ("text", 80, 260, False, False), ("link", 70, 165, False, True),
                 ("selection", 80, 260, True, True))
        for name, x, y, select, menu in cases:
            with self.subTest(where=name):
                clicks = ["click", "--repeat", "2", "1"] if select else []
                subprocess.run(["xdotool", "mousemove", "--window", w, str(x), str(y)] + clicks +
                               ["click", "3"], env=run.env, check=True)
                if menu:
                    self.assertTrue(wait_for(lambda: self.popups(run), 5))
                else:
                    time.sleep(1.5)
                    self.assertEqual(self.popups(run), [])
                time.sleep(0.5)
                run.screenshot("context-menu-" + name)
                subprocess.run(["xdotool", "key", "Escape"], env=run.env, check=True)
                self.assertTrue(wait_for(lambda: not self.popups(run), 5))
        self.quit(run, proc)


class RememberedWindow(DesktopTestCase):
    def test_size_is_kept_and_fitted_to_the_screen(self):
        run = self.desktop_run()
        self.assertFalse(os.path.exists(self.state_file(run)))
        proc = self.start(run)
        self.assertEqual(self.geometry(run), (1180, 840))
        subprocess.run(["xdotool", "windowsize", "--sync", run.window(), "1000", "700"],
                       env=run.env, check=True)
        self.assertTrue(wait_for(lambda: self.width(run) == 1000, 10), self.width(run))
        self.quit(run, proc)
        self.assertEqual(read(self.state_file(run)),
                         "[window]\nwidth=1000\nheight=700\nmaximized=false\nzoom=1\n")

        proc = self.start(run)
        self.assertEqual(self.geometry(run), (1000, 700))
        # A signal ends the run as well as the quit command does.
        subprocess.run(["xdotool", "windowsize", "--sync", run.window(), "1100", "760"],
                       env=run.env, check=True)
        self.assertTrue(wait_for(lambda: self.width(run) == 1100, 10), self.width(run))
        proc.terminate()
        self.assertEqual(proc.wait(15), 0)
        self.assertIn("width=1100\nheight=760\n", read(self.state_file(run)))

        # Saved on a larger screen than this one (1400 × 1000), and maximised.
        with open(self.state_file(run), "w") as f:
            f.write("[window]\nwidth=2400\nheight=1600\nmaximized=true\nzoom=1\n")
        proc = self.start(run)
        width, height = self.geometry(run)
        self.assertLessEqual(width, 1400)
        self.assertLessEqual(height, 1000)
        # Without a window manager the request stays a request on the window.
        self.assertIn("_NET_WM_STATE_MAXIMIZED_VERT",
                      self.sh(run, "xprop", "-id", run.window(), "_NET_WM_STATE"))
        self.quit(run, proc)

    def test_damaged_state_file_is_set_aside_and_the_default_size_used(self):
        run = self.desktop_run()
        os.makedirs(run.support, exist_ok=True)
        with open(self.state_file(run), "w") as f:
            f.write("[window]\nwidth=huge\n")
        proc = self.start(run)
        self.assertEqual(self.geometry(run), (1180, 840))
        aside = [n for n in os.listdir(run.support) if n.startswith("window.ini.damaged-")]
        self.assertEqual(len(aside), 1)
        self.assertEqual(read(os.path.join(run.support, aside[0])), "[window]\nwidth=huge\n")
        self.quit(run, proc)


class QuitAsks(DesktopTestCase):
    def test_pending_work_makes_closing_and_quitting_ask(self):
        run = self.desktop_run()
        proc = self.start(run)
        self.make_pending(run)
        server_pid = run.server_pid()
        for how, ask in (("quit", lambda: run.key("ctrl+q")),
                         ("close", lambda: self.close_window(run))):
            with self.subTest(how=how):
                ask()
                self.assertTrue(wait_for(lambda: len(self.popups(run)) == 1, 10), how)
                time.sleep(0.5)
                run.screenshot("quit-confirmation-" + how)
                # Escape stays, and the program goes on as before.
                self.answer(run, "Escape")
                time.sleep(0.5)
                self.assertIsNone(proc.poll())
                self.assertTrue(alive(server_pid))
        # Asking again asks again; this time the user quits.
        self.close_window(run)
        self.assertTrue(wait_for(lambda: len(self.popups(run)) == 1, 10))
        self.answer(run, "alt+q")
        self.assertEndsCleanly(run, proc, server_pid)

    def test_work_pending_from_the_start_asks_before_any_click(self):
        run = self.desktop_run(mode="pending")
        proc = self.start(run)
        server_pid = run.server_pid()
        self.close_window(run)
        self.assertTrue(wait_for(lambda: len(self.popups(run)) == 1, 10))
        self.answer(run, "alt+q")
        self.assertEndsCleanly(run, proc, server_pid)

    def test_without_pending_work_and_for_signals_nothing_asks(self):
        run = self.desktop_run()
        proc = self.start(run)
        self.close_window(run)
        self.assertEqual(proc.wait(15), 0)
        for signo in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(signal=signo):
                proc = self.start(run)
                try:
                    self.make_pending(run)
                    proc.send_signal(signo)
                    self.assertEqual(proc.wait(15), 0)
                finally:
                    # A failed round must not leave its window to the next.
                    if proc.poll() is None:
                        proc.kill()
                        proc.wait(10)
                    with open(run.requests, "w"):
                        pass


class Notifications(DesktopTestCase):
    def test_the_served_page_notifies_through_the_desktop_service(self):
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
        run.key("n")
        # Granted without a question to the user.
        self.assertTrue(wait_for(lambda: "GET /notification?granted" in run.requested(), 10),
                        run.requested()[-3:])
        self.assertTrue(wait_for(lambda: os.path.exists(record) and read(record), 10))
        shown = [json.loads(line) for line in read(record).splitlines()]
        self.assertEqual([(n["summary"], n["body"]) for n in shown], [("下载完成", "桌面通知 e2e")])
        self.quit(run, proc)


class QuitResumes(DesktopTestCase):
    """The real payload: a download running when the window closes asks
    first, and after quitting it continues at the next start."""

    SIZE = 4_000_000

    def test_a_download_interrupted_by_quitting_finishes_after_relaunch(self):
        run = self.run_with(payload="real")
        root = os.path.join(run.dir, "media")
        os.makedirs(root)
        source = os.path.join(root, "long.mp4")
        with open(source, "wb") as f:
            f.write(os.urandom(self.SIZE))
        media = MediaServer(root=root, slow_rate=100_000)
        self.addCleanup(media.close)

        proc = run.launch()
        self.assertTrue(wait_for(run.ready_origins, 90), run.log())
        self.assertTrue(run.wait_title(test_shell.MAIN_TITLE, 10), run.titles())
        run.window_id = run.window()
        time.sleep(2.0)
        # As the user does: paste the address and add it with Control+Enter.
        subprocess.run(["xdotool", "windowfocus", "--sync", run.window_id], env=run.env)
        run.click(600, 220)
        subprocess.run(["xdotool", "type", "--delay", "20", media.url("slow/long.mp4")],
                       env=run.env, check=True)
        run.key("ctrl+Return")
        self.assertTrue(wait_for(lambda: media.sent("long.mp4") > self.SIZE // 10, 40),
                        run.log())
        time.sleep(2.0)  # the page learns of the running job from its next poll
        server_pid = run.server_pid()
        self.close_window(run)
        self.assertTrue(wait_for(lambda: len(self.popups(run)) == 1, 20), "no confirmation")
        time.sleep(0.5)
        run.screenshot("quit-with-download")
        self.answer(run, "alt+q")
        self.assertEndsCleanly(run, proc, server_pid, timeout=20)
        # The transfer stopped with the program; the partial data stays.
        sent = media.sent("long.mp4")
        time.sleep(1.0)
        self.assertEqual(media.sent("long.mp4"), sent)
        self.assertLess(sent, self.SIZE)
        target = os.path.join(run.home, "Downloads", "long.mp4")
        self.assertFalse(os.path.exists(target))

        proc = run.launch()
        database = os.path.join(run.support, "app", "data", "history.sqlite3")

        def counts():
            """(history rows, journaled jobs), once the download has finished."""
            try:
                with sqlite3.connect(database, timeout=1) as db:
                    found = tuple(db.execute("SELECT count(*) FROM %s" % table).fetchone()[0]
                                  for table in ("downloads", "jobs"))
                db.close()
                return found if found != (0, 1) else None
            except sqlite3.Error:
                return None
        self.assertEqual(wait_for(counts, 120), (1, 0), run.log())
        self.assertTrue(filecmp.cmp(target, source, shallow=False))
        self.assertGreaterEqual(media.resumes("long.mp4"), 1, "started over")
        self.assertLess(media.refetched("long.mp4"), self.SIZE // 10)
        # Nothing is pending once the page has seen it finish: quitting does not ask.
        time.sleep(2.0)
        server_pid = run.server_pid()
        run.key("ctrl+q")
        self.assertEndsCleanly(run, proc, server_pid, timeout=20)
        self.assertEqual(counts(), (1, 0))

if __name__ == "__main__":
    test_shell.BINARY = os.path.abspath(sys.argv.pop(1))
    unittest.main()
