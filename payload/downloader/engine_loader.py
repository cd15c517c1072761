"""The server's own engine: yt-dlp imported into the server for listing, formats, subtitles and video
keys, and replaced by the active one after an engine switch once no request uses the old one.
Downloads run theirs in their own process."""

import contextlib
import sys
import threading
from types import ModuleType
from typing import Any, Callable, Iterator

from . import addresses, engine_check, processes

_PACKAGES = ("yt_dlp", "yt_dlp_ejs")
_yt_dlp: ModuleType | None = None
# The active engine's path as the source gave it, and what of it was put on sys.path after the check.
_yt_dlp_path: tuple[str, ...] = ()
_on_sys_path: tuple[str, ...] = ()
_yt_dlp_lock = threading.Lock()
# Requests of the server's own that are using the imported engine right now.
_yt_dlp_users = 0
_engine_source: Callable[[], tuple[str, ...]] = tuple
# Told of an engine that does not import (its sys.path entries and why); True when another became active.
_on_broken: Callable[[tuple[str, ...], str], bool] = lambda path, reason: False
_extractors: list[Any] | None = None


class EngineBroken(Exception):
    pass


def use_engine(source: Callable[[], tuple[str, ...]],
               on_broken: Callable[[tuple[str, ...], str], bool] | None = None) -> None:
    """Where the server's own engine (for listing, formats, subtitles and address keys) comes from:
    source gives the active engine's sys.path entries, on_broken hears of one that fails to import.
    Downloads run theirs in their own process."""
    global _engine_source, _on_broken
    _engine_source = source
    if on_broken is not None:
        _on_broken = on_broken


def _import_engine(path: tuple[str, ...]) -> ModuleType:
    """Imports the engine at path, in place of one imported before. Called with the lock held,
    while nothing uses the one before. An engine that fails to import leaves sys.path and the
    modules as they were, so that the engine before, or the next one, still imports cleanly."""
    global _yt_dlp, _yt_dlp_path, _on_sys_path, _extractors
    saved_path = list(sys.path)
    saved = {n: m for n, m in sys.modules.items() if n.split(".")[0] in _PACKAGES}
    for name in saved:
        del sys.modules[name]
    checked = engine_check.checked_path(path)
    sys.path[:] = [p for p in sys.path if p not in _on_sys_path]
    sys.path[:0] = checked
    try:
        import yt_dlp as module
        import yt_dlp.postprocessor  # noqa: F401  (registers the ffmpeg post-processors)
    except BaseException as e:  # noqa: BLE001  (a syntax error or a missing name in a damaged engine too)
        for name in [n for n in sys.modules if n.split(".")[0] in _PACKAGES]:
            del sys.modules[name]
        sys.modules.update(saved)
        sys.path[:] = saved_path
        raise EngineBroken(f"{type(e).__name__}: {e}") from e
    processes.track(module.utils.Popen)
    processes.track_engine_connections(module)
    _yt_dlp, _yt_dlp_path, _on_sys_path, _extractors = module, path, checked, None
    return module


def _current_engine() -> ModuleType:
    """Called with the lock held: the imported engine, or the active one once nothing uses the old.
    An active engine that fails to import is reported, and the one that takes its place is imported."""
    wanted = _engine_source()
    if _yt_dlp is None or (wanted != _yt_dlp_path and not _yt_dlp_users):
        try:
            return _import_engine(wanted)
        except EngineBroken as e:
            if not _on_broken(wanted, str(e)) or _engine_source() == wanted:
                raise
            return _import_engine(_engine_source())
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
    # Held for a moment by a request that takes or lets go of the engine, and for seconds by an import:
    # not waiting at all costs at most a key from the address alone.
    if _yt_dlp_lock.acquire(blocking=False):
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


def warm_up_soon() -> None:
    """Sets warm_up() going in the background, unless it is under way."""
    if not _warming.locked():
        threading.Thread(target=warm_up, name="warm-up", daemon=True).start()
