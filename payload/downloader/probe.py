"""Asking the engine which formats an address offers, before anything is downloaded."""

from typing import Any, Callable

from . import errors
from .ask import FORMATS, TIMEOUT, Ask
from .model import parse_format


# Our own address of a video's picture, from what the engine reported of the video.
Linker = Callable[[dict[str, Any]], "str | None"]


def probe(ask: Ask, url: object, timeout: float = TIMEOUT, link: Callable[[str], Linker] | None = None) -> dict[str, Any]:
    """The title, length, picture and formats of url, best first; raises UserError in Chinese when the
    engine cannot tell. link(address) gives what names the picture for the page."""
    if not isinstance(url, str) or not url.strip():
        raise errors.UserError("请先粘贴一个视频网址，再点击解析")
    address = errors.check_address(url.strip())
    info = ask.call(FORMATS, lambda ydl: ydl.extract_info(address, download=False), timeout, address=address,
                    noplaylist=True)
    return listing(info, link(address) if link else None)


def estimate(f: dict[str, Any], duration: object) -> tuple[int | None, bool]:
    """(bytes, approximate) of a format or of the engine's own choice: the site's exact size, its estimate,
    or the average bit rate times the length; (None, False) when none is known."""
    size = f.get("filesize")
    if isinstance(size, (int, float)) and size > 0:
        return int(size), False
    size = f.get("filesize_approx")
    if isinstance(size, (int, float)) and size > 0:
        return int(size), True
    rate = f.get("tbr")
    if isinstance(rate, (int, float)) and rate > 0 and isinstance(duration, (int, float)) and duration > 0:
        # Average bit rate (kbit/s) times length: what the site's own estimate would be.
        return int(rate * 1000 / 8 * duration), True
    return None, False


def listing(info: Any, link: Linker | None = None) -> dict[str, Any]:
    """What the page shows of the video and of each format the engine reports."""
    if not isinstance(info, dict):
        raise errors.UserError("解析失败：网站没有给出视频信息")
    duration = info.get("duration")
    rows: list[dict[str, Any]] = []
    for f in info.get("formats") or []:
        fid = f.get("format_id")
        # A format the selector could not name unambiguously cannot be chosen.
        if not isinstance(fid, str) or parse_format("id:" + fid) is None:
            continue
        size, approximate = estimate(f, duration)
        rows.append({
            "id": fid,
            "ext": f.get("ext") or "",
            "width": f.get("width"),
            "height": f.get("height"),
            "fps": f.get("fps"),
            "vcodec": f.get("vcodec") or "",
            "acodec": f.get("acodec") or "",
            "size": size,
            "approximate": approximate,
            "note": f.get("format_note") or "",
        })
    # The engine lists the worst first; the user looks for the best.
    rows.reverse()
    # The processed info carries the fields of the format the engine would choose by itself.
    size, approximate = estimate(info, duration)
    return {"title": info.get("title") or "", "formats": rows, "size": size, "approximate": approximate,
            "duration": duration if isinstance(duration, (int, float)) and duration >= 0 else None,
            "thumbnail": link(info) if link else None}
