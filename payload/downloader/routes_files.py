"""Opening a download or showing it in its folder: the path is always the one the server recorded;
the request names only the job or the history row."""

import re
from typing import TYPE_CHECKING

from . import errors, opener
from .routing import route

if TYPE_CHECKING:
    from .web import Handler


@route("POST", r"/api/jobs/([0-9]{1,9})/(open|reveal)")
def open_job_file(h: "Handler", m: "re.Match[str]") -> None:
    h.read_json()
    _open(h, h.server.app.manager.finished_file(int(m.group(1))), m.group(2))


@route("POST", r"/api/history/([0-9]{1,12})/(open|reveal)")
def open_history_file(h: "Handler", m: "re.Match[str]") -> None:
    h.read_json()
    path = h.server.app.store.entry_path(int(m.group(1)))
    if path is None:
        raise errors.UserError("没有这条记录", 404)
    _open(h, path, m.group(2))


def _open(h: "Handler", path: str, how: str) -> None:
    if how == "reveal":
        opener.reveal(path)
        h.reply(200, {"ok": True})
        return
    message = opener.open_file(path)
    h.reply(200, {"ok": True, **({"revealed": True, "message": message} if message else {})})
