"""What the queue tells while a download waits for data or retries a broken connection."""

import filecmp
import os
import time

from media import big_file
from support import PayloadTest, wait_for

SIZE = 2 * 1024 * 1024


class ProgressTest(PayloadTest):
    def test_stalled_download_shows_waiting_not_its_last_speed(self):
        big_file("stall.mp4", SIZE)
        self.media.hold["stall.mp4"] = SIZE // 2
        job_id = self.server.add(self.media.url("stall.mp4"))[1]["added"][0]["id"]
        moving = wait_for(lambda: (j := self.server.jobs()[job_id])["downloaded"] >= SIZE // 2 and j,
                          20, message="the bytes before the stall")
        # Right after the last bytes the speed is still the real one.
        self.assertFalse(moving["waiting"])
        self.assertGreater(moving["speed"] or 0, 0)
        time.sleep(3.5)
        job = self.server.jobs()[job_id]
        self.assertEqual((job["state"], job["waiting"], job["speed"], job["eta"]), ("downloading", True, 0, None))
        # Bytes again: no longer waiting, and the file arrives whole.
        self.media.released.set()
        self.assertEqual(self.server.wait_job(job_id, {"done", "failed"})["state"], "done")
        self.assertFalse(self.server.jobs()[job_id]["waiting"])

    def test_retries_of_a_broken_connection_are_counted(self):
        path = big_file("retry.mp4", SIZE)
        self.media.cut["retry.mp4"] = SIZE // 2
        # The server breaks off and then answers "unavailable" until the test lets it recover.
        self.media.refusal = 503
        job_id = self.server.add(self.media.url("retry.mp4"))[1]["added"][0]["id"]
        job = wait_for(lambda: (j := self.server.jobs()[job_id])["retries"] >= 2 and j, 20,
                       message="the second retry")
        self.assertEqual(job["state"], "downloading")
        del self.media.cut["retry.mp4"]
        job = self.server.wait_job(job_id, {"done", "failed"})
        self.assertEqual(job["state"], "done", job["error"])
        self.assertTrue(filecmp.cmp(os.path.join(self.server.download_dir, "retry.mp4"), path, shallow=False))
        out = self.server.output()
        self.assertIn(f"[下载 #{job_id}] 连接中断，第 1 次重试", out)
        self.assertIn(f"[下载 #{job_id}] 连接中断，第 2 次重试", out)
