"""The download queue: one thread per running download, yt-dlp doing the work.

Each job downloads into its own hidden staging folder inside the download
folder, so that only finished files ever appear beside the user's other
files, and a cancelled job can be removed whole. The staging folder is on the
same file system as the destination, so the final move is a link or rename.

Every job is journaled in the store before the server acts on it. The
staging folder outlives a pause, a failure, a quit and a crash, and the next
attempt continues its partial file (yt-dlp asks the site for the missing
range). A finished job leaves the journal in the transaction that writes its
history rows; the files are linked into place before that transaction and
their names are journaled before that, so that a start after a crash can tell
which files are already in place.
"""

import contextlib
import errno
import itertools
import os
import shutil
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from types import ModuleType
from typing import TYPE_CHECKING, Any, Callable, ClassVar, Iterator

from . import addresses, errors, extras, processes, worker
from .log import say
from .model import BEST, Format, State, parse_format
from .engines import Engines
from .names import inside, kept_name, name_limit, safe_folder_name, safe_name, visible
from .options import format_options
from .settings import Settings, default_download_dir
from .starthold import StartHold
from .store import JobRow, StorageError, Store, iter_pairs

if TYPE_CHECKING:
    # For the type alone: ask.py imports this module for the server's own engine.
    from .ask import Ask

STAGING_PREFIX = ".zormak-partial-"
MAX_PER_PASTE = 100
# A download that got no bytes for this long shows as waiting, not at its last speed.
STALL_AFTER = 3.0

_yt_dlp: ModuleType | None = None
_yt_dlp_path: tuple[str, ...] = ()
_yt_dlp_lock = threading.Lock()
# Requests of the server's own that are using the imported engine right now.
_yt_dlp_users = 0
_engine_source: Callable[[], tuple[str, ...]] = tuple
_extractors: list[Any] | None = None


def use_engine(source: Callable[[], tuple[str, ...]]) -> None:
    """Where the server's own engine (for listing, formats, subtitles and address keys) comes from:
    source gives the active engine's sys.path entries. Downloads run theirs in their own process."""
    global _engine_source
    _engine_source = source


def _import_engine(path: tuple[str, ...]) -> ModuleType:
    """Imports the engine at path, in place of one imported before. Called with the lock held,
    while nothing uses the one before."""
    global _yt_dlp, _yt_dlp_path, _extractors
    for name in [n for n in sys.modules if n.split(".")[0] in ("yt_dlp", "yt_dlp_ejs")]:
        del sys.modules[name]
    sys.path[:] = [p for p in sys.path if p not in _yt_dlp_path]
    sys.path[:0] = path
    import yt_dlp as module
    import yt_dlp.postprocessor  # noqa: F401  (registers the ffmpeg post-processors)
    processes.track(module.utils.Popen)
    processes.track_engine_connections(module)
    _yt_dlp, _yt_dlp_path, _extractors = module, path, None
    return module


def _current_engine() -> ModuleType:
    """Called with the lock held: the imported engine, or the active one once nothing uses the old."""
    wanted = _engine_source()
    if _yt_dlp is None or (wanted != _yt_dlp_path and not _yt_dlp_users):
        return _import_engine(wanted)
    return _yt_dlp


def yt_dlp() -> ModuleType:
    """The server's own engine; yt-dlp takes a moment to import, so the first caller pays, the others wait.

    After an engine switch the next caller imports the new one, once no
    request of the server uses the old one any more (engine() marks a use)."""
    with _yt_dlp_lock:
        return _current_engine()


@contextlib.contextmanager
def engine() -> Iterator[ModuleType]:
    """The server's own engine for the block; it is not replaced while the block runs."""
    global _yt_dlp_users
    with _yt_dlp_lock:
        module = _current_engine()
        _yt_dlp_users += 1
    try:
        yield module
    finally:
        with _yt_dlp_lock:
            _yt_dlp_users -= 1


def _extractors_of(module: ModuleType) -> list[Any]:
    """The site extractors of module, which the caller holds in use."""
    global _extractors
    if _extractors is None:
        _extractors = list(module.extractor.gen_extractor_classes())
    return _extractors


def video_key(url: str) -> tuple[str, str]:
    """(site, video id) of an address, as the site extractors see it, without going online.
    Waits for the engine's import; a request should use ready_key."""
    with engine() as module:
        return addresses.video_key(url, _extractors_of(module))


_warming = threading.Lock()


def warm_up() -> None:
    """Imports the server's own engine and readies its address patterns, off the request path."""
    with _warming, engine() as module:
        # The first match compiles every extractor's pattern.
        addresses.video_key("https://127.0.0.1/", _extractors_of(module))


