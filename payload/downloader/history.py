"""Finished downloads, kept in SQLite in data/history.sqlite3."""

import os
import sqlite3
import threading
import time
from typing import Any


class History:
    def __init__(self, path: str) -> None:
        self._lock = threading.Lock()
        self._db = sqlite3.connect(str(path), check_same_thread=False, timeout=5)
        with self._lock, self._db:
            self._db.execute(
                """CREATE TABLE IF NOT EXISTS downloads (
                     id INTEGER PRIMARY KEY AUTOINCREMENT,
                     url TEXT NOT NULL,
                     title TEXT NOT NULL,
                     path TEXT NOT NULL,
                     size INTEGER NOT NULL,
                     format TEXT NOT NULL,
                     finished_at REAL NOT NULL)"""
            )

    def add(self, url: str, title: str, path: str, size: int, fmt: str) -> int:
        with self._lock, self._db:
            cur = self._db.execute(
                "INSERT INTO downloads (url, title, path, size, format, finished_at) VALUES (?, ?, ?, ?, ?, ?)",
                (url, title, path, size, fmt, time.time()),
            )
            return cur.lastrowid or 0

    def entries(self, limit: int = 500) -> list[dict[str, Any]]:
        with self._lock:
            rows = self._db.execute(
                "SELECT id, url, title, path, size, format, finished_at FROM downloads ORDER BY id DESC LIMIT ?",
                (limit,),
            ).fetchall()
        keys = ("id", "url", "title", "path", "size", "format", "finished_at")
        entries = [dict(zip(keys, r)) for r in rows]
        for e in entries:
            e["name"] = os.path.basename(e["path"])
            e["exists"] = os.path.isfile(e["path"])
        return entries

    def remove(self, entry_id: int) -> bool:
        with self._lock, self._db:
            return self._db.execute("DELETE FROM downloads WHERE id = ?", (entry_id,)).rowcount > 0

    def clear(self) -> None:
        with self._lock, self._db:
            self._db.execute("DELETE FROM downloads")

    def close(self) -> None:
        with self._lock:
            self._db.close()
