"""A download's own process: imports the engine it was started with, waits for its request, runs it
and reports on stdout (worker_protocol.py); the server's side is worker.py."""

import itertools
import json
import os
import select
import signal
import sys
import threading
import time
from typing import Any

from . import engine_check, errors, extras, log, processes
from .names import inside
from .options import private_cookies
from .worker_protocol import IDLE_LIMIT, Channel

# Progress is sent at most this often; the engine reports every block it reads.
PROGRESS_INTERVAL = 0.1
# A download that has been told to stop and has not ended by then is ended hard.
STOP_GRACE = 1.5
# How often a download makes sure its staging folder is still the one it started in.
FOLDER_CHECK = 0.25
FOLDER_GONE = "下载文件夹在下载过程中被删除或移走了，下载已停止。请确认下载文件夹还在后点击重试"


class _Stop:
    """Ends the download in order once the server asks for it or is gone."""

    def __init__(self, holdings: processes.Holdings) -> None:
        self.holdings = holdings
        self.event = threading.Event()

    def __call__(self, *_: Any) -> None:
        if self.event.is_set():
            return
        self.event.set()
        # Closing the connections and ending ffmpeg wakes the engine wherever it waits;
        # the next hook raises, and the partial file is closed as it stands.
        threading.Thread(target=self._end, name="stop", daemon=True).start()

    def _end(self) -> None:
        self.holdings.end(grace=0.3)
        time.sleep(STOP_GRACE)
        os._exit(0)


class _Progress:
    """The latest progress, sent at most every PROGRESS_INTERVAL; what arrives just before
    a stall is sent too, a moment later."""

    def __init__(self, channel: Channel) -> None:
        self._channel = channel
        self._lock = threading.Lock()
        self._latest: dict[str, Any] | None = None
        self._sent_at = 0.0
        self._wake = threading.Event()
        threading.Thread(target=self._trail, name="progress", daemon=True).start()

    def update(self, report: dict[str, Any]) -> None:
        with self._lock:
            self._latest = report
            due = time.monotonic() - self._sent_at >= PROGRESS_INTERVAL
        if due:
            self.flush()
        else:
            self._wake.set()

    def flush(self) -> None:
        with self._lock:
            report, self._latest = self._latest, None
            if report is None:
                return
            self._sent_at = time.monotonic()
            # Sent under the lock, so that an older report never follows a newer one.
            self._channel.send(progress=report)

    def _trail(self) -> None:
        while True:
            self._wake.wait()
            self._wake.clear()
            time.sleep(PROGRESS_INTERVAL)
            self.flush()


class Rate:
    """Speed and time left from the bytes seen over the last WINDOW seconds of a monotonic clock.

    The engine's own figures come from the wall clock, so a clock set forward or back mid-download
    shows a speed of a few bytes a second, or none at all."""

    WINDOW = 3.0
    # Below 0.2 s a few blocks say little about the speed, but this many bytes do: a fast line
    # can bring a whole short transfer, or all of it before a stall, in less.
    BURST = 256 * 1024

    def __init__(self, clock: Any = time.monotonic) -> None:
        self._clock = clock
        self._seen: list[tuple[float, int]] = []

    def update(self, downloaded: int, total: int | None) -> tuple[float | None, float | None]:
        now = self._clock()
        if self._seen and downloaded < self._seen[-1][1]:
            # A new file of the same download (the audio after the video) starts from zero.
            self._seen = []
        self._seen.append((now, downloaded))
        while len(self._seen) > 2 and now - self._seen[1][0] >= self.WINDOW:
            del self._seen[0]
        start, first = self._seen[0]
        if now - start < 0.2 and not (now > start and downloaded - first >= self.BURST):
            return None, None
        speed = (downloaded - first) / (now - start)
        eta = (total - downloaded) / speed if total and speed > 0 and total >= downloaded else None
        return speed, eta


def _identity(path: str) -> tuple[int, int] | None:
    try:
        st = os.stat(path)
    except OSError:
        return None
    return st.st_dev, st.st_ino


class _FolderWatch:
    """Ends the download as soon as its staging folder is deleted or moved away.

    Open files outlive their folder: the engine would go on writing into deleted files until the
    transfer ends and only then fail to rename them. The folder is told by its identity, since the
    engine creates a missing one anew whenever it opens a file."""

    def __init__(self, staging: str, channel: Channel, stop: _Stop) -> None:
        self.gone = threading.Event()
        self._staging = staging
        self._channel = channel
        self._stop = stop
        self._first = _identity(staging)
        threading.Thread(target=self._watch, name="folder-watch", daemon=True).start()

    def _watch(self) -> None:
        while not self._stop.event.wait(FOLDER_CHECK):
            if _identity(self._staging) != self._first:
                break
        else:
            return
        self.gone.set()
        self._channel.send(error=FOLDER_GONE, reason=f"staging folder {self._staging} vanished")
        self._stop.holdings.end(grace=0.3)
        os._exit(1)


