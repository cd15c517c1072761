"""Subtitles, covers and metadata: listed from a loopback page, saved beside the video or put inside it."""

import json
import os
import subprocess
from typing import Any, Callable

from media import MediaServer, media_dir, poster
from support import Payload

from downloader import extras

ZH_VTT = "WEBVTT\n\n00:00:00.000 --> 00:00:02.000\n你好，世界\n"
EN_VTT = "WEBVTT\n\n00:00:00.000 --> 00:00:02.000\nHello, world\n"


def media_files() -> None:
    """The subtitle tracks and the poster the test page names, beside the test clip."""
    root = media_dir()
    for name, text in (("zh.vtt", ZH_VTT), ("en.vtt", EN_VTT)):
        with open(os.path.join(root, name), "w", encoding="utf-8") as f:
            f.write(text)
    poster()


def subtitle_page(tracks: list[tuple[str, str, str]]) -> str:
    """A page the engine's generic extractor reads: a <video> with a poster and <track> elements."""
    lines = [f'<track kind="{kind}" srclang="{lang}" src="/{src}">' for kind, lang, src in tracks]
    return ("<!DOCTYPE html><html><head><title>字幕测试</title></head><body>"
            '<video controls poster="/poster.jpg"><source src="/clip.mp4" type="video/mp4">'
            + "".join(lines) + "</video></body></html>")


def probe(path: str) -> dict:
    run = subprocess.run(["ffprobe", "-v", "error", "-show_streams", "-show_format", "-of", "json", path],
                         capture_output=True, text=True, check=True)
    return json.loads(run.stdout)


def test_chinese_first_then_by_code_with_names_and_captions_marked() -> None:
    info = {
        "subtitles": {"en": [{}], "zh-TW": [{}], "ja": [{}], "zh-Hans": [{}], "xx-Q": [{}], "live_chat": [{}],
                      "zh-CN": [{}], "yue": [{}]},
        # Captions for a language that has real subtitles are not offered twice.
        "automatic_captions": {"zh": [{}], "de": [{}], "en": [{}], "empty": []},
    }
    assert [(l["code"], l["name"], l["automatic"]) for l in extras.languages(info)] == [
        ("zh", "中文", True), ("zh-Hans", "简体中文", False), ("zh-CN", "中文（中国大陆）", False),
        ("zh-TW", "中文（台湾）", False), ("yue", "粤语", False),
        ("de", "德语", True), ("en", "英语", False), ("ja", "日语", False), ("xx-Q", "xx-Q", False),
    ]


def test_listed_then_saved_beside_then_inside(media: MediaServer, payload: Payload) -> None:
    media_files()
    media.pages["/watch"] = subtitle_page([("subtitles", "en", "en.vtt"), ("subtitles", "ja", "en.vtt"),
                                           ("captions", "zh-Hans", "zh.vtt"), ("subtitles", "zh-TW", "zh.vtt"),
                                           ("subtitles", "fr", "en.vtt")])
    status, body = payload.request("POST", "/api/subtitles", {"url": media.url("watch")})
    assert [(l["code"], l["name"], l["automatic"]) for l in body["languages"]] == [
        ("zh-Hans", "简体中文", False), ("zh-TW", "中文（台湾）", False),
        ("en", "英语", False), ("fr", "法语", False), ("ja", "日语", False)], body
    status, body = payload.request("POST", "/api/subtitles", {"url": media.url("nothing-here")})
    assert status == 400 and body["error"].startswith("无法获取字幕列表："), body

    def download(**choice: Any) -> dict:
        status, body = payload.request("POST", "/api/jobs", {"urls": media.url("watch"), "force": True, **choice})
        assert status == 200, body
        job = payload.wait_job(body["added"][0]["id"], {"done", "failed"}, timeout=60)
        assert job["state"] == "done", job["error"]
        return job

    first = download(subtitles="beside", subtitle_langs=["zh-Hans", "en"])
    video = first["files"][0]
    stem = os.path.splitext(video)[0]
    assert first["files"] == [video, f"{stem}.zh-Hans.srt", f"{stem}.en.srt"]
    with open(os.path.join(payload.download_dir, f"{stem}.zh-Hans.srt"), encoding="utf-8") as f:
        assert f.read().strip() == "1\n00:00:00,000 --> 00:00:02,000\n你好，世界"
    # The same video again: its subtitles take the video's new name, not a number of their own.
    second = download(subtitles="beside", subtitle_langs=["zh-Hans"])
    assert second["files"] == [f"{stem} (1).mp4", f"{stem} (1).zh-Hans.srt"]
    assert payload.files() == sorted(first["files"] + second["files"])
    # Each video in the history with its own subtitles under it, the newest first.
    history = payload.request("GET", "/api/history")[1]["entries"]
    assert [[e["name"]] + [r["name"] for r in e["related"]] for e in history] == [second["files"], first["files"]]
    # Off by default: no cover, no tags, no subtitle stream.
    streams = probe(os.path.join(payload.download_dir, video))
    assert "title" not in streams["format"].get("tags", {})
    assert [s["codec_type"] for s in streams["streams"]] == ["video", "audio"]

    # Embedded: subtitles, cover and title inside the one file.
    job = download(subtitles="embed", subtitle_langs=["zh-Hans", "en"], embed_thumbnail=True, embed_metadata=True)
    assert len(job["files"]) == 1 and job["files"][0] not in first["files"] + second["files"], job["files"]
    assert payload.files() == sorted(first["files"] + second["files"] + job["files"])
    info = probe(os.path.join(payload.download_dir, job["files"][0]))
    subtitles = [s for s in info["streams"] if s["codec_type"] == "subtitle"]
    assert [s["tags"].get("language") for s in subtitles] == ["zho", "eng"]
    assert any(s.get("disposition", {}).get("attached_pic") for s in info["streams"]), info["streams"]
    assert info["format"]["tags"].get("title") == job["title"]


def test_the_choice_survives_a_restart(media: MediaServer, start: Callable[..., Payload]) -> None:
    server = start({"subtitles": "embed", "embed_metadata": True})
    choice = {"subtitles": "beside", "subtitle_langs": ["en"], "embed_thumbnail": True, "embed_metadata": False}
    new_id = server.request("POST", "/api/jobs", {"urls": media.url("slow/clip.mp4"), **choice})[1]["added"][0]["id"]
    assert server.request("POST", f"/api/jobs/{new_id}/pause", {})[0] == 200
    # What the page leaves out comes from the settings.
    _, body = server.request("POST", "/api/jobs", {"urls": media.url("slow/clip.mp4?b"), "subtitles": "off"})
    third = body["added"][0]["id"]
    server.request("POST", f"/api/jobs/{third}/pause", {})
    server.stop()
    jobs = start().jobs()
    assert jobs[new_id]["extras"] == choice
    assert jobs[third]["extras"] == {**extras.NONE, "embed_metadata": True, "subtitle_langs": extras.DEFAULT_LANGS}
