"""Pages with several videos: their entries listed before anything is downloaded.

The engine's flat extraction reads only the list itself (titles, addresses
and, where the site says, durations), not every video's page, so even a long
playlist is listed in seconds. The listing is asked like every other
question to a site (ask.py), with its deadline. Listings are kept in memory
for a while, so that adding the chosen entries refers to them by number: the
addresses and the folder come from the server's own listing, never from what
a request names.
"""

import itertools
import re
import threading
import time
from collections import OrderedDict
from dataclasses import dataclass, field
from typing import Any

from . import errors
from .ask import LIST, TIMEOUT, Ask
from .engine_loader import yt_dlp
from .names import safe_folder_name
from .probe import Linker, estimate

# Listings kept for the chooser; the oldest goes first.
MAX_KEPT = 16
# Entries beyond this are not listed: a chooser of more is of no use to anyone.
MAX_ENTRIES = 2000


@dataclass
class Listing:
    id: int
    url: str
    title: str
    entries: list[dict[str, Any]] = field(default_factory=list)
    created: float = field(default_factory=time.time)

    @property
    def folder(self) -> str:
        """The playlist's title as one safe folder name inside the download folder."""
        return folder_name(self.title)

    def public(self) -> dict[str, Any]:
        return {"id": self.id, "url": self.url, "title": self.title, "folder": self.folder, "entries": self.entries}


def folder_name(title: str) -> str:
    return safe_folder_name(title, 120, "播放列表")


class Listings:
    """What was listed lately, by number."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._kept: OrderedDict[int, Listing] = OrderedDict()
        self._ids = itertools.count(1)

    def keep(self, url: str, title: str, entries: list[dict[str, Any]]) -> Listing:
        with self._lock:
            listing = Listing(next(self._ids), url, title, entries)
            self._kept[listing.id] = listing
            while len(self._kept) > MAX_KEPT:
                self._kept.popitem(last=False)
            return listing

    def get(self, listing_id: object) -> Listing:
        with self._lock:
            listing = self._kept.get(listing_id) if isinstance(listing_id, int) else None
        if listing is None:
            raise errors.UserError("这个列表已经过期，请重新点击“列出”", 404)
        return listing


def extract(ask: Ask, url: object, timeout: float = TIMEOUT) -> dict[str, Any]:
    """The engine's flat view of url: {"_type": "playlist", ...} for several videos, else one video's info."""
    if not isinstance(url, str) or not url.strip():
        raise errors.UserError("请先粘贴一个网址，再点击“列出”")
    address = errors.check_address(url.strip())
    info = ask.call(LIST, lambda ydl: ydl.extract_info(address, download=False), timeout, address=address,
                    extract_flat="in_playlist", playlistend=MAX_ENTRIES)
    if not isinstance(info, dict):
        raise errors.UserError(LIST.failed + "网站没有给出视频信息")
    return info


def is_playlist(info: dict[str, Any]) -> bool:
    return info.get("_type") in ("playlist", "multi_video")


def entries(info: dict[str, Any], link: Linker | None = None) -> list[dict[str, Any]]:
    """The playlist's entries that have an address we can download, numbered from 1 in the site's order,
    with what the chooser shows of each; link gives our own address of an entry's picture."""
    unsmuggle = yt_dlp().utils.unsmuggle_url
    page = info.get("webpage_url")
    result: list[dict[str, Any]] = []
    for entry in info.get("entries") or []:
        if not isinstance(entry, dict):
            continue
        url = entry.get("webpage_url") or entry.get("url")
        # Videos embedded in the listed page itself (several <video> elements) have no page of their
        # own: a job for the page would meet the whole list again, so it gets the video's own address.
        if url == page:
            url = own_address(entry)
        if not isinstance(url, str) or url == page:
            continue
        # The engine's private hints ride in the fragment; the job gets the address alone.
        url = unsmuggle(url)[0]
        try:
            errors.check_address(url)
        except errors.UserError:
            continue
        duration = entry.get("duration")
        # A flat entry tells what the list page said; one embedded in the page was processed in full and
        # carries the fields of the format the engine chose for it.
        size, approximate = estimate(entry, duration)
        result.append({
            "index": len(result) + 1,
            "url": url,
            "title": clean_title(entry.get("title")),
            "duration": duration if isinstance(duration, (int, float)) and duration >= 0 else None,
            "size": size,
            "approximate": approximate,
            "thumbnail": link(entry) if link else None,
        })
    return result


def own_address(entry: dict[str, Any]) -> str | None:
    """The address of an entry embedded in the listed page: its media file, or, where the engine
    chose separate video and audio (no one file), the manifest both came from."""
    if isinstance(entry.get("url"), str):
        return str(entry["url"])
    manifests = {f.get("manifest_url") for f in entry.get("requested_formats") or [] if isinstance(f, dict)}
    manifest = manifests.pop() if len(manifests) == 1 else None
    return manifest if isinstance(manifest, str) else None


# Controls that would reorder or hide what the chooser shows of a site's titles.
_HIDDEN = re.compile("[\x00-\x1f\x7f-\x9f\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069\ud800-\udfff]")


def clean_title(title: object) -> str:
    return _HIDDEN.sub("", title).strip() if isinstance(title, str) else ""


_PART = re.compile(r"(\d+)?\s*(-)?\s*(\d+)?")


def parse_range(text: object, count: int) -> list[int]:
    """The entry numbers (from 1) a range text such as "1-5, 8, 10-" names, in order, each once."""
    if not isinstance(text, str) or not text.strip():
        raise errors.UserError("请填写要下载的序号，例如“1-5, 8, 10-”")
    if count <= 0:
        raise errors.UserError("这个列表里没有可以下载的视频")
    chosen: set[int] = set()
    for part in re.split(r"[,，、;；\s]+", text.strip()):
        if not part:
            continue
        m = _PART.fullmatch(part.replace("～", "-").replace("~", "-").replace("—", "-").replace("－", "-"))
        if not m or not (m.group(1) or m.group(3)) or (m.group(2) is None and m.group(3) is not None):
            raise errors.UserError(f"无法识别“{part[:20]}”：请用序号和范围，例如“1-5, 8, 10-”")
        first = int(m.group(1)) if m.group(1) else 1
        last = (int(m.group(3)) if m.group(3) else count) if m.group(2) else first
        if first < 1 or first > count or last > count:
            raise errors.UserError(f"序号超出范围：“{part}”，这个列表只有 1 到 {count}")
        if first > last:
            raise errors.UserError(f"范围“{part}”的起点大于终点，请写成“{last}-{first}”")
        chosen.update(range(first, last + 1))
    return sorted(chosen)
