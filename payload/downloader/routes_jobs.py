"""The queue's routes: listing, adding (with the questions asked of a site first) and the commands on a job."""

import re
from typing import TYPE_CHECKING, Any

from . import extras, probe
from .routing import route

if TYPE_CHECKING:
    from .web import Handler


DUPLICATE = "这些视频已经在下载队列中或已经下载过"


def choice(body: dict[str, Any]) -> dict[str, Any]:
    """What a request chose besides the format: subtitles, cover, metadata."""
    return {k: body[k] for k in extras.KEYS if k in body}


@route("GET", "/api/jobs")
def jobs(h: "Handler", m: "re.Match[str]") -> None:
    manager = h.server.app.manager
    h.reply(200, {"jobs": manager.snapshot(), "engine_update": manager.engine_update()})


@route("POST", "/api/jobs")
def add_jobs(h: "Handler", m: "re.Match[str]") -> None:
    body = h.read_json()
    answer_added(h, h.server.app.manager.add(body.get("urls"), body.get("format"), choice(body),
                                            force=body.get("force") is True))


def answer_added(h: "Handler", result: dict[str, Any], **more: Any) -> None:
    added, rejected, duplicates = result["added"], result["errors"], result["duplicates"]
    # 409: nothing new was added, but some videos are already here and the page may ask to fetch them again.
    status = 200 if added else 409 if duplicates else 400
    error = {} if status == 200 else {"error": DUPLICATE if duplicates else rejected[0]}
    h.reply(status, {**more, **result, **error})


@route("POST", "/api/probe")
def probe_formats(h: "Handler", m: "re.Match[str]") -> None:
    body = h.read_json()
    h.reply(200, probe.probe(h.server.app.ask, body.get("url"), link=h.server.app.thumbnails.linker))


@route("POST", "/api/subtitles")
def subtitles(h: "Handler", m: "re.Match[str]") -> None:
    h.reply(200, extras.fetch_languages(h.server.app.ask, h.read_json().get("url")))


@route("POST", "/api/jobs/clear")
def clear_jobs(h: "Handler", m: "re.Match[str]") -> None:
    h.read_json()
    h.server.app.manager.clear_finished()
    h.reply(200, {"jobs": h.server.app.manager.snapshot()})


@route("POST", r"/api/jobs/([0-9]{1,9})/(cancel|retry|pause|resume)")
def job_command(h: "Handler", m: "re.Match[str]") -> None:
    h.read_json()
    manager = h.server.app.manager
    command = {"cancel": manager.cancel, "retry": manager.retry, "pause": manager.pause, "resume": manager.resume}
    h.reply(200, command[m.group(2)](int(m.group(1))))


@route("DELETE", r"/api/jobs/([0-9]{1,9})")
def remove_job(h: "Handler", m: "re.Match[str]") -> None:
    h.read_json()
    h.server.app.manager.remove(int(m.group(1)))
    h.reply(200, {"ok": True})


@route("GET", "/api/leftovers")
def leftover_list(h: "Handler", m: "re.Match[str]") -> None:
    h.reply(200, h.server.app.manager.leftover_list())


@route("POST", "/api/leftovers/(resume|delete)")
def leftover_command(h: "Handler", m: "re.Match[str]") -> None:
    manager = h.server.app.manager
    ids = h.read_json().get("ids")
    h.reply(200, manager.resume_leftovers(ids) if m.group(1) == "resume" else manager.delete_leftovers(ids))
