"""The download queue: one thread per running download, yt-dlp doing the work.

Each attempt downloads into its own hidden staging folder inside the download
folder, so that a cancelled or failed attempt can be removed whole and only
finished files ever appear beside the user's other files. The staging folder
is on the same file system as the destination, so the final move is a rename.
"""

import errno
import itertools
import os
import shutil
import tempfile
import threading
import time
from dataclasses import dataclass, field
from types import ModuleType
from typing import Any, ClassVar, Iterator

from . import errors, processes
from .history import History
from .log import say
from .model import Format, State, parse_format
from .settings import Settings

STAGING_PREFIX = ".zormak-partial-"
MAX_PER_PASTE = 100

_yt_dlp: ModuleType | None = None
_yt_dlp_lock = threading.Lock()


def yt_dlp() -> ModuleType:
    """yt-dlp takes a moment to import; the first caller pays, the others wait."""
    global _yt_dlp
    with _yt_dlp_lock:
        if _yt_dlp is None:
            import yt_dlp as module
            import yt_dlp.postprocessor  # noqa: F401  (registers the ffmpeg post-processors)
            processes.track(module.utils.Popen)
            _yt_dlp = module
        return _yt_dlp


class _Logger:
    """yt-dlp's messages as single log lines; its chatter is dropped."""

    def __init__(self, tag: str) -> None:
        self.tag = tag

    def debug(self, msg: str) -> None:
        pass

    def info(self, msg: str) -> None:
        pass

    def warning(self, msg: str) -> None:
        say(f"{self.tag} 提示：{msg.splitlines()[0] if msg else ''}")

    def error(self, msg: str) -> None:
        say(f"{self.tag} yt-dlp：{errors.short_reason(Exception(msg))}")


class _Cancelled(Exception):
    pass


@dataclass(eq=False)
class Job:
    id: int
    url: str
    format: Format
    title: str = ""
    state: State = State.QUEUED
    error: str = ""
    files: list[str] = field(default_factory=list)
    attempt: int = 0
    created: float = field(default_factory=time.time)
    downloaded: int = 0
    total: int | None = None
    speed: float | None = None
    eta: float | None = None
    progress: float | None = None
    # What only the server needs: the live attempt's thread, its cancel
    # signal, its staging folder and the processes it started.
    reported: int = 0
    cancel_event: threading.Event = field(default_factory=threading.Event)
    staging: str | None = None
    thread: threading.Thread | None = None
    group: processes.ProcessGroup = field(default_factory=processes.ProcessGroup)

    PUBLIC: ClassVar[tuple[str, ...]] = ("id", "url", "format", "title", "state", "error", "downloaded", "total",
                                         "speed", "eta", "progress", "created")

    def reset_progress(self) -> None:
        self.downloaded = 0
        self.total = None
        self.speed = None
        self.eta = None
        self.progress = None
        self.reported = 0

    def public(self) -> dict[str, Any]:
        result = {name: getattr(self, name) for name in self.PUBLIC}
        result["files"] = [os.path.basename(f) for f in self.files]
        return result


def _unique_destination(folder: str, name: str) -> Iterator[str]:
    stem, ext = os.path.splitext(name)
    for n in itertools.count():
        candidate = os.path.join(folder, name if n == 0 else f"{stem} ({n}){ext}")
        if not os.path.lexists(candidate):
            yield candidate


def _place(src: str, folder: str) -> str:
    """Moves src into folder under its own name, or name (1), (2)… if taken; never overwrites."""
    for dest in _unique_destination(folder, os.path.basename(src)):
        try:
            os.link(src, dest)
        except FileExistsError:
            continue
        except OSError as e:
            if e.errno not in (errno.EPERM, errno.EOPNOTSUPP, errno.ENOTSUP, errno.EXDEV, errno.EMLINK):
                raise
            # File systems without hard links: rename, accepting the small race.
            if os.path.lexists(dest):
                continue
            os.rename(src, dest)
            return dest
        os.unlink(src)
        return dest
    raise AssertionError("the names never run out")


def _inside(path: str, folder: str) -> bool:
    path = os.path.realpath(path)
    folder = os.path.realpath(folder)
    return os.path.commonpath([path, folder]) == folder and path != folder


def _final_files(info: Any, staging: str) -> list[str]:
    """The files yt-dlp reports as its results, kept only if they are inside staging."""
    found: list[str] = []

    def walk(node: Any) -> None:
        if not isinstance(node, dict):
            return
        for d in node.get("requested_downloads") or []:
            p = d.get("filepath") or d.get("filename")
            if p:
                found.append(p)
        for entry in node.get("entries") or []:
            walk(entry)

    walk(info)
    result: list[str] = []
    for p in found:
        if p not in result and os.path.isfile(p) and _inside(p, staging):
            result.append(p)
    return result


