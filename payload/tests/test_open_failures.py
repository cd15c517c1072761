"""An opener that runs but opens nothing: the page hears it in Chinese, the folder shows the file
instead, and the log tells what the program said, never "已打开"."""

from fakeopen import only_fakes
from support import PayloadTest, wait_for

# What gio says when no program is registered for the type.
COMPLAINT = "No application is registered as handling this file"


class OpenerFailsTest(PayloadTest):
    def setUp(self) -> None:
        self.fake = only_fakes(self)
        super().setUp()
        job = self.server.finish(self.media.url("clip.mp4"))
        self.assertEqual(job["state"], "done", job["error"])
        self.url = f"/api/jobs/{job['id']}/open"
        self.fake.install("xdg-open", 4)

    def test_a_failed_open_shows_the_folder_and_the_log_says_why(self):
        # gio complains at once, or after a while as a slow or busy desktop's does.
        for delay, answer in ((0, "无法打开“clip.mp4”：系统中没有能打开这种文件的程序（xdg-open 报告失败，退出码 4）"
                                  "，已在文件夹中显示。"), (3, None)):
            with self.subTest(delay=delay):
                self.fake.install("gio", 2, delay, f"gio: file:///x.mp4: {COMPLAINT}\n")
                self.fake.forget()
                status, body = self.server.request("POST", self.url, {})
                self.assertEqual(status, 200, body)
                self.assertEqual(body.get("message"), answer)
                # Still running when the page had its answer: the folder shows once gio gives up.
                wait_for(lambda: any(c[0] == "gdbus" for c in self.fake.calls()), 10, message="the folder to be shown")
                self.assertIn(COMPLAINT, self.server.output())
        self.assertIn("[打开] gio 在后台失败（退出码 2）", self.server.output())
        self.assertNotIn("已打开", self.server.output())