def _watch_stdin(stop: _Stop) -> None:
    while sys.stdin.readline():
        pass
    stop()


def _load_engine(sys_path: list[str]) -> Any:
    sys.path[:0] = engine_check.checked_path(sys_path)
    import yt_dlp
    import yt_dlp.postprocessor  # noqa: F401  (registers the ffmpeg post-processors)
    processes.track(yt_dlp.utils.Popen)
    processes.track_engine_connections(yt_dlp)
    return yt_dlp


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
        if p not in result and os.path.isfile(p) and inside(p, staging):
            result.append(p)
    return result


# Counting the entries of a lazily paged list fetches its pages; beyond this many the message says "at least".
MAX_COUNTED = 2000


def _refuse_lists(ydl: Any) -> None:
    """Makes ydl refuse a page with several videos wherever its extraction meets one.

    One job stands for one video: a list downloaded whole would put every entry
    into one job, with one progress bar, no choice of entries and no folder.
    The check sits in front of the engine's own step for each result, so that
    a list reached through a redirect or a short link is caught too, before
    any of its videos is fetched."""
    process = ydl.process_ie_result

    def guarded(result: Any, *args: Any, **kwargs: Any) -> Any:
        if isinstance(result, dict) and result.get("_type") in ("playlist", "multi_video"):
            raise errors.UserError(list_message(_count(result.get("entries"))))
        return process(result, *args, **kwargs)

    ydl.process_ie_result = guarded


def list_message(count: int | None) -> str:
    many = "多个视频" if count is None else f"至少 {count} 个视频" if count >= MAX_COUNTED else f" {count} 个视频"
    return (f"这个网址是一个包含{many}的列表，没有下载任何内容。"
            "请粘贴这个网址后点击“列出”，选择要下载的视频，每个视频会成为一个单独的下载。")


def _count(entries: Any) -> int | None:
    """How many entries a list has, or None if its pages cannot be read."""
    if entries is None:
        return 0
    if isinstance(entries, (list, tuple)):
        return len(entries)
    try:
        if hasattr(entries, "getslice"):
            return len(entries.getslice(0, MAX_COUNTED))
        return sum(1 for _ in itertools.islice(entries, MAX_COUNTED))
    except Exception:  # noqa: BLE001  (a site failing on a later page only leaves the number out)
        return None


def _warm(ydl_mod: Any) -> None:
    """Does ahead what the first address would: each site's address pattern is compiled on first use,
    about 0.3 s for all of them, and the choice of a format runs ffmpeg and ffprobe to learn their
    versions, some 70 ms each."""
    try:
        for ie in ydl_mod.extractor.gen_extractor_classes():
            ie.suitable("http://127.0.0.1/")
    except Exception:  # noqa: BLE001  (only a head start; the download meets any real fault itself)
        pass
    try:
        ffmpeg = ydl_mod.postprocessor.FFmpegPostProcessor
        ffmpeg.get_versions()
        # The engine keeps what it found for the process's life. A missing program is looked for
        # again by the download: the user may have installed it after being told it was missing.
        cache = ffmpeg._version_cache
        for path in [p for p, version in cache.items() if p is not None and not version]:
            del cache[path]
    except Exception:  # noqa: BLE001  (as above)
        pass


