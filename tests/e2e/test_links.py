"""End-to-end test of what reaches the window from outside it and of its
first frames: the start-up cover, addresses of a launch and handed over by a
second one, drops, the folder dialog and the clipboard offer, each through
the real GTK hook, in one run.

Usage: test_links.py ZORMAK_BINARY [unittest arguments]
"""
import json
import os
import subprocess
import sys
import unittest
import urllib.parse

import test_shell
import xclient
from test_shell import ShellTestCase, read, wait_for


def shell_events(run):
    """What the shell sent the fake page, in order."""
    prefix = "GET /shell?"
    return [json.loads(urllib.parse.unquote(line[len(prefix):]))
            for line in run.requested() if line.startswith(prefix)]


def marks(path):
    return [line.split(" ", 2)[1] for line in read(path).splitlines() if " " in line]


class Links(ShellTestCase):
    def expect_events(self, run, before, expected, timeout=20):
        """The shell sends the page `expected` after its first `before` events, and no more."""
        wait_for(lambda: len(shell_events(run)) >= before + len(expected), timeout)
        self.assertEqual(shell_events(run)[before:], expected, run.requested()[-5:])

    def test_what_reaches_the_page_from_outside_the_window(self):
        run = self.run_with()
        trace = os.path.join(run.dir, "trace")
        first = run.launch(["zormak:https%3A%2F%2Fa.example%2Fv%3Fx%3D1", "--bogus",
                            "file:///etc/passwd"], ZORMAK_TRACE=trace)
        self.assertTrue(run.wait_ready(), (run.requested(), run.log()))
        # The cover is up before the first frame and lifts once a page painted.
        self.assertTrue(wait_for(lambda: "cover-lifted" in marks(trace), 20), marks(trace))
        seen = marks(trace)
        self.assertLess(seen.index("cover"), seen.index("present"))
        self.assertEqual(seen.count("cover-lifted"), 1)
        run.screenshot("links-served")

        # The launch's addresses reach the page; a second launch hands its own over.
        self.expect_events(run, 0, [
            {"kind": "links", "source": "launch", "urls": ["https://a.example/v?x=1"]}])
        second = run.launch(["http://127.0.0.1:9/x.mp4", "zormak:restart-server"])
        self.assertEqual(second.wait(30), 0)
        self.expect_events(run, 1, [
            {"kind": "links", "source": "launch", "urls": ["http://127.0.0.1:9/x.mp4"]}])
        self.assertIsNone(first.poll())

        # Dropped links and text, onto the page's text field, which would
        # otherwise take the text itself.
        drops = [("text/uri-list", "# c\r\nhttp://127.0.0.1:9/a.mp4\r\nfile:///etc/passwd\r\n",
                  ["http://127.0.0.1:9/a.mp4"]),
                 ("text/plain;charset=utf-8", "看 https://b.example/v，好看", ["https://b.example/v"])]
        for kind, data, urls in drops:
            with self.subTest(kind=kind):
                before = len(shell_events(run))
                self.assertTrue(xclient.drop(run.display.display, int(run.window()), 200, 70, kind,
                                             data.encode()), "the drop did not finish")
                self.expect_events(run, before, [{"kind": "links", "source": "drop", "urls": urls}])
        run.screenshot("links-dropped")

        # The folder dialog answers the page with the folder typed into it.
        chosen = os.path.join(run.dir, "chosen folder")
        os.makedirs(chosen)
        before = len(shell_events(run))
        run.click(600, 600)
        run.key("f")
        dialog = wait_for(lambda: run.find("选择下载文件夹"), 20)
        self.assertTrue(dialog, "no folder dialog")
        run.screenshot("links-folder-dialog")
        run.key("ctrl+l", window=dialog, sync=False)
        run.xdo("type", "--window", dialog, chosen + "/")
        run.key("Return", window=dialog, sync=False)
        wait_for(lambda: False, 1)
        run.key("Return", window=dialog, sync=False)
        self.expect_events(run, before, [{"kind": "folder", "path": chosen}])

        # A copied address is offered when the window gets the focus, once.
        before = len(shell_events(run))
        copied = subprocess.Popen(["xclip", "-quiet", "-selection", "clipboard"], env=run.env,
                                  stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (copied.kill(), copied.wait()))
        copied.stdin.write("看看这个 http://127.0.0.1:9/clip.mp4。".encode())
        copied.stdin.close()
        window = run.window()
        for _ in range(2):
            run.key(window="1", sync=False)  # the focus goes to the pointer's root, then back
            run.key(window=window, sync=False)
        offer = {"kind": "clipboard", "url": "http://127.0.0.1:9/clip.mp4"}
        self.assertTrue(wait_for(lambda: offer in shell_events(run)[before:], 20), run.requested()[-5:])
        wait_for(lambda: False, 1)
        self.expect_events(run, before, [offer], timeout=0)
        self.stop(run, first)


if __name__ == "__main__":
    test_shell.BINARY = os.path.abspath(sys.argv.pop(1))
    unittest.main()
