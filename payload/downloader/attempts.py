"""Running one attempt of a download: its staging folder, the download process with the current
engine, the events it sends, and what an attempt that did not finish leaves behind."""

import os
import tempfile
import threading
import time
from typing import TYPE_CHECKING, Any

from . import errors, extras, processes, worker
from .engines import Engines
from .job import Job
from .log import say
from .model import State
from .names import inside, safe_folder_name, visible
from .store import StorageError
from .options import format_options
from .leftovers import discard, has_data, write_record
from .placement import STAGING_PREFIX, Placing, missing_folder
from .settings import Settings, default_download_dir

if TYPE_CHECKING:
    # For the type alone: ask.py uses the server's own engine, which the queue does not need.
    from .ask import Ask


# The most one read of a download hands over.
BLOCK = 1 << 20


class Cancelled(Exception):
    pass


class Attempts(Placing):
    """One thread per running attempt; a newer attempt, a pause, a cancel or the stop makes it stale."""

    SAVE_INTERVAL = 1.0

    settings: Settings
    engines: Engines
    ask: "Ask"
    _starter: worker.Starter
    _closing: bool

    def _pump(self) -> None:
        """Starts what the queue lets run; the queue's own."""
        raise NotImplementedError

    def _current(self, job: Job, attempt: int) -> bool:
        """True while this attempt is still the job's live one (not cancelled, paused or superseded)."""
        return job.attempt == attempt and job.state.running and not self._closing

    def _run(self, job: Job, attempt: int, cancel_event: threading.Event, holdings: processes.Holdings) -> None:
        tag = f"[下载 #{job.id}]"
        staging: str | None = None
        try:
            if job.placing:
                # Downloaded before; only putting the files in place failed.
                self._finish_or_fail(job, attempt, tag)
                return
            self._note(job, state=State.DOWNLOADING.value, error="")
            staging = self._prepare(job, attempt, tag)
            files, title, height = self._download(job, attempt, cancel_event, holdings, staging, tag)
            if not files:
                raise errors.UserError("下载完成，但没有得到任何文件")
            title = visible(title or os.path.splitext(os.path.basename(files[0]))[0])
            folder = self._folder_of(job, staging)
            with self._lock:
                if not self._current(job, attempt):
                    raise Cancelled()
                job.title = title
                job.got = job.format.saved(height)
                job.placing = [(f, "") for f in files]
            self._place(job, folder)
            self._finish_or_fail(job, attempt, tag)
        except BaseException as e:  # noqa: BLE001  (nothing may escape a download thread)
            self._ended(job, attempt, cancel_event, e, tag)
        finally:
            with self._lock:
                if job.attempt == attempt:
                    job.live = False
                # A cancel removes the staging folder at once, but yt-dlp creates a missing
                # folder again if it had not yet opened its file; what the job no longer owns goes.
                orphan = staging is not None and staging != job.staging
            if orphan and staging:
                discard(staging)
            self._pump()

    def _prepare(self, job: Job, attempt: int, tag: str) -> str:
        """The job's staging folder: the one from an earlier attempt if it is still there, else a new one."""
        if job.staging and os.path.isdir(job.staging):
            say(f"{tag} 继续：{job.url}（已有 {job.downloaded} 字节）")
            return job.staging
        if job.staging:
            say(f"{tag} 找不到上次的暂存文件夹 {job.staging}，从头下载")
        folder = self.settings.get()["download_dir"]
        if not os.path.isdir(folder):
            if os.path.normpath(folder) != os.path.normpath(default_download_dir()):
                # An unplugged drive: creating the path would fill the disk it was mounted on.
                partial = bool(job.staging) and job.downloaded > 0 and os.path.dirname(
                    os.path.normpath(job.staging or "")) == os.path.normpath(folder)
                raise errors.UserError(missing_folder(folder, partial))
            try:
                os.makedirs(folder, exist_ok=True)
            except OSError as e:
                raise errors.UserError(errors.describe(e)) from e
        try:
            staging = tempfile.mkdtemp(prefix=STAGING_PREFIX, dir=folder)
        except OSError as e:
            raise errors.UserError(errors.describe(e)) from e
        # Journaled before a byte arrives, so that a start after a crash keeps it; recorded in the folder
        # too, so that the data can be offered back if the journal is lost.
        write_record(staging, job.url, job.format.value, job.title, job.folder, job.extras)
        self._note(job, staging=staging, downloaded=0, total=None)
        with self._lock:
            if not self._current(job, attempt):
                discard(staging)
                raise Cancelled()
            job.staging = staging
            job.reset_progress()
        say(f"{tag} 开始：{job.url}")
        return staging

    @staticmethod
    def _folder_of(job: Job, staging: str) -> str:
        """Where the job's files go, created if need be: the download folder (the staging
        folder's parent) or the job's sub-folder of it."""
        parent = os.path.dirname(staging)
        if not job.folder:
            return parent
        folder = os.path.join(parent, job.folder)
        # The name was made safe when the job was added; a journal edited since must not lead elsewhere.
        if job.folder != safe_folder_name(job.folder) or not inside(folder, parent):
            raise errors.UserError(f"文件夹名称“{job.folder}”无法使用。已下载的数据还在，请移除这个任务后重新添加。")
        try:
            os.makedirs(folder, exist_ok=True)
        except OSError as e:
            raise errors.UserError(errors.describe(e).rstrip("。") + "。已下载的数据还在，处理后请点击重试。") from e
        if not inside(folder, parent):
            raise errors.UserError(f"文件夹“{job.folder}”指向下载文件夹以外的位置。已下载的数据还在，请移走它后点击重试。")
        return folder

    def _ended(self, job: Job, attempt: int, cancel_event: threading.Event, e: BaseException, tag: str) -> None:
        """What an attempt that did not finish leaves: a paused, cancelled, interrupted or failed job."""
        with self._lock:
            live = job.attempt == attempt
            state = job.state
            staging = job.staging
            progress = {"downloaded": job.downloaded, "total": job.total}
        stopped = isinstance(e, Cancelled) or cancel_event.is_set() or type(e).__name__ == "DownloadCancelled"
        if stopped or self._closing:
            if live and state is State.CANCELLED and staging:
                discard(staging)
            elif live:
                # Paused or interrupted by the server's stop: the partial data stays for the next attempt.
                self._note(job, **progress)
            return
        message = e.message if isinstance(e, errors.UserError) else str(e) if isinstance(
            e, StorageError) else errors.describe(e)
        with self._lock:
            if not (live and job.state.running):
                return
            job.state = State.FAILED
            job.error = message
            job.speed = job.eta = None
            # A failure before the first byte leaves nothing worth keeping for a retry.
            empty = bool(staging) and not has_data(staging or "")
            if empty:
                job.staging = None
        if empty and staging:
            discard(staging)
        self._note(job, state=State.FAILED.value, error=message, **progress,
                   **({"staging": None} if empty else {}))
        reason = e.reason if isinstance(e, worker.Failure) else errors.short_reason(e)
        say(f"{tag} 失败：{message}" + ("" if reason in message else f"（{reason}）"))

    def _download(self, job: Job, attempt: int, cancel_event: threading.Event, holdings: processes.Holdings,
                  staging: str, tag: str) -> tuple[list[str], str, object]:
        """Runs the download in its own process with the current engine; returns its files, title and
        the height the engine chose (as the engine gave it: Format.saved checks it)."""
        own: dict[str, Any] = {
            "outtmpl": {"default": os.path.join(staging, "%(title).150B.%(ext)s")},
            "paths": {},
            "noplaylist": True,
            "retries": 3,
            "fragment_retries": 3,
            # A finished file in the staging folder is kept and a partial one continued.
            "overwrites": False,
            "continuedl": True,
            # Each read hands over what one receive brought (processes._PromptResponse), so
            # progress shows even on a slow line and a crash loses no more than that; a slow
            # line therefore needs no small reads, and the engine's own growth to 4 MiB blocks
            # makes a fast one slower (a block that outgrows the CPU's cache is copied through
            # memory twice). Its progress line, never shown, is formatted once a second, not
            # for every block.
            "buffersize": BLOCK,
            "noresizebuffer": True,
            "progress_delta": 1.0,
            "updatetime": False,
        }
        own.update(format_options(job.format))
        # Subtitles, cover and metadata come after the format's own post-processors.
        extra_params, extra_pps = extras.engine_options(job.extras)
        own.update(extra_params)
        own["postprocessors"] = own.get("postprocessors", []) + extra_pps
        for _ in range(2):
            with self.engines.use() as engine:
                # The proxy, cookies, runtime and cache every request to a site gets; the process copies the cookies.
                params = {**self.ask.params(self.settings.get(), engine.params, engine.version), **own}
                request = {"url": job.url, "staging": staging, "tag": tag, "params": params, "extras": job.extras,
                           "engine": {"version": engine.version}}
                process = self._starter.start(request, engine.sys_path)
                # A pause or cancel from now on ends the process; one that came already ends it at once.
                holdings.add(process)
                try:
                    outcome = self._follow(job, attempt, process, tag)
                    how = worker.ended(process)
                finally:
                    worker.close(process)
                    self._starter.ended()
            # An engine that does not import is not tried again: the previous one takes its place, once.
            if not (outcome.get("broken") and self.engines.broken(engine.sys_path, str(outcome.get("reason")))):
                break
        if "done" in outcome:
            done = outcome["done"]
            files = [f for f in done.get("files") or [] if isinstance(f, str)]
            return files, str(done.get("title") or ""), done.get("height")
        if cancel_event.is_set() or self._closing:
            raise Cancelled()
        if "error" in outcome:
            raise worker.Failure(str(outcome["error"]), str(outcome.get("reason") or ""))
        kept = "已下载的部分会保留，" if has_data(staging) else ""
        raise worker.Failure(f"下载进程意外结束了（{how}）。{kept}可以点击重试。", how)

    def _follow(self, job: Job, attempt: int, process: Any, tag: str) -> dict[str, Any]:
        """Applies the download process's events to job; returns its last word (done or error), if any."""
        outcome: dict[str, Any] = {}
        for event in worker.events(process):
            if "progress" in event:
                self._progress(job, attempt, event["progress"], tag)
            elif "retry" in event:
                n = int(event["retry"])
                with self._lock:
                    if job.attempt == attempt:
                        job.retries = n
                say(f"{tag} 连接中断，第 {n} 次重试")
            elif "processing" in event or "downloading" in event:
                now, then = ((State.DOWNLOADING, State.PROCESSING) if "processing" in event
                             else (State.PROCESSING, State.DOWNLOADING))
                with self._lock:
                    if job.attempt == attempt and job.state is now:
                        job.state = then
                        job.speed = None
            elif "log" in event:
                say(str(event["log"]))
            elif "done" in event or "error" in event:
                outcome = event
        return outcome

    def _progress(self, job: Job, attempt: int, d: dict[str, Any], tag: str) -> None:
        done = d.get("downloaded") or 0
        total = d.get("total")
        with self._lock:
            if job.attempt != attempt:
                return
            now = time.monotonic()
            save = now - job.saved_at >= self.SAVE_INTERVAL
            if save:
                job.saved_at = now
            if done > job.downloaded:
                job.last_data = now
            job.downloaded = done
            job.total = total
            job.speed = d.get("speed")
            job.eta = d.get("eta")
            job.progress = (done / total) if total else None
            if not job.title:
                job.title = d.get("title") or ""
            step = int(job.progress * 4) if job.progress else 0
            report = job.reported < step < 4
            if report:
                job.reported = step
        if report:
            say(f"{tag} {step * 25}%")
        if save:
            # How far it got, for the page after a restart; the partial file itself is the truth.
            self._note(job, downloaded=done, total=total, title=job.title)