def ready_key(url: str) -> tuple[str, str] | None:
    """video_key(url) if the engine can give it at once; None while it is not imported yet (or is being
    replaced), and a warm-up is set going so that the next call can."""
    global _yt_dlp_users
    extractors = None
    if _yt_dlp_lock.acquire(timeout=0.05):
        try:
            if _yt_dlp is not None and _extractors is not None and _engine_source() == _yt_dlp_path:
                extractors = _extractors
                _yt_dlp_users += 1
        finally:
            _yt_dlp_lock.release()
    if extractors is None:
        if not _warming.locked():
            threading.Thread(target=warm_up, name="warm-up", daemon=True).start()
        return None
    try:
        return addresses.video_key(url, extractors)
    finally:
        with _yt_dlp_lock:
            _yt_dlp_users -= 1


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
    # The engine's retries of a broken connection in the current attempt.
    retries: int = 0
    extras: dict[str, Any] = field(default_factory=lambda: dict(extras.NONE))
    # The sub-folder of the download folder the files go to (a playlist's), "" for the folder itself.
    folder: str = ""
    # What only the server needs: the staging folder, the live attempt's
    # thread, its cancel signal and what it holds.
    staging: str | None = None
    # The files being put in place, as (staging file, destination) pairs.
    placing: list[tuple[str, str]] = field(default_factory=list)
    # A thread works on the job; a new attempt waits for it to end.
    live: bool = False
    reported: int = 0
    saved_at: float = 0.0
    cancel_event: threading.Event = field(default_factory=threading.Event)
    thread: threading.Thread | None = None
    holdings: processes.Holdings = field(default_factory=processes.Holdings)
    # When the current attempt last received bytes (time.monotonic()).
    last_data: float = 0.0
    # (site, video id), worked out when first needed.
    key: tuple[str, str] | None = None

    PUBLIC: ClassVar[tuple[str, ...]] = ("id", "url", "format", "title", "state", "error", "downloaded", "total",
                                         "speed", "eta", "progress", "created", "retries", "extras", "folder")

    def reset_progress(self) -> None:
        self.downloaded = 0
        self.total = None
        self.speed = None
        self.eta = None
        self.progress = None
        self.reported = 0

    def public(self) -> dict[str, Any]:
        result = {name: getattr(self, name) for name in self.PUBLIC}
        result["title"] = visible(self.title)
        result["files"] = [os.path.basename(f) for f in self.files]
        # yt-dlp reports only when bytes arrive; without them its last speed and
        # time left would stand still, as if the download were still moving.
        result["waiting"] = self.state is State.DOWNLOADING and time.monotonic() - self.last_data >= STALL_AFTER
        if result["waiting"]:
            result["speed"] = 0
            result["eta"] = None
        return result


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


def _same(url: str, key: tuple[str, str] | None, other: str, other_key: tuple[str, str] | None) -> bool:
    """True if two addresses name one video: by their video keys when both are known, else by the
    addresses alone."""
    if key is not None and other_key is not None:
        return key == other_key
    return addresses.address_key(url) == addresses.address_key(other)


def _has_files(folder: str) -> bool:
    try:
        return bool(os.listdir(folder))
    except OSError:
        return False


def sweep_staging(folder: str, keep: set[str]) -> None:
    """Removes staging folders that no job in the journal owns any more."""
    try:
        names = os.listdir(folder)
    except OSError:
        return
    for name in names:
        path = os.path.join(folder, name)
        if name.startswith(STAGING_PREFIX) and path not in keep:
            shutil.rmtree(path, ignore_errors=True)


def _missing_folder(folder: str) -> str:
    return (f"下载文件夹 {folder} 不存在。如果它在移动硬盘或网络位置上，请先接上它再点击重试，"
            "或者在设置中换一个下载文件夹。已下载的部分不会丢失。")


