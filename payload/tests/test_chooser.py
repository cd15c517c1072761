"""The chooser's jobs: each chosen entry of a page with several videos arrives, and only those."""

import filecmp
import os
from media import MediaServer, media_dir
from support import Payload

from downloader import playlists
from test_quality import SOURCES, rendition

# Three distinct files, so that a wrong entry cannot pass for a right one.
FILES = [rendition(label, w, h) for label, w, h in SOURCES]


def videos_page(names: list[str], poster: str = "") -> str:
    """Several <video> elements in one page: the engine lists each as an entry whose page is this page."""
    cover = f' poster="/{poster}"' if poster else ""
    videos = "".join(f'<video controls{cover}><source src="/{n}" type="video/mp4"></video>' for n in names)
    return f"<html><head><title>三段</title></head><body>{videos}</body></html>"


def link_feed(pages: list[str]) -> str:
    """A feed whose items name only a page and an id (<link>, <guid>): the engine lists them as
    url_transparent entries carrying the page, smuggled with the id."""
    items = "".join(f"<item><link>{p}</link><guid>v{i}</guid></item>" for i, p in enumerate(pages, 1))
    return f'<?xml version="1.0" encoding="UTF-8"?><rss version="2.0"><channel><title>链接</title>{items}</channel></rss>'


def test_entries_embedded_in_the_page_and_entries_with_a_page_of_their_own(media: MediaServer,
                                                                           payload: Payload) -> None:
    media.pages["/three"] = videos_page(FILES)
    for i, name in enumerate(FILES, 1):
        media.pages[f"/v{i}"] = videos_page([name])
    media.pages["/feed"] = link_feed([media.url(f"v{i}") for i in range(1, 4)])
    for page in ("three", "feed"):
        media.requests.clear()
        status, listing = payload.request("POST", "/api/playlist", {"url": media.url(page)})
        assert (status, listing.get("playlist")) == (200, True), listing
        status, body = payload.request("POST", "/api/playlist/add", {"id": listing["id"], "indices": [1, 3]})
        assert (status, body["errors"]) == (200, []), body
        for job, name in zip(body["added"], [FILES[0], FILES[2]], strict=True):
            job = payload.wait_job(job["id"], {"done", "failed"}, timeout=60)
            assert job["state"] == "done", job["error"]
            saved = os.path.join(payload.download_dir, job["folder"], job["files"][0])
            assert filecmp.cmp(saved, os.path.join(media_dir(), name), shallow=False), (page, job, name)
        # The list was read once, for the listing; the entry left out was never fetched.
        assert media.requests.count(f"/{page}") == 1 and not {f"/{FILES[1]}", "/v2"} & set(media.requests), \
            (page, media.requests)


def test_an_entry_with_no_address_but_the_list_page_is_left_out() -> None:
    """An entry the engine resolved to separate video and audio has no "url" of its own
    (process_video_result keeps the pair in requested_formats)."""
    page = "http://127.0.0.1:1/page"
    pair = [{"url": f"http://127.0.0.1:1/{n}", "manifest_url": "http://127.0.0.1:1/m.m3u8"} for n in ("v", "a")]
    loose = [{"url": "http://127.0.0.1:1/v"}, {"url": "http://127.0.0.1:1/a"}]
    info = {"webpage_url": page, "entries": [
        {"webpage_url": page, "url": "http://127.0.0.1:1/one.mp4", "title": "单个文件"},
        {"webpage_url": page, "requested_formats": pair, "title": "清单"},
        {"webpage_url": page, "requested_formats": loose, "title": "没有清单"},
    ]}
    assert [(e["index"], e["url"], e["title"]) for e in playlists.entries(info)] == [
        (1, "http://127.0.0.1:1/one.mp4", "单个文件"), (2, "http://127.0.0.1:1/m.m3u8", "清单")]
