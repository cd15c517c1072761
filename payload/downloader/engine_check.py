"""Checking an unpacked engine against the digests of its files recorded when it was unpacked.

A file changed in place keeps its size and time, which the quick tree digest
read at start cannot see; the content digests can. The server checks them
before it imports an engine and each download process before it does, and a
copy that no longer matches gives way to the verified engine file it was
unpacked from.
"""

import hashlib
import json
import os

from .engines import ENGINE_FILE, UNPACKED, file_sha256
from .log import say

# engine.json's key for {relative path: SHA-256} of every unpacked file.
DIGESTS = "unpacked_files"


def file_digests(folder: str) -> dict[str, str]:
    """SHA-256 of every file below folder by its relative path, byte code caches aside."""
    found: dict[str, str] = {}
    for root, dirs, names in os.walk(folder):
        dirs[:] = [d for d in dirs if d != "__pycache__"]
        for name in names:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, folder)] = hashlib.sha256(f.read()).hexdigest()
    return found


def _checked(entry: str) -> str:
    """entry, or the verified engine file beside it when entry is an unpacked copy that changed."""
    if os.path.basename(entry) != UNPACKED or not os.path.isdir(entry):
        return entry
    folder = os.path.dirname(entry)
    try:
        with open(os.path.join(folder, "engine.json"), encoding="utf-8") as f:
            record = json.load(f)
        digests = record.get(DIGESTS) if isinstance(record, dict) else None
        if not isinstance(digests, dict) or file_digests(entry) == digests:
            # Unpacked by a version that kept no digests: the import itself is the check.
            return entry
        engine_file = os.path.join(folder, ENGINE_FILE)
        if file_sha256(engine_file) != record.get("sha256"):
            say(f"[引擎] 下载引擎 {folder} 的文件已被改动，原始的引擎文件也不完整")
            return entry
    except (OSError, ValueError) as e:
        say(f"[引擎] 无法检查下载引擎 {folder}：{e}")
        return entry
    say(f"[引擎] 下载引擎 {os.path.basename(folder)} 解开的文件已被改动，改用校验过的引擎文件")
    return engine_file


def checked_path(sys_path: tuple[str, ...] | list[str]) -> tuple[str, ...]:
    return tuple(_checked(p) for p in sys_path)
