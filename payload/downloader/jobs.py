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

from . import errors, processes

STAGING_PREFIX = ".zormak-partial-"
MAX_PER_PASTE = 100
ACTIVE = ("downloading", "processing")

_yt_dlp = None
_yt_dlp_lock = threading.Lock()


def yt_dlp():
    """yt-dlp takes a moment to import; the first caller pays, the others wait."""
    global _yt_dlp
    with _yt_dlp_lock:
        if _yt_dlp is None:
            import yt_dlp as module
            import yt_dlp.postprocessor  # noqa: F401  (registers the ffmpeg post-processors)
            _yt_dlp = module
        return _yt_dlp


def say(text):
    print(text, flush=True)


class _Logger:
    """yt-dlp's messages as single log lines; its chatter is dropped."""

    def __init__(self, tag):
        self.tag = tag

    def debug(self, msg):
        pass

    def info(self, msg):
        pass

    def warning(self, msg):
        say(f"{self.tag} 提示：{msg.splitlines()[0] if msg else ''}")

    def error(self, msg):
        say(f"{self.tag} yt-dlp：{errors.short_reason(Exception(msg))}")


class _Cancelled(Exception):
    pass


class Job:
    def __init__(self, job_id, url, fmt):
        self.id = job_id
        self.url = url
        self.format = fmt
        self.title = ""
        self.state = "queued"
        self.error = ""
        self.files = []
        self.attempt = 0
        self.created = time.time()
        self._reset_progress()
        self.cancel_event = threading.Event()
        self.staging = None
        self.thread = None

    def _reset_progress(self):
        self.downloaded = 0
        self.total = None
        self.speed = None
        self.eta = None
        self.progress = None
        self._reported = 0

    def public(self):
        return {
            "id": self.id, "url": self.url, "format": self.format, "title": self.title,
            "state": self.state, "error": self.error, "files": [os.path.basename(f) for f in self.files],
            "downloaded": self.downloaded, "total": self.total, "speed": self.speed, "eta": self.eta,
            "progress": self.progress, "created": self.created,
        }


def _unique_destination(folder, name):
    stem, ext = os.path.splitext(name)
    for n in itertools.count():
        candidate = os.path.join(folder, name if n == 0 else f"{stem} ({n}){ext}")
        if not os.path.lexists(candidate):
            yield candidate


def _place(src, folder):
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


def _inside(path, folder):
    path = os.path.realpath(path)
    folder = os.path.realpath(folder)
    return os.path.commonpath([path, folder]) == folder and path != folder


def _final_files(info, staging):
    """The files yt-dlp reports as its results, kept only if they are inside staging."""
    found = []

    def walk(node):
        if not isinstance(node, dict):
            return
        for d in node.get("requested_downloads") or []:
            p = d.get("filepath") or d.get("filename")
            if p:
                found.append(p)
        for entry in node.get("entries") or []:
            walk(entry)

    walk(info)
    result = []
    for p in found:
        if p not in result and os.path.isfile(p) and _inside(p, staging):
            result.append(p)
    return result


def sweep_staging(folder):
    """Removes staging folders a killed server left behind."""
    try:
        names = os.listdir(folder)
    except OSError:
        return
    for name in names:
        if name.startswith(STAGING_PREFIX):
            shutil.rmtree(os.path.join(folder, name), ignore_errors=True)


