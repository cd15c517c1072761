"""Playlists: listing a feed of several videos, choosing entries, and their folder through a restart."""

import os
from typing import Any, Callable

import pytest

from media import MediaServer
from support import Payload, wait_for

from downloader import errors, playlists
from downloader.names import safe_folder_name

# A title a site may well send: a path separator, a leading "..", a bidirectional control.
TITLE = "../合集/第一季：\u202e精选"
FOLDER = "合集第一季：精选"
# What the chooser shows of it: the control that would reorder the text is gone.
SHOWN = "../合集/第一季：精选"


def feed(media: Any, title: str, paths: list[str]) -> str:
    """An RSS feed whose items enclose the media server's files; the engine lists it as a playlist."""
    items = "".join(
        f'<item><title>第{i}集</title><enclosure url="{media.url(p)}" type="video/mp4"/>'
        f"<itunes:duration>00:0{i}</itunes:duration></item>" for i, p in enumerate(paths, 1))
    return ('<?xml version="1.0" encoding="UTF-8"?>'
            '<rss version="2.0" xmlns:itunes="http://www.itunes.com/dtds/podcast-1.0.dtd">'
            f"<channel><title>{title}</title>{items}</channel></rss>")


@pytest.mark.parametrize("text, count, expected", [
    ("1-5, 8, 10-", 12, [1, 2, 3, 4, 5, 8, 10, 11, 12]), ("3", 5, [3]), ("-2，4、5", 5, [1, 2, 4, 5]),
    ("2-4, 3-5, 4", 6, [2, 3, 4, 5]), ("5 1", 5, [1, 5]), ("1～3", 3, [1, 2, 3]), ("4-4", 4, [4]),
    ("5-2", 9, "起点大于终点，请写成“2-5”"), ("0", 9, "序号超出范围：“0”，这个列表只有 1 到 9"),
    ("8-12", 9, "序号超出范围：“8-12”，这个列表只有 1 到 9"), ("10-", 9, "序号超出范围"), ("abc", 9, "无法识别“abc”"),
    ("1-2-3", 9, "无法识别"), ("-", 9, "无法识别"), ("1.5", 9, "无法识别"), ("", 9, "请填写要下载的序号"),
    (None, 9, "请填写要下载的序号")])
def test_range_texts(text: str | None, count: int, expected: list[int] | str) -> None:
    if isinstance(expected, str):
        with pytest.raises(errors.UserError, match=expected):
            playlists.parse_range(text, count)
    else:
        assert playlists.parse_range(text, count) == expected


@pytest.mark.parametrize("title, expected", [
    (TITLE, FOLDER), ("..", "播放列表"), ("  ", "播放列表"), (".隐藏", "隐藏"), ("-开头", "开头"), ("第1季.精选", "第1季.精选"),
    ("结尾。。..", "结尾。。"), ("长" * 100, "长" * 40)])
def test_folder_names(title: str, expected: str) -> None:
    assert playlists.folder_name(title) == expected
    assert safe_folder_name(expected) == expected


def test_a_list_is_listed_never_downloaded_whole_and_a_single_video_is_queued(media: MediaServer,
                                                                             payload: Payload) -> None:
    media.pages["/feed"] = feed(media, TITLE, [f"clip.mp4?n={i}" for i in range(1, 4)])
    # Share text around the address is as good as the address alone.
    status, body = payload.request("POST", "/api/playlist", {"url": f"看看这个{media.url('feed')}，很好看"})
    assert (status, body["playlist"], body["title"], body["folder"]) == (200, True, SHOWN, FOLDER), body
    assert [(e["index"], e["title"], e["duration"], e["url"]) for e in body["entries"]] == \
        [(i, f"第{i}集", i, media.url(f"clip.mp4?n={i}")) for i in range(1, 4)]
    # Listing reads the feed alone: no video is fetched and nothing is added.
    assert (media.requests, payload.jobs()) == (["/feed"], {})

    # A list that reaches the queue as one address is refused, not downloaded whole into one job.
    media.pages["/empty-feed"] = feed(media, "空", [])
    # A page that only forwards to the list: the list is found one step further in.
    media.pages["/moved"] = (f'<html><head><meta http-equiv="refresh" content="0; url={media.url("feed")}">'
                             "</head><body></body></html>")
    for page, count in [("feed", " 3 个视频"), ("moved", " 3 个视频"), ("empty-feed", " 0 个视频")]:
        status, body = payload.add(media.url(page))
        assert status == 200, body
        job = payload.wait_job(body["added"][0]["id"], {"done", "failed"})
        assert (job["state"], job["error"]) == ("failed", f"这个网址是一个包含{count}的列表，没有下载任何内容。"
                                                "请粘贴这个网址后点击“列出”，选择要下载的视频，每个视频会成为一个单独的下载。")
        # No entry was fetched and no staging folder is left behind.
        assert [r for r in media.requests if r.startswith("/clip")] == [], page
        wait_for(lambda: payload.files() == [], 5, message="the staging folder to go")
    # A retry meets the same list and says the same.
    first = min(payload.jobs())
    assert payload.request("POST", f"/api/jobs/{first}/retry", {})[0] == 200
    assert payload.wait_job(first, {"done", "failed"})["state"] == "failed"
    wait_for(lambda: payload.files() == [], 5, message="the staging folder to go")

    # A single video goes straight to the queue.
    status, body = payload.request("POST", "/api/playlist", {"url": media.url("clip.mp4")})
    assert (status, body["playlist"], len(body["added"])) == (200, False, 1), body
    job = payload.wait_job(body["added"][0]["id"], {"done", "failed"})
    assert (job["state"], job["folder"], payload.files()) == ("done", "", ["clip.mp4"]), job["error"]


