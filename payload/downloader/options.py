"""What the engine is told besides where to save: the job's format and the user's network settings."""

import contextlib
import os
import shutil
import tempfile
from typing import Any, Iterator

from . import signed_in
from .errors import UserError
from .model import Format

# Audio the site already offers in the wanted codec is kept as it is instead of being converted.
_AUDIO_FIRST = {"m4a": "bestaudio[ext=m4a]/", "opus": "bestaudio[acodec=opus]/", "mp3": ""}


def format_options(fmt: Format) -> dict[str, Any]:
    """The format selector and post-processors for fmt; "best" leaves the engine's own default."""
    codec = fmt.audio_codec
    if codec:
        extract: dict[str, Any] = {"key": "FFmpegExtractAudio", "preferredcodec": codec}
        if codec == "mp3":
            extract["preferredquality"] = "192"
        return {"format": _AUDIO_FIRST[codec] + "bestaudio/best", "postprocessors": [extract]}
    if fmt.height:
        h = fmt.height
        # The best at or below the height (formats of unknown height count as fitting); a site that
        # only has larger ones still gives its smallest rather than nothing.
        return {"format": f"bestvideo*[height<=?{h}]+bestaudio/best[height<=?{h}]/worstvideo*+bestaudio/worst"}
    if fmt.format_id:
        i = fmt.format_id
        # A picture-only format gets the best sound added; one with sound, or of unknown sound, is taken as is.
        return {"format": f"{i}[acodec!=?none]/{i}+bestaudio/{i}"}
    return {}


def network_options(settings: dict[str, Any]) -> dict[str, Any]:
    """Speed limit, proxy and parallel fragments; an empty proxy leaves the system's proxy settings in force."""
    result: dict[str, Any] = {"concurrent_fragment_downloads": settings.get("fragments") or 4}
    if settings.get("rate_limit"):
        result["ratelimit"] = settings["rate_limit"]
    if settings.get("proxy"):
        result["proxy"] = settings["proxy"]
    return result


# The parameter that names the user's cookies file until private_cookies gives the engine its copy.
# The engine never sees it, so parameters that skip that step carry no cookies rather than the
# engine writing its jar back into the user's file.
COOKIES = "zormak_cookies_file"


@contextlib.contextmanager
def private_cookies(params: dict[str, Any], address: str = "") -> Iterator[dict[str, Any]]:
    """params for the engine, with the cookies file they name replaced by a private copy for the block;
    the copy also holds the sign-in window's cookies for the site of address."""
    extra = signed_in.lines_for(address)
    with cookie_copy(params.get(COOKIES) or "", extra) as cookies:
        yield {**{k: v for k, v in params.items() if k != COOKIES}, **cookies}


@contextlib.contextmanager
def cookie_copy(path: str, extra: str = "") -> Iterator[dict[str, Any]]:
    """The cookiefile option for path and the cookie lines extra, as a private copy of them.

    The engine writes its cookie jar back to the file when it is done; several
    downloads at once would overwrite each other's writes and could leave the
    user's exported file damaged, so each gets its own copy and the original
    is only ever read. The copy is the user's alone (mkstemp makes it 0600)
    and is removed when the call ends, however it ends."""
    if not path and not extra:
        yield {}
        return
    fd, copy = tempfile.mkstemp(prefix="zormak-cookies-", suffix=".txt")
    try:
        with os.fdopen(fd, "wb") as dst:
            if path:
                try:
                    with open(path, "rb") as src:
                        shutil.copyfileobj(src, dst)
                except OSError as e:
                    raise UserError(f"无法读取 Cookies 文件 {path}（{e.strerror or e}）。请在设置中检查这个文件，"
                                    "或清空这一项后重试。") from None
            else:
                # The engine takes a file only after this line.
                dst.write(b"# Netscape HTTP Cookie File\n")
            if extra:
                dst.write(b"\n" + extra.encode("utf-8"))
        yield {"cookiefile": copy}
    finally:
        with contextlib.suppress(OSError):
            os.unlink(copy)
