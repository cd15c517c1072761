"""Choosing what to download: the format list of an address, the presets, and the network settings."""

import filecmp
import os
import time
from typing import Iterator

import pytest

from media import MediaServer, _ffmpeg, big_file, media_dir
from support import Payload

# Three renditions of one video, as a page with a <video> element offers them.
SOURCES = (("720p", 1280, 720), ("480p", 640, 480), ("240p", 320, 240))


def rendition(label: str, width: int, height: int) -> str:
    name = f"r{label}.mp4"
    path = os.path.join(media_dir(), name)
    if not os.path.exists(path):
        _ffmpeg("-f", "lavfi", "-i", f"testsrc=size={width}x{height}:rate=25", "-f", "lavfi", "-i",
                "sine=frequency=440", "-t", "1", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
                "-c:a", "aac", "-movflags", "+faststart", path)
    return name


def video_page(*labels: str) -> str:
    sources = "".join(
        f'<source src="/{rendition(label, w, h)}" type=\'video/mp4; codecs="avc1.42E01E,mp4a.40.2"\' '
        f'label="{label}" res="{h}" width="{w}">' for label, w, h in SOURCES if label in labels)
    return f"<html><head><title>多清晰度</title></head><body><video controls>{sources}</video></body></html>"


@pytest.fixture(scope="module")
def server(module_workdir: str, module_media: MediaServer) -> Iterator[Payload]:
    """One server: each test removes the files it downloads."""
    module_media.pages["/multi"] = video_page("720p", "480p", "240p")
    module_media.pages["/large-only"] = video_page("720p")
    module_media.pages["/small-only"] = video_page("240p")
    server = Payload(module_workdir, {"concurrency": 3})
    yield server
    server.stop()


def sent(media: MediaServer) -> dict[str, int]:
    return {name: media.sent[name] for name in (rendition(*s) for s in SOURCES)}


def test_probe_lists_the_formats_best_first_and_a_failure_in_chinese(server: Payload, module_media: MediaServer) -> None:
    before = sent(module_media)
    status, body = server.request("POST", "/api/probe", {"url": module_media.url("multi")})
    # The generic extractor numbers a page's title by its video.
    assert status == 200 and body["title"].startswith("多清晰度"), body
    # (This engine keeps only the sound's codec from a <source>'s type.)
    assert [(f["id"], f["width"], f["height"], f["ext"], f["acodec"]) for f in body["formats"]] == \
        [(label, w, h, "mp4", "mp4a.40.2") for label, w, h in SOURCES]
    # Listing downloads nothing.
    assert sent(module_media) == before
    status, body = server.request("POST", "/api/probe", {"url": module_media.url("nothing-here")})
    assert (status, body) == (400, {"error": "解析失败：服务器拒绝了请求（HTTP 404）"})


# (page, format, the rendition that must arrive, what the job and its history row say of it)
@pytest.mark.parametrize("page, fmt, expected, got", [
    ("multi", "480p", "480p", ""), ("multi", "best", "720p", ""), ("multi", "1080p", "720p", "720p（没有 1080p）"),
    ("multi", "id:240p", "240p", ""),
    # Nothing at or below 480p: the smallest there is rather than nothing.
    ("large-only", "480p", "720p", "720p（没有 480p）"), ("small-only", "720p", "240p", "240p（没有 720p）")])
def test_each_choice_downloads_what_it_names_and_says_what_it_saved_instead(
        server: Payload, module_media: MediaServer, page: str, fmt: str, expected: str, got: str) -> None:
    before = sent(module_media)
    # The same page each time: fetched again on purpose.
    job = server.finish(module_media.url(page), fmt, force=True)
    assert (job["state"], job["format"], job["got"]) == ("done", fmt, got), job["error"]
    want = rendition(*next(s for s in SOURCES if s[0] == expected))
    assert {n for n, count in before.items() if module_media.sent[n] > count} == {want}
    path = os.path.join(server.download_dir, job["files"][0])
    assert os.path.splitext(path)[1] == ".mp4"
    assert filecmp.cmp(path, os.path.join(module_media.root, want), shallow=False)
    os.unlink(path)
    newest = server.request("GET", "/api/history")[1]["entries"][0]
    assert (newest["format"], newest["got"]) == (fmt, got)


# (format, saved file, where its container's signature starts, the signatures it may have)
@pytest.mark.parametrize("fmt, name, at, magic", [
    ("audio:opus", "clip.opus", 0, [b"OggS"]), ("audio:m4a", "clip.m4a", 4, [b"ftyp"]),
    ("audio:mp3", "clip.mp3", 0, [b"ID3", b"\xff"])])
def test_audio_presets_give_their_codec(server: Payload, module_media: MediaServer, fmt: str, name: str, at: int,
                                        magic: list[bytes]) -> None:
    job = server.finish(module_media.url("clip.mp4"), fmt, force=True)
    assert (job["state"], server.files()) == ("done", [name]), job["error"]
    path = os.path.join(server.download_dir, name)
    with open(path, "rb") as f:
        head = f.read(at + 4)[at:]
    os.unlink(path)
    assert any(head.startswith(m) for m in magic), head
    assert server.request("GET", "/api/history")[1]["entries"][0]["format"] == fmt


@pytest.mark.parametrize("fmt", ["8k", "audio:flac", "id:1/best", "id:", "id:a+b", 5])
def test_bad_choices_are_refused(server: Payload, module_media: MediaServer, fmt: object) -> None:
    status, body = server.add(module_media.url("clip.mp4"), fmt)
    assert status == 400 and "格式只能是" in body["error"], body


def test_fragments_and_speed_limit_from_the_settings(media: MediaServer, payload: Payload) -> None:
    for fragments in (1, 4):
        assert payload.request("POST", "/api/settings", {"fragments": fragments})[0] == 200
        media.most_in_flight = 0
        job = payload.finish(media.url(f"hls/v.m3u8?{fragments}"))
        assert (job["state"], media.most_in_flight) == ("done", fragments), (fragments, job["error"])
    big_file("limited.mp4", 400_000)

    def download(name: str) -> float:
        started = time.monotonic()
        job = payload.finish(media.url(name))
        assert job["state"] == "done", job["error"]
        return time.monotonic() - started

    free = download("limited.mp4?free")
    status, body = payload.request("POST", "/api/settings", {"rate_limit": 100 * 1024})
    assert status == 200, body
    limited = download("limited.mp4")
    # 400 kB at 100 KB/s takes about four seconds, where loopback alone takes a blink.
    assert limited > 3.0, (free, limited)


def test_sizes_and_what_can_be_picked() -> None:
    from downloader.probe import listing
    # The processed info carries the fields of the format the engine chose at its top
    # (YoutubeDL.process_video_result).
    info = {"title": "t", "duration": 10, "tbr": 900, "formats": [
        {"format_id": "exact", "filesize": 1000, "filesize_approx": 5, "tbr": 800},
        {"format_id": "site-guess", "filesize_approx": 2000, "tbr": 800},
        {"format_id": "from-rate", "tbr": 800},
        {"format_id": "unknown"},
        # Ids the selector would read as syntax cannot be offered.
        {"format_id": "a/b", "filesize": 1}, {"format_id": "a+b", "filesize": 1}, {"filesize": 1},
    ]}
    shown = listing(info)
    assert [(f["id"], f["size"], f["approximate"]) for f in shown["formats"]] == [
        ("unknown", None, False), ("from-rate", 1_000_000, True), ("site-guess", 2000, True), ("exact", 1000, False)]
    assert (shown["size"], shown["approximate"]) == (1_125_000, True)
