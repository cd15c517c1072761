"""Finding the addresses in pasted text, and telling when two of them are the same video.

People paste what an app's share button gives them: a sentence with the
address in it, several addresses on a line, or a bare "www." name. The
server, not the page, decides what is an address, so that every client gets
the same answer and nothing but http and https ever reaches yt-dlp.
"""

import re
from dataclasses import dataclass, field
from typing import Any, Iterable
from urllib.parse import urlsplit, urlunsplit

from . import errors

# An address starts at "http://", "https://" or "www." that does not continue a
# word, a host name or a path ("ftp://www.x" is not a web address).
_START = re.compile(r"(?<![A-Za-z0-9.\-@/])(?:https?://|www\.)", re.IGNORECASE)
# It runs over the characters an address can hold unencoded: full-width
# punctuation, CJK text and white space end it.
_BODY = re.compile(r"[A-Za-z0-9\-._~:/?#\[\]@!$&'()*+,;=%]*")
# Sentence punctuation after an address is not part of it.
_TRAILING = ".,;:!?'\"*"
_PAIRS = {")": "(", "]": "["}


@dataclass
class Paste:
    """What a paste gave: the usable addresses, and the lines kept back with why."""
    addresses: list[str] = field(default_factory=list)
    unusable: list[str] = field(default_factory=list)
    errors: list[str] = field(default_factory=list)


def _trim(candidate: str) -> str:
    while candidate:
        last = candidate[-1]
        if last in _TRAILING:
            candidate = candidate[:-1]
        elif last in _PAIRS and candidate.count(last) > candidate.count(_PAIRS[last]):
            # "(see http://x/a)": the bracket closes the sentence's, not the address's.
            candidate = candidate[:-1]
        else:
            break
    return candidate


def _candidates(line: str) -> list[str]:
    found = []
    for m in _START.finditer(line):
        body = _BODY.match(line, m.end())
        text = _trim(line[m.start():body.end() if body else m.end()])
        if text.lower().startswith("www."):
            text = "https://" + text
        found.append(text)
    return found


def extract(text: str) -> Paste:
    """Every http(s) address in text, in order and without repeats; a line that gave none is kept back."""
    paste = Paste()
    for raw in text.splitlines():
        line = raw.strip()
        if not line:
            continue
        try:
            if errors.unsafe(line.replace("\t", " ")):
                # Control and direction characters are refused whole: a cut-out address
                # would hide what the line really said.
                raise errors.UserError(errors.NOT_AN_ADDRESS.format(text=errors.shown(line)))
            good = []
            for candidate in _candidates(line):
                try:
                    good.append(errors.check_address(candidate))
                except errors.UserError:
                    pass
            if not good:
                raise errors.UserError(errors.NOT_AN_ADDRESS.format(text=errors.shown(line)))
        except errors.UserError as e:
            paste.unusable.append(line)
            paste.errors.append(e.message)
            continue
        for address in good:
            if address not in paste.addresses:
                paste.addresses.append(address)
    return paste


def normalise(url: str) -> str:
    """The address with what does not change the page it names made uniform."""
    parts = urlsplit(url)
    scheme = parts.scheme.lower()
    host = (parts.hostname or "").lower()
    port = parts.port
    netloc = host if port is None or (scheme, port) in (("http", 80), ("https", 443)) else f"{host}:{port}"
    return urlunsplit((scheme, netloc, parts.path or "/", parts.query, ""))


def address_key(url: str) -> tuple[str, str]:
    """A key from the address alone, for while the site extractors are not at hand: the same page under
    either scheme or with another fragment gives the same key, but a short and a long link of one video
    do not."""
    parts = urlsplit(url)
    host = (parts.hostname or "").lower()
    port = parts.port
    netloc = host if port is None or port in (80, 443) else f"{host}:{port}"
    return "address", urlunsplit(("", netloc, parts.path or "/", parts.query, ""))


def video_key(url: str, extractors: Iterable[Any]) -> tuple[str, str]:
    """(site, video id) of an address, found offline by the site extractors' own address patterns.

    Two addresses of one video (a short link and a long one, extra tracking
    parameters) give the same key; an address no site extractor claims is its
    own normalised form under "generic"."""
    try:
        for ie in extractors:
            key = ie.ie_key()
            if key == "Generic" or not ie.suitable(url):
                continue
            try:
                return key.lower(), str(ie._match_id(url))
            except Exception:  # noqa: BLE001  (a pattern without an id group)
                return key.lower(), normalise(url)
    except Exception:  # noqa: BLE001  (a broken extractor must not stop the paste)
        pass
    return "generic", normalise(url)
