"""Staging folders that no job in the journal owns: partial data whose record is gone.

Such a folder is never deleted for that reason alone. The journal may have
been lost, emptied, damaged or set aside, and the folder may hold hours of
downloading; at start it is offered back to the user, to resume from the
address the folder records or to delete. A folder the queue gives up on
deliberately is renamed before it is removed, so that a crash in the middle
of the removal is not taken for lost work, and a finished job's folder whose
files are all in place already is removed at start as before.
"""

import contextlib
import json
import os
import shutil
from dataclasses import dataclass
from typing import Any

from . import jsonfile
from .log import say

STAGING_PREFIX = ".zormak-partial-"
# What the job was, written into its staging folder when the folder is made.
RECORD = ".zormak-job.json"
DISCARD_PREFIX = ".zormak-discard-"


@dataclass
class Leftover:
    id: str
    path: str
    size: int
    # From the folder's record; "" when it has none (made by an older version, or the record is damaged).
    url: str
    format: str
    title: str
    folder: str
    extras: dict[str, Any] | None

    def public(self) -> dict[str, Any]:
        return {"id": self.id, "size": self.size, "url": self.url, "title": self.title, "format": self.format}


def write_record(staging: str, url: str, fmt: str, title: str, folder: str, extras: dict[str, Any]) -> None:
    """Records in staging what it is being downloaded for; a failure only costs the offer to resume."""
    try:
        jsonfile.write(os.path.join(staging, RECORD),
                       {"url": url, "format": fmt, "title": title, "folder": folder, "extras": extras})
    except OSError as e:
        say(f"[下载] 无法在暂存文件夹 {staging} 中记录下载地址：{e.strerror or e}")


def _record(staging: str) -> dict[str, Any]:
    try:
        value = jsonfile.load(os.path.join(staging, RECORD))
    except jsonfile.Unreadable:
        return {}
    if not isinstance(value, dict) or not isinstance(value.get("url"), str):
        return {}
    return value


def data_files(staging: str) -> list[str]:
    """The files in staging the download wrote (not its record)."""
    found = []
    for root, _, names in os.walk(staging):
        for name in names:
            path = os.path.join(root, name)
            if not (root == staging and name == RECORD) and os.path.isfile(path) and not os.path.islink(path):
                found.append(path)
    return found


def has_data(staging: str) -> bool:
    return bool(data_files(staging))


def discard(staging: str) -> None:
    """Removes a staging folder the queue gave up on; renamed first so that a start after a crash in
    the middle of it does not offer its rest back."""
    parent, name = os.path.split(staging)
    target = os.path.join(parent, DISCARD_PREFIX + name[len(STAGING_PREFIX):] if name.startswith(
        STAGING_PREFIX) else DISCARD_PREFIX + name)
    try:
        os.rename(staging, target)
    except OSError:
        target = staging
    shutil.rmtree(target, ignore_errors=True)


def _already_placed(files: list[str]) -> bool:
    """True if every file is linked into place too: a finished job's folder that a stop left behind."""
    try:
        return all(os.stat(f).st_nlink > 1 for f in files)
    except OSError:
        return False


def find(folder: str, owned: set[str]) -> list[Leftover]:
    """The staging folders in folder that no job owns and that hold partial data; the rest of the
    unowned ones (given up on, empty, or already in place) are removed."""
    try:
        names = sorted(os.listdir(folder))
    except OSError:
        return []
    found = []
    for name in names:
        path = os.path.join(folder, name)
        if name.startswith(DISCARD_PREFIX):
            shutil.rmtree(path, ignore_errors=True)
            continue
        if not name.startswith(STAGING_PREFIX) or path in owned or not os.path.isdir(path) or os.path.islink(path):
            continue
        files = data_files(path)
        if not files or _already_placed(files):
            discard(path)
            continue
        size = 0
        for f in files:
            with contextlib.suppress(OSError):
                size += os.path.getsize(f)
        record = _record(path)
        extras = record.get("extras")
        found.append(Leftover(name[len(STAGING_PREFIX):], path, size, record.get("url", ""),
                              str(record.get("format") or ""), str(record.get("title") or ""),
                              str(record.get("folder") or ""), extras if isinstance(extras, dict) else None))
    if found:
        say(f"[下载] 找到 {len(found)} 个不在下载队列中的未完成下载：{', '.join(json.dumps(x.url) for x in found)}")
    return found


def notice(found: list[Leftover]) -> str | None:
    if not found:
        return None
    size = sum(x.size for x in found)
    unknown = sum(1 for x in found if not x.url)
    text = f"找到 {len(found)} 个未完成的下载，共 {size / 1e6:.1f} MB。可以从记录的网址继续下载，或者删除它们。"
    return text + (f"（其中 {unknown} 个没有记录网址，只能删除。）" if unknown else "")
