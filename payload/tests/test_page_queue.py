"""The queue page in headless Chromium: a new download comes into view below older rows, and
cancelling one that has data asks first."""

from support import PayloadTest
from test_browser import drive


class QueuePageTest(PayloadTest):
    def test_new_job_in_view_and_cancel_asks(self):
        # A screenful of older rows that failed (nothing at that address).
        for i in range(8):
            self.assertEqual(self.server.finish(self.media.url(f"missing-{i}.mp4"))["state"], "failed")
        self.media.slow_rate = 6000
        self.assertEqual(drive("queue.mjs", self.server, self.media.url("slow/clip.mp4")),
                         {"inView": True, "question": ["取消这个下载？", "继续下载", "取消下载"],
                          "afterNo": "下载中", "afterYes": "cancelled"})
