"""Asking the engine which formats an address offers, before anything is downloaded."""

from typing import Any

from . import errors
from .ask import FORMATS, TIMEOUT, Ask
from .model import parse_format


def probe(ask: Ask, url: object, timeout: float = TIMEOUT) -> dict[str, Any]:
    """The title and formats of url, best first; raises UserError in Chinese when the engine cannot tell."""
    if not isinstance(url, str) or not url.strip():
        raise errors.UserError("请先粘贴一个视频网址，再点击解析")
    address = errors.check_address(url.strip())
    info = ask.call(FORMATS, lambda ydl: ydl.extract_info(address, download=False), timeout, address=address,
                    noplaylist=True)
    return listing(info)


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
