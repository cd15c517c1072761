"""Downloads through the HTTP API, from a loopback server, into the download folder."""

import filecmp
import os

from support import PayloadTest, wait_for


class DownloadTest(PayloadTest):
    def test_video_arrives_whole_and_is_recorded(self):
        job = self.server.finish(self.media.url("clip.mp4"))
        self.assertEqual(job["state"], "done", job["error"])
        self.assertEqual(job["files"], ["clip.mp4"])
        self.assertEqual(job["title"], "clip")
        self.assertEqual(job["progress"], 1.0)
        # Only the finished file: the staging folder is gone.
        self.assertEqual(self.server.files(), ["clip.mp4"])
        dest = os.path.join(self.server.download_dir, "clip.mp4")
        self.assertTrue(filecmp.cmp(dest, os.path.join(self.media.root, "clip.mp4"), shallow=False))

        entries = self.server.request("GET", "/api/history")[1]["entries"]
        self.assertEqual(len(entries), 1)
        self.assertEqual((entries[0]["path"], entries[0]["size"], entries[0]["format"], entries[0]["exists"]),
                         (dest, os.path.getsize(dest), "best", True))
        self.assertEqual(self.server.query("SELECT url FROM downloads"), [(self.media.url("clip.mp4"),)])

        out = self.server.output()
        self.assertIn(f"http://127.0.0.1:{self.server.port}", out)
        self.assertIn(f"[下载 #{job['id']}] 完成：clip.mp4", out)
        self.assertNotIn("\r", out)


class QueueTest(PayloadTest):
    settings = {"concurrency": 1}

    def test_the_limit_queues_the_rest_and_cancel_leaves_no_partial_file(self):
        _, body = self.server.add(self.media.url("slow/clip.mp4") + " " + self.media.url("clip.mp4"))
        first, second = (j["id"] for j in body["added"])
        wait_for(lambda: self.server.jobs()[first]["downloaded"] > 0, 20, message="bytes to arrive")
        self.assertEqual(self.server.jobs()[second]["state"], "queued")
        self.assertTrue(self.server.files(), "the partial download should be in its staging folder")
        # A running job cannot be removed, only cancelled; that lets the queued one start and finish.
        self.assertEqual(self.server.request("DELETE", f"/api/jobs/{first}"), (409, {"error": "请先取消这个任务，再移除"}))
        status, job = self.server.request("POST", f"/api/jobs/{first}/cancel", {})
        self.assertEqual((status, job["state"]), (200, "cancelled"))
        self.assertEqual(self.server.wait_job(second, {"done", "failed"})["state"], "done")
        wait_for(lambda: self.server.files() == ["clip.mp4"], 3, message="the partial files to go")
        self.assertEqual([e["url"] for e in self.server.request("GET", "/api/history")[1]["entries"]],
                         [self.media.url("clip.mp4")])
        # Cancelling twice is refused, and retry starts a fresh attempt; a finished job can be removed.
        self.assertEqual(self.server.request("POST", f"/api/jobs/{first}/cancel", {})[0], 409)
        self.assertEqual(self.server.request("POST", f"/api/jobs/{first}/retry", {})[0], 200)
        self.assertIn(self.server.jobs()[first]["state"], ("queued", "downloading"))
        self.assertEqual(self.server.request("DELETE", f"/api/jobs/{second}")[0], 200)
        self.assertNotIn(second, self.server.jobs())
