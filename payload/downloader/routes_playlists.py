"""The routes of a page with several videos: listing it for the chooser and adding the chosen ones."""

import re
from typing import TYPE_CHECKING

from . import addresses, errors, playlists, thumbnails
from .log import say
from .routes_jobs import answer_added, choice
from .routing import route

if TYPE_CHECKING:
    from .web import Handler


def _one_address(text: object) -> object:
    """The address in text when it holds exactly one, as a share text does; otherwise text as it came."""
    if isinstance(text, str):
        paste = addresses.extract(text)
        if len(paste.addresses) == 1 and not paste.unusable:
            return paste.addresses[0]
    return text


@route("POST", "/api/playlist")
def list_playlist(h: "Handler", m: "re.Match[str]") -> None:
    """Lists a page with several videos for the chooser; a single video is added to the queue at once."""
    body = h.read_json()
    url = _one_address(body.get("url"))
    info = playlists.extract(h.server.app.ask, url)
    url = str(url).strip()
    if not playlists.is_playlist(info):
        answer_added(h, h.server.app.manager.add(url, body.get("format"), choice(body),
                                                force=body.get("force") is True), playlist=False)
        return
    found = playlists.entries(info, h.server.app.thumbnails.linker(url))
    if not found:
        raise errors.UserError("这个列表里没有可以下载的视频")
    title = playlists.clean_title(info.get("title"))
    listing = h.server.app.listings.keep(url, title, found)
    say(f"[列表] 列出了 {len(found)} 个视频：{title or listing.url}")
    h.reply(200, {"playlist": True, **listing.public()})


@route("POST", "/api/playlist/select")
def select_playlist(h: "Handler", m: "re.Match[str]") -> None:
    body = h.read_json()
    listing = h.server.app.listings.get(body.get("id"))
    h.reply(200, {"indices": playlists.parse_range(body.get("range"), len(listing.entries))})


@route("POST", "/api/playlist/add")
def add_playlist(h: "Handler", m: "re.Match[str]") -> None:
    """One job per chosen entry of a listing, saving into the playlist's folder."""
    body = h.read_json()
    listing = h.server.app.listings.get(body.get("id"))
    indices = body.get("indices")
    if body.get("range") is not None:
        indices = playlists.parse_range(body.get("range"), len(listing.entries))
    if not isinstance(indices, list) or not all(isinstance(i, int) and not isinstance(i, bool) for i in indices):
        raise errors.UserError("请求格式不正确")
    if any(not 1 <= i <= len(listing.entries) for i in indices):
        raise errors.UserError(f"序号超出范围，这个列表只有 1 到 {len(listing.entries)}")
    chosen = [listing.entries[i - 1] for i in sorted(set(indices))]
    added, rejected = h.server.app.manager.add_entries(
        [(e["url"], e["title"]) for e in chosen], body.get("format"), listing.folder, choice(body))
    h.reply(200 if added else 400, {"added": added, "errors": rejected, "folder": listing.folder,
                                        **({"error": rejected[0]} if not added and rejected else {})})


@route("GET", "/api/thumbnails/([0-9a-f]{32})")
def thumbnail(h: "Handler", m: "re.Match[str]") -> None:
    """A video's picture for the parse result and the chooser, from our own origin."""
    try:
        data, kind = h.server.app.thumbnails.get(m.group(1))
    except thumbnails.Refused:
        # The page shows the entry without a picture; a list of many would fill the log with these.
        raise errors.UserError("没有这个视频的图片", 404) from None
    h.send_file(data, kind)
