"""The sites the user signed in to in the shell's sign-in window, and their cookies for the engine.

The shell owns the sign-in window's cookie jar and writes every cookie it
holds, those that end with the session included, to a file only this user
can read, each time the jar changes (ZORMAK_SIGNIN_COOKIES names it; a
server started by hand has none). The jar's own database is no use here: it
keeps no session cookies, which is how many sites keep a sign-in, and the
live jar overwrites whatever another process changes in it. At the start of
each engine call only the cookies of the site asked about are taken from
that file, into the engine's private copy (options.private_cookies), so a
site never receives what another site set.
"""

import contextlib
import ipaddress
import os
import stat
import time
from dataclasses import dataclass
from urllib.parse import urlsplit

from .log import say

VARIABLE = "ZORMAK_SIGNIN_COOKIES"
HTTP_ONLY = "#HttpOnly_"
# Second-level labels under which a country's sites register their names (example.co.uk).
_REGISTRY_LABELS = {"co", "com", "net", "org", "gov", "edu", "ac", "ne", "or", "go"}
# A sign-in jar of a few thousand cookies is a few hundred KB; anything far larger is not ours.
_LIMIT = 8 << 20


@dataclass(frozen=True)
class Cookie:
    domain: str
    path: str
    secure: bool
    expires: int  # 0: ends with the session
    name: str
    value: str
    http_only: bool

    def line(self) -> str:
        """The cookie as a line of a Netscape cookie file, the way the engine reads it."""
        flag = "TRUE" if self.domain.startswith(".") else "FALSE"
        fields = (self.domain, flag, self.path, "TRUE" if self.secure else "FALSE", str(self.expires),
                  self.name, self.value)
        return (HTTP_ONLY if self.http_only else "") + "\t".join(fields) + "\n"


def snapshot_path() -> str | None:
    path = os.environ.get(VARIABLE, "")
    return path if os.path.isabs(path) else None


def _private_text(path: str) -> str | None:
    """The file's text when it is a regular file of ours that nobody else may read or write."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
    except FileNotFoundError:
        return None
    except OSError as e:
        say(f"[登录] 无法读取登录状态 {path}：{e.strerror or e}")
        return None
    with os.fdopen(fd, "rb") as f:
        st = os.fstat(f.fileno())
        if not stat.S_ISREG(st.st_mode) or st.st_uid != os.getuid() or st.st_mode & 0o077:
            # Another user could have put cookies there for our downloads to carry.
            say(f"[登录] 不使用 {path}：它不是只属于当前用户的文件")
            return None
        return f.read(_LIMIT).decode("utf-8", "replace")


def parse(text: str, now: float | None = None) -> list[Cookie]:
    """The unexpired cookies of a Netscape cookie file; lines that are not cookies are left out."""
    now = time.time() if now is None else now
    found = []
    for raw in text.splitlines():
        http_only = raw.startswith(HTTP_ONLY)
        line = raw[len(HTTP_ONLY):] if http_only else raw
        if not line.strip() or line.startswith("#"):
            continue
        fields = line.split("\t")
        if len(fields) != 7 or not fields[4].isascii() or not fields[4].isdigit() or not fields[0]:
            continue
        domain, _, path, secure, expires, name, value = fields
        if "\n" in value or "\r" in value or (int(expires) and int(expires) <= now):
            continue
        found.append(Cookie(domain.lower(), path or "/", secure == "TRUE", int(expires), name, value, http_only))
    return found


def read(path: str | None = None) -> list[Cookie]:
    path = path or snapshot_path()
    text = _private_text(path) if path else None
    return parse(text) if text else []


def site_of(host: str) -> str:
    """The name a site registered, which its cookies share: www.example.com and
    .example.com give example.com, an address or a single label is itself."""
    host = host.strip(".").lower()
    with contextlib.suppress(ValueError):
        ipaddress.ip_address(host.strip("[]"))
        return host
    labels = host.split(".")
    if len(labels) <= 2:
        return host
    keep = 3 if len(labels[-1]) == 2 and labels[-2] in _REGISTRY_LABELS else 2
    return ".".join(labels[-keep:])


def sites(cookies: list[Cookie]) -> list[str]:
    """The sites that hold cookies, sorted."""
    return sorted({site_of(c.domain) for c in cookies})


def for_address(cookies: list[Cookie], address: str) -> list[Cookie]:
    """The cookies of the site that address belongs to."""
    try:
        host = urlsplit(address).hostname
    except ValueError:
        return []
    if not host:
        return []
    site = site_of(host)
    return [c for c in cookies if site_of(c.domain) == site]


def lines_for(address: str) -> str:
    """The sign-in cookies for address as lines of a Netscape cookie file; empty without any."""
    return "".join(c.line() for c in for_address(read(), address)) if address else ""
