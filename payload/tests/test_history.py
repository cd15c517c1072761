"""The history at any size: totals counted and searches run in the database, pages on request."""

from urllib.parse import quote

from support import PayloadTest

ROWS = 50_300


class LargeHistoryTest(PayloadTest):
    def test_totals_pages_and_search_cover_every_row(self):
        self.assertEqual(self.server.stop(), 0)
        rows = [(f"http://a.b/{i}", f"视频 {i}", f"/videos/clip-{i}.mp4", 1000 + i, "video", float(i))
                for i in range(ROWS)]
        # The oldest row is the one a page of the newest would never hold.
        rows[0] = ("http://a.b/0", "最早的 100%_下载", "/videos/最早.mp4", 5, "video", 0.0)
        self.server.query("INSERT INTO downloads (url, title, path, size, format, finished_at) VALUES (?, ?, ?, ?, ?, ?)",
                          many=rows)
        self.server = self.start_server()
        size = sum(r[3] for r in rows)
        status, first = self.server.request("GET", "/api/history")
        self.assertEqual(status, 200)
        self.assertEqual((first["count"], first["size"], first["matched"]), (ROWS, size, ROWS))
        self.assertEqual(first["entries"][0]["title"], f"视频 {ROWS - 1}")
        last = self.server.request("GET", f"/api/history?offset={ROWS - 1}")[1]
        self.assertEqual([e["title"] for e in last["entries"]], [rows[0][1]])
        # (query, titles found): titles and file names; LIKE's wildcards are plain characters.
        cases: list[tuple[str, list[str]]] = [("最早的", [rows[0][1]]), ("100%_", [rows[0][1]]), ("最早.mp4", [rows[0][1]]),
                                              ("clip-50299.", ["视频 50299"]), ("%", [rows[0][1]]),
                                              ("_", [rows[0][1]]),
                                              ("videos", []), ("没有这个", [])]
        for query, found in cases:
            with self.subTest(query=query):
                status, body = self.server.request("GET", "/api/history?q=" + quote(query))
                self.assertEqual(status, 200)
                self.assertEqual(([e["title"] for e in body["entries"]], body["matched"], body["count"]),
                                 (found, len(found), ROWS))
        for bad in ("offset=-1", "limit=5000", "offset=x"):
            with self.subTest(bad=bad):
                self.assertEqual(self.server.request("GET", "/api/history?" + bad)[0], 400)
