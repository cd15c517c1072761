"""An unpacked engine changed in place (same size, same time): the server and the downloads check it against
the digests recorded when it was unpacked, and one that still fails to import gives way to the previous."""

import glob
import json
import os
import shutil
from typing import Callable

import pytest

from media import MediaServer
from release import engine_folder
from support import Payload, write_json

from downloader.engine_check import DIGESTS, file_digests
from downloader.engines import bundled_version, tree_sha256, unpack

NEW = "2026.11.20"


def install(data: str, version: str, digests: bool) -> str:
    """An engine folder as a verified update leaves it, unpacked and made the active one; returns its copy."""
    folder = os.path.join(data, "engines", engine_folder(data, version, previous="bundled"))
    lib = os.path.join(folder, "lib")
    unpack(os.path.join(folder, "yt-dlp"), lib)
    with open(os.path.join(folder, "engine.json"), encoding="utf-8") as f:
        record: dict[str, object] = {**json.load(f), "unpacked_sha256": tree_sha256(lib)}
    if digests:
        record[DIGESTS] = file_digests(lib)
    write_json(os.path.join(folder, "engine.json"), record)
    return lib


def damage(lib: str) -> None:
    """200 bytes of YoutubeDL.py overwritten, its size and time kept; no byte code to hide it."""
    path = os.path.join(lib, "yt_dlp", "YoutubeDL.py")
    st = os.stat(path)
    with open(path, "r+b") as f:
        f.seek(st.st_size // 2)
        f.write(b"!" * 200)
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))
    for cache in glob.glob(os.path.join(lib, "**", "__pycache__"), recursive=True):
        shutil.rmtree(cache)
    with open(os.path.join(os.path.dirname(lib), "engine.json"), encoding="utf-8") as f:
        assert tree_sha256(lib) == json.load(f)["unpacked_sha256"], "the quick digest should not see this"


@pytest.mark.parametrize("digests, version, card", [
    # With digests the verified file of the same engine is used; without, the previous engine.
    (True, NEW, "是最新的"), (False, bundled_version(), "已损坏")])
def test_a_changed_engine_never_breaks_adds(workdir: str, media: MediaServer, start: Callable[..., Payload],
                                            digests: bool, version: str, card: str) -> None:
    data = os.path.join(workdir, "data")
    damage(install(data, NEW, digests))
    server = start()
    status, body = server.request("POST", "/api/probe", {"url": media.url("clip.mp4")}, timeout=60)
    assert status == 200, body
    job = server.finish(media.url("clip.mp4"), timeout=60)
    assert job["state"] == "done", job["error"]
    assert f"下载引擎 {version}" in server.output()
    engine = server.request("GET", "/api/engine")[1]
    assert engine["version"] == version and card in engine["summary"], engine
    if not digests:
        assert engine["failed"]["version"] == NEW
        # The record now names the previous engine, so the next start does not try the broken one.
        with open(os.path.join(data, "engines", "current.json"), encoding="utf-8") as f:
            assert json.load(f)["current"] == "bundled"
    assert "Traceback" not in server.output()
