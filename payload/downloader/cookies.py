"""The cookies file named in the settings, checked when it is saved.

The engine reads only the Netscape format that browsers' cookies.txt
exporters write; it refuses a file whose first line lacks the format's
header, and skips lines that are not seven tab-separated fields. A file it
cannot use would fail every later download with an English message that
names the private copy each download gets, so it is refused here, in words.
"""

import os
import re

from .errors import UserError

# What the engine's cookie jar looks for on the first line.
MAGIC = re.compile(r"#( Netscape)? HTTP Cookie File")
HTTPONLY = "#HttpOnly_"
# An export of every cookie of a browser stays far below this.
MAX_BYTES = 16 << 20

HOW = "请用浏览器扩展以 Netscape 格式重新导出 cookies.txt。"
NOT_NETSCAPE = "“{name}”不是 Netscape 格式的 cookies 文件：它的第一行应是“# Netscape HTTP Cookie File”。" + HOW
JSON = "“{name}”是 JSON 格式的 cookies，下载引擎只能读取 Netscape 格式。" + HOW
EMPTY = "“{name}”里没有一条可用的 cookie。" + HOW
TOO_BIG = "“{name}”太大（超过 16 MB），不像是导出的 cookies.txt。" + HOW
UNREADABLE = "无法读取 Cookies 文件 {path}（{reason}）"


def check(path: str) -> None:
    """Raises UserError unless path holds at least one cookie the engine can read."""
    name = os.path.basename(path)
    try:
        with open(path, "rb") as f:
            raw = f.read(MAX_BYTES + 1)
    except OSError as e:
        raise UserError(UNREADABLE.format(path=path, reason=e.strerror or e)) from None
    if len(raw) > MAX_BYTES:
        raise UserError(TOO_BIG.format(name=name))
    lines = raw.decode("utf-8", "replace").lstrip("\ufeff").splitlines()
    first = next((line.strip() for line in lines if line.strip()), "")
    if first[:1] in ("[", "{"):
        raise UserError(JSON.format(name=name))
    if not lines or not MAGIC.search(lines[0]):
        raise UserError(NOT_NETSCAPE.format(name=name))
    # An export with no cookies at all is read fine; lines that are all wrong mean another format.
    content = [line for line in lines[1:] if line.strip() and (line.startswith(HTTPONLY) or not line.startswith("#"))]
    if content and not any(_entry(line) for line in content):
        raise UserError(EMPTY.format(name=name))


def _entry(line: str) -> bool:
    """Whether line is one cookie as the engine reads it: seven fields, the expiry a number or empty."""
    if line.startswith(HTTPONLY):
        line = line[len(HTTPONLY):]
    if line.startswith("#") or not line.strip():
        return False
    fields = line.split("\t")
    return len(fields) == 7 and (not fields[4] or fields[4].isdigit()) and bool(fields[0])
