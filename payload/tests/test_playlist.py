"""Playlists: listing a feed of several videos, choosing entries, and their folder through a restart."""

import os
from typing import Any

import pytest

from support import PayloadTest, wait_for

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


class ListingTest(PayloadTest):
    def list(self, url: str, **body: Any) -> tuple[int, Any]:
        return self.server.request("POST", "/api/playlist", {"url": url, **body})

    def test_feed_is_listed_in_order_with_titles_and_durations(self):
        self.media.pages["/feed"] = feed(self.media, TITLE, [f"clip.mp4?n={i}" for i in range(1, 5)])
        # Share text around the address is as good as the address alone.
        status, body = self.list(f"看看这个{self.media.url('feed')}，很好看")
        self.assertEqual(status, 200, body)
        self.assertEqual((body["playlist"], body["title"], body["folder"]), (True, SHOWN, FOLDER))
        self.assertEqual([(e["index"], e["title"], e["duration"], e["url"]) for e in body["entries"]],
                         [(i, f"第{i}集", i, self.media.url(f"clip.mp4?n={i}")) for i in range(1, 5)])
        # Listing reads the feed alone: no video is fetched and nothing is added.
        self.assertEqual(self.media.requests, ["/feed"])
        self.assertEqual(self.server.jobs(), {})

    def test_single_video_goes_straight_to_the_queue(self):
        status, body = self.list(self.media.url("clip.mp4"))
        self.assertEqual((status, body["playlist"], len(body["added"])), (200, False, 1), body)
        job = self.server.wait_job(body["added"][0]["id"], {"done", "failed"})
        self.assertEqual((job["state"], job["folder"]), ("done", ""), job["error"])
        self.assertEqual(self.server.files(), ["clip.mp4"])


class WholeListTest(PayloadTest):
    """A list that reaches the queue as one address is refused, not downloaded whole into one job."""

    def test_list_added_as_one_job_fails_without_downloading(self):
        self.media.pages["/feed"] = feed(self.media, TITLE, [f"clip.mp4?n={i}" for i in range(1, 4)])
        self.media.pages["/empty-feed"] = feed(self.media, "空", [])
        # A page that only forwards to the list: the list is found one step further in.
        self.media.pages["/moved"] = (f'<html><head><meta http-equiv="refresh" content="0; url={self.media.url("feed")}">'
                                      "</head><body></body></html>")
        table = [("feed", " 3 个视频"), ("moved", " 3 个视频"), ("empty-feed", " 0 个视频")]
        for page, count in table:
            with self.subTest(page=page):
                status, body = self.server.add(self.media.url(page))
                self.assertEqual(status, 200, body)
                job = self.server.wait_job(body["added"][0]["id"], {"done", "failed"})
                self.assertEqual(job["state"], "failed")
                self.assertEqual(job["error"], f"这个网址是一个包含{count}的列表，没有下载任何内容。"
                                               "请粘贴这个网址后点击“列出”，选择要下载的视频，每个视频会成为一个单独的下载。")
                # No entry was fetched and no staging folder is left behind.
                self.assertEqual([r for r in self.media.requests if r.startswith("/clip")], [])
                wait_for(lambda: self.server.files() == [], 5, message="the staging folder to go")
        # A retry meets the same list and says the same.
        first = min(self.server.jobs())
        self.assertEqual(self.server.request("POST", f"/api/jobs/{first}/retry", {})[0], 200)
        self.assertEqual(self.server.wait_job(first, {"done", "failed"})["state"], "failed")
        wait_for(lambda: self.server.files() == [], 5, message="the staging folder to go")


