"""Partial data whose journal is lost, emptied or not ours is kept and offered back, never swept away."""

import glob
import os
import sqlite3
from typing import Any, Callable

import pytest

from media import MediaServer, big_file
from support import Payload, same_file, wait_for, writer

SIZE = 1_200_000


def _foreign(path: str) -> None:
    with sqlite3.connect(path) as db:
        db.execute("CREATE TABLE photos (id INTEGER PRIMARY KEY, name TEXT)")
        db.execute("INSERT INTO photos (name) VALUES ('x')")
    db.close()


@pytest.fixture
def server(start: Callable[..., Payload], media: MediaServer) -> Payload:
    media.slow_rate = 300_000
    big_file("left.mp4", SIZE)
    return start({"concurrency": 1})


def paused_partial(server: Payload, media: MediaServer) -> tuple[str, bytes]:
    """A paused download with part of its file; its staging folder's data file and bytes."""
    job_id = server.add(media.url("slow/left.mp4"), force=True)[1]["added"][0]["id"]
    wait_for(lambda: server.jobs()[job_id]["downloaded"] > SIZE // 4, 20, message="a quarter of the file")
    assert server.command(job_id, "pause")[0] == 200
    part = wait_for(lambda: glob.glob(os.path.join(server.download_dir, ".zormak-partial-*", "*.part")), 10,
                    message="the partial file")[0]
    with open(part, "rb") as f:
        return part, f.read()


def restart(server: Payload, start: Callable[..., Payload], damage: Callable[[str], None] | None = None) -> Payload:
    assert server.stop() == 0
    if damage:
        db = os.path.join(server.workdir, "data", "history.sqlite3")
        for path in glob.glob(db + "*"):
            os.unlink(path)
        damage(db)
    return start()


def offered(server: Payload) -> dict[str, Any]:
    status, body = server.request("GET", "/api/leftovers")
    assert status == 200, body
    return body


def test_lost_journal_keeps_the_partial_data_and_offers_it_back(
        server: Payload, media: MediaServer, start: Callable[..., Payload]) -> None:
    for damage, action in ((writer(b""), "resume"), (writer(b"no database here\n" * 200), "delete"),
                           (_foreign, "resume")):
        part, data = paused_partial(server, media)
        server = restart(server, start, damage)
        notices = server.notices()
        assert len(notices) == 1 and "原文件已保存为" in notices[0], (action, notices)
        # The fresh database knows nothing of the folder; a second start must not sweep it either.
        server = restart(server, start)
        with open(part, "rb") as f:
            assert f.read() == data
        assert server.jobs() == {}
        found = offered(server)
        assert [x["url"] for x in found["leftovers"]] == [media.url("slow/left.mp4")]
        assert f"找到 1 个未完成的下载，共 {os.path.getsize(part) / 1e6:.1f} MB" in found["notice"]
        status, body = server.request("POST", f"/api/leftovers/{action}", {"ids": [x["id"] for x in found["leftovers"]]})
        assert (status, body.get("leftovers"), body.get("notice")) == (200, [], None), body
        if action == "resume":
            resumes = media.resumes["left.mp4"]
            job = server.wait_job(body["added"][0]["id"], {"done", "failed"}, timeout=60)
            assert job["state"] == "done", job["error"]
            assert same_file(os.path.join(server.download_dir, job["files"][0]), os.path.join(media.root, "left.mp4"))
            assert media.resumes["left.mp4"] == resumes + 1, "started over instead of continuing"
        assert [f for f in server.files() if f.startswith(".zormak")] == []
        for name in server.files():
            os.unlink(os.path.join(server.download_dir, name))


def test_unknown_ids_and_folders_without_address(server: Payload, media: MediaServer,
                                                 start: Callable[..., Payload]) -> None:
    part, _ = paused_partial(server, media)
    os.unlink(os.path.join(os.path.dirname(part), ".zormak-job.json"))
    server = restart(server, start, writer(b""))
    found = offered(server)
    assert [x["url"] for x in found["leftovers"]] == [""] and "只能删除" in found["notice"], found
    ids = [found["leftovers"][0]["id"]]
    for body, status in (({"ids": "all"}, 400), ({"ids": ["nope"]}, 200), ({"ids": ids}, 400)):
        assert server.request("POST", "/api/leftovers/resume", body)[0] == status, body
    # Refused, and still offered; the data is untouched.
    assert len(offered(server)["leftovers"]) == 1 and os.path.exists(part)
