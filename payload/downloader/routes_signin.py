"""The routes of signing in: the sites the sign-in window holds a sign-in for, and the browsers
whose sign-ins the engine may read."""

import re
from typing import TYPE_CHECKING

from . import browsers, signed_in
from .routing import route

if TYPE_CHECKING:
    from .web import Handler


@route("GET", "/api/signin")
def signed_in_sites(h: "Handler", m: "re.Match[str]") -> None:
    # Without the shell there is no sign-in window, and nothing to list.
    h.reply(200, {"window": signed_in.snapshot_path() is not None, "sites": signed_in.sites(signed_in.read())})


@route("GET", "/api/browsers")
def browser_profiles(h: "Handler", m: "re.Match[str]") -> None:
    h.reply(200, {"profiles": browsers.found()})