class ChooseTest(PayloadTest):
    settings = {"concurrency": 3}

    def listing(self, paths: list[str]) -> dict[str, Any]:
        self.media.pages["/feed"] = feed(self.media, TITLE, paths)
        status, body = self.server.request("POST", "/api/playlist", {"url": self.media.url("feed")})
        self.assertEqual(status, 200, body)
        return body

    def add(self, listing: dict[str, Any], **choice: Any) -> tuple[int, Any]:
        return self.server.request("POST", "/api/playlist/add", {"id": listing["id"], **choice})

    def test_chosen_entries_become_jobs_in_the_playlist_folder_and_nothing_else_does(self):
        listing = self.listing([f"clip.mp4?n={i}" for i in range(1, 7)])
        status, body = self.server.request("POST", "/api/playlist/select", {"id": listing["id"], "range": "5-, 2"})
        self.assertEqual((status, body), (200, {"indices": [2, 5, 6]}))
        status, body = self.server.request("POST", "/api/playlist/select", {"id": listing["id"], "range": "4-9"})
        self.assertEqual((status, body["error"]), (400, "序号超出范围：“4-9”，这个列表只有 1 到 6"))

        status, body = self.add(listing, range="5-, 2")
        self.assertEqual((status, body["folder"]), (200, FOLDER), body)
        status, more = self.add(listing, indices=[1, 1], format="audio")
        self.assertEqual(status, 200, more)
        jobs = body["added"] + more["added"]
        self.assertEqual([(j["url"], j["title"], j["folder"]) for j in jobs],
                         [(self.media.url(f"clip.mp4?n={i}"), f"第{i}集", FOLDER) for i in (2, 5, 6, 1)])
        self.assertEqual(len(self.server.jobs()), 4)
        for job in jobs:
            self.assertEqual(self.server.wait_job(job["id"], {"done", "failed"})["state"], "done")
        self.assertEqual(self.server.files(), [FOLDER] + [os.path.join(FOLDER, n) for n in (
            "clip (1).mp4", "clip (2).mp4", "clip.mp3", "clip.mp4")])
        entries = self.server.request("GET", "/api/history")[1]["entries"]
        self.assertEqual({os.path.dirname(e["path"]) for e in entries},
                         {os.path.join(self.server.download_dir, FOLDER)})
        # Requests that name nothing listed add nothing.
        table = [
            ({"id": listing["id"] + 1, "indices": [1]}, 404, "这个列表已经过期，请重新点击“列出”"),
            ({"id": listing["id"], "indices": [7]}, 400, "序号超出范围，这个列表只有 1 到 6"),
            ({"id": listing["id"], "indices": [0]}, 400, "序号超出范围，这个列表只有 1 到 6"),
            ({"id": listing["id"], "indices": []}, 400, "请至少选择一个视频"),
            ({"id": listing["id"], "indices": "1"}, 400, "请求格式不正确"),
            ({"id": listing["id"], "indices": [True]}, 400, "请求格式不正确"),
            ({"id": listing["id"], "range": "x"}, 400, "无法识别“x”：请用序号和范围，例如“1-5, 8, 10-”"),
        ]
        for request, status, message in table:
            with self.subTest(request=request):
                self.assertEqual(self.server.request("POST", "/api/playlist/add", request), (status, {"error": message}))
        self.assertEqual(len(self.server.jobs()), 4)

    def test_folder_survives_a_restart_mid_download(self):
        listing = self.listing(["slow/clip.mp4", "clip.mp4"])
        job_id = self.add(listing, indices=[1])[1]["added"][0]["id"]
        wait_for(lambda: self.server.jobs()[job_id]["downloaded"] > 0, 20, message="bytes to arrive")
        self.assertEqual(self.server.stop(), 0)
        self.assertEqual(self.server.query("SELECT folder FROM jobs WHERE id = ?", job_id), [(FOLDER,)])
        again = self.start_server()
        job = again.wait_job(job_id, {"done", "failed"})
        self.assertEqual((job["state"], job["folder"]), ("done", FOLDER), job["error"])
        self.assertEqual(again.files(), [FOLDER, os.path.join(FOLDER, "clip.mp4")])

    def test_edited_journal_cannot_lead_outside_the_download_folder(self):
        self.server.stop()
        self.server.query("INSERT INTO jobs (url, format, state, created, folder) VALUES (?, 'video', 'queued', 1, ?)",
                          self.media.url("clip.mp4"), "../escaped")
        again = self.start_server()
        job_id = max(again.jobs())
        job = again.wait_job(job_id, {"done", "failed"})
        self.assertEqual(job["state"], "failed")
        self.assertIn("无法使用", job["error"])
        self.assertFalse(os.path.exists(os.path.join(self.workdir, "escaped")))