def _download(request: dict[str, Any], ydl_mod: Any, channel: Channel, stop: _Stop,
              seen: dict[str, Any]) -> dict[str, Any]:
    staging = request["staging"]
    reports = _Progress(channel)
    rate = Rate()

    def stopped() -> None:
        if stop.event.is_set():
            raise ydl_mod.utils.DownloadCancelled("cancelled")

    def progress(d: dict[str, Any]) -> None:
        stopped()
        if d.get("status") != "downloading":
            return
        if seen.pop("processed", None):
            # A step that runs before the download (subtitles converted) is over: the video's bytes flow.
            channel.send(downloading=True)
        done = d.get("downloaded_bytes") or 0
        total = d.get("total_bytes") or d.get("total_bytes_estimate")
        speed, eta = rate.update(done, int(total) if total else None)
        reports.update({"downloaded": done, "total": total, "speed": speed, "eta": eta,
                        "title": (d.get("info_dict") or {}).get("title") or ""})

    def retrying(n: int) -> float:
        channel.send(retry=n + 1)
        # A short, growing pause gives a restarting server or network a moment; a stop ends it at once.
        stop.event.wait(min(n + 1, 5))
        stopped()
        return 0.0

    def postprocess(d: dict[str, Any]) -> None:
        stopped()
        # The step running now, for the message if it fails: a killed ffmpeg that wrote nothing makes
        # the engine fail on its empty output with an error that names no step.
        if d.get("status") == "started":
            seen["step"] = d.get("postprocessor") or "?"
            channel.send(processing=True)
        elif d.get("status") == "finished":
            seen.pop("step", None)
            seen["processed"] = True

    params = {**request["params"], "logger": log.EngineLogger(request["tag"]), "progress_hooks": [progress],
              "retry_sleep_functions": {"http": retrying, "fragment": retrying},
              "postprocessor_hooks": [postprocess]}
    with private_cookies(params, request["url"]) as given, ydl_mod.YoutubeDL(given) as ydl:
        extras.attach(ydl, ydl_mod, request["extras"])
        found = ydl.extract_info(request["url"], download=False, process=False)
        if isinstance(found, dict):
            # A site's refusal of the media itself names no site; the extraction does.
            seen["extractor"] = found.get("extractor_key") or found.get("extractor")
        # A site's page or probe may still be sending (for a direct link, the whole video):
        # close what the extraction opened before the download opens its own connection.
        stop.holdings.drop_connections()
        _refuse_lists(ydl)
        info = ydl.process_ie_result(found, download=True)
    reports.flush()
    files = _final_files(info, staging)
    if files:
        files += [p for p in extras.subtitle_files(info) if p not in files and os.path.isfile(p) and inside(p, staging)]
    # The height of what was chosen, so that a preset the source could not meet says what came instead.
    return {"files": files, "title": (info or {}).get("title") or "", "height": (info or {}).get("height")}


def main() -> int:
    # Until a download is given to it, a process made ready ahead has nothing to stop in order.
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    # The events own stdout; anything else written there (the engine's own prints) goes to the log.
    channel = Channel(os.fdopen(os.dup(1), "w", encoding="utf-8"))
    os.dup2(2, 1)
    log.send_to(lambda line: channel.send(log=line.rstrip("\n")))
    try:
        ydl_mod, failure = _load_engine(json.loads(sys.argv[1]) if len(sys.argv) > 1 else []), None
    except BaseException as e:  # noqa: BLE001  (a broken engine is reported with the download, not raised)
        ydl_mod, failure = None, e
    if ydl_mod is not None:
        _warm(ydl_mod)
    if not select.select([sys.stdin], [], [], IDLE_LIMIT)[0]:
        return 0
    request = json.loads(sys.stdin.readline() or "null")
    if not isinstance(request, dict):
        # Let go by the server: nothing to do.
        return 0
    holdings = processes.Holdings()
    stop = _Stop(holdings)
    signal.signal(signal.SIGTERM, stop)
    threading.Thread(target=_watch_stdin, args=(stop,), name="stdin-watch", daemon=True).start()
    engine = request.get("engine") or {}
    if ydl_mod is None:
        log.say(f"{request['tag']} 下载引擎无法载入：{errors.short_reason(failure or Exception())}")
        channel.send(error=f"下载引擎 {engine.get('version') or ''} 无法载入，这个下载没有开始。"
                           "可以在“设置”里回退到上一个版本后点击重试。",
                     reason=errors.short_reason(failure or Exception()), broken=True)
        return 1
    version = str(getattr(ydl_mod.version, "__version__", "") or engine.get("version") or "")
    # Which engine did the work, for whoever reads the log after a site changed.
    log.say(f"{request['tag']} 下载引擎 {version}")
    seen: dict[str, Any] = {}
    watch = _FolderWatch(request["staging"], channel, stop)
    try:
        with processes.owned_by(holdings):
            result = _download(request, ydl_mod, channel, stop, seen)
    except BaseException as e:  # noqa: BLE001  (every failure goes to the server as a message)
        if stop.event.is_set() or type(e).__name__ == "DownloadCancelled":
            return 0
        if watch.gone.is_set():
            # The watch has said why and ends the process.
            threading.Event().wait()
        message = e.message if isinstance(e, errors.UserError) else errors.describe(e, seen.get("step"))
        hint = "" if isinstance(e, errors.UserError) else errors.stale_hint(e, version, extractor=seen.get("extractor"))
        if hint:
            message = message.rstrip("。") + "。" + hint
        channel.send(error=message, reason=errors.short_reason(e))
        return 1
    channel.send(done=result)
    return 0


def _leave(code: int) -> None:
    """Ends the process without the interpreter's teardown: the engine's modules and the heap of a
    fast download take a tenth of a second or more to free, and the server waits for the exit
    before it puts the files in place. The files, the cookie copy and the engine are closed by
    now; only what is buffered for stdout and stderr is left to write."""
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError):
            pass
    os._exit(code)


if __name__ == "__main__":
    _leave(main())
