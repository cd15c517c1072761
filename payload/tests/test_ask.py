"""Every request to a site, whoever makes it: through the proxy and with the cookies of the settings,
within its deadline, and with the engine's cache in data/."""

import collections
import filecmp
import json
import os
import socket
import threading
import time
from typing import Any, Callable, Iterator
from urllib.parse import urlsplit

import pytest

from media import MediaServer, RecordingProxy, media_dir
from support import Payload, wait_for, write_json
from test_chooser import videos_page
from test_extras import media_files, subtitle_page

from downloader import ask, errors, engine_loader, extras, playlists, probe
from downloader.engines import Engines, bundled_version
from downloader.settings import Settings

COOKIE = ("session", "secret-value")


def marker(data: str) -> Any:
    with open(os.path.join(data, ask.CACHE_FOLDER, ask.MARKER), encoding="utf-8") as f:
        return json.load(f)


def test_every_kind_of_request_goes_through_the_proxy_with_the_cookies(workdir: str, media: MediaServer,
                                                                        payload: Payload) -> None:
    proxy = RecordingProxy()
    cookies = os.path.join(workdir, "cookies.txt")
    text = f"# Netscape HTTP Cookie File\n127.0.0.1\tFALSE\t/\tFALSE\t4102444800\t{COOKIE[0]}\t{COOKIE[1]}\n"
    with open(cookies, "w", encoding="utf-8") as f:
        f.write(text)
    os.utime(cookies, (1_000_000, 1_000_000))
    media_files()
    media.cookie = COOKIE
    media.pages["/watch"] = subtitle_page([("subtitles", "zh-Hans", "zh.vtt"), ("subtitles", "en", "en.vtt")])
    media.pages["/several"] = videos_page([f"clip.mp4?n={i}" for i in (1, 2, 3)])
    status, body = payload.request("POST", "/api/settings", {"proxy": proxy.address, "cookies_file": cookies})
    assert status == 200, body
    watch, several = media.url("watch"), media.url("several")

    def download() -> dict[str, Any]:
        status, body = payload.request("POST", "/api/jobs", {"urls": watch, "force": True})
        assert status == 200, body
        return payload.wait_job(body["added"][0]["id"], {"done", "failed"}, timeout=60)

    # (what is asked, the request, the page it reads, what its answer must show)
    table = [
        ("formats", lambda: payload.request("POST", "/api/probe", {"url": watch}), "/watch",
         lambda r: r[0] == 200 and r[1]["title"].startswith("字幕测试") and len(r[1]["formats"]) == 1),
        # Each video of the page is an entry with its own address, not the page's (which lists them all).
        ("list", lambda: payload.request("POST", "/api/playlist", {"url": several}), "/several",
         lambda r: r[0] == 200 and [e["url"] for e in r[1]["entries"]] ==
         [media.url(f"clip.mp4?n={i}") for i in (1, 2, 3)]),
        ("subtitles", lambda: payload.request("POST", "/api/subtitles", {"url": watch}), "/watch",
         lambda r: r[0] == 200 and [lang["code"] for lang in r[1]["languages"]] == ["zh-Hans", "en"]),
        ("download", download, "/clip.mp4",
         lambda job: job["state"] == "done" and filecmp.cmp(os.path.join(payload.download_dir, job["files"][0]),
                                                            os.path.join(media_dir(), "clip.mp4"), shallow=False)),
    ]
    try:
        for what, call, page, check in table:
            before = len(proxy.seen)
            answer = call()
            assert check(answer), (what, answer)
            seen = proxy.seen[before:]
            assert page in [urlsplit(line.split()[1]).path for line, _ in seen], what
            for line, headers in seen:
                assert f"{COOKIE[0]}={COOKIE[1]}" in headers.get("Cookie", ""), (what, line)
        # Whatever reached the site came through the proxy, and carried the cookie.
        assert media.refused == []
        assert collections.Counter(media.requests) == \
            collections.Counter(urlsplit(line.split()[1]).path for line, _ in proxy.seen)
        # The user's exported file is read, never written back.
        with open(cookies, encoding="utf-8") as f:
            assert f.read() == text
        assert os.stat(cookies).st_mtime == 1_000_000
        # Spoiled since it was saved: the download fails in words, never naming the engine's private copy.
        with open(cookies, "w", encoding="utf-8") as f:
            f.write('[{"name": "session"}]')
        job = download()
        assert job["state"] == "failed" and job["error"].startswith("下载引擎无法读取设置中的 Cookies 文件"), job
        assert "zormak-cookies-" not in job["error"]
    finally:
        proxy.close()


FAILED = {"/api/probe": "解析失败：", "/api/playlist": "无法列出这个网址：", "/api/subtitles": "无法获取字幕列表："}


