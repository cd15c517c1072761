"""One way to ask the engine about a site, whoever asks.

Every request to a site goes through the parameters built here: the proxy,
speed limit and cookies of the settings, the JavaScript runtime found for
the engine, the socket time-out and the engine's cache folder. The server's
own questions (which formats, which entries, which subtitles) also run here,
each on a thread of its own with a deadline and a few slots, so that a
silent site holds its own request and never the server, and their failures
are told in Chinese the same way. Downloads take the same parameters into
their own process (download_process.py).
"""

import contextlib
import json
import os
import shutil
import threading
from dataclasses import dataclass, field
from typing import Any, Callable, TypeVar

from . import browsers, engine_loader, errors, processes
from .engines import Engines
from .log import EngineLogger, say
from .options import COOKIES, network_options, private_cookies
from .settings import Settings
from .jsonfile import write as write_json

# How long a request of the page waits for the site before it is answered with a time-out.
TIMEOUT = 30.0
# A connection that stays silent this long fails (a download retries it); its message names it.
SOCKET_TIMEOUT = errors.SOCKET_TIMEOUT
# Requests of one kind running at once; each holds a thread until the site answers or its connections are closed.
MAX_RUNNING = 3

CACHE_FOLDER = "engine-cache"
# The largest entries are a video site's player scripts as the engine prepared them, a few MB each;
# 50 MB keeps a dozen of them, more than the site rotates between in weeks, and is small beside a video.
CACHE_LIMIT = 50 << 20
# Names the engine version that filled the cache: another version's entries may not fit it.
MARKER = ".zormak-engine.json"

T = TypeVar("T")


@dataclass(frozen=True)
class Action:
    """One kind of question the server asks, with its words for the page."""
    tag: str
    busy: str
    late: str
    failed: str
    slots: threading.BoundedSemaphore = field(default_factory=lambda: threading.BoundedSemaphore(MAX_RUNNING),
                                              compare=False)


FORMATS = Action("[解析]", "正在解析的网址太多，请等前面的解析结束后再试",
                 "解析超时：网站在 {seconds} 秒内没有给出视频信息。请检查网络或代理设置后重试，也可以直接开始下载。",
                 "解析失败：")
LIST = Action("[列表]", "正在列出的网址太多，请等前面的列表出来后再试",
              "列出超时：网站在 {seconds} 秒内没有给出列表。没有添加任何下载；请检查网络或代理设置后重试，"
              "或直接粘贴单个视频的网址。",
              "无法列出这个网址：")
SUBTITLES = Action("[字幕]", "正在获取字幕列表的网址太多，请等前面的结束后再试",
                   "获取字幕列表超时：网站在 {seconds} 秒内没有给出字幕列表。请检查网络或代理设置后重试。",
                   "无法获取字幕列表：")


class Cache:
    """The engine's cache folder: bounded at start, emptied when another engine version fills it.

    The engine keeps in it what it learnt from a site that does not change
    from one video to the next, above all the largest site's player script
    and its solved challenges, which would otherwise be fetched and solved
    again for every job. A folder that cannot be written only costs that."""

    def __init__(self, folder: str) -> None:
        self.folder = folder
        self._lock = threading.Lock()
        self._version: str | None = None
        self._told = False

    def trim(self, limit: int = CACHE_LIMIT) -> None:
        """Removes the oldest files until the folder holds no more than limit bytes."""
        found: list[tuple[float, int, str]] = []
        for root, _, names in os.walk(self.folder):
            for name in names:
                path = os.path.join(root, name)
                with contextlib.suppress(OSError):
                    st = os.lstat(path)
                    if path != os.path.join(self.folder, MARKER):
                        found.append((st.st_mtime, st.st_size, path))
        total = sum(size for _, size, _ in found)
        for _, size, path in sorted(found):
            if total <= limit:
                break
            with contextlib.suppress(OSError):
                os.unlink(path)
                total -= size

    def folder_for(self, version: str) -> str | None:
        """The folder for the engine of version, emptied first when another version filled it;
        None when it cannot be used (said in the log once)."""
        with self._lock:
            if self._version == version:
                return self.folder
            try:
                os.makedirs(self.folder, exist_ok=True)
                if self._filled_by() != version:
                    self._empty()
                # Written on every first use, which also shows that the folder takes files.
                write_json(os.path.join(self.folder, MARKER), {"version": version})
            except OSError as e:
                if not self._told:
                    say(f"[引擎] 无法使用缓存文件夹 {self.folder}（{e.strerror or e}），不使用缓存继续")
                    self._told = True
                return None
            self._version, self._told = version, False
            return self.folder

    def _filled_by(self) -> str | None:
        try:
            with open(os.path.join(self.folder, MARKER), encoding="utf-8") as f:
                value = json.load(f)
        except (OSError, ValueError):
            return None
        return value.get("version") if isinstance(value, dict) else None

    def _empty(self) -> None:
        for name in os.listdir(self.folder):
            path = os.path.join(self.folder, name)
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path, ignore_errors=True)
            else:
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(path)


class Ask:
    """The engine's parameters for every request to a site, and the server's own questions."""

    def __init__(self, engines: Engines, settings: Settings, data_dir: str) -> None:
        self.engines = engines
        self.settings = settings
        self.cache = Cache(os.path.join(data_dir, CACHE_FOLDER))
        self.cache.trim()

    def params(self, values: dict[str, Any], engine_params: dict[str, Any], version: str) -> dict[str, Any]:
        """What every call to the engine of version is given, as JSON (a download's process gets it
        in its request). The cookies file is named under COOKIES: options.private_cookies turns it
        into the engine's own copy where the engine runs."""
        return {
            "quiet": True,
            "no_color": True,
            "noprogress": True,
            "socket_timeout": SOCKET_TIMEOUT,
            "cachedir": self.cache.folder_for(version) or False,
            **network_options(values),
            COOKIES: values.get("cookies_file") or "",
            # The engine reads a chosen browser's sign-ins itself, from a copy of its database.
            **browsers.engine_option(values.get("cookies_browser") or ""),
            # The JavaScript runtime the engine needs for some sites, found at start.
            **engine_params,
        }

    def call(self, action: Action, work: Callable[[Any], T], timeout: float = TIMEOUT, address: str = "",
             **own: Any) -> T:
        """work(ydl) on the server's own engine, given params() and own, with a deadline and one of
        action's slots; its failure raises UserError in Chinese. address is the site asked about,
        whose sign-in cookies the engine is given."""
        if not action.slots.acquire(blocking=False):
            raise errors.UserError(action.busy, 503)
        try:
            return processes.run_with_deadline(lambda: self._run(action, work, address, own), action.slots, timeout,
                                               action.tag)
        except processes.TimedOut:
            raise errors.UserError(action.late.format(seconds=f"{timeout:g}"), 504) from None
        except errors.UserError:
            raise
        except BaseException as e:  # noqa: BLE001  (the engine's failures are many; the page gets one sentence)
            raise errors.UserError(action.failed + errors.describe(e)) from None

    def _run(self, action: Action, work: Callable[[Any], T], address: str, own: dict[str, Any]) -> T:
        values = self.settings.get()
        with engine_loader.engine() as module:
            version = str(getattr(module.version, "__version__", "") or "unknown")
            params = {**self.params(values, self.engines.active().params, version), **own,
                      "logger": EngineLogger(action.tag)}
            with private_cookies(params, address) as given, module.YoutubeDL(given) as ydl:
                return work(ydl)
