"""The engine's release files as the page sends them when the user imports them from disk.

Where the release site is out of reach, the user fetches the engine file and its
signed checksum list some other way and chooses them in the settings page. The
page sends them base64-encoded in one JSON body; they then go through the same
checks as a download.
"""

import base64
import binascii
from typing import Any

from .engines import ENGINE_FILE
from .errors import UserError

SUMS = "SHA2-256SUMS"
NAMES = (ENGINE_FILE, SUMS, SUMS + ".sig")
LIMITS = {ENGINE_FILE: 64 << 20, SUMS: 1 << 20, SUMS + ".sig": 1 << 16}
# The body that carries all three at their largest, base64 growing each by a third, with room for the JSON.
MAX_BODY = sum(LIMITS.values()) * 4 // 3 + (64 << 10)


def _listed(names: list[str] | tuple[str, ...]) -> str:
    return "、".join(names)


def read(body: dict[str, Any]) -> dict[str, bytes]:
    """Name -> content of the three files in body["files"] ([{"name", "data"}]); a clear refusal otherwise."""
    files = body.get("files")
    if not isinstance(files, list) or not all(isinstance(f, dict) for f in files):
        raise UserError("请求格式不正确")
    found: dict[str, bytes] = {}
    for entry in files:
        name, data = entry.get("name"), entry.get("data")
        if not isinstance(name, str) or not isinstance(data, str):
            raise UserError("请求格式不正确")
        if name not in NAMES:
            raise UserError(f"不认识的文件“{name[:80]}”：请只选择 {_listed(NAMES)} 这三个文件，并保留它们原来的文件名")
        if name in found:
            raise UserError(f"文件 {name} 选择了不止一次")
        if len(data) > LIMITS[name] * 4 // 3 + 4:
            raise UserError(f"文件 {name} 大得不正常，不是下载引擎的发布文件")
        try:
            found[name] = base64.b64decode(data, validate=True)
        except (binascii.Error, ValueError):
            raise UserError("请求格式不正确") from None
    missing = [n for n in NAMES if n not in found]
    if missing:
        raise UserError(f"缺少 {_listed(missing)}：需要同时选择 {_listed(NAMES)} 这三个文件，并保留它们原来的文件名")
    return found