def test_a_silent_site_holds_only_its_request_and_then_gets_the_failure_in_words(media: MediaServer,
                                                                                 payload: Payload) -> None:
    url = media.url("stall-page/x")
    answers: dict[str, Any] = {}
    waiting = [threading.Thread(target=lambda r=route: answers.__setitem__(
        r, payload.request("POST", r, {"url": url}, timeout=60))) for route in FAILED]
    for t in waiting:
        t.start()
    wait_for(lambda: media.requests.count("/stall-page/x") >= 3, 10, message="the requests to reach the site")
    started = time.monotonic()
    assert payload.request("GET", "/api/jobs")[0] == 200
    assert time.monotonic() - started < 1.0
    # The site ends its page cut short: each waiting request says what failed.
    media.stalled.set()
    for t in waiting:
        t.join(15)
    for route, failed in FAILED.items():
        status, body = answers[route]
        assert status == 400 and body["error"].startswith(failed), (route, body)


@pytest.fixture(scope="module")
def asker(module_workdir: str) -> ask.Ask:
    engine_loader.yt_dlp()  # imported before any deadline's clock runs
    return ask.Ask(Engines(module_workdir, []), Settings(module_workdir, []), module_workdir)


@pytest.fixture(scope="module")
def silent_sites(module_media: MediaServer) -> Iterator[dict[str, str]]:
    """A page that never ends, and a site that takes the connection and never answers."""
    with socket.socket() as silent:
        silent.bind(("127.0.0.1", 0))
        silent.listen(8)
        yield {"page": module_media.url("stall-page/x"), "socket": f"http://127.0.0.1:{silent.getsockname()[1]}/watch"}


@pytest.mark.parametrize("site", ["page", "socket"])
@pytest.mark.parametrize("call, late", [
    (probe.probe, "解析超时：网站在 1 秒内没有给出视频信息。"),
    (playlists.extract, "列出超时：网站在 1 秒内没有给出列表。"),
    (extras.fetch_languages, "获取字幕列表超时：网站在 1 秒内没有给出字幕列表。")], ids=["probe", "list", "subtitles"])
def test_a_silent_site_gets_a_time_out_in_words(asker: ask.Ask, silent_sites: dict[str, str], site: str,
                                                call: Callable[..., Any], late: str) -> None:
    started = time.monotonic()
    with pytest.raises(errors.UserError) as caught:
        call(asker, silent_sites[site], timeout=1.0)
    assert time.monotonic() - started < 3.0
    assert (caught.value.status, caught.value.message[:len(late)]) == (504, late), caught.value.message


def test_the_cache_is_kept_bounded_and_emptied_for_another_engine(workdir: str, media: MediaServer,
                                                                  start: Callable[..., Payload]) -> None:
    data = os.path.join(workdir, "data")
    folder = os.path.join(data, ask.CACHE_FOLDER)
    clip = media.url("clip.mp4")
    server = start()
    assert server.request("POST", "/api/probe", {"url": clip})[0] == 200
    assert marker(data) == {"version": bundled_version()}
    server.stop()

    # Seven files of a fifth of the limit each, the first the oldest: at start the oldest go.
    step = ask.CACHE_LIMIT // 5
    os.makedirs(os.path.join(folder, "section"))
    for i in range(7):
        path = os.path.join(folder, "section", f"{i}.json")
        with open(path, "wb") as f:
            f.truncate(step)
        os.utime(path, (1_000_000 + i, 1_000_000 + i))
    server = start()
    assert sorted(os.listdir(os.path.join(folder, "section"))) == [f"{i}.json" for i in range(2, 7)]
    assert marker(data) == {"version": bundled_version()}

    # Filled by another engine version: the next call empties it first.
    write_json(os.path.join(folder, ask.MARKER), {"version": "2000.01.01"})
    assert server.request("POST", "/api/probe", {"url": clip})[0] == 200
    assert os.listdir(folder) == [ask.MARKER]
    assert marker(data) == {"version": bundled_version()}


def test_a_switch_in_one_run_empties_it_too(workdir: str) -> None:
    cache = ask.Cache(os.path.join(workdir, ask.CACHE_FOLDER))
    for version, emptied in (("2026.01.01", True), ("2026.01.01", False), ("2026.02.02", True)):
        os.makedirs(cache.folder, exist_ok=True)
        kept = os.path.join(cache.folder, "entry.json")
        with open(kept, "w", encoding="utf-8") as f:
            f.write("{}")
        assert cache.folder_for(version) == cache.folder
        assert (os.path.exists(kept), marker(workdir)) == (not emptied, {"version": version}), version


def test_a_folder_that_cannot_be_made_costs_only_the_cache(workdir: str, media: MediaServer, logged: list[str]) -> None:
    # Where data/ holds a file by the cache's name, no folder can be made, whoever runs the test.
    with open(os.path.join(workdir, ask.CACHE_FOLDER), "w") as f:
        f.write("not a folder")
    asker = ask.Ask(Engines(workdir, []), Settings(workdir, []), workdir)
    for _ in range(2):
        assert len(probe.probe(asker, media.url("clip.mp4"))["formats"]) == 1
    told = [line for line in logged if "无法使用缓存文件夹" in line]
    assert len(told) == 1, logged
