"""The server's database in data/: the journal of the queue and the history.

Every job is written here before the server acts on it, so that a quit, a
crash or kill -9 loses nothing: the next start reads back every unfinished
job. A finished download's history row is written in the same transaction
that removes its job from the journal, so a finished file has exactly one
row whatever moment the server is killed at.

A database that cannot be opened or read is moved aside with a time stamp,
never deleted, and a fresh one takes its place; a data folder where nothing
can be written leaves the server running on a database in memory. Both are
told to the page as notices.
"""

import json
import os
import sqlite3
import threading
import time
from dataclasses import dataclass
from typing import Any, Iterator

from .jsonfile import set_aside
from .log import say

# How long a write waits for another program that holds the database.
BUSY_TIMEOUT = 5.0
# At start a locked database is given less time, so the window still opens soon.
OPEN_TIMEOUT = 2.0

_SCHEMA = """
CREATE TABLE IF NOT EXISTS downloads (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    url TEXT NOT NULL,
    title TEXT NOT NULL,
    path TEXT NOT NULL,
    size INTEGER NOT NULL,
    format TEXT NOT NULL,
    finished_at REAL NOT NULL);
CREATE TABLE IF NOT EXISTS jobs (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    url TEXT NOT NULL,
    format TEXT NOT NULL,
    state TEXT NOT NULL,
    title TEXT NOT NULL DEFAULT '',
    error TEXT NOT NULL DEFAULT '',
    staging TEXT,
    placing TEXT,
    downloaded INTEGER NOT NULL DEFAULT 0,
    total INTEGER,
    created REAL NOT NULL,
    extras TEXT,
    folder TEXT NOT NULL DEFAULT '');
CREATE TABLE IF NOT EXISTS archive (
    site TEXT NOT NULL,
    video_id TEXT NOT NULL,
    url TEXT NOT NULL,
    title TEXT NOT NULL,
    finished_at REAL NOT NULL,
    PRIMARY KEY (site, video_id));
"""
JOB_COLUMNS = ("id", "url", "format", "state", "title", "error", "staging", "placing", "downloaded", "total",
               "created", "extras", "folder", "got")
# Columns added since the first journals were written, with what their old rows mean; an older
# database gets them when opened.
# got: what a preset that could not be met saved instead ("1080p（没有 720p）"), "" otherwise.
_ADDED_COLUMNS = {"jobs": {"extras": "TEXT", "folder": "TEXT NOT NULL DEFAULT ''", "got": "TEXT NOT NULL DEFAULT ''"},
                  "downloads": {"got": "TEXT NOT NULL DEFAULT ''"}}


class StorageError(Exception):
    """The database could not be read or written; the text is fit for the page."""


@dataclass
class JobRow:
    id: int
    url: str
    format: str
    state: str
    title: str
    error: str
    staging: str | None
    placing: list[list[str]] | None
    downloaded: int
    total: int | None
    created: float
    # What the job fetches besides the video (subtitles, cover, metadata); None in rows from before.
    extras: dict[str, Any] | None = None
    # A sub-folder of the download folder (a playlist's), or "" for the folder itself.
    folder: str = ""
    got: str = ""


