"""The queue page in headless Chromium: a new download comes into view below older rows, and
cancelling one that has data asks first."""

import json
import os
import shutil
import subprocess

from support import PayloadTest
from test_browser import BROWSER_DIR, CHROMIUM


class QueuePageTest(PayloadTest):
    def test_new_job_in_view_and_cancel_asks(self):
        # A screenful of older rows that failed (nothing at that address).
        for i in range(8):
            job = self.server.finish(self.media.url(f"missing-{i}.mp4"))
            self.assertEqual(job["state"], "failed")
        self.media.slow_rate = 6000
        run = subprocess.run([shutil.which("node") or "node", "queue.mjs", self.server.origin + "/",
                              self.media.url("slow/clip.mp4")], cwd=BROWSER_DIR, capture_output=True, text=True,
                             timeout=120, env={**os.environ, "ZORMAK_CHROMIUM": CHROMIUM,
                                               "ZORMAK_SESSION": self.server.secret or ""})
        lines = [line for line in run.stdout.splitlines() if line.startswith("{")]
        self.assertTrue(lines, run.stdout + run.stderr)
        result = json.loads(lines[-1])
        self.assertEqual(result["problems"], [], run.stderr)
        self.assertEqual(result["seen"], {"inView": True, "question": ["取消这个下载？", "继续下载", "取消下载"],
                                          "afterNo": "下载中", "afterYes": "cancelled"})
