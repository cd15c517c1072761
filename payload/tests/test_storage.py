"""Damaged, locked, read-only and full storage in data/: the server starts, keeps the old file and says so."""

import glob
import json
import os
import sqlite3
import subprocess
import threading
import time
import unittest
from typing import Any, Callable

from support import PayloadTest


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


def _damage(kind: str, path: str) -> None:
    if kind == "garbage":
        with open(path, "wb") as f:
            f.write(b"these bytes are no database at all\n" * 100)
    elif kind == "truncated":
        _db_with_history(path, wal=False)
        with open(path, "r+b") as f:
            f.truncate(os.path.getsize(path) // 2)
    elif kind == "folder":
        os.mkdir(path)
        with open(os.path.join(path, "inside"), "w") as f:
            f.write("kept")


def _snapshot(path: str) -> object:
    if os.path.isdir(path):
        return sorted(os.listdir(path))
    with open(path, "rb") as f:
        return f.read()


class DamagedFilesTest(PayloadTest):
    def restart_with(self, name: str, damage) -> tuple[object, str]:
        """Stops the server, damages data/name, starts again; returns the damaged content and the aside path."""
        self.assertEqual(self.server.stop(), 0)
        path = os.path.join(self.workdir, "data", name)
        for old in glob.glob(path + "*"):
            subprocess.run(["rm", "-rf", old], check=True)
        damage(path)
        before = _snapshot(path)
        self.server = self.start_server()
        aside = glob.glob(path + ".damaged-*")
        aside = [a for a in aside if not a.endswith(("-wal", "-shm", "-journal"))]
        self.assertEqual(len(aside), 1, os.listdir(os.path.dirname(path)))
        self.assertRegex(os.path.basename(aside[0]), r"\.damaged-\d{8}-\d{6}$")
        # Kept, not deleted, and exactly as it was.
        self.assertEqual(_snapshot(aside[0]), before)
        return before, aside[0]

    def notices(self) -> list[str]:
        status, body = self.server.request("GET", "/api/notices")
        self.assertEqual(status, 200)
        return body["notices"]

    def test_unreadable_database_is_set_aside(self):
        for kind in ("garbage", "truncated", "folder"):
            with self.subTest(kind=kind):
                _, aside = self.restart_with("history.sqlite3", lambda p: _damage(kind, p))
                notices = self.notices()
                self.assertEqual(len(notices), 1, notices)
                self.assertIn("下载记录数据库", notices[0])
                self.assertIn(f"原文件已保存为 {aside}", notices[0])
                # The fresh database works and keeps what it is given.
                self.assertEqual(self.server.request("GET", "/api/history")[1]["entries"], [])
                self.assertEqual(self.server.finish(self.media.url("clip.mp4"))["state"], "done")
                self.assertEqual(len(self.server.request("GET", "/api/history")[1]["entries"]), 1)
                self.assertNotIn("Traceback", self.server.output())

    def test_unreadable_settings_are_set_aside(self):
        # (damage, what the notice says, the format and the count in force after it)
        cases: list[tuple[str, Callable[[str], Any], str, tuple[str, int]]] = [
            ("garbage", lambda p: _write(p, "{damaged"), "设置文件无法读取", ("best", 2)),
            ("not an object", lambda p: _write(p, "[1, 2]"), "设置文件的内容不正确", ("best", 2)),
            ("folder", os.mkdir, "设置文件无法读取", ("best", 2)),
            # The valid values stay; the wrong ones are named together.
            ("wrong types", lambda p: _write(p, json.dumps({"download_dir": 5, "format": "audio",
                                                            "concurrency": "③"})),
             "设置文件中的下载文件夹、同时下载数无效", ("audio:mp3", 2)),
        ]
        for kind, damage, message, in_force in cases:
            with self.subTest(kind=kind):
                _, aside = self.restart_with("settings.json", damage)
                notices = self.notices()
                self.assertEqual(len(notices), 1, notices)
                self.assertIn(message, notices[0])
                self.assertIn(f"原来的设置文件已保存为 {aside}", notices[0])
                settings = self.server.request("GET", "/api/settings")[1]
                self.assertEqual((settings["format"], settings["concurrency"]), in_force)


def _write(path: str, text: str) -> None:
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


class LockedDatabaseTest(PayloadTest):
    def hold(self, path: str) -> tuple[threading.Event, threading.Thread]:
        """Another program's exclusive lock on the database until the event is set."""
        release = threading.Event()
        locked = threading.Event()

        def run() -> None:
            db = sqlite3.connect(path, isolation_level=None)
            db.execute("BEGIN EXCLUSIVE")
            locked.set()
            release.wait(30)
            db.execute("ROLLBACK")
            db.close()
        thread = threading.Thread(target=run, daemon=True)
        thread.start()
        self.assertTrue(locked.wait(5))
        self.addCleanup(release.set)
        return release, thread

    def test_locked_at_start_waits_a_bounded_time_and_keeps_the_file(self):
        self.assertEqual(self.server.stop(), 0)
        path = os.path.join(self.workdir, "data", "history.sqlite3")
        for old in glob.glob(path + "*"):
            os.unlink(old)
        _db_with_history(path, wal=False)
        before = _snapshot(path)
        # A partial download of a job in the journal that cannot be read now.
        partial = os.path.join(self.server.download_dir, ".zormak-partial-journaled")
        os.makedirs(partial)
        release, _ = self.hold(path)
        started = time.monotonic()
        self.server = self.start_server()
        self.assertLess(time.monotonic() - started, 10)
        notices = self.server.request("GET", "/api/notices")[1]["notices"]
        self.assertEqual(len(notices), 1, notices)
        self.assertIn(f"下载记录数据库 {path} 被其他程序占用", notices[0])
        release.set()
        self.assertTrue(os.path.isdir(partial), "a start without the journal removed its partial data")
        self.assertEqual(_snapshot(path), before)
        self.assertEqual(glob.glob(path + ".damaged-*"), [])
        # The server works on, without keeping what it does.
        self.assertEqual(self.server.finish(self.media.url("clip.mp4"))["state"], "done")

    def test_locked_while_running_gives_clear_answers(self):
        path = os.path.join(self.workdir, "data", "history.sqlite3")
        release, holder = self.hold(path)
        # Reading the history does not wait for the other program.
        self.assertEqual(self.server.request("GET", "/api/history")[1]["entries"], [])
        for method, path_, body in (("POST", "/api/jobs", {"urls": self.media.url("clip.mp4")}),
                                    ("POST", "/api/history/clear", {})):
            with self.subTest(path=path_):
                started = time.monotonic()
                status, answer = self.server.request(method, path_, body)
                self.assertEqual((status, answer), (503, {"error": "下载记录数据库被其他程序占用，请稍后再试"}))
                self.assertLess(time.monotonic() - started, 8)
        release.set()
        holder.join(5)
        self.assertEqual(self.server.finish(self.media.url("clip.mp4"))["state"], "done")


@unittest.skipUnless(os.geteuid() == 0, "mounting a small file system needs root")
class DataFolderTest(PayloadTest):
    """A data folder on a file system of its own that is read-only or full."""

    def mount(self, options: str) -> str:
        self.assertEqual(self.server.stop(), 0)
        data = os.path.join(self.workdir, "data")
        settings = _snapshot(os.path.join(data, "settings.json"))
        subprocess.run(["rm", "-rf", data], check=True)
        os.mkdir(data)
        subprocess.run(["mount", "-t", "tmpfs", "-o", options, "zormak-test", data], check=True)
        self.addCleanup(lambda: subprocess.run(["umount", "-l", data]))
        with open(os.path.join(data, "settings.json"), "wb") as f:
            f.write(settings)  # type: ignore[arg-type]
        _db_with_history(os.path.join(data, "history.sqlite3"), wal=False)
        return data

    def check(self, data: str, before: object) -> None:
        path = os.path.join(data, "history.sqlite3")
        self.server = self.start_server()
        notices = self.server.request("GET", "/api/notices")[1]["notices"]
        self.assertEqual(len(notices), 1, notices)
        self.assertIn(f"数据文件夹 {data} 已满或无法写入", notices[0])
        self.assertIn(f"数据库文件 {path} 没有改动", notices[0])
        self.assertEqual(_snapshot(path), before)
        self.assertEqual(self.server.request("GET", "/api/history")[1]["entries"], [])
        self.assertEqual(self.server.finish(self.media.url("clip.mp4"))["state"], "done")
        # Saving settings says why it cannot.
        status, answer = self.server.request("POST", "/api/settings", {"concurrency": 3})
        self.assertEqual(status, 503, answer)
        self.assertIn("无法保存设置", answer["error"])

    def test_read_only(self):
        data = self.mount("size=4m")
        before = _snapshot(os.path.join(data, "history.sqlite3"))
        subprocess.run(["mount", "-o", "remount,ro", data], check=True)
        self.check(data, before)

    def test_full(self):
        data = self.mount("size=1m")
        before = _snapshot(os.path.join(data, "history.sqlite3"))
        fd = os.open(os.path.join(data, "filler"), os.O_WRONLY | os.O_CREAT)
        try:
            while os.write(fd, b"\0" * 4096):
                pass
        except OSError:
            pass
        finally:
            os.close(fd)
        self.check(data, before)
