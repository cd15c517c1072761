"""Damaged, locked, read-only and full storage in data/: the server starts, keeps the old file and says so."""

import glob
import json
import os
import re
import signal
import sqlite3
import subprocess
import time
from typing import Callable, Iterator

import pytest

from media import MediaServer
from support import Payload, writer

LOCKED = "下载记录数据库被其他程序占用，请稍后再试"


def _db_with_history(path: str, wal: bool = True) -> None:
    with sqlite3.connect(path) as db:
        if wal:
            db.execute("PRAGMA journal_mode=WAL")
        db.execute("CREATE TABLE downloads (id INTEGER PRIMARY KEY AUTOINCREMENT, url TEXT NOT NULL, "
                   "title TEXT NOT NULL, path TEXT NOT NULL, size INTEGER NOT NULL, format TEXT NOT NULL, "
                   "finished_at REAL NOT NULL)")
        db.executemany("INSERT INTO downloads (url, title, path, size, format, finished_at) VALUES (?, ?, ?, ?, ?, ?)",
                       [(f"http://a.b/{i}", "x" * 300, f"/nowhere/{i}", i, "video", 0.0) for i in range(400)])
    db.close()


def _truncated(path: str) -> None:
    _db_with_history(path, wal=False)
    with open(path, "r+b") as f:
        f.truncate(os.path.getsize(path) // 2)


def _folder(path: str) -> None:
    os.mkdir(path)
    writer("kept")(os.path.join(path, "inside"))


def _snapshot(path: str) -> object:
    if os.path.isdir(path):
        return sorted(os.listdir(path))
    with open(path, "rb") as f:
        return f.read()


DB, SETTINGS = "history.sqlite3", "settings.json"
SAVED = {DB: "原文件已保存为", SETTINGS: "原来的设置文件已保存为"}


# (file in data/, damage, what the notice says, the format and the count in force after it)
@pytest.mark.parametrize("name, damage, message, in_force", [
    (DB, writer(b"these bytes are no database at all\n" * 100), "下载记录数据库", ("best", 2)),
    (DB, _truncated, "下载记录数据库", ("best", 2)),
    (DB, _folder, "下载记录数据库", ("best", 2)),
    (SETTINGS, writer("{damaged"), "设置文件无法读取", ("best", 2)),
    (SETTINGS, writer("[1, 2]"), "设置文件的内容不正确", ("best", 2)),
    (SETTINGS, os.mkdir, "设置文件无法读取", ("best", 2)),
    # The valid values stay; the wrong ones are named together.
    (SETTINGS, writer(json.dumps({"download_dir": 5, "format": "audio", "concurrency": "③"})),
     "设置文件中的下载文件夹、同时下载数无效", ("audio:mp3", 2)),
], ids=["db garbage", "db truncated", "db folder", "garbage", "not an object", "folder", "wrong types"])
def test_an_unreadable_file_is_set_aside(name: str, damage: Callable[[str], None], message: str,
                                         in_force: tuple[str, int], start: Callable[..., Payload],
                                         workdir: str, media: MediaServer) -> None:
    path = os.path.join(workdir, "data", name)
    os.makedirs(os.path.dirname(path))
    damage(path)
    before = _snapshot(path)
    server = start()
    aside = [a for a in glob.glob(path + ".damaged-*") if not a.endswith(("-wal", "-shm", "-journal"))]
    assert len(aside) == 1, os.listdir(os.path.dirname(path))
    assert re.fullmatch(re.escape(name) + r"\.damaged-\d{8}-\d{6}", os.path.basename(aside[0])), aside
    # Kept, not deleted, and exactly as it was.
    assert _snapshot(aside[0]) == before
    notices = server.notices()
    assert len(notices) == 1 and message in notices[0] and f"{SAVED[name]} {aside[0]}" in notices[0], notices
    settings = server.request("GET", "/api/settings")[1]
    assert (settings["format"], settings["concurrency"]) == in_force
    if name == DB:
        # The fresh database works and keeps what it is given.
        assert server.history() == []
        assert server.finish(media.url("clip.mp4"))["state"] == "done"
        assert len(server.history()) == 1
    assert "Traceback" not in server.output()


@pytest.fixture
def hold() -> Iterator[Callable[[str], sqlite3.Connection]]:
    """Another program's exclusive lock on a database, until the connection it returns is closed."""
    held: list[sqlite3.Connection] = []

    def hold(path: str) -> sqlite3.Connection:
        held.append(sqlite3.connect(path, isolation_level=None))
        held[-1].execute("BEGIN EXCLUSIVE")
        return held[-1]
    yield hold
    for db in held:
        db.close()


def test_locked_at_start_waits_a_bounded_time_and_keeps_the_file(
        start: Callable[..., Payload], workdir: str, media: MediaServer,
        hold: Callable[[str], sqlite3.Connection]) -> None:
    path = os.path.join(workdir, "data", DB)
    os.makedirs(os.path.dirname(path))
    _db_with_history(path, wal=False)
    before = _snapshot(path)
    # A partial download of a job in the journal that cannot be read now.
    partial = os.path.join(workdir, "downloads", ".zormak-partial-journaled")
    os.makedirs(partial)
    other = hold(path)
    started = time.monotonic()
    server = start()
    assert time.monotonic() - started < 10
    notices = server.notices()
    assert len(notices) == 1 and f"下载记录数据库 {path} 被其他程序占用" in notices[0], notices
    other.close()
    assert os.path.isdir(partial), "a start without the journal removed its partial data"
    assert (_snapshot(path), glob.glob(path + ".damaged-*")) == (before, [])
    # The server works on, without keeping what it does.
    assert server.finish(media.url("clip.mp4"))["state"] == "done"


def test_locked_while_running_gives_clear_answers(payload: Payload, media: MediaServer,
                                                  hold: Callable[[str], sqlite3.Connection]) -> None:
    other = hold(os.path.join(payload.workdir, "data", DB))
    # Reading the history does not wait for the other program.
    assert payload.history() == []
    for path, body in (("/api/jobs", {"urls": media.url("clip.mp4")}), ("/api/history/clear", {})):
        started = time.monotonic()
        assert payload.request("POST", path, body) == (503, {"error": LOCKED}), path
        assert time.monotonic() - started < 8, path
    other.close()
    assert payload.finish(media.url("clip.mp4"))["state"] == "done"


@pytest.mark.skipif(os.geteuid() != 0, reason="mounting a small file system needs root")
@pytest.mark.parametrize("full", [False, True], ids=["read-only", "full"])
def test_a_read_only_or_full_data_folder(full: bool, workdir: str, media: MediaServer,
                                         start: Callable[..., Payload]) -> None:
    """A data folder on a file system of its own."""
    data = os.path.join(workdir, "data")
    os.mkdir(data)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m" if full else "size=8m", "zormak-test", data], check=True)
    try:
        writer(json.dumps({"download_dir": os.path.join(workdir, "downloads")}))(os.path.join(data, SETTINGS))
        path = os.path.join(data, DB)
        if full:
            _db_with_history(path, wal=False)
        else:
            # As a killed server leaves it: in WAL mode with both side files, which open read-only.
            killed = start()
            assert killed.finish(media.url("clip.mp4"))["state"] == "done"
            os.killpg(killed.pid, signal.SIGKILL)
            killed.process.wait()
        before = _snapshot(path)
        if full:
            fd = os.open(os.path.join(data, "filler"), os.O_WRONLY | os.O_CREAT)
            try:
                while os.write(fd, b"\0" * 4096):
                    pass
            except OSError:
                pass
            finally:
                os.close(fd)
        else:
            subprocess.run(["mount", "-o", "remount,ro", data], check=True)
        server = start()
        notices = server.notices()
        assert len(notices) == 1, notices
        assert f"数据文件夹 {data} 已满或无法写入" in notices[0] and f"数据库文件 {path} 没有改动" in notices[0], notices
        assert (_snapshot(path), server.history()) == (before, [])
        assert server.finish(media.url("clip.mp4"))["state"] == "done"
        # Saving settings says why it cannot.
        status, answer = server.request("POST", "/api/settings", {"concurrency": 3})
        assert status == 503 and "无法保存设置" in answer["error"], answer
        server.stop()
    finally:
        subprocess.run(["umount", "-l", data])
