"""The Debian package as a user's machine gets it: built by CPack, extracted
with dpkg-deb into a temporary root, its files and dependencies checked,
and the real program started from that tree under Xvfb.

Usage: test_package.py DEB [unittest arguments]
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import test_shell  # noqa: E402  (the end-to-end harness: Xvfb, private bus, temporary home)
from test_shell import MAIN_TITLE, ShellTestCase, wait_for  # noqa: E402

DEB = None
APP_ID = "org.zormak.Zormak"
ICON_SIZES = (16, 24, 32, 48, 64, 128, 256, 512)


def field(name):
    return subprocess.run(["dpkg-deb", "-f", DEB, name], capture_output=True, text=True,
                          check=True).stdout.strip()


class Extracted(ShellTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.root = tempfile.mkdtemp(prefix="zormak-deb-")
        subprocess.run(["dpkg-deb", "-x", DEB, cls.root], check=True)
        # The harness copies this binary into each run's folder; the runs
        # here start the extracted one in place instead, with its payload.
        test_shell.BINARY = os.path.join(cls.root, "usr", "bin", "zormak")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)
        super().tearDownClass()

    def path(self, rel):
        return os.path.join(self.root, rel.lstrip("/"))

    def test_holds_the_program_its_payload_and_what_the_desktop_needs(self):
        expected = [
            "/usr/bin/zormak",
            "/usr/share/zormak/payload/app.py",
            "/usr/share/zormak/payload/PAYLOAD_VERSION",
            "/usr/share/zormak/payload/static/index.html",
            "/usr/share/zormak/payload/.venv/bin/python",
            "/usr/share/applications/%s.desktop" % APP_ID,
            "/usr/share/metainfo/%s.metainfo.xml" % APP_ID,
            "/usr/share/icons/hicolor/scalable/apps/%s.svg" % APP_ID,
            "/usr/share/doc/zormak/copyright",
            "/usr/share/doc/zormak/changelog.gz",
        ] + ["/usr/share/icons/hicolor/%dx%d/apps/%s.png" % (s, s, APP_ID) for s in ICON_SIZES]
        for rel in expected:
            with self.subTest(file=rel):
                self.assertTrue(os.path.lexists(self.path(rel)), rel)
        # The installed runtime is reinstalled when this text changes; it
        # starts with the product's version.
        with open(self.path("/usr/share/zormak/payload/PAYLOAD_VERSION")) as f:
            self.assertTrue(f.read().startswith(field("Version") + "+"))
        # Nothing a run leaves behind in the build tree comes along.
        self.assertFalse(os.path.lexists(self.path("/usr/share/zormak/payload/data")))
        for top, dirs, _ in os.walk(self.path("/usr/share/zormak/payload")):
            self.assertNotIn("__pycache__", dirs, top)

    def test_depends_on_the_linked_libraries_and_what_it_runs(self):
        self.assertEqual(field("Package"), "zormak")
        self.assertEqual(field("Architecture"), "amd64")
        self.assertEqual(os.path.basename(DEB),
                         "zormak_%s_amd64.deb" % field("Version"))
        relations = [d.strip() for d in field("Depends").split(",")]
        depends = [d.split(" ")[0] for d in relations]
        # gpg and gpgv check the engine's updates before they run.
        for pkg in ("libgtk-4-1", "libwebkitgtk-6.0-4", "libcurl4", "ffmpeg", "fonts-noto-cjk", "gpg", "gpgv"):
            self.assertIn(pkg, depends)
        # The interpreter the payload's environment was made with, which its
        # link names and for which its modules were copied.
        with open(self.path("/usr/share/zormak/payload/.venv/pyvenv.cfg")) as f:
            cfg = dict(line.split(" = ", 1) for line in f.read().splitlines() if " = " in line)
        major, minor = cfg["version"].split(".")[:2]
        self.assertEqual(os.readlink(self.path("/usr/share/zormak/payload/.venv/bin/python3")),
                         "/usr/bin/python3")
        self.assertIn("python3 (>= %s.%s)" % (major, minor), relations)
        self.assertIn("python3 (<< %s.%d)" % (major, int(minor) + 1), relations)

    def test_the_extracted_program_starts_its_payload_and_quits(self):
        run = self.run_with(payload=False)
        proc = run.launch(binary=self.path("/usr/bin/zormak"))
        self.assertTrue(wait_for(lambda: "[ZORMAK] 界面已就绪：http://127.0.0.1:" in run.log(), 90),
                        run.log())
        self.assertTrue(run.wait_title(MAIN_TITLE), run.titles())
        self.assertIn("[ZORMAK] 运行环境就绪：%s\n" % os.path.join(run.support, "app"), run.log())
        with open(os.path.join(run.support, "app", "PAYLOAD_VERSION")) as f:
            installed = f.read()
        with open(self.path("/usr/share/zormak/payload/PAYLOAD_VERSION")) as f:
            self.assertEqual(installed, f.read())
        server_pid = run.server_pid()
        self.assertIsNotNone(server_pid)
        proc.send_signal(signal.SIGTERM)
        self.assertEndsCleanly(run, proc, server_pid)


if __name__ == "__main__":
    DEB = os.path.abspath(sys.argv.pop(1))
    unittest.main()
