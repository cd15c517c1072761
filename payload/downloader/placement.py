"""Putting a finished download's files in place.

Each job downloads into its own hidden staging folder inside the download
folder; the staging folder is on the same file system as the destination, so
the final move is a link or rename. The files' names are journaled before
they are linked and the job leaves the journal in the transaction that writes
its history rows, so that a start after a crash can tell which files are
already in place.
"""

import errno
import itertools
import os
import threading
from typing import Any

from . import errors
from .engine_loader import video_key
from .job import Job
from .leftovers import STAGING_PREFIX, discard
from .log import say
from .model import State
from .names import kept_name, name_limit, safe_name
from .store import StorageError, Store

__all__ = ["STAGING_PREFIX", "Placing", "missing_folder"]


def _destination(folder: str, name: str, limit: int) -> str:
    """A free path in folder for name made safe, its extension one we keep; " (n)" only when the name is
    really taken."""
    for n in itertools.count():
        candidate = os.path.join(folder, safe_name(kept_name(name), limit, n))
        if not os.path.lexists(candidate):
            return candidate
    raise AssertionError("the names never run out")


def _link(src: str, dest: str) -> bool:
    """Puts src's file at dest without overwriting; False if dest was taken meanwhile."""
    try:
        os.link(src, dest)
        return True
    except FileExistsError:
        return False
    except OSError as e:
        if e.errno not in (errno.EPERM, errno.EOPNOTSUPP, errno.ENOTSUP, errno.EXDEV, errno.EMLINK):
            raise
    # File systems without hard links: rename, accepting the small race.
    if os.path.lexists(dest):
        return False
    os.rename(src, dest)
    return True


def _in_place(src: str, dest: str) -> bool:
    """True if an earlier placement of src at dest got as far as the link (or rename)."""
    if not os.path.lexists(dest):
        return False
    if not os.path.exists(src):
        return True
    try:
        return os.path.samefile(src, dest)
    except OSError:
        return False


def _companion_name(src: str, placed: list[tuple[str, str]]) -> str:
    """src's name, made to follow the video it belongs to: "clip.en.srt" beside "clip (1).mp4" becomes
    "clip (1).en.srt", or players would not find it."""
    name = os.path.basename(src)
    if placed:
        video, dest = placed[0]
        stem = os.path.splitext(os.path.basename(video))[0]
        if name.startswith(stem + "."):
            return os.path.splitext(os.path.basename(dest))[0] + name[len(stem):]
    return name


def missing_folder(folder: str, partial: bool = False) -> str:
    """partial: the job had data in a staging folder inside it, which comes back with a drive plugged in
    again, and not with a folder that was deleted."""
    return (f"下载文件夹 {folder} 不存在。如果它在移动硬盘或网络位置上，请先接上它再点击重试"
            + ("，已下载的部分会从断开处继续" if partial else "") + "；或者在设置中换一个下载文件夹。")


class Placing:
    """The queue's placement of finished files, one job at a time so that two never pick the same free name."""

    store: Store
    _lock: threading.Lock
    _placing: threading.Lock

    def _note(self, job: Job, **values: Any) -> None:
        """Writes a download thread's change to the journal; a failure is logged, the download goes on."""
        try:
            self.store.update_job(job.id, **values)
        except StorageError as e:
            say(f"[下载 #{job.id}] 无法更新下载队列：{e}")

    def _place(self, job: Job, folder: str) -> None:
        """Chooses each file's free name and journals it; _finish then links them."""
        limit = name_limit(folder)
        with self._placing:
            placing: list[tuple[str, str]] = []
            for src, _ in job.placing:
                placing.append((src, _destination(folder, _companion_name(src, placing), limit)))
            job.placing = placing
            self.store.update_job(job.id, placing=[list(p) for p in job.placing], title=job.title, got=job.got)

    def _finish_or_fail(self, job: Job, attempt: int, tag: str) -> None:
        try:
            self._finish(job)
        except (OSError, StorageError, errors.UserError) as e:
            message = e.message if isinstance(e, errors.UserError) else (
                f"文件已下载，但无法保存到下载文件夹或写入下载记录（{e}）。已下载的数据还在，请处理后点击重试。")
            say(f"{tag} 失败：{message}")
            with self._lock:
                if job.attempt == attempt:
                    job.state = State.FAILED
                    job.error = message
            self._note(job, state=State.FAILED.value, error=message)

    def _finish(self, job: Job) -> None:
        """Links the journaled files into place and records them, removing the job from the journal at once."""
        tag = f"[下载 #{job.id}]"
        with self._placing:
            pairs = list(job.placing)
            for i, (src, dest) in enumerate(pairs):
                if dest and _in_place(src, dest):
                    continue
                if not os.path.isfile(src):
                    raise errors.UserError("暂存的文件不见了，无法完成这个下载；请移除它后重新添加")
                folder = os.path.dirname(dest or src)
                while not dest or not _link(src, dest):
                    # The name was taken since it was chosen: choose again, journal again.
                    dest = _destination(folder, os.path.basename(src), name_limit(folder))
                    pairs[i] = (src, dest)
                    job.placing = list(pairs)
                    self.store.update_job(job.id, placing=[list(p) for p in pairs])
            placed = [dest for _, dest in pairs]
            title = job.title or os.path.splitext(os.path.basename(placed[0]))[0]
            key = job.key or video_key(job.url)
            self.store.finish_job(job.id, job.url, title, [(p, os.path.getsize(p)) for p in placed], job.format.value,
                                  key, job.got)
        staging = job.staging
        if staging:
            discard(staging)
        with self._lock:
            job.files = placed
            job.title = title
            job.state = State.DONE
            job.placing = []
            job.staging = None
            job.error = ""
            job.progress = 1.0
            job.speed = job.eta = None
        say(f"{tag} 完成：{', '.join(os.path.basename(p) for p in placed)}")
