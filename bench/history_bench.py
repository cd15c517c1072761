"""History benchmark: the payload's history answers with ROWS finished downloads recorded.

The database is the payload's own: its store creates it (schema, indexes,
migrations) in the data folder of a fresh work folder, and ROWS rows are
then written into it in one transaction, one video file per download, a
subtitle file beside every tenth, as finished downloads leave them. The
build's real server is started on that folder as the payload's tests start
it and asked over HTTP, with its launch secret, for:
- the first page of the history (what the history tab asks for on opening);
- a search whose only hit is the oldest row (the whole table is searched);
- the count alone (limit=0: the totals the page shows);
- the last page (the deepest offset the page can reach by scrolling).
Each is asked ROUNDS times in turn after a dropped warm-up round, timed from
the request to the whole answer read, and every answer is checked (the rows,
their order, the totals).

Usage: history_bench.py BUILD_DIR OUT_JSON [ROUNDS] [ROWS]
"""
import json
import os
import shutil
import sqlite3
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PAGE = 200
# A word no other row's title or file name holds.
OLDEST_WORD = "qzxw-oldest"


def fill(build, data, download_dir, rows):
    """ROWS history rows in the payload's database at data/history.sqlite3, oldest first."""
    sys.path.insert(0, os.path.join(build, "share", "zormak", "payload"))
    from downloader.store import Store  # noqa: E402  (the assembled payload's)
    os.makedirs(data, exist_ok=True)
    path = os.path.join(data, "history.sqlite3")
    Store(path, []).close()
    start = time.time() - rows * 60.0
    values = []
    for i in range(rows):
        title = OLDEST_WORD + " 最早的视频" if i == 0 else "第 %d 个视频：旅行记录 %s" % (i, "abcdefgh"[i % 8] * 3)
        url = "https://video.example/watch?v=%08d" % i
        stem = os.path.join(download_dir, title.replace("/", "_"))
        at = start + i * 60.0
        values.append((url, title, stem + ".mp4", 50_000_000 + i, "video", at, "1080p"))
        if i % 10 == 0:
            values.append((url, title, stem + ".zh-Hans.vtt", 20_000, "video", at, "1080p"))
    db = sqlite3.connect(path)
    with db:
        db.executemany("INSERT INTO downloads (url, title, path, size, format, finished_at, got)"
                       " VALUES (?, ?, ?, ?, ?, ?, ?)", values)
    db.close()
    return len(values)


def check(name, body, rows, files):
    """Raises unless body is the right answer to the question name."""
    entries = body.get("entries") or []
    ok = body.get("count") == files
    if name == "first page":
        ok = ok and len(entries) >= PAGE - PAGE // 10 and entries[0]["title"].startswith("第 %d " % (rows - 1))
    elif name == "search, oldest row":
        ok = ok and body.get("matched") == 2 and [e["title"] for e in entries] == [OLDEST_WORD + " 最早的视频"] \
            and len(entries[0]["related"]) == 1
    elif name == "count":
        ok = ok and entries == [] and body.get("size", 0) > 0
    elif name == "last page":
        ok = ok and entries and entries[-1]["title"].startswith(OLDEST_WORD)
    if not ok:
        raise SystemExit("history_bench: wrong answer to %s: %s" % (name, json.dumps(body)[:600]))


def main():
    build, out = os.path.abspath(sys.argv[1]), sys.argv[2]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 15
    rows = int(sys.argv[4]) if len(sys.argv) > 4 else 50_000
    os.environ["ZORMAK_PAYLOAD_DIR"] = os.path.join(build, "share", "zormak", "payload")
    sys.path.insert(0, os.path.join(ROOT, "payload", "tests"))
    from support import Payload  # noqa: E402  (needs ZORMAK_PAYLOAD_DIR)
    base = os.path.join(os.environ.get("HOME", "/tmp"), ".cache")
    os.makedirs(base, exist_ok=True)
    work = tempfile.mkdtemp(prefix="zormak-history-bench-", dir=base)
    server = None
    try:
        download_dir = os.path.join(work, "downloads")
        files = fill(build, os.path.join(work, "data"), download_dir, rows)
        server = Payload(work, {"download_dir": download_dir})
        asks = [("first page", "/api/history?offset=0&q="),
                ("search, oldest row", "/api/history?offset=0&q=" + OLDEST_WORD),
                ("count", "/api/history?limit=0"),
                ("last page", "/api/history?offset=%d" % (files - PAGE // 2))]
        times = {name: [] for name, _ in asks}
        for round_ in range(-1, rounds):
            for name, path in asks:
                t0 = time.monotonic()
                status, body = server.request("GET", path)
                elapsed = time.monotonic() - t0
                if status != 200:
                    raise SystemExit("history_bench: %s answered %s" % (path, status))
                check(name, body, rows, files)
                if round_ >= 0:
                    times[name].append(elapsed * 1000)
        result = {"bench": "history", "rows": files, "downloads": rows, "rounds": rounds,
                  "asks": [{"name": name, "path": path, "ms": times[name]} for name, path in asks]}
    finally:
        if server:
            server.stop()
        shutil.rmtree(work, ignore_errors=True)
    with open(out, "w") as f:
        json.dump(result, f, indent=1)


if __name__ == "__main__":
    main()
