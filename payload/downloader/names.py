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
DEFAULT_STEM = "下载"


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
