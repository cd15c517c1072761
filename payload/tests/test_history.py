"""The history at any size: totals counted and searches run in the database, pages on request, each
video with the subtitle, cover and metadata files its download wrote."""

from typing import Callable
from urllib.parse import quote

from support import Payload

ROWS = 50_300


def test_totals_pages_and_search_cover_every_row(start: Callable[..., Payload]) -> None:
    rows = [(f"http://a.b/{i}", f"视频 {i}", f"/videos/clip-{i}.mp4", 1000 + i, "video", float(i)) for i in range(ROWS)]
    # The oldest row is the one a page of the newest would never hold.
    rows[0] = ("http://a.b/0", "最早的 100%_下载", "/videos/最早.mp4", 5, "video", 0.0)
    server = start()
    assert server.stop() == 0
    server.query("INSERT INTO downloads (url, title, path, size, format, finished_at) VALUES (?, ?, ?, ?, ?, ?)",
                 many=rows)
    server = start()
    status, first = server.request("GET", "/api/history")
    assert (status, first["count"], first["size"], first["matched"]) == (200, ROWS, sum(r[3] for r in rows), ROWS)
    assert first["entries"][0]["title"] == f"视频 {ROWS - 1}"
    last = server.request("GET", f"/api/history?offset={ROWS - 1}")[1]
    assert [e["title"] for e in last["entries"]] == [rows[0][1]]
    # (query, titles found): titles and file names; LIKE's wildcards are plain characters.
    oldest = [rows[0][1]]
    cases: list[tuple[str, list[str]]] = [("最早的", oldest), ("100%_", oldest), ("最早.mp4", oldest), ("%", oldest),
                                          ("_", oldest), ("clip-50299.", ["视频 50299"]), ("videos", []), ("没有这个", [])]
    for query, found in cases:
        status, body = server.request("GET", "/api/history?q=" + quote(query))
        assert (status, [e["title"] for e in body["entries"]], body["matched"], body["count"]) == \
            (200, found, len(found), ROWS), query
    for bad in ("offset=-1", "limit=5000", "offset=x"):
        assert server.request("GET", "/api/history?" + bad)[0] == 400, bad


# (address, file, finished at) as one transaction records a job's files: the video first.
GROUPS = [("http://a.b/a", "甲.mp4", 1.0), ("http://a.b/a", "甲.en.srt", 1.0), ("http://a.b/a", "甲.zh.vtt", 1.0),
          ("http://a.b/b", "乙.mp4", 2.0), ("http://a.b/b", "乙.webp", 2.0), ("http://a.b/c", "丙.m4a", 3.0),
          # The same address fetched again later is another download, not more files of the first.
          ("http://a.b/c", "丙 (1).m4a", 4.0), ("http://a.b/c", "丙 (1).info.json", 4.0)]


def test_pages_keep_a_job_together(start: Callable[..., Payload]) -> None:
    server = start()
    assert server.stop() == 0
    server.query("INSERT INTO downloads (url, title, path, size, format, finished_at) VALUES (?, ?, ?, ?, ?, ?)",
                 many=[(url, "t", f"/v/{name}", 1, "best", at) for url, name, at in GROUPS])
    server = start()
    # (query string, [file, related files] of each entry, next offset)
    for query, expected, after in [
            ("limit=2", [["丙 (1).m4a", "丙 (1).info.json"]], 2),
            ("limit=2&offset=2", [["丙.m4a"], ["乙.mp4", "乙.webp"]], 5),
            ("limit=1&offset=5", [["甲.mp4", "甲.en.srt", "甲.zh.vtt"]], 8),
            # A search that finds only a subtitle shows it on its own.
            ("q=zh.vtt", [["甲.zh.vtt"]], 1)]:
        status, body = server.request("GET", "/api/history?" + query)
        assert status == 200, body
        assert ([[e["name"]] + [r["name"] for r in e["related"]] for e in body["entries"]], body["next_offset"]) == \
            (expected, after), query
