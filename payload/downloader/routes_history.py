"""The routes of the history of finished downloads."""

import re
from typing import TYPE_CHECKING
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
    h.reply(200, {"entries": store.entries(limit, offset, query), "count": count, "size": size, "matched": matched,
                  "offset": offset})


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
