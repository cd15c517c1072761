"""The download engines the server can use: the bundled one and verified updates.

Each verified update lives in data/engines/<version>-<hash>/ with the released
zipimport file `yt-dlp`, the packages it carries unpacked in lib/, optionally
the companion wheel (for a file that does not carry it), and engine.json. The
pointer data/engines/current.json names the engine new downloads use and the one
before it; switching engines is one atomic rename of that pointer. The bundled
engine is named BUNDLED in the pointer, so that going back to it is a switch
like any other.

Running downloads hold the engine they started with, and pruning never removes a
held engine, so a switch never pulls files from under a download.
"""

import contextlib
import datetime
import hashlib
import json
import os
import re
import shutil
import sys
import threading
import zipfile
from dataclasses import dataclass, field
from typing import Any, Iterator

from .log import say
from .jsonfile import ABSENT, Unreadable, load, set_aside, write

BUNDLED = "bundled"
ENGINE_FILE = "yt-dlp"
# The engine file unpacked beside it: Python caches the byte code of a folder, not of a zip file,
# so each download's process would otherwise compile the engine anew (about half a second).
UNPACKED = "lib"
# <version>-<first 12 hex of the file's SHA-256>; nothing else in data/engines is ever pruned.
_FOLDER = re.compile(r"^[0-9]{4}\.[0-9]{2}\.[0-9]{2}(\.[0-9]+)?-[0-9a-f]{12}$")
_VERSION = re.compile(r"^([0-9]{4})\.([0-9]{1,2})\.([0-9]{1,2})(?:\.([0-9]+))?$")


@dataclass(frozen=True)
class Engine:
    version: str
    sys_path: tuple[str, ...]
    params: dict[str, Any] = field(default_factory=dict, hash=False, compare=False)
    folder: str | None = None


def version_key(version: str) -> tuple[int, ...]:
    """Orders engine versions ("2023.03.04", "2026.11.20.123456"); unknown forms sort first."""
    m = _VERSION.match(version)
    if not m:
        return (0,)
    return tuple(int(g) for g in m.groups() if g is not None)


def version_date(version: str) -> datetime.date | None:
    m = _VERSION.match(version)
    if not m:
        return None
    try:
        return datetime.date(int(m.group(1)), int(m.group(2)), int(m.group(3)))
    except ValueError:
        return None


def age_months(version: str, today: datetime.date | None = None) -> int | None:
    """Whole months from the version's release date to today; None when the version has no date."""
    released = version_date(version)
    if released is None:
        return None
    today = today or datetime.date.today()
    months = (today.year - released.year) * 12 + today.month - released.month
    if today.day < released.day:
        months -= 1
    return max(months, 0)


def bundled_version() -> str:
    """The bundled engine's version, read from its version.py where an import would find it, without importing it."""
    for entry in sys.path:
        try:
            with open(os.path.join(entry or os.curdir, "yt_dlp", "version.py"), encoding="utf-8") as f:
                m = re.search(r"""^__version__\s*=\s*['"]([^'"]+)['"]""", f.read(), re.M)
        except OSError:
            continue
        return m.group(1) if m else "unknown"
    return "unknown"


def file_sha256(path: str) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            digest.update(chunk)
    return digest.hexdigest()


def unpack(engine_file: str, dest: str) -> None:
    """Unpacks every top-level package of the engine file into dest: the engine's yt_dlp and what it
    carries beside it (the release's yt_dlp_ejs), not its __main__.py. A member that would land
    outside dest is refused, whichever package it claims to be in."""
    root = os.path.realpath(dest)
    with zipfile.ZipFile(engine_file) as z:
        members = [m for m in z.infolist() if not m.is_dir()]
        packages = {m.filename.split("/")[0] for m in members if m.filename.count("/") == 1
                    and m.filename.endswith("/__init__.py")}
        for member in members:
            target = os.path.realpath(os.path.join(root, member.filename))
            if not target.startswith(root + os.sep):
                raise zipfile.BadZipFile(f"{member.filename} lies outside the engine")
            if member.filename.split("/")[0] not in packages or "/" not in member.filename:
                continue
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with z.open(member) as src, open(target, "wb") as dst:
                shutil.copyfileobj(src, dst)


def tree_sha256(folder: str) -> str:
    """One SHA-256 over the names, sizes and modification times of the files below folder, byte code
    caches aside. Reading every file at each start would cost a third of a second; a file changed,
    cut short or gone since the unpacking changes this too."""
    files: list[str] = []
    for root, dirs, names in os.walk(folder):
        dirs[:] = [d for d in dirs if d != "__pycache__"]
        files += (os.path.join(root, name) for name in names)
    digest = hashlib.sha256()
    for path in sorted(files):
        st = os.lstat(path)
        digest.update(f"{os.path.relpath(path, folder)}\0{st.st_size}\0{st.st_mtime_ns}\0".encode(
            "utf-8", "surrogateescape"))
    return digest.hexdigest()