def listing(server: Payload, media: MediaServer, paths: list[str]) -> dict[str, Any]:
    media.pages["/feed"] = feed(media, TITLE, paths)
    status, body = server.request("POST", "/api/playlist", {"url": media.url("feed")})
    assert status == 200, body
    return body


def test_chosen_entries_become_jobs_in_the_playlist_folder_and_nothing_else_does(media: MediaServer,
                                                                                 start: Callable[..., Payload]) -> None:
    server = start({"concurrency": 3})
    listed = listing(server, media, [f"clip.mp4?n={i}" for i in range(1, 7)])
    select = {"id": listed["id"], "range": "5-, 2"}
    assert server.request("POST", "/api/playlist/select", select) == (200, {"indices": [2, 5, 6]})
    status, body = server.request("POST", "/api/playlist/select", {"id": listed["id"], "range": "4-9"})
    assert (status, body["error"]) == (400, "序号超出范围：“4-9”，这个列表只有 1 到 6")

    status, body = server.request("POST", "/api/playlist/add", select)
    assert (status, body["folder"]) == (200, FOLDER), body
    status, more = server.request("POST", "/api/playlist/add",
                                  {"id": listed["id"], "indices": [1, 1], "format": "audio"})
    assert status == 200, more
    jobs = body["added"] + more["added"]
    assert [(j["url"], j["title"], j["folder"]) for j in jobs] == \
        [(media.url(f"clip.mp4?n={i}"), f"第{i}集", FOLDER) for i in (2, 5, 6, 1)]
    assert len(server.jobs()) == 4
    for job in jobs:
        assert server.wait_job(job["id"], {"done", "failed"})["state"] == "done"
    assert server.files() == [FOLDER] + [os.path.join(FOLDER, n) for n in (
        "clip (1).mp4", "clip (2).mp4", "clip.mp3", "clip.mp4")]
    entries = server.request("GET", "/api/history")[1]["entries"]
    assert {os.path.dirname(e["path"]) for e in entries} == {os.path.join(server.download_dir, FOLDER)}
    # Requests that name nothing listed add nothing.
    for request, status, message in [
            ({"id": listed["id"] + 1, "indices": [1]}, 404, "这个列表已经过期，请重新点击“列出”"),
            ({"id": listed["id"], "indices": [7]}, 400, "序号超出范围，这个列表只有 1 到 6"),
            ({"id": listed["id"], "indices": [0]}, 400, "序号超出范围，这个列表只有 1 到 6"),
            ({"id": listed["id"], "indices": []}, 400, "请至少选择一个视频"),
            ({"id": listed["id"], "indices": "1"}, 400, "请求格式不正确"),
            ({"id": listed["id"], "indices": [True]}, 400, "请求格式不正确"),
            ({"id": listed["id"], "range": "x"}, 400, "无法识别“x”：请用序号和范围，例如“1-5, 8, 10-”")]:
        assert server.request("POST", "/api/playlist/add", request) == (status, {"error": message}), request
    assert len(server.jobs()) == 4


def test_folder_survives_a_restart_mid_download_and_an_edited_one_leads_nowhere(
        workdir: str, media: MediaServer, start: Callable[..., Payload]) -> None:
    server = start()
    listed = listing(server, media, ["slow/clip.mp4", "clip.mp4"])
    job_id = server.request("POST", "/api/playlist/add", {"id": listed["id"], "indices": [1]})[1]["added"][0]["id"]
    wait_for(lambda: server.jobs()[job_id]["downloaded"] > 0, 20, message="bytes to arrive")
    assert server.stop() == 0
    assert server.query("SELECT folder FROM jobs WHERE id = ?", job_id) == [(FOLDER,)]
    server = start()
    job = server.wait_job(job_id, {"done", "failed"})
    assert (job["state"], job["folder"]) == ("done", FOLDER), job["error"]
    assert server.files() == [FOLDER, os.path.join(FOLDER, "clip.mp4")]
    # A journal edited to lead outside the download folder.
    server.stop()
    server.query("INSERT INTO jobs (url, format, state, created, folder) VALUES (?, 'video', 'queued', 1, ?)",
                 media.url("clip.mp4"), "../escaped")
    server = start()
    job = server.wait_job(max(server.jobs()), {"done", "failed"})
    assert job["state"] == "failed" and "无法使用" in job["error"], job
    assert not os.path.exists(os.path.join(workdir, "escaped"))
