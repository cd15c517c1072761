"""The routes of the download engine: its state, a check, a rollback, the runtime and a chosen release."""

import re
from typing import TYPE_CHECKING

from . import engine_files, engine_loader
from .routing import route

if TYPE_CHECKING:
    from .web import Handler


@route("GET", "/api/engine")
def engine(h: "Handler", m: "re.Match[str]") -> None:
    h.reply(200, h.server.app.updater.status())


@route("POST", "/api/engine/warm")
def engine_warm(h: "Handler", m: "re.Match[str]") -> None:
    """The page's user has begun to type or paste an address: the server's own engine, which the
    add's duplicate check and the format list use, is imported now unless it is already."""
    h.read_json()
    engine_loader.warm_up_soon()
    h.reply(200, {"ok": True})


@route("POST", "/api/engine/(check|rollback|runtime)")
def engine_action(h: "Handler", m: "re.Match[str]") -> None:
    """Starts a check or the runtime's fetch, or goes back one engine; refusals come back as 409."""
    h.read_json()
    updater = h.server.app.updater
    action = {"check": updater.check, "rollback": updater.rollback, "runtime": updater.fetch_runtime}
    h.reply(200, action[m.group(1)]())


@route("POST", "/api/engine/import")
def engine_import(h: "Handler", m: "re.Match[str]") -> None:
    """The release files the user chose, checked and installed in the background like a download."""
    files = engine_files.read(h.read_json(engine_files.MAX_BODY))
    h.reply(200, h.server.app.updater.import_files(files))