class Store:
    def __init__(self, path: str, notices: list[str]) -> None:
        self.path = path
        self._lock = threading.Lock()
        # True when nothing is saved: the real journal on disk may still own staging folders it knows nothing of.
        self.in_memory = False
        self._db = self._open(notices)

    # ---- opening, with damaged and locked files ----

    def _connect(self, target: str) -> sqlite3.Connection:
        # SQLite takes an empty file for a new database; ours never is one, since the first open writes
        # its header. An emptied file lost the journal, and must be told, not silently reused.
        existed = target != ":memory:" and os.path.lexists(target)
        if existed and os.path.isfile(target) and os.path.getsize(target) == 0:
            raise sqlite3.DatabaseError("文件是空的（0 字节）")
        db = sqlite3.connect(target, check_same_thread=False, timeout=OPEN_TIMEOUT, isolation_level=None)
        try:
            if target != ":memory:":
                # The write-ahead log keeps every committed transaction through a kill -9.
                db.execute("PRAGMA journal_mode=WAL")
            check = db.execute("PRAGMA quick_check").fetchone()
            if not check or check[0] != "ok":
                raise sqlite3.DatabaseError(f"quick_check: {check[0] if check else 'no answer'}")
            tables = {r[0] for r in db.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
            if existed and tables and not tables & {"jobs", "downloads"}:
                raise sqlite3.DatabaseError("文件中没有下载记录的数据表，不是下载器的数据库")
            db.executescript(_SCHEMA)
            _add_columns(db)
            if target != ":memory:":
                _try_write(db)
            db.execute(f"PRAGMA busy_timeout={int(BUSY_TIMEOUT * 1000)}")
            db.create_function("file_name", 1, lambda p: os.path.basename(p) if isinstance(p, str) else p,
                               deterministic=True)
        except BaseException:
            db.close()
            raise
        return db

    def _open(self, notices: list[str]) -> sqlite3.Connection:
        folder = os.path.dirname(self.path)
        try:
            return self._connect(self.path)
        except sqlite3.Error as e:
            reason = str(e)
        say(f"[数据] 无法打开 {self.path}：{reason}")
        if "locked" in reason or "busy" in reason:
            # Someone else holds it: the file itself is fine and stays untouched.
            notices.append(f"下载记录数据库 {self.path} 被其他程序占用（等待了 {OPEN_TIMEOUT:g} 秒）。"
                           "原文件没有改动，但本次运行的下载队列和历史记录不会保存到其中；"
                           "请关闭占用它的程序后重新启动下载器。")
            return self._memory()
        if "full" in reason or "readonly" in reason or "read-only" in reason or (
                os.path.isdir(folder) and not os.access(folder, os.W_OK)):
            # The folder is the trouble, not the file: setting the file aside would not help.
            notices.append(f"数据文件夹 {folder} 已满或无法写入（{reason}）。数据库文件 {self.path} 没有改动，"
                           "但本次运行的下载队列和历史记录不会保存；请检查这个文件夹的磁盘空间和权限后重新启动下载器。")
            return self._memory()
        aside = set_aside(self.path) if os.path.lexists(self.path) else None
        if aside:
            say(f"[数据] 已将无法读取的数据库移到 {aside}")
            try:
                db = self._connect(self.path)
                notices.append(f"下载记录数据库 {self.path} 已损坏或无法读取（{reason}）。原文件已保存为 {aside}，"
                               "已新建一个空的数据库：之前的历史记录和下载队列不再显示，已下载的文件不受影响。")
                return db
            except sqlite3.Error as e:
                reason = str(e)
                say(f"[数据] 无法新建 {self.path}：{reason}")
        kept = f"原文件已保存为 {aside}。" if aside else ""
        notices.append(f"无法在数据文件夹 {folder} 中读写下载记录数据库（{reason}）。{kept}"
                       "本次运行的下载队列和历史记录不会保存；请检查这个文件夹的权限和磁盘空间后重新启动下载器。")
        return self._memory()

    def _memory(self) -> sqlite3.Connection:
        self.in_memory = True
        return self._connect(":memory:")

    def _transaction(self, write: bool = True) -> "_Transaction":
        return _Transaction(self, write)

    # ---- the journal ----

    def jobs(self) -> list[JobRow]:
        with self._transaction(write=False) as db:
            rows = db.execute(f"SELECT {', '.join(JOB_COLUMNS)} FROM jobs ORDER BY id").fetchall()
        result = []
        for r in rows:
            values = dict(zip(JOB_COLUMNS, r))
            try:
                values["placing"] = json.loads(values["placing"]) if values["placing"] else None
            except ValueError:
                values["placing"] = None
            try:
                values["extras"] = json.loads(values["extras"]) if values["extras"] else None
            except ValueError:
                values["extras"] = None
            result.append(JobRow(**values))
        return result

    def add_job(self, url: str, fmt: str, state: str, created: float, extras: dict[str, Any] | None = None,
                title: str = "", folder: str = "") -> int:
        with self._transaction() as db:
            cur = db.execute("INSERT INTO jobs (url, format, state, created, extras, title, folder)"
                             " VALUES (?, ?, ?, ?, ?, ?, ?)",
                             (url, fmt, state, created, json.dumps(extras) if extras is not None else None,
                              title, folder))
            return int(cur.lastrowid or 0)

    def update_job(self, job_id: int, **values: Any) -> None:
        if "placing" in values and values["placing"] is not None:
            values["placing"] = json.dumps(values["placing"], ensure_ascii=False)
        assigns = ", ".join(f"{k} = ?" for k in values if k in JOB_COLUMNS)
        with self._transaction() as db:
            db.execute(f"UPDATE jobs SET {assigns} WHERE id = ?", (*values.values(), job_id))

    def delete_jobs(self, job_ids: list[int]) -> None:
        with self._transaction() as db:
            db.executemany("DELETE FROM jobs WHERE id = ?", [(i,) for i in job_ids])

    def finish_job(self, job_id: int, url: str, title: str, files: list[tuple[str, int]], fmt: str,
                   key: tuple[str, str], got: str = "") -> None:
        """The history rows of a finished job, its (site, video id) in the archive and its removal
        from the journal, as one transaction."""
        now = time.time()
        with self._transaction() as db:
            db.executemany(
                "INSERT INTO downloads (url, title, path, size, format, finished_at, got) VALUES (?, ?, ?, ?, ?, ?, ?)",
                [(url, title, path, size, fmt, now, got) for path, size in files])
            db.execute("INSERT OR REPLACE INTO archive (site, video_id, url, title, finished_at) VALUES (?, ?, ?, ?, ?)",
                       (*key, url, title, now))
            db.execute("DELETE FROM jobs WHERE id = ?", (job_id,))

    def archived(self, keys: list[tuple[str, str]]) -> dict[tuple[str, str], tuple[str, float]]:
        """(title, finished_at) of each of keys that was downloaded before."""
        found: dict[tuple[str, str], tuple[str, float]] = {}
        with self._transaction(write=False) as db:
            for site, video_id in keys:
                row = db.execute("SELECT title, finished_at FROM archive WHERE site = ? AND video_id = ?",
                                 (site, video_id)).fetchone()
                if row:
                    found[(site, video_id)] = (row[0], row[1])
        return found

    def archived_addresses(self, urls: list[str]) -> dict[str, tuple[str, float]]:
        """(title, finished_at) of each of urls that was downloaded before under that very address."""
        found: dict[str, tuple[str, float]] = {}
        with self._transaction(write=False) as db:
            for url in urls:
                row = db.execute("SELECT title, finished_at FROM archive WHERE url = ? ORDER BY finished_at DESC",
                                 (url,)).fetchone()
                if row:
                    found[url] = (row[0], row[1])
        return found

    # ---- the history ----

    def entries(self, limit: int = 500, offset: int = 0, query: str = "") -> list[dict[str, Any]]:
        """A page of the history, newest first; with query, only rows whose title or file name holds it."""
        where, args = _matching(query)
        with self._transaction(write=False) as db:
            rows = db.execute(
                "SELECT id, url, title, path, size, format, finished_at, got FROM downloads"
                f"{where} ORDER BY id DESC LIMIT ? OFFSET ?", (*args, limit, offset)).fetchall()
        keys = ("id", "url", "title", "path", "size", "format", "finished_at", "got")
        entries = [dict(zip(keys, r)) for r in rows]
        for e in entries:
            e["name"] = os.path.basename(e["path"])
            e["exists"] = os.path.isfile(e["path"])
        return entries

    def totals(self, query: str = "") -> tuple[int, int]:
        """How many history rows there are (matching query, if given) and their size together."""
        where, args = _matching(query)
        with self._transaction(write=False) as db:
            count, size = db.execute(f"SELECT COUNT(*), COALESCE(SUM(size), 0) FROM downloads{where}", args).fetchone()
        return int(count), int(size)

    def remove_entry(self, entry_id: int) -> bool:
        with self._transaction() as db:
            return db.execute("DELETE FROM downloads WHERE id = ?", (entry_id,)).rowcount > 0

    def entry_path(self, entry_id: int) -> str | None:
        """The path recorded for a history row, None if there is no such row."""
        with self._transaction(write=False) as db:
            row = db.execute("SELECT path FROM downloads WHERE id = ?", (entry_id,)).fetchone()
        return str(row[0]) if row else None

    def clear_history(self) -> None:
        with self._transaction() as db:
            db.execute("DELETE FROM downloads")

    def close(self) -> None:
        with self._lock:
            self._db.close()


class _Transaction:
    """One transaction under the store's lock; SQLite's errors become a StorageError."""

    def __init__(self, store: Store, write: bool) -> None:
        self.store = store
        # Reads take no write lock, so another program's write does not hide the history.
        self.begin = "BEGIN IMMEDIATE" if write else "BEGIN"

    def __enter__(self) -> sqlite3.Connection:
        self.store._lock.acquire()
        try:
            self.store._db.execute(self.begin)
        except sqlite3.Error as e:
            self.store._lock.release()
            raise _storage_error(e) from e
        return self.store._db

    def __exit__(self, kind: type | None, exc: BaseException | None, tb: Any) -> None:
        db = self.store._db
        try:
            if kind is None:
                try:
                    db.execute("COMMIT")
                    return
                except sqlite3.Error as e:
                    exc = e
            try:
                db.execute("ROLLBACK")
            except sqlite3.Error:
                pass
        finally:
            self.store._lock.release()
        if isinstance(exc, sqlite3.Error):
            raise _storage_error(exc) from exc


def _matching(query: str) -> tuple[str, tuple[str, ...]]:
    """The WHERE clause for a search of titles and file names; LIKE's own wildcards are taken literally."""
    if not query:
        return "", ()
    pattern = "%" + query.replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_") + "%"
    # A file name is the end of its path, so the whole path must hold the word too: that test runs in
    # the database's own code and leaves the call into Python for the few rows that pass it (a search
    # of 50,000 rows took 95 ms with a call for each).
    return (" WHERE title LIKE ? ESCAPE '\\' OR (path LIKE ? ESCAPE '\\' AND file_name(path) LIKE ? ESCAPE '\\')",
            (pattern, pattern, pattern))


def _add_columns(db: sqlite3.Connection) -> None:
    """Brings a journal written by an earlier version up to date; its rows keep their meaning."""
    for table, columns in _ADDED_COLUMNS.items():
        present = {row[1] for row in db.execute(f"PRAGMA table_info({table})")}
        for name, kind in columns.items():
            if name not in present:
                db.execute(f"ALTER TABLE {table} ADD COLUMN {name} {kind}")


def _try_write(db: sqlite3.Connection) -> None:
    """Raises if the database cannot be written, with nothing written either way.

    A database left in WAL mode with its -wal and -shm files opens and reads on a read-only folder;
    only its first write would fail, long after a start that told the user nothing."""
    db.execute("PRAGMA busy_timeout=0")
    try:
        db.execute("BEGIN IMMEDIATE")
        db.execute("DELETE FROM jobs WHERE 0")
    except sqlite3.OperationalError as e:
        if "readonly" in str(e) or "read-only" in str(e):
            raise
        # Busy: another process writes right now, which tells nothing either way.
    finally:
        if db.in_transaction:
            db.execute("ROLLBACK")


def _storage_error(e: sqlite3.Error) -> StorageError:
    say(f"[数据] 数据库操作失败：{e}")
    text = str(e)
    if "locked" in text or "busy" in text:
        return StorageError("下载记录数据库被其他程序占用，请稍后再试")
    if "full" in text:
        return StorageError("磁盘空间不足，无法保存下载记录；请清理磁盘后再试")
    if "readonly" in text or "read-only" in text:
        return StorageError("数据文件夹无法写入，无法保存下载记录；请检查它的权限")
    return StorageError(f"无法读写下载记录数据库（{text}）")


def iter_pairs(placing: list[list[str]] | None) -> Iterator[tuple[str, str]]:
    for pair in placing or []:
        if isinstance(pair, list) and len(pair) == 2 and all(isinstance(p, str) for p in pair):
            yield pair[0], pair[1]
