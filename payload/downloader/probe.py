"""Asking the engine which formats an address offers, before anything is downloaded."""

import threading
from typing import Any

from . import errors, processes
from .jobs import engine
from .log import EngineLogger
from .model import parse_format
from .options import cookie_copy, network_options

TIMEOUT = 30.0
# Probes running at once; each holds a thread until the site answers or its connections are closed.
MAX_PROBES = 3
_slots = threading.BoundedSemaphore(MAX_PROBES)


def probe(url: object, settings: dict[str, Any], timeout: float = TIMEOUT) -> dict[str, Any]:
    """The title and formats of url, best first; raises UserError in Chinese when the engine cannot tell."""
    if not isinstance(url, str) or not url.strip():
        raise errors.UserError("请先粘贴一个视频网址，再点击解析")
    address = errors.check_address(url.strip())
    if not _slots.acquire(blocking=False):
        raise errors.UserError("正在解析的网址太多，请等前面的解析结束后再试", 503)
    try:
        info = processes.run_with_deadline(lambda: _extract(address, settings), _slots, timeout, "probe")
    except processes.TimedOut:
        raise errors.UserError(f"解析超时：网站在 {int(timeout)} 秒内没有给出视频信息。请检查网络或代理设置后重试，"
                               "也可以直接开始下载。", 504) from None
    except BaseException as e:  # noqa: BLE001
        raise errors.UserError("解析失败：" + errors.describe(e)) from None
    return listing(info)


def _extract(url: str, settings: dict[str, Any]) -> Any:
    params: dict[str, Any] = {
        "quiet": True,
        "no_color": True,
        "logger": EngineLogger("[解析]"),
        "cachedir": False,
        "noplaylist": True,
        "socket_timeout": 15,
        **network_options(settings),
    }
    with cookie_copy(settings.get("cookies_file") or "") as cookies, engine() as module, \
            module.YoutubeDL({**params, **cookies}) as ydl:
        return ydl.extract_info(url, download=False)


def listing(info: Any) -> dict[str, Any]:
    """What the page shows of each format the engine reports."""
    if not isinstance(info, dict):
        raise errors.UserError("解析失败：网站没有给出视频信息")
    duration = info.get("duration")
    rows: list[dict[str, Any]] = []
    for f in info.get("formats") or []:
        fid = f.get("format_id")
        # A format the selector could not name unambiguously cannot be chosen.
        if not isinstance(fid, str) or parse_format("id:" + fid) is None:
            continue
        size = f.get("filesize")
        approximate = not size
        if not size:
            size = f.get("filesize_approx")
        if not size and f.get("tbr") and isinstance(duration, (int, float)):
            # Average bit rate (kbit/s) times length: what the site's own estimate would be.
            size = int(f["tbr"] * 1000 / 8 * duration)
        rows.append({
            "id": fid,
            "ext": f.get("ext") or "",
            "width": f.get("width"),
            "height": f.get("height"),
            "fps": f.get("fps"),
            "vcodec": f.get("vcodec") or "",
            "acodec": f.get("acodec") or "",
            "size": int(size) if size else None,
            "approximate": approximate,
            "note": f.get("format_note") or "",
        })
    # The engine lists the worst first; the user looks for the best.
    rows.reverse()
    return {"title": info.get("title") or "", "formats": rows}