class Manager:
    def __init__(self, settings, history):
        self.settings = settings
        self.history = history
        self._lock = threading.Lock()
        self._jobs = {}
        self._ids = itertools.count(1)
        self._closing = False
        sweep_staging(settings.get()["download_dir"])

    # ---- queries and commands from the web layer ----

    def list(self):
        with self._lock:
            return [j.public() for j in self._jobs.values()]

    def add(self, text, fmt=None):
        if not isinstance(text, str):
            raise errors.UserError("请粘贴至少一个网址")
        fmt = fmt or self.settings.get()["format"]
        if fmt not in ("video", "audio"):
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
                job = Job(next(self._ids), w, fmt)
                self._jobs[job.id] = job
                added.append(job.public())
            say(f"[下载 #{job.id}] 已加入队列：{w}")
        self._pump()
        return added, rejected

    def cancel(self, job_id):
        with self._lock:
            job = self._get(job_id)
            if job.state not in ("queued",) + ACTIVE:
                raise errors.UserError("这个任务已经结束，无法取消", 409)
            was_active = job.state in ACTIVE
            job.state = "cancelled"
            job.error = ""
            job.cancel_event.set()
            staging = job.staging
            result = job.public()
        if was_active and staging:
            # The thread may be waiting on a silent server; end its ffmpeg and its
            # partial files now rather than when it next wakes up.
            processes.end([pid for pid, args in processes.descendants() if staging in args])
            shutil.rmtree(staging, ignore_errors=True)
        say(f"[下载 #{job_id}] 已取消")
        self._pump()
        return result

    def retry(self, job_id):
        with self._lock:
            job = self._get(job_id)
            if job.state not in ("failed", "cancelled"):
                raise errors.UserError("只有失败或已取消的任务可以重试", 409)
            job.state = "queued"
            job.error = ""
            job._reset_progress()
            job.cancel_event = threading.Event()
            result = job.public()
        say(f"[下载 #{job_id}] 重试")
        self._pump()
        return result

    def remove(self, job_id):
        with self._lock:
            job = self._get(job_id)
            if job.state in ("queued",) + ACTIVE:
                raise errors.UserError("请先取消这个任务，再移除", 409)
            del self._jobs[job_id]

    def clear_finished(self):
        with self._lock:
            for job_id in [j.id for j in self._jobs.values() if j.state in ("done", "failed", "cancelled")]:
                del self._jobs[job_id]

    def settings_changed(self):
        self._pump()

    def _get(self, job_id):
        job = self._jobs.get(job_id)
        if job is None:
            raise errors.UserError("没有这个任务", 404)
        return job

    # ---- scheduling ----

    def _pump(self):
        limit = self.settings.get()["concurrency"]
        with self._lock:
            if self._closing:
                return
            running = sum(1 for j in self._jobs.values() if j.state in ACTIVE)
            for job in self._jobs.values():
                if running >= limit:
                    break
                if job.state != "queued":
                    continue
                job.state = "downloading"
                job.attempt += 1
                running += 1
                job.thread = threading.Thread(
                    target=self._run, args=(job, job.attempt, job.cancel_event),
                    name=f"download-{job.id}", daemon=True,
                )
                job.thread.start()

    def _current(self, job, attempt):
        """True while this attempt is still the job's live one (not cancelled, not superseded)."""
        return job.attempt == attempt and job.state in ACTIVE and not self._closing

    def _run(self, job, attempt, cancel_event):
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
                job.state = "done"
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
                    if job.attempt == attempt and job.state in ACTIVE:
                        job.state = "failed"
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

    def _download(self, job, attempt, cancel_event, staging, tag):
        ydl_mod = yt_dlp()

        def progress(d):
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
                report = step > job._reported and step < 4
                if report:
                    job._reported = step
            if report:
                say(f"{tag} {step * 25}%")

        def postprocess(d):
            if cancel_event.is_set() or self._closing:
                raise ydl_mod.utils.DownloadCancelled("cancelled")
            if d.get("status") == "started":
                with self._lock:
                    if job.attempt == attempt and job.state == "downloading":
                        job.state = "processing"
                        job.speed = None

        params = {
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
        if job.format == "audio":
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

    def shutdown(self, wait=0.5):
        """Cancels every download, ends the processes they started and removes their partial files."""
        with self._lock:
            self._closing = True
            active = [j for j in self._jobs.values() if j.state in ACTIVE]
            for j in active:
                j.cancel_event.set()
        children = [pid for pid, _ in processes.descendants()]
        if children:
            processes.end(children, grace=0.3)
        deadline = time.monotonic() + wait
        for j in active:
            if j.thread is not None:
                j.thread.join(max(0.0, deadline - time.monotonic()))
        for j in active:
            if j.staging:
                shutil.rmtree(j.staging, ignore_errors=True)
        return len(active)
