"""Opening a finished download and showing it in its folder: only the file the
server recorded, only while it is still that regular file, with the desktop's
programs started detached. Recording stand-ins for gio, xdg-open and gdbus are
the only programs on the server's PATH (besides ffmpeg), so no real
application is ever started."""

import os
import shutil
import signal
import time

import pytest

from fakeopen import NAMES, only_fakes
from support import PayloadTest, wait_for

# A folder name with a space, CJK and the characters a URI must escape.
ODD = "下载 100%#1"
ODD_URI = "%E4%B8%8B%E8%BD%BD%20100%25%231"
SHOW = ["gdbus", "call", "--session", "--dest", "org.freedesktop.FileManager1",
        "--object-path", "/org/freedesktop/FileManager1", "--method", "org.freedesktop.FileManager1.ShowItems"]
# What gio says when no program is registered for the type.
COMPLAINT = "No application is registered as handling this file"


class OpenTest(PayloadTest):
    def setUp(self) -> None:
        self.fake = only_fakes(self)
        super().setUp()
        self.folder = os.path.join(self.workdir, ODD)
        os.makedirs(self.folder)
        status, body = self.server.request("POST", "/api/settings", {"download_dir": self.folder})
        self.assertEqual(status, 200, body)
        self.job = self.server.finish(self.media.url("clip.mp4"))
        self.assertEqual(self.job["state"], "done", self.job["error"])
        self.path = os.path.join(self.folder, "clip.mp4")
        self.row = self.server.request("GET", "/api/history")[1]["entries"][0]["id"]

    def post(self, path: str, **options):
        return self.server.request("POST", path, options.pop("body", {}), **options)

    def test_job_and_history_row_open_their_recorded_file(self):
        job = self.job["id"]
        folder_uri = f"file://{self.workdir}/{ODD_URI}"
        cases = [
            (f"/api/jobs/{job}/open", ["gio", "open", "--", self.path]),
            (f"/api/history/{self.row}/open", ["gio", "open", "--", self.path]),
            (f"/api/jobs/{job}/reveal", [*SHOW, f"['{folder_uri}/clip.mp4']", ""]),
            (f"/api/history/{self.row}/reveal", [*SHOW, f"['{folder_uri}/clip.mp4']", ""]),
            # A path named by the request, in the body or the query, changes nothing.
            (f"/api/jobs/{job}/open?path=/etc/passwd", ["gio", "open", "--", self.path]),
        ]
        for url, expected in cases:
            with self.subTest(url=url):
                self.fake.forget()
                status, body = self.post(url, body={"path": "/etc/passwd", "file": "/bin/sh"})
                self.assertEqual((status, body), (200, {"ok": True}))
                self.assertEqual(self.fake.calls(), [expected])
        # Each program ran as the leader of a session of its own, with no input or output of ours:
        # its complaints go to an unnamed file of its own, for the log.
        pid, sid, *streams = self.fake.processes()[0]
        self.assertEqual((pid, streams[:2]), (sid, ["/dev/null"] * 2))
        self.assertNotRegex(" ".join(streams[2:]), r"pipe:|socket:|/dev/null")

    def test_falls_back_when_a_program_fails_or_is_missing(self):
        job = self.job["id"]
        cases: list[tuple[dict[str, int | None], str, list[list[str]], int]] = [
            # (program -> exit code or None for absent, action, programs run, status)
            ({"gdbus": 1}, "reveal", [["gdbus"], ["gio", "open", "--", self.folder]], 200),
            ({"gdbus": None, "gio": 2}, "reveal", [["gio", "open", "--", self.folder], ["xdg-open", self.folder]],
             200),
            ({"gio": None}, "open", [["xdg-open", self.path]], 200),
            # Nothing opens it: the folder shows it instead.
            ({"gio": 4, "xdg-open": 3}, "open", [["gio", "open", "--", self.path], ["xdg-open", self.path], ["gdbus"]],
             200),
            ({"gio": 4, "xdg-open": 3, "gdbus": None}, "open", [["gio", "open", "--", self.path],
                                                              ["xdg-open", self.path], ["gio", "open", "--", self.folder],
                                                              ["xdg-open", self.folder]], 502),
            ({"gio": None, "xdg-open": None}, "open", [], 503),
        ]
        for setup, action, expected, status in cases:
            with self.subTest(setup=setup, action=action):
                for name in NAMES:
                    self.fake.install(name)
                for name, code in setup.items():
                    if code is None:
                        self.fake.remove(name)
                    else:
                        self.fake.install(name, code)
                self.fake.forget()
                answer = self.post(f"/api/jobs/{job}/{action}")
                self.assertEqual(answer[0], status, answer)
                self.assertEqual([c if c[0] != "gdbus" else ["gdbus"] for c in self.fake.calls()], expected)
                if status != 200:
                    self.assertIn("文件保存在：" + self.folder, answer[1]["error"])

    def test_a_program_that_keeps_running_does_not_hold_the_request(self):
        self.fake.install("gio", sleep=30)
        started = time.monotonic()
        status, _ = self.post(f"/api/jobs/{self.job['id']}/open")
        self.assertEqual(status, 200)
        self.assertLess(time.monotonic() - started, 10)
        pid = int(wait_for(self.fake.processes, 5)[0][0])
        os.killpg(pid, signal.SIGKILL)

    def test_refused_with_nothing_started(self):
        other = os.path.join(self.workdir, "other.txt")
        with open(other, "w") as f:
            f.write("not the download\n")
        failed = self.server.finish(self.media.url("missing.mp4"))
        self.assertEqual(failed["state"], "failed")

        def delete():
            os.remove(self.path)

        def link():
            os.remove(self.path)
            os.symlink(other, self.path)

        def folder():
            os.remove(self.path)
            os.mkdir(self.path)

        cases = [
            # (change to the files, url, status, words in the message)
            (None, "/api/jobs/999/open", 404, "没有这个任务"),
            (None, "/api/history/999/reveal", 404, "没有这条记录"),
            (None, f"/api/jobs/{failed['id']}/open", 409, "还没有下载完成"),
            (delete, f"/api/jobs/{self.job['id']}/open", 404, "找不到文件“clip.mp4”：它已被移动、改名或删除"),
            (delete, f"/api/history/{self.row}/reveal", 404, "重新添加这个地址"),
            (link, f"/api/history/{self.row}/open", 409, "为安全起见不会打开它"),
            (link, f"/api/jobs/{self.job['id']}/reveal", 409, "替换成了链接"),
            (folder, f"/api/history/{self.row}/open", 409, "不是下载时保存的普通文件"),
        ]
        for change, url, status, words in cases:
            with self.subTest(url=url, change=change and change.__name__):
                if os.path.isdir(self.path):
                    os.rmdir(self.path)
                elif os.path.lexists(self.path):
                    os.remove(self.path)
                shutil.copy(os.path.join(self.media.root, "clip.mp4"), self.path)
                self.fake.forget()
                if change:
                    change()
                answer = self.post(url)
                self.assertEqual(answer[0], status, answer)
                self.assertIn(words, answer[1]["error"])
                self.assertEqual(self.fake.calls(), [])

    def test_a_failed_open_shows_the_folder_and_the_log_says_why(self):
        """An opener that runs but opens nothing: the page hears it in Chinese, the folder shows the file
        instead, and the log tells what the program said, never "已打开"."""
        self.fake.install("xdg-open", 4)
        # gio complains at once, or after a while as a slow or busy desktop's does.
        for delay, answer in ((0, "无法打开“clip.mp4”：系统中没有能打开这种文件的程序（xdg-open 报告失败，退出码 4）"
                                  "，已在文件夹中显示。"), (3, None)):
            with self.subTest(delay=delay):
                self.fake.install("gio", 2, delay, f"gio: file:///x.mp4: {COMPLAINT}\n")
                self.fake.forget()
                status, body = self.post(f"/api/jobs/{self.job['id']}/open")
                self.assertEqual((status, body.get("message")), (200, answer), body)
                # Still running when the page had its answer: the folder shows once gio gives up.
                wait_for(lambda: any(c[0] == "gdbus" for c in self.fake.calls()), 10, message="the folder to be shown")
                self.assertIn(COMPLAINT, self.server.output())
        self.assertIn("[打开] gio 在后台失败（退出码 2）", self.server.output())
        self.assertNotIn("已打开", self.server.output())


@pytest.mark.parametrize("path, uri", [
    ("/a b/c.mp4", "file:///a%20b/c.mp4"), ("/视频/x#1%.mp4", "file:///%E8%A7%86%E9%A2%91/x%231%25.mp4"),
    ("/it's ['x'].mkv", "file:///it%27s%20%5B%27x%27%5D.mkv"), ("/a?b&c=d", "file:///a%3Fb%26c%3Dd")])
def test_every_reserved_byte_is_escaped(path: str, uri: str) -> None:
    from downloader.opener import file_uri
    assert file_uri(path) == uri
