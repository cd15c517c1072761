"""The routes of the history of finished downloads."""

import itertools
import re
from typing import TYPE_CHECKING, Any
from urllib.parse import parse_qs, urlsplit

from . import errors
from .routing import route

if TYPE_CHECKING:
    from .web import Handler


# One page of the history; the page asks for the next as the user scrolls on.
PAGE = 200
MAX_QUERY = 200


def _number(values: dict[str, list[str]], name: str, default: int, most: int) -> int:
    text = (values.get(name) or [str(default)])[0]
    if not text.isdigit() or int(text) > most:
        raise errors.UserError("请求格式不正确")
    return int(text)


@route("GET", "/api/history")
def history(h: "Handler", m: "re.Match[str]") -> None:
    """A page of the history (offset, limit), searched in the database (q), with the totals of the whole."""
    values = parse_qs(urlsplit(h.path).query)
    offset = _number(values, "offset", 0, 1 << 40)
    limit = _number(values, "limit", PAGE, 1000)
    query = (values.get("q") or [""])[0].strip()[:MAX_QUERY]
    store = h.server.app.store
    count, size = store.totals()
    matched = store.totals(query)[0] if query else count
    rows = store.entries(limit, offset, query)
    # A job's files that did not fit in this page belong with it, not at the top of the next one.
    while rows and len(rows) >= limit:
        more = store.entries(8, offset + len(rows), query)
        same = list(itertools.takewhile(lambda r: _job(r) == _job(rows[-1]), more))
        rows += same
        if len(same) < 8:
            break
    h.reply(200, {"entries": group(rows), "count": count, "size": size, "matched": matched, "offset": offset,
                  "next_offset": offset + len(rows)})


# Files a download writes beside its video or audio: subtitles, its cover, its description and metadata.
BESIDE = {"vtt", "srt", "ass", "ssa", "lrc", "ttml", "sbv", "srv1", "srv2", "srv3", "json3", "jpg", "jpeg", "png",
          "webp", "json", "description", "txt", "nfo"}


def _job(row: dict[str, Any]) -> tuple[Any, Any]:
    # A job's files are recorded in one transaction, with its address and one finishing time.
    return row["url"], row["finished_at"]


def group(rows: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """The history rows, newest first, with each job's subtitle, cover and metadata files under "related"
    of its video (or audio) file; a job with none of those stays one row per file."""
    jobs: dict[tuple[Any, Any], list[dict[str, Any]]] = {}
    for row in rows:
        jobs.setdefault(_job(row), []).append(row)
    result: list[dict[str, Any]] = []
    for files in jobs.values():
        media = [r for r in files if r["name"].rsplit(".", 1)[-1].lower() not in BESIDE]
        beside = [r for r in files if r not in media]
        if not media:
            media, beside = [files[-1]], files[:-1]
        for main in media:
            result.append({**main, "related": []})
        # Written after the video (a higher number): listed in the order they were written.
        result[-1]["related"] = sorted(beside, key=lambda r: r["id"])
    return result


@route("POST", "/api/history/clear")
def clear_history(h: "Handler", m: "re.Match[str]") -> None:
    h.read_json()
    h.server.app.store.clear_history()
    h.reply(200, {"entries": []})


@route("DELETE", r"/api/history/([0-9]{1,12})")
def remove_history_entry(h: "Handler", m: "re.Match[str]") -> None:
    h.read_json()
    if not h.server.app.store.remove_entry(int(m.group(1))):
        raise errors.UserError("没有这条记录", 404)
    h.reply(200, {"ok": True})