class Engines:
    def __init__(self, data_dir: str, notices: list[str]) -> None:
        self.root = os.path.join(data_dir, "engines")
        self.pointer = os.path.join(self.root, "current.json")
        self._lock = threading.Lock()
        self._held: dict[str, int] = {}
        self._params: dict[str, Any] = {}
        self._bundled = Engine(bundled_version(), (), {}, None)
        self._current = BUNDLED
        self._previous: str | None = None
        self._known: dict[str, Engine] = {}
        # The engine that failed to import in this run, for its card: {"version", "reason"}.
        self.failed: dict[str, str] | None = None
        try:
            os.makedirs(self.root, exist_ok=True)
        except OSError as e:
            say(f"[引擎] 无法创建引擎文件夹 {self.root}：{e.strerror or e}")
        self._remove_incoming()
        self._load(notices)

    # Reading what is on disk.

    def _remove_incoming(self) -> None:
        """Downloads cut short by an earlier stop are never trusted: they are removed unseen."""
        try:
            names = os.listdir(self.root)
        except OSError:
            return
        for name in names:
            if name.startswith(".incoming-"):
                shutil.rmtree(os.path.join(self.root, name), ignore_errors=True)

    def _read_folder(self, name: str) -> Engine | None:
        """The engine in data/engines/name when it is whole and matches its record, else None."""
        if not _FOLDER.match(name):
            return None
        folder = os.path.join(self.root, name)
        try:
            with open(os.path.join(folder, "engine.json"), encoding="utf-8") as f:
                info = json.load(f)
            if not isinstance(info, dict) or not isinstance(info.get("version"), str):
                return None
            # The record's hash is checked again: a file changed after it was verified is not run.
            if file_sha256(os.path.join(folder, ENGINE_FILE)) != info.get("sha256"):
                return None
            entries = [os.path.join(folder, ENGINE_FILE)]
            lib = os.path.join(folder, UNPACKED)
            # The unpacked copy runs only while it is what was unpacked; else the verified file itself.
            if isinstance(info.get("unpacked_sha256"), str) and tree_sha256(lib) == info["unpacked_sha256"]:
                entries = [lib]
            ejs = info.get("ejs")
            if isinstance(ejs, dict) and isinstance(ejs.get("file"), str):
                wheel = os.path.join(folder, os.path.basename(ejs["file"]))
                if file_sha256(wheel) != ejs.get("sha256"):
                    return None
                entries.append(wheel)
        except (OSError, ValueError):
            return None
        return Engine(info["version"], tuple(entries), {}, name)

    def _load(self, notices: list[str]) -> None:
        try:
            stored = load(self.pointer)
        except Unreadable as e:
            self._set_aside(notices, f"引擎记录无法读取（{e}）")
            return
        if stored is ABSENT:
            return
        current = stored.get("current") if isinstance(stored, dict) else None
        previous = stored.get("previous") if isinstance(stored, dict) else None
        if not isinstance(current, str) or not (previous is None or isinstance(previous, str)):
            self._set_aside(notices, "引擎记录的内容不正确")
            return
        if current != BUNDLED:
            engine = self._read_folder(current)
            if engine is None:
                self._set_aside(notices, f"引擎记录指向的下载引擎 {current} 缺失或已损坏")
                return
            self._known[current] = engine
        if previous is not None and previous != BUNDLED:
            engine = self._read_folder(previous)
            if engine is None:
                say(f"[引擎] 上一个下载引擎 {previous} 缺失或已损坏，无法回退到它")
                previous = None
            else:
                self._known[previous] = engine
        self._current, self._previous = current, previous

    def _set_aside(self, notices: list[str], what: str) -> None:
        aside = set_aside(self.pointer)
        version = self._bundled.version
        if aside:
            say(f"[引擎] {what}；已改用自带的下载引擎 {version}，原文件已移到 {aside}")
            notices.append(f"{what}，已改用自带的下载引擎 {version}。原来的记录已保存为 {aside}，"
                           "可以在设置中重新检查更新。")
        else:
            say(f"[引擎] {what}；已改用自带的下载引擎 {version}，无法移走 {self.pointer}")
            notices.append(f"{what}，已改用自带的下载引擎 {version}。请检查数据文件夹 {self.root} 的权限。")

    # What downloads use.

    def _engine(self, name: str | None) -> Engine | None:
        if name is None:
            return None
        if name == BUNDLED:
            return self._bundled
        return self._known.get(name)

    def active(self) -> Engine:
        """The engine a new download uses, with the parameters it needs (the JavaScript runtime)."""
        with self._lock:
            engine = self._engine(self._current) or self._bundled
            return Engine(engine.version, engine.sys_path, dict(self._params), engine.folder)

    def previous(self) -> Engine | None:
        with self._lock:
            return self._engine(self._previous)

    def set_params(self, params: dict[str, Any]) -> None:
        with self._lock:
            self._params = dict(params)

    @contextlib.contextmanager
    def hold(self, engine: Engine) -> Iterator[None]:
        """Keeps engine's folder from being pruned while the block runs."""
        name = engine.folder
        if name is None:
            yield
            return
        with self._lock:
            self._held[name] = self._held.get(name, 0) + 1
        try:
            yield
        finally:
            with self._lock:
                self._held[name] -= 1
                if not self._held[name]:
                    del self._held[name]

    @contextlib.contextmanager
    def use(self) -> Iterator[Engine]:
        """The active engine, held while the block runs: taken in one step, so that a switch
        between choosing it and holding it cannot prune it."""
        with self._lock:
            engine = self._engine(self._current) or self._bundled
            engine = Engine(engine.version, engine.sys_path, dict(self._params), engine.folder)
            if engine.folder is not None:
                self._held[engine.folder] = self._held.get(engine.folder, 0) + 1
        try:
            yield engine
        finally:
            if engine.folder is not None:
                with self._lock:
                    self._held[engine.folder] -= 1
                    if not self._held[engine.folder]:
                        del self._held[engine.folder]

    # Changing engines.

    def _write_pointer(self, current: str, previous: str | None) -> None:
        write(self.pointer, {"current": current, "previous": previous})

    def switch(self, name: str) -> Engine:
        """Makes the verified engine in data/engines/name the active one; the one left becomes previous."""
        engine = self._read_folder(name)
        if engine is None:
            raise OSError(f"the engine folder {name} is missing or damaged")
        with self._lock:
            previous = self._current if self._current != name else self._previous
            self._write_pointer(name, previous)
            self._known[name] = engine
            self._current, self._previous = name, previous
            self.failed = None
        self.prune()
        return engine

    def rollback(self) -> Engine | None:
        """Swaps the active and the previous engine, so that a rollback can be undone; None without one."""
        with self._lock:
            if self._previous is None or self._engine(self._previous) is None:
                return None
            if self._previous != BUNDLED and self._read_folder(self._previous) is None:
                say(f"[引擎] 上一个下载引擎 {self._previous} 已损坏，无法回退到它")
                self._previous = None
                return None
            current, previous = self._previous, self._current
            self._write_pointer(current, previous)
            self._current, self._previous = current, previous
            return self._engine(current)

    def broken(self, sys_path: tuple[str, ...], reason: str) -> bool:
        """The engine at sys_path failed to import: it is marked bad and, while it is the active one, the
        previous engine takes its place at once. True when another engine is active now."""
        with self._lock:
            engine = self._engine(self._current) or self._bundled
            if engine.sys_path != tuple(sys_path):
                return True
            self.failed = {"version": engine.version, "reason": reason}
            say(f"[引擎] 下载引擎 {engine.version} 无法载入：{reason}")
            back = self._engine(self._previous)
            if self._current == BUNDLED or back is None or self._previous is None:
                return False
            try:
                self._write_pointer(self._previous, None)
            except OSError as e:
                say(f"[引擎] 无法保存引擎记录：{e}；本次运行仍改用上一个下载引擎")
            self._current, self._previous = self._previous, None
            say(f"[引擎] 已改用上一个下载引擎 {back.version}")
            return True

    def find(self, sha256: str) -> str | None:
        """The name of a whole engine folder holding the file with this hash, if there is one."""
        try:
            names = os.listdir(self.root)
        except OSError:
            return None
        for name in names:
            if _FOLDER.match(name) and name.endswith("-" + sha256[:12]):
                engine = self._read_folder(name)
                if engine is not None:
                    return name
        return None

    def current_record(self) -> dict[str, Any]:
        """The active engine's engine.json ({} for the bundled one)."""
        with self._lock:
            name = self._current
        if name == BUNDLED:
            return {}
        try:
            with open(os.path.join(self.root, name, "engine.json"), encoding="utf-8") as f:
                info = json.load(f)
            return info if isinstance(info, dict) else {}
        except (OSError, ValueError):
            return {}

    def prune(self) -> None:
        """Removes engine folders that are neither active, previous nor held by a download."""
        try:
            names = os.listdir(self.root)
        except OSError:
            return
        for name in names:
            if not _FOLDER.match(name):
                continue
            # Under the lock, so that a download cannot take the engine while it is removed.
            with self._lock:
                if name in self._held or name in (self._current, self._previous):
                    continue
                self._known.pop(name, None)
                shutil.rmtree(os.path.join(self.root, name), ignore_errors=True)
