"""The download queue: one thread per running download, yt-dlp doing the work in its own process.

Every job is journaled in the store before the server acts on it. The
staging folder outlives a pause, a failure, a quit and a crash, and the next
attempt continues its partial file (yt-dlp asks the site for the missing
range).
"""

import threading
import time
from typing import TYPE_CHECKING, Any

from . import addresses, errors, extras, leftovers, processes, worker
from .attempts import Attempts
from .engine_loader import ready_key
from .engines import Engines
from .job import Job, job_from_row
from .leftover_jobs import LeftoverCommands
from .log import say
from .model import Format, State, parse_format
from .names import safe_folder_name
from .settings import Settings
from .starthold import StartHold
from .store import StorageError, Store

if TYPE_CHECKING:
    from .ask import Ask

MAX_PER_PASTE = 100


def _same(url: str, key: tuple[str, str] | None, other: str, other_key: tuple[str, str] | None) -> bool:
    """True if two addresses name one video: by their video keys when both are known, else by the
    addresses alone."""
    if key is not None and other_key is not None:
        return key == other_key
    return addresses.address_key(url) == addresses.address_key(other)


class Manager(Attempts, LeftoverCommands):
    """The queue. Commands change the journal first and the jobs in memory second, one command at a time."""

    def __init__(self, settings: Settings, store: Store, engines: Engines, ask: "Ask",
                 hold: StartHold | None = None) -> None:
        self.settings = settings
        self.store = store
        # Which engine a new download uses.
        self.engines = engines
        # What it is given besides the job's own choices.
        self.ask = ask
        # Downloads wait while an old engine is brought up to date at start.
        self._hold = hold or StartHold()
        self._starter = worker.Starter()
        self._lock = threading.Lock()
        # Serialises the commands, so that the journal and memory change in the same order.
        self._command = threading.RLock()
        # One placement at a time, so that two jobs never pick the same free name.
        self._placing = threading.Lock()
        self._jobs: dict[int, Job] = {}
        # Partial downloads found at start that no job owns, until resumed or deleted.
        self.leftovers: list[leftovers.Leftover] = []
        self._closing = False
        self._hold.on_release(self._pump)
        self._restore()
        self._pump()

    def _restore(self) -> None:
        """Brings back the journal's jobs: interrupted ones queue again, half-placed ones are finished."""
        try:
            rows = self.store.jobs()
        except StorageError as e:
            say(f"[下载] 无法读取下载队列：{e}")
            rows = []
        interrupted = 0
        for row in rows:
            self._jobs[row.id] = job = job_from_row(row)
            if row.state in (State.DOWNLOADING.value, State.PROCESSING.value):
                interrupted += 1
        # Partial data no job owns is offered back, never swept away: its journal may be the one set aside.
        # A journal held in memory leaves the real one's folders alone.
        if not self.store.in_memory:
            self.leftovers = leftovers.find(self.settings.get()["download_dir"],
                                            {j.staging for j in self._jobs.values() if j.staging})
        for job in list(self._jobs.values()):
            if job.placing:
                # The server stopped while putting this job's files in place.
                self._finish_or_fail(job, job.attempt, f"[下载 #{job.id}]")
        if rows:
            say(f"[下载] 从上次运行恢复了 {len(rows)} 个任务，其中 {interrupted} 个被中断的下载会继续")

    # ---- queries and commands from the web layer ----

    def snapshot(self) -> list[dict[str, Any]]:
        with self._lock:
            return [j.public() for j in self._jobs.values()]

    def engine_update(self) -> str | None:
        """What the queue says while the engine is brought up to date at start, else None."""
        return self._hold.notice()

    def add(self, text: object, fmt: object = None, choice: dict[str, Any] | None = None,
            force: bool = False) -> dict[str, Any]:
        """Queues every address found in text.

        An address of a video that is already queued or was downloaded before
        is not added unless force is set; it comes back under "duplicates" so
        that the page can ask. Lines without a usable address come back under
        "unusable", each with its message in "errors"."""
        if not isinstance(text, str):
            raise errors.UserError("请粘贴至少一个网址")
        # What the page does not choose comes from the settings, and stays with the job.
        job_extras = extras.check(choice or {}, self.settings.get())
        chosen = self._chosen_format(fmt)
        if not text.strip():
            raise errors.UserError("请粘贴至少一个网址")
        paste = addresses.extract(text)
        if len(paste.addresses) > MAX_PER_PASTE:
            raise errors.UserError(f"一次最多添加 {MAX_PER_PASTE} 个网址")
        wanted = self._unique(paste.addresses)
        duplicates: list[dict[str, Any]] = [] if force else self._duplicates(wanted)
        skip = {d["url"] for d in duplicates}
        added, rejected = self._enqueue([(w, "", key) for w, key in wanted if w not in skip], chosen, "",
                                        job_extras)
        return {"added": added, "errors": list(paste.errors) + rejected, "unusable": paste.unusable,
                "duplicates": duplicates}

    def add_entries(self, entries: list[tuple[str, str]], fmt: object, folder: str,
                    choice: dict[str, Any] | None = None) -> tuple[list[dict[str, Any]], list[str]]:
        """One job per (address, title), all saving into folder inside the download folder."""
        job_extras = extras.check(choice or {}, self.settings.get())
        chosen = self._chosen_format(fmt)
        if not entries:
            raise errors.UserError("请至少选择一个视频")
        if folder != safe_folder_name(folder) or folder in (".", ".."):
            raise errors.UserError("文件夹名称不能用作文件夹")
        return self._enqueue([(w, title, None) for w, title in entries], chosen, folder, job_extras)

    def _chosen_format(self, fmt: object) -> Format:
        chosen = parse_format(fmt or self.settings.get()["format"])
        if chosen is None:
            raise errors.UserError("格式只能是“最佳”、“1080p”、“720p”、“480p”、“仅音频”（M4A、MP3、Opus）或解析出的某个格式")
        return chosen

    def _enqueue(self, entries: list[tuple[str, str, tuple[str, str] | None]], chosen: Format, folder: str,
                 job_extras: dict[str, Any]) -> tuple[list[dict[str, Any]], list[str]]:
        """Journals and queues one job per (address, title, video key)."""
        added: list[dict[str, Any]] = []
        rejected: list[str] = []
        for w, title, key in entries:
            try:
                errors.check_address(w)
            except errors.UserError as e:
                rejected.append(e.message)
                continue
            created = time.time()
            with self._command:
                try:
                    job_id = self.store.add_job(w, chosen.value, State.QUEUED.value, created, job_extras, title, folder)
                except StorageError as e:
                    if not added:
                        raise errors.UserError(str(e), 503) from e
                    rejected.append(str(e))
                    break
                with self._lock:
                    job = Job(job_id, w, chosen, title=title, created=created, key=key, extras=dict(job_extras),
                              folder=folder)
                    self._jobs[job.id] = job
                    added.append(job.public())
            say(f"[下载 #{job.id}] 已加入队列：{w}" + (f"（保存到文件夹 {folder}）" if folder else ""))
        self._pump()
        return added, rejected

    @staticmethod
    def _unique(urls: list[str]) -> list[tuple[str, tuple[str, str] | None]]:
        """The addresses with their video keys (None while the engine is not at hand); a second address
        of a video in the same paste is dropped."""
        result: list[tuple[str, tuple[str, str] | None]] = []
        for url in urls:
            key = ready_key(url)
            if not any(_same(url, key, u, k) for u, k in result):
                result.append((url, key))
        return result

    def _duplicates(self, wanted: list[tuple[str, tuple[str, str] | None]]) -> list[dict[str, Any]]:
        """The wanted videos that are in the queue or in the archive of finished downloads.

        Until the engine is imported, a video is recognised by its address alone: the
        same address is caught, another address of the same video is not."""
        with self._lock:
            jobs = list(self._jobs.values())
        for j in jobs:
            if j.key is None:
                j.key = ready_key(j.url)
        try:
            archived = self.store.archived([k for _, k in wanted if k is not None])
            by_address = self.store.archived_addresses([u for u, k in wanted if k is None])
        except StorageError as e:
            # Without the archive the question cannot be asked; the download itself is harmless.
            say(f"[下载] 无法读取下载档案：{e}")
            archived, by_address = {}, {}
        found: list[dict[str, Any]] = []
        for url, key in wanted:
            # "Downloaded before" is the stronger reason to hesitate, and a finished row in the queue is that too.
            same = next((j for j in jobs if _same(url, key, j.url, j.key)), None)
            before = archived.get(key) if key is not None else by_address.get(url)
            if before is not None:
                title, finished = before
                found.append({"url": url, "where": "history", "title": title, "finished_at": finished})
            elif same is not None:
                found.append({"url": url, "where": "queue", "title": same.title or same.url, "state": same.state.value})
        return found

    def pause(self, job_id: int) -> dict[str, Any]:
        with self._command:
            with self._lock:
                job = self._get(job_id)
                if not job.state.pausable:
                    raise errors.UserError("只有排队中或正在下载的任务可以暂停", 409)
                self._refuse_while_placing(job)
            self._journal(job, state=State.PAUSED.value, downloaded=job.downloaded, total=job.total)
            with self._lock:
                job.state = State.PAUSED
                job.speed = job.eta = None
                job.cancel_event.set()
                holdings = job.holdings
                result = job.public()
        # Closing the connections wakes a thread that waits on a silent server.
        holdings.end()
        say(f"[下载 #{job_id}] 已暂停")
        self._pump()
        return result

    def resume(self, job_id: int) -> dict[str, Any]:
        return self._requeue(job_id, State.PAUSED, "只有已暂停的任务可以继续", "继续")

    def retry(self, job_id: int) -> dict[str, Any]:
        return self._requeue(job_id, None, "只有失败或已取消的任务可以重试", "重试")

    def _requeue(self, job_id: int, expected: State | None, refusal: str, verb: str) -> dict[str, Any]:
        with self._command:
            with self._lock:
                job = self._get(job_id)
                allowed = job.state is expected if expected else job.state.retryable
                if not allowed:
                    raise errors.UserError(refusal, 409)
            self._journal(job, state=State.QUEUED.value, error="")
            with self._lock:
                if job.state is State.CANCELLED:
                    job.reset_progress()
                job.state = State.QUEUED
                job.error = ""
                job.speed = job.eta = None
                job.cancel_event = threading.Event()
                job.holdings = processes.Holdings()
                result = job.public()
        say(f"[下载 #{job_id}] {verb}")
        self._pump()
        return result

    def cancel(self, job_id: int) -> dict[str, Any]:
        with self._command:
            with self._lock:
                job = self._get(job_id)
                if not job.state.open:
                    raise errors.UserError("这个任务已经结束，无法取消", 409)
                self._refuse_while_placing(job)
            self._journal(job, state=State.CANCELLED.value, error="", staging=None, downloaded=0, total=None)
            with self._lock:
                job.state = State.CANCELLED
                job.error = ""
                job.cancel_event.set()
                staging, job.staging = job.staging, None
                holdings = job.holdings
                job.reset_progress()
                result = job.public()
        # The thread may be waiting on a silent server; end its ffmpeg, its
        # connections and its partial files now rather than when it wakes up.
        holdings.end()
        if staging:
            leftovers.discard(staging)
        say(f"[下载 #{job_id}] 已取消")
        self._pump()
        return result

    def remove(self, job_id: int) -> None:
        with self._command:
            with self._lock:
                job = self._get(job_id)
                if job.state.open:
                    raise errors.UserError("请先取消这个任务，再移除", 409)
            self._forget([job])

    def clear_finished(self) -> None:
        with self._command:
            with self._lock:
                ended = [j for j in self._jobs.values() if not j.state.open]
            self._forget(ended)

    def _forget(self, ended: list[Job]) -> None:
        try:
            self.store.delete_jobs([j.id for j in ended if j.state is not State.DONE])
        except StorageError as e:
            raise errors.UserError(str(e), 503) from e
        with self._lock:
            for j in ended:
                self._jobs.pop(j.id, None)
        # A failed job's partial data goes with it; the user gave up on it.
        for j in ended:
            if j.staging and not j.live:
                leftovers.discard(j.staging)

    def finished_file(self, job_id: int) -> str:
        """The file a finished job put in place; what the page may open is only ever this."""
        with self._lock:
            job = self._get(job_id)
            if job.state is not State.DONE or not job.files:
                raise errors.UserError("这个任务还没有下载完成，完成后才能打开文件", 409)
            return job.files[0]

    def settings_changed(self) -> None:
        self._pump()

    def busy(self) -> bool:
        """True while a download runs or the engine answers a request (listing, formats, subtitles)."""
        with self._lock:
            running = any(j.state.running or j.live for j in self._jobs.values())
        return running or processes.calls_running() > 0

    def _get(self, job_id: int) -> Job:
        job = self._jobs.get(job_id)
        if job is None:
            raise errors.UserError("没有这个任务", 404)
        return job

    @staticmethod
    def _refuse_while_placing(job: Job) -> None:
        if job.placing and job.live:
            raise errors.UserError("文件正在保存到下载文件夹，请稍候", 409)

    def _journal(self, job: Job, **values: Any) -> None:
        """Writes a command's change to the journal; the page learns why if it cannot."""
        try:
            self.store.update_job(job.id, **values)
        except StorageError as e:
            raise errors.UserError(str(e), 503) from e

    # ---- scheduling ----

    def _pump(self) -> None:
        limit = self.settings.get()["concurrency"]
        with self._lock:
            if self._closing or self._hold.held():
                return
            running = sum(1 for j in self._jobs.values() if j.state.running)
            for job in sorted(self._jobs.values(), key=lambda j: j.id):
                if running >= limit:
                    break
                # A paused attempt may still be winding down; it must not share the partial file.
                if job.state is not State.QUEUED or job.live:
                    continue
                job.state = State.DOWNLOADING
                job.attempt += 1
                job.live = True
                job.retries = 0
                job.last_data = time.monotonic()
                running += 1
                job.thread = threading.Thread(
                    target=self._run, args=(job, job.attempt, job.cancel_event, job.holdings),
                    name=f"download-{job.id}", daemon=True,
                )
                job.thread.start()
            idle = running == 0
        if idle:
            self._starter.idle()

    # ---- shutdown ----

    def shutdown(self, wait: float = 0.5) -> int:
        """Stops every download and the processes they started; their partial files stay for the next start."""
        with self._lock:
            self._closing = True
            active = [j for j in self._jobs.values() if j.state.running]
            for j in active:
                j.cancel_event.set()
        self._starter.close()
        processes.end_own_group()
        for j in active:
            j.holdings.end()
        deadline = time.monotonic() + wait
        for j in active:
            if j.thread is not None:
                j.thread.join(max(0.0, deadline - time.monotonic()))
        for j in active:
            self._note(j, downloaded=j.downloaded, total=j.total)
        return len(active)
