"""A site chooses a download's extension and its title; neither may make the
desktop run what was downloaded or show a name other than the real one."""

import os

from fakeopen import only_fakes
from support import PayloadTest

HOSTILE = ["tool.exe", "launcher.desktop", "run.sh", "page.html"]


class ExtensionTest(PayloadTest):
    def setUp(self) -> None:
        self.fake = only_fakes(self)
        super().setUp()

    def test_only_media_keeps_its_extension_and_only_media_is_opened(self):
        # The engine takes a direct link's extension from its address, whatever the content.
        for name in HOSTILE:
            self.media.aliases["/" + name] = "/clip.mp4"
        urls = [self.media.url(n) for n in [*HOSTILE, "clip.mp4"]]
        _, body = self.server.add("\n".join(urls))
        jobs = [self.server.wait_job(j["id"], {"done", "failed"}) for j in body["added"]]
        # An engine that refuses such an extension itself fails the job in words, with nothing saved;
        # one that takes it saves the file under a name that nothing runs.
        refused = {name for job, name in zip(jobs, HOSTILE) if job["state"] == "failed"}
        for job, name in zip(jobs, [*HOSTILE, "clip.mp4"]):
            with self.subTest(name=name):
                if name in refused:
                    ext = name.rsplit(".", 1)[1]
                    self.assertTrue(job["error"].startswith(f"网站给出的文件类型“.{ext}”不是视频"), job["error"])
                    continue
                self.assertEqual(job["state"], "done", job["error"])
                shown = name if name == "clip.mp4" else name + ".download"
                self.assertEqual(job["files"], [shown])
                path = os.path.join(self.server.download_dir, shown)
                self.assertEqual(os.stat(path).st_mode & 0o111, 0)
                self.fake.forget()
                status, answer = self.server.request("POST", f"/api/jobs/{job['id']}/open", {})
                self.assertEqual(status, 200, answer)
                calls = self.fake.calls()
                if name == "clip.mp4":
                    self.assertEqual((answer, calls), ({"ok": True}, [["gio", "open", "--", path]]))
                    continue
                # Shown in its folder instead, and the page is told why.
                self.assertTrue(answer.get("revealed"), answer)
                self.assertIn("不会直接打开", answer["message"])
                self.assertEqual(len(calls), 1, calls)
                self.assertEqual(calls[0][0], "gdbus")
                self.assertNotIn(["gio", "open", "--", path], calls)
        self.assertEqual(sorted(self.server.files()),
                         sorted([n + ".download" for n in HOSTILE if n not in refused] + ["clip.mp4"]))
        # The history row's "打开" does the same.
        rows = self.server.request("GET", "/api/history")[1]["entries"]
        for row in rows:
            with self.subTest(row=row["path"]):
                self.fake.forget()
                self.server.request("POST", f"/api/history/{row['id']}/open", {})
                opened = [c for c in self.fake.calls() if c[:2] == ["gio", "open"] or c[0] == "xdg-open"]
                self.assertEqual(opened, [["gio", "open", "--", row["path"]]] if row["path"].endswith(".mp4") else [])

    def test_direction_marks_leave_titles_and_names(self):
        # "clip<RLO>4pm.exe" would show as "clip" followed by "exe.mp4" reversed.
        for mark in ("%E2%80%AE", "%E2%81%A7", "%E2%80%AA"):
            with self.subTest(mark=mark):
                alias = f"/clip{mark}4pm.exe.mp4"
                self.media.aliases[alias] = "/clip.mp4"
                job = self.server.finish(self.media.url(alias[1:]), force=True)
                self.assertEqual(job["state"], "done", job["error"])
                self.assertEqual(job["title"], "clip4pm.exe")
                self.assertTrue(all(not (0x202A <= ord(c) <= 0x202E or 0x2066 <= ord(c) <= 0x2069)
                                    for f in job["files"] for c in f), job["files"])
                history = self.server.request("GET", "/api/history")[1]["entries"]
                self.assertEqual(history[0]["title"], "clip4pm.exe")
