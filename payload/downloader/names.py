"""File names for finished downloads: safe, unsurprising and short enough.

Titles come from the sites. A leading dot would hide the file and a leading
dash would read as an option to the user's tools; bidirectional controls
would show a name that differs from the real one (an ".exe" that reads as
".mp4"). Names are cut by bytes, which is what file systems count, at a
character boundary.
"""

import os
import re

_UNSAFE = re.compile("[\x00-\x1f\x7f\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069\ud800-\udfff/]")
# Marks that reorder or hide what a title shows, and controls.
_HIDDEN = re.compile("[\x00-\x1f\x7f-\x9f\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069]")
DEFAULT_STEM = "下载"

# What the engine writes and we keep under its own extension: media (the
# engine's MEDIA_EXTENSIONS, plus the containers of live streams), subtitles
# in every format the sites give, covers and metadata. A site chooses the
# extension; anything else (an .exe, a .desktop, a .sh, an .html) is saved
# with DISARMED appended, so no desktop runs or renders it by its name.
VIDEO = frozenset("3g2 3gp avi divx f4v flv m2ts m4v mk3d mkv mov mp4 mpeg mpg ogv ts webm wmv".split())
AUDIO = frozenset(("aac aiff alac ape asf f4a f4b flac m4a m4b m4r mka mp2 mp3 oga ogg ogx opus spx "
                   "vorbis wav weba wma").split())
# Plain-text subtitles; the XML and JSON formats (ttml, dfxp, srv1-3, json3) are kept but never opened.
TEXT_SUBTITLES = frozenset("srt vtt ass ssa lrc sbv".split())
DATA_SUBTITLES = frozenset("ttml dfxp srv1 srv2 srv3 json3".split())
COVERS = frozenset("jpg jpeg png webp".split())
METADATA = frozenset("json description".split())
KEPT = VIDEO | AUDIO | TEXT_SUBTITLES | DATA_SUBTITLES | COVERS | METADATA
# What "打开" hands to the desktop's opener; anything else is shown in its folder.
OPENABLE = VIDEO | AUDIO | TEXT_SUBTITLES
DISARMED = ".download"


def extension(name: str) -> str:
    return os.path.splitext(name)[1][1:].lower()


def kept_name(name: str) -> str:
    """name, with DISARMED appended unless its extension is one we keep."""
    name = _UNSAFE.sub("", name)
    return name if extension(name) in KEPT else name + DISARMED


def openable(path: str) -> bool:
    return extension(path) in OPENABLE


def visible(title: str) -> str:
    """A title as it is: without the marks that would show it reordered or hidden."""
    return _HIDDEN.sub("", title)


def name_limit(folder: str) -> int:
    """The longest file name, in bytes, that folder's file system takes."""
    try:
        return max(16, min(255, os.pathconf(folder, "PC_NAME_MAX")))
    except (OSError, ValueError):
        return 255


def _cut(text: str, size: int) -> str:
    """text cut to at most size bytes of UTF-8, never inside a character."""
    return text.encode("utf-8", "surrogatepass")[:max(0, size)].decode("utf-8", "ignore")


def safe_name(name: str, limit: int = 255, number: int = 0) -> str:
    """name made safe; number > 0 adds " (number)" before the extension, for a collision."""
    name = _UNSAFE.sub("", name)
    stem, ext = os.path.splitext(name)
    stem = stem.lstrip(" .-").rstrip(" ") or DEFAULT_STEM
    ext = _cut(ext, 32) if re.fullmatch(r"\.[\w]+", ext) else ""
    suffix = f" ({number})" if number else ""
    budget = limit - len((suffix + ext).encode("utf-8"))
    return _cut(stem, budget).rstrip(" ") + suffix + ext


def safe_folder_name(title: str, limit: int = 255, default: str = DEFAULT_STEM) -> str:
    """title made a safe name for one folder: no separators, nothing hidden, no "." or ".."."""
    # Unlike a file's name there is no extension to keep: "第1季.精选" is all name.
    name = _cut(_UNSAFE.sub("", title).strip().lstrip(".-").strip(), limit).rstrip(" .")
    return name or default


def inside(path: str, folder: str) -> bool:
    """True if path lies below folder (links resolved), folder itself excluded."""
    path = os.path.realpath(path)
    folder = os.path.realpath(folder)
    return os.path.commonpath([path, folder]) == folder and path != folder
