"""The history groups a video with the subtitle, cover and metadata files its download wrote."""

import os
import sqlite3

from support import PayloadTest

# (address, file, finished at) as one transaction records a job's files: the video first.
ROWS = [("http://a.b/a", "甲.mp4", 1.0), ("http://a.b/a", "甲.en.srt", 1.0), ("http://a.b/a", "甲.zh.vtt", 1.0),
        ("http://a.b/b", "乙.mp4", 2.0), ("http://a.b/b", "乙.webp", 2.0),
        ("http://a.b/c", "丙.m4a", 3.0),
        # The same address fetched again later is another download, not more files of the first.
        ("http://a.b/c", "丙 (1).m4a", 4.0), ("http://a.b/c", "丙 (1).info.json", 4.0)]


class HistoryGroupsTest(PayloadTest):
    def test_pages_keep_a_job_together(self) -> None:
        self.assertEqual(self.server.stop(), 0)
        with sqlite3.connect(os.path.join(self.workdir, "data", "history.sqlite3")) as db:
            db.executemany("INSERT INTO downloads (url, title, path, size, format, finished_at) VALUES (?, ?, ?, ?, ?, ?)",
                           [(url, "t", f"/v/{name}", 1, "best", at) for url, name, at in ROWS])
        db.close()
        self.server = self.start_server()
        # (query string, [file, related files] of each entry, next offset)
        for query, expected, after in [
            ("limit=2", [["丙 (1).m4a", "丙 (1).info.json"]], 2),
            ("limit=2&offset=2", [["丙.m4a"], ["乙.mp4", "乙.webp"]], 5),
            ("limit=1&offset=5", [["甲.mp4", "甲.en.srt", "甲.zh.vtt"]], 8),
            # A search that finds only a subtitle shows it on its own.
            ("q=zh.vtt", [["甲.zh.vtt"]], 1),
        ]:
            with self.subTest(query):
                status, body = self.server.request("GET", "/api/history?" + query)
                self.assertEqual(status, 200, body)
                self.assertEqual([[e["name"]] + [r["name"] for r in e["related"]] for e in body["entries"]], expected)
                self.assertEqual(body["next_offset"], after)