class Manager:
    """The queue. Commands change the journal first and the jobs in memory second, one command at a time."""

    SAVE_INTERVAL = 1.0

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
            self._jobs[row.id] = job = _job_from_row(row)
            if row.state in (State.DOWNLOADING.value, State.PROCESSING.value):
                interrupted += 1
        if self.store.complete:
            sweep_staging(self.settings.get()["download_dir"], {j.staging for j in self._jobs.values() if j.staging})
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
            shutil.rmtree(staging, ignore_errors=True)
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
                shutil.rmtree(j.staging, ignore_errors=True)

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

    def _note(self, job: Job, **values: Any) -> None:
        """Writes a download thread's change to the journal; a failure is logged, the download goes on."""
        try:
            self.store.update_job(job.id, **values)
        except StorageError as e:
            say(f"[下载 #{job.id}] 无法更新下载队列：{e}")

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
            files, title = self._download(job, attempt, cancel_event, holdings, staging, tag)
            if not files:
                raise errors.UserError("下载完成，但没有得到任何文件")
            title = visible(title or os.path.splitext(os.path.basename(files[0]))[0])
            folder = self._folder_of(job, staging)
            with self._lock:
                if not self._current(job, attempt):
                    raise _Cancelled()
                job.title = title
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
                shutil.rmtree(staging, ignore_errors=True)
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
                raise errors.UserError(_missing_folder(folder))
            try:
                os.makedirs(folder, exist_ok=True)
            except OSError as e:
                raise errors.UserError(errors.describe(e)) from e
        try:
            staging = tempfile.mkdtemp(prefix=STAGING_PREFIX, dir=folder)
        except OSError as e:
            raise errors.UserError(errors.describe(e)) from e
        # Journaled before a byte arrives, so that a start after a crash keeps it.
        self._note(job, staging=staging, downloaded=0, total=None)
        with self._lock:
            if not self._current(job, attempt):
                shutil.rmtree(staging, ignore_errors=True)
                raise _Cancelled()
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
            raise errors.UserError(errors.describe(e) + "。已下载的数据还在，处理后请点击重试。") from e
        if not inside(folder, parent):
            raise errors.UserError(f"文件夹“{job.folder}”指向下载文件夹以外的位置。已下载的数据还在，请移走它后点击重试。")
        return folder

    def _place(self, job: Job, folder: str) -> None:
        """Chooses each file's free name and journals it; _finish then links them."""
        limit = name_limit(folder)
        with self._placing:
            placing: list[tuple[str, str]] = []
            for src, _ in job.placing:
                placing.append((src, _destination(folder, _companion_name(src, placing), limit)))
            job.placing = placing
            self.store.update_job(job.id, placing=[list(p) for p in job.placing], title=job.title)

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
                                  key)
        staging = job.staging
        if staging:
            shutil.rmtree(staging, ignore_errors=True)
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

    def _ended(self, job: Job, attempt: int, cancel_event: threading.Event, e: BaseException, tag: str) -> None:
        """What an attempt that did not finish leaves: a paused, cancelled, interrupted or failed job."""
        with self._lock:
            live = job.attempt == attempt
            state = job.state
            staging = job.staging
            progress = {"downloaded": job.downloaded, "total": job.total}
        stopped = isinstance(e, _Cancelled) or cancel_event.is_set() or type(e).__name__ == "DownloadCancelled"
        if stopped or self._closing:
            if live and state is State.CANCELLED and staging:
                shutil.rmtree(staging, ignore_errors=True)
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
            empty = bool(staging) and not _has_files(staging or "")
            if empty:
                job.staging = None
        if empty and staging:
            shutil.rmtree(staging, ignore_errors=True)
        self._note(job, state=State.FAILED.value, error=message, **progress,
                   **({"staging": None} if empty else {}))
        reason = e.reason if isinstance(e, worker.Failure) else errors.short_reason(e)
        say(f"{tag} 失败：{message}" + ("" if reason in message else f"（{reason}）"))
    def _download(self, job: Job, attempt: int, cancel_event: threading.Event, holdings: processes.Holdings,
                  staging: str, tag: str) -> tuple[list[str], str]:
        """Runs the download in its own process with the current engine; returns its files and title."""
        own: dict[str, Any] = {
            "outtmpl": {"default": os.path.join(staging, "%(title).150B.%(ext)s")},
            "paths": {},
            "noplaylist": True,
            "retries": 3,
            "fragment_retries": 3,
            # A finished file in the staging folder is kept and a partial one continued.
            "overwrites": False,
            "continuedl": True,
            # Reads start small and grow with the speed; each hands over what has
            # arrived (processes._PromptResponse), so progress shows even on a slow
            # line and a crash loses no more than one receive of data.
            "buffersize": 16 * 1024,
            "updatetime": False,
        }
        own.update(format_options(job.format))
        # Subtitles, cover and metadata come after the format's own post-processors.
        extra_params, extra_pps = extras.engine_options(job.extras)
        own.update(extra_params)
        own["postprocessors"] = own.get("postprocessors", []) + extra_pps
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
        if "done" in outcome:
            done = outcome["done"]
            files = [f for f in done.get("files") or [] if isinstance(f, str)]
            return files, str(done.get("title") or "")
        if cancel_event.is_set() or self._closing:
            raise _Cancelled()
        if "error" in outcome:
            raise worker.Failure(str(outcome["error"]), str(outcome.get("reason") or ""))
        raise worker.Failure(f"下载进程意外结束了（{how}）。已下载的部分会保留，可以点击重试。", how)

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
            elif "processing" in event:
                with self._lock:
                    if job.attempt == attempt and job.state is State.DOWNLOADING:
                        job.state = State.PROCESSING
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


def _job_from_row(row: JobRow) -> Job:
    try:
        state = State(row.state)
    except ValueError:
        state = State.QUEUED
    if state.running or state is State.DONE:
        # Interrupted by the stop: it continues.
        state = State.QUEUED
    job = Job(row.id, row.url, parse_format(row.format) or BEST, title=row.title, state=state,
              error=row.error if state is State.FAILED else "", created=row.created, downloaded=row.downloaded,
              total=row.total, staging=row.staging, extras=extras.from_journal(row.extras),
              folder=row.folder or "")
    job.placing = list(iter_pairs(row.placing))
    if row.total:
        job.progress = min(1.0, row.downloaded / row.total)
    return job
