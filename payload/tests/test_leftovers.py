"""Partial data whose journal is lost, emptied or not ours is kept and offered back, never swept away."""

import filecmp
import glob
import os
import sqlite3

from media import big_file
from support import PayloadTest, wait_for

SIZE = 1_200_000


def _empty(path: str) -> None:
    open(path, "wb").close()


def _garbage(path: str) -> None:
    with open(path, "wb") as f:
        f.write(b"no database here\n" * 200)


def _foreign(path: str) -> None:
    with sqlite3.connect(path) as db:
        db.execute("CREATE TABLE photos (id INTEGER PRIMARY KEY, name TEXT)")
        db.execute("INSERT INTO photos (name) VALUES ('x')")
    db.close()


class LeftoverTest(PayloadTest):
    settings = {"concurrency": 1}

    def setUp(self) -> None:
        super().setUp()
        self.media.slow_rate = 300_000
        big_file("left.mp4", SIZE)

    def paused_partial(self) -> tuple[str, bytes]:
        """A paused download with part of its file, and its staging folder's data file and bytes."""
        _, body = self.server.add(self.media.url("slow/left.mp4"), force=True)
        job_id = body["added"][0]["id"]
        wait_for(lambda: self.server.jobs()[job_id]["downloaded"] > SIZE // 4, 20, message="a quarter of the file")
        self.assertEqual(self.server.request("POST", f"/api/jobs/{job_id}/pause", {})[0], 200)
        part = wait_for(lambda: glob.glob(os.path.join(self.server.download_dir, ".zormak-partial-*", "*.part")), 10,
                        message="the partial file")[0]
        with open(part, "rb") as f:
            return part, f.read()

    def restart(self, damage=None) -> None:
        self.assertEqual(self.server.stop(), 0)
        if damage:
            db = os.path.join(self.workdir, "data", "history.sqlite3")
            for path in glob.glob(db + "*"):
                os.unlink(path)
            damage(db)
        self.server = self.start_server()

    def leftovers(self) -> dict:
        status, body = self.server.request("GET", "/api/leftovers")
        self.assertEqual(status, 200)
        return body

    def test_lost_journal_keeps_the_partial_data_and_offers_it_back(self):
        for damage, action in ((_empty, "resume"), (_garbage, "delete"), (_foreign, "resume")):
            with self.subTest(damage=damage.__name__):
                part, data = self.paused_partial()
                self.restart(damage)
                notices = self.server.request("GET", "/api/notices")[1]["notices"]
                self.assertEqual(len(notices), 1, notices)
                self.assertIn("原文件已保存为", notices[0])
                # The fresh database knows nothing of the folder; a second start must not sweep it either.
                self.restart()
                with open(part, "rb") as f:
                    self.assertEqual(f.read(), data)
                self.assertEqual(self.server.jobs(), {})
                found = self.leftovers()
                self.assertEqual([x["url"] for x in found["leftovers"]], [self.media.url("slow/left.mp4")])
                self.assertIn(f"找到 1 个未完成的下载，共 {os.path.getsize(part) / 1e6:.1f} MB", found["notice"])
                ids = [x["id"] for x in found["leftovers"]]
                status, body = self.server.request("POST", f"/api/leftovers/{action}", {"ids": ids})
                self.assertEqual((status, body.get("leftovers"), body.get("notice")), (200, [], None), body)
                if action == "delete":
                    self.assertEqual([f for f in self.server.files() if f.startswith(".zormak")], [])
                    continue
                resumes = self.media.resumes("left.mp4")
                job = self.server.wait_job(body["added"][0]["id"], {"done", "failed"}, timeout=60)
                self.assertEqual(job["state"], "done", job["error"])
                self.assertTrue(filecmp.cmp(os.path.join(self.server.download_dir, job["files"][0]),
                                            os.path.join(str(self.media.root), "left.mp4"), shallow=False))
                self.assertEqual(self.media.resumes("left.mp4"), resumes + 1, "started over instead of continuing")
                self.assertEqual([f for f in self.server.files() if f.startswith(".zormak")], [])
                for f in self.server.files():
                    os.unlink(os.path.join(self.server.download_dir, str(f)))

    def test_unknown_ids_and_folders_without_address(self):
        part, _ = self.paused_partial()
        os.unlink(os.path.join(os.path.dirname(part), ".zormak-job.json"))
        self.restart(_empty)
        found = self.leftovers()
        self.assertEqual([x["url"] for x in found["leftovers"]], [""])
        self.assertIn("只能删除", found["notice"])
        ids = [found["leftovers"][0]["id"]]
        for body, status in (({"ids": "all"}, 400), ({"ids": ["nope"]}, 200), ({"ids": ids}, 400)):
            self.assertEqual(self.server.request("POST", "/api/leftovers/resume", body)[0], status, body)
        # Refused, and still offered; the data is untouched.
        self.assertEqual(len(self.leftovers()["leftovers"]), 1)
        self.assertTrue(os.path.exists(part))