def sweep_staging(folder: str) -> None:
    """Removes staging folders a killed server left behind."""
    try:
        names = os.listdir(folder)
    except OSError:
        return
    for name in names:
        if name.startswith(STAGING_PREFIX):
            shutil.rmtree(os.path.join(folder, name), ignore_errors=True)


class Manager:
    def __init__(self, settings: Settings, history: History) -> None:
        self.settings = settings
        self.history = history
        self._lock = threading.Lock()
        self._jobs: dict[int, Job] = {}
        self._ids = itertools.count(1)
        self._closing = False
        sweep_staging(settings.get()["download_dir"])

    # ---- queries and commands from the web layer ----

    def snapshot(self) -> list[dict[str, Any]]:
        with self._lock:
            return [j.public() for j in self._jobs.values()]

    def add(self, text: object, fmt: object = None) -> tuple[list[dict[str, Any]], list[str]]:
        if not isinstance(text, str):
            raise errors.UserError("请粘贴至少一个网址")
        chosen = parse_format(fmt or self.settings.get()["format"])
        if chosen is None:
            raise errors.UserError("格式只能是“最佳视频”或“仅音频”")
        words = [w for w in text.split() if w]
        if not words:
            raise errors.UserError("请粘贴至少一个网址")
        if len(words) > MAX_PER_PASTE:
            raise errors.UserError(f"一次最多添加 {MAX_PER_PASTE} 个网址")
        added, rejected = [], []
        for w in words:
            try:
                errors.check_address(w)
            except errors.UserError as e:
                rejected.append(e.message)
                continue
            with self._lock:
                job = Job(next(self._ids), w, chosen)
                self._jobs[job.id] = job
                added.append(job.public())
            say(f"[下载 #{job.id}] 已加入队列：{w}")
        self._pump()
        return added, rejected

    def cancel(self, job_id: int) -> dict[str, Any]:
        with self._lock:
            job = self._get(job_id)
            if not job.state.open:
                raise errors.UserError("这个任务已经结束，无法取消", 409)
            was_running = job.state.running
            job.state = State.CANCELLED
            job.error = ""
            job.cancel_event.set()
            staging = job.staging
            result = job.public()
        if was_running:
            # The thread may be waiting on a silent server; end its ffmpeg and its
            # partial files now rather than when it next wakes up.
            job.group.end()
            if staging:
                shutil.rmtree(staging, ignore_errors=True)
        say(f"[下载 #{job_id}] 已取消")
        self._pump()
        return result

    def retry(self, job_id: int) -> dict[str, Any]:
        with self._lock:
            job = self._get(job_id)
            if not job.state.retryable:
                raise errors.UserError("只有失败或已取消的任务可以重试", 409)
            job.state = State.QUEUED
            job.error = ""
            job.reset_progress()
            job.cancel_event = threading.Event()
            job.group = processes.ProcessGroup()
            result = job.public()
        say(f"[下载 #{job_id}] 重试")
        self._pump()
        return result

    def remove(self, job_id: int) -> None:
        with self._lock:
            job = self._get(job_id)
            if job.state.open:
                raise errors.UserError("请先取消这个任务，再移除", 409)
            del self._jobs[job_id]

    def clear_finished(self) -> None:
        with self._lock:
            for job_id in [j.id for j in self._jobs.values() if not j.state.open]:
                del self._jobs[job_id]

    def settings_changed(self) -> None:
        self._pump()

    def _get(self, job_id: int) -> Job:
        job = self._jobs.get(job_id)
        if job is None:
            raise errors.UserError("没有这个任务", 404)
        return job

    # ---- scheduling ----

    def _pump(self) -> None:
        limit = self.settings.get()["concurrency"]
        with self._lock:
            if self._closing:
                return
            running = sum(1 for j in self._jobs.values() if j.state.running)
            for job in self._jobs.values():
                if running >= limit:
                    break
                if job.state is not State.QUEUED:
                    continue
                job.state = State.DOWNLOADING
                job.attempt += 1
                running += 1
                job.thread = threading.Thread(
                    target=self._run, args=(job, job.attempt, job.cancel_event, job.group),
                    name=f"download-{job.id}", daemon=True,
                )
                job.thread.start()

    def _current(self, job: Job, attempt: int) -> bool:
        """True while this attempt is still the job's live one (not cancelled, not superseded)."""
        return job.attempt == attempt and job.state.running and not self._closing

    def _run(self, job: Job, attempt: int, cancel_event: threading.Event, group: processes.ProcessGroup) -> None:
        tag = f"[下载 #{job.id}]"
        staging = None
        try:
            folder = self.settings.get()["download_dir"]
            try:
                os.makedirs(folder, exist_ok=True)
                staging = tempfile.mkdtemp(prefix=STAGING_PREFIX, dir=folder)
            except OSError as e:
                raise errors.UserError(errors.describe(e)) from e
            with self._lock:
                if not self._current(job, attempt):
                    raise _Cancelled()
                job.staging = staging
            say(f"{tag} 开始：{job.url}")
            with processes.owned_by(group):
                info = self._download(job, attempt, cancel_event, staging, tag)
            files = _final_files(info, staging)
            if not files:
                raise errors.UserError("下载完成，但没有得到任何文件")
            # Placing holds the lock so that a cancel either comes before it
            # (and nothing appears in the folder) or finds the job done.
            with self._lock:
                if not self._current(job, attempt):
                    raise _Cancelled()
                placed = [_place(f, folder) for f in files]
                # Whoever sees "done" finds only the finished files.
                shutil.rmtree(staging, ignore_errors=True)
                title = (info or {}).get("title") or os.path.splitext(os.path.basename(placed[0]))[0]
                job.files = placed
                job.title = title
                job.state = State.DONE
                job.progress = 1.0
                job.speed = None
                job.eta = None
            for p in placed:
                self.history.add(job.url, title, p, os.path.getsize(p), job.format)
            say(f"{tag} 完成：{', '.join(os.path.basename(p) for p in placed)}")
        except _Cancelled:
            pass
        except BaseException as e:  # noqa: BLE001  (nothing may escape a download thread)
            if cancel_event.is_set() or type(e).__name__ == "DownloadCancelled":
                pass
            else:
                message = e.message if isinstance(e, errors.UserError) else errors.describe(e)
                if staging:
                    shutil.rmtree(staging, ignore_errors=True)
                with self._lock:
                    if job.attempt == attempt and job.state.running:
                        job.state = State.FAILED
                        job.error = message
                        job.speed = None
                say(f"{tag} 失败：{message}（{errors.short_reason(e)}）")
        finally:
            if staging:
                shutil.rmtree(staging, ignore_errors=True)
            with self._lock:
                if job.attempt == attempt:
                    job.staging = None
            self._pump()

    def _download(self, job: Job, attempt: int, cancel_event: threading.Event, staging: str, tag: str) -> Any:
        ydl_mod = yt_dlp()

        def progress(d: dict[str, Any]) -> None:
            if cancel_event.is_set() or self._closing:
                raise ydl_mod.utils.DownloadCancelled("cancelled")
            if d.get("status") != "downloading":
                return
            done = d.get("downloaded_bytes") or 0
            total = d.get("total_bytes") or d.get("total_bytes_estimate")
            with self._lock:
                if job.attempt != attempt:
                    return
                job.downloaded = done
                job.total = total
                job.speed = d.get("speed")
                job.eta = d.get("eta")
                job.progress = (done / total) if total else None
                if not job.title:
                    job.title = (d.get("info_dict") or {}).get("title") or ""
                step = int(job.progress * 4) if job.progress else 0
                report = job.reported < step < 4
                if report:
                    job.reported = step
            if report:
                say(f"{tag} {step * 25}%")

        def postprocess(d: dict[str, Any]) -> None:
            if cancel_event.is_set() or self._closing:
                raise ydl_mod.utils.DownloadCancelled("cancelled")
            if d.get("status") == "started":
                with self._lock:
                    if job.attempt == attempt and job.state is State.DOWNLOADING:
                        job.state = State.PROCESSING
                        job.speed = None

        params: dict[str, Any] = {
            "quiet": True,
            "noprogress": True,
            "no_color": True,
            "logger": _Logger(tag),
            "outtmpl": {"default": os.path.join(staging, "%(title).150B.%(ext)s")},
            "paths": {},
            "cachedir": False,
            "noplaylist": True,
            "socket_timeout": 20,
            "retries": 3,
            "fragment_retries": 3,
            "overwrites": True,
            "continuedl": False,
            "updatetime": False,
            "progress_hooks": [progress],
            "postprocessor_hooks": [postprocess],
        }
        if job.format is Format.AUDIO:
            params["format"] = "bestaudio/best"
            params["postprocessors"] = [
                {"key": "FFmpegExtractAudio", "preferredcodec": "mp3", "preferredquality": "192"},
            ]
        with ydl_mod.YoutubeDL(params) as ydl:
            info = ydl.extract_info(job.url, download=True)
            with self._lock:
                if info and info.get("title"):
                    job.title = info["title"]
            return info

    # ---- shutdown ----

    def shutdown(self, wait: float = 0.5) -> int:
        """Cancels every download, ends the processes they started and removes their partial files."""
        with self._lock:
            self._closing = True
            active = [j for j in self._jobs.values() if j.state.running]
            for j in active:
                j.cancel_event.set()
        processes.end_own_group()
        for j in active:
            j.group.end()
        deadline = time.monotonic() + wait
        for j in active:
            if j.thread is not None:
                j.thread.join(max(0.0, deadline - time.monotonic()))
        for j in active:
            if j.staging:
                shutil.rmtree(j.staging, ignore_errors=True)
        return len(active)
