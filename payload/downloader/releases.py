"""Which release of the engine a check takes, and from where.

A channel is one repository's releases. Its `latest` address answers with a
redirect to the newest release's tag; every file of one check is then fetched
from that tag's folder, so a release published while a check runs cannot mix
the files of two releases (which would look like tampering).

Each release carries an `_update_spec` whose lock lines keep installations the
newest engine no longer runs on (an old Python, an old system) on the last
release that does. It is not signed, so it may only lower what is taken.
"""

import platform
import re
import ssl
import sys
import urllib.request
from typing import Any
from urllib.parse import unquote, urljoin

from .engines import _VERSION as _ENGINE_VERSION

REPOSITORIES = {"stable": "yt-dlp/yt-dlp", "nightly": "yt-dlp/yt-dlp-nightly-builds"}
RELEASES = {channel: f"https://github.com/{repo}/releases/" for channel, repo in REPOSITORIES.items()}
LOCKS_FILE = "_update_spec"
# A lock's tag, as the engine's own updater recognises a version.
_LOCK_VERSION = re.compile(r"(\d+\.)*\d+")


class Unfollowed(urllib.request.HTTPRedirectHandler):
    """Hands a redirect back as the answer: the tag is read from it, not from where it leads."""

    def http_error_302(self, req: Any, fp: Any, code: int, msg: str, headers: Any) -> Any:
        return fp

    http_error_301 = http_error_303 = http_error_307 = http_error_308 = http_error_302


def tag_from(base: str, location: str | None) -> str | None:
    """The release tag `<base>latest` redirected to (`<base>tag/<tag>`); None for anything else."""
    if not location:
        return None
    url = urljoin(base + "latest", location)
    prefix = base + "tag/"
    if not url.startswith(prefix):
        return None
    tag = unquote(url[len(prefix):])
    # The engine's releases are tagged with their version; nothing else is fetched from.
    return tag if _ENGINE_VERSION.fullmatch(tag) else None


def system_identifier() -> str:
    """This Python and system in the form the engine's system_identifier() gives, which lock patterns match."""
    implementation = platform.python_implementation()
    pypy = getattr(sys, "pypy_version_info", None)
    if implementation == "PyPy" and pypy is not None:
        implementation += " version %d.%d.%d" % tuple(pypy[:3])
    try:
        libc = " ".join(part for part in platform.libc_ver() if part)
    except OSError:
        libc = ""
    return "Python {} ({} {} {}) - {} ({}{})".format(
        platform.python_version(), implementation, platform.machine(), platform.architecture()[0],
        platform.platform(), ssl.OPENSSL_VERSION, f", {libc}" if libc else "")


def identifier() -> str:
    """What the engine's updater calls itself here: the zipimport build ("zip") on this Python."""
    return "zip " + system_identifier()


def _numbers(version: str) -> tuple[int, ...]:
    return tuple(int(part) for part in version.split("."))


def locked(locks: str, tag: str, identifier: str, repository: str) -> str | None:
    """The tag to take instead of tag under the lock lines of _update_spec, read as the engine's updater reads them
    for a request of the latest release: the first line for this repository (lockV2) or any (lock, when
    no lockV2 line is there) whose pattern matches identifier names the last release that runs here.
    None when a line says that tag itself does not. Never a release newer than tag."""
    lines = locks.splitlines()
    second = any(line.startswith("lockV2 ") for line in lines)
    for line in lines:
        if second:
            if not line.startswith(f"lockV2 {repository} "):
                continue
            parts = line.split(" ", 3)[2:]
        elif line.startswith("lock "):
            parts = line.split(" ", 2)[1:]
        else:
            continue
        if len(parts) != 2:
            continue
        lock, pattern = parts
        try:
            if not re.match(pattern, identifier):
                continue
        except re.error:
            continue
        if _LOCK_VERSION.fullmatch(lock):
            return lock if _numbers(lock) < _numbers(tag) else tag
        if lock == tag:
            return None
    return tag
