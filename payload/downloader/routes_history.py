"""The routes of the history of finished downloads."""

import re
from typing import TYPE_CHECKING

from . import errors
from .routing import route

if TYPE_CHECKING:
    from .web import Handler


@route("GET", "/api/history")
def history(h: "Handler", m: "re.Match[str]") -> None:
    h.reply(200, {"entries": h.server.app.store.entries()})


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
