"""What the page is told when an address or a download goes wrong: Chinese, never a traceback."""

import datetime
import email.message
import errno
import os
import urllib.error
from typing import Any, Callable

import pytest

from media import MediaServer
from support import QUIET, Payload, engine_error, free_port, wait_for, write_json


ROUTES = {"/api/jobs": "请粘贴至少一个网址", "/api/playlist": "请先粘贴一个网址，再点击“列出”",
          "/api/probe": "请先粘贴一个视频网址，再点击解析", "/api/subtitles": "请先粘贴一个视频网址"}


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("text", ["不是网址", "example.com/video", "ftp://example.com/a.mp4", "file:///etc/passwd",
                                  "javascript:alert(1)", "http://", "https:///path", "", "  \n\t "])
def test_every_route_refuses_what_is_not_an_address(module_payload: Payload, route: str, text: str) -> None:
    status, body = module_payload.request("POST", route, {"urls" if route == "/api/jobs" else "url": text})
    assert (status, body["error"]) == (400, f"这不是有效的网址：{text}" if text.strip() else ROUTES[route])
    assert body.get("added", []) == [] and module_payload.jobs() == {}


def test_malformed_requests_and_characters_that_break_the_queue_or_the_log(module_payload: Payload) -> None:
    server = module_payload
    bad_url = "这不是有效的网址：http://a.b/\ufffdx"
    bad_count = "同时下载数必须是 1 到 5 之间的整数"
    bad_dir = "下载文件夹的路径里有控制字符或无效字符"
    cases = [
        ("/api/jobs", b"{not json", "请求格式不正确", 400),
        ("/api/jobs", b"[1, 2]", "请求格式不正确", 400),
        ("/api/jobs", b'{"urls": 5}', "请粘贴至少一个网址", 400),
        ("/api/settings", b'{"download_dir": "relative/dir"}', "下载文件夹必须是完整路径，例如 /home/用户/下载", 400),
        ("/api/settings", b'{"concurrency": 9}', bad_count, 400),
        ("/api/settings", b'{"concurrency": true}', bad_count, 400),
        ("/api/jobs/999/cancel", b"{}", "没有这个任务", 404),
        ("/api/nothing", b"{}", "找不到这个页面", 404),
    ]
    # Characters that would break a queue row or a log line, and digits that are not ASCII. An address
    # refused for them is answered beside the list of refused addresses.
    characters = [
        ("/api/jobs", b'{"urls": "http://a.b/\\ud800x"}', bad_url, 400),
        ("/api/jobs", b'{"urls": "http://a.b/\\u0000x"}', bad_url, 400),
        ("/api/jobs", b'{"urls": "http://a.b/\\u001bx"}', bad_url, 400),
        ("/api/jobs", b'{"urls": "http://a.b/\\u202ex"}', bad_url, 400),
        ("/api/settings", b'{"concurrency": "\xe2\x91\xa2"}', bad_count, 400),
        ("/api/settings", b'{"concurrency": "\xd9\xa3"}', bad_count, 400),
        ("/api/settings", b'{"download_dir": "/tmp/a\\u0000b"}', bad_dir, 400),
        ("/api/settings", b'{"download_dir": "/tmp/a\\udc80b"}', bad_dir, 400),
        ("/api/settings", b'{"download_dir": "/tmp/a\\nb"}', bad_dir, 400),
    ]
    json_type = {"Content-Type": "application/json"}
    for (path, raw, message, code), alone in [(c, True) for c in cases] + [(c, False) for c in characters]:
        status, body = server.request("POST", path, raw=raw, headers=json_type)
        assert (status, body if alone else {"error": body["error"]}) == (code, {"error": message}), (path, raw)
    assert server.request("POST", "/api/jobs", raw=b"x" * 70000, headers=json_type) == (413, {"error": "请求内容太大"})
    assert server.request("POST", "/api/jobs", headers={**json_type, "Content-Length": "\u2462".encode()}) \
        == (400, {"error": "请求格式不正确"})
    # The refused changes left the queue and the settings on disk as they were, and the log kept one line
    # per line.
    assert server.jobs() == {} and server.request("GET", "/api/settings")[1]["concurrency"] == 2
    assert "Traceback" not in server.output()


def failure(server: Payload, url: str) -> dict[str, Any]:
    """The failed job of url, whose real cause the log tells once, on the failure's line."""
    job = server.finish(url)
    assert job["state"] == "failed" and "Traceback" not in job["error"], job
    tag = f"[下载 #{job['id']}]"
    wait_for(lambda: f"{tag} 失败" in server.output(), 5, message="the failure's log line")
    lines = [line for line in server.output().splitlines() if line.startswith(tag)]
    cause = [line for line in lines if "Unable to" in line or "Unsupported" in line]
    assert len(cause) == 1 and f"{tag} 失败：{job['error']}（" in cause[0], lines
    return job


def test_failed_downloads_are_told_in_words_and_a_retry_can_succeed(payload: Payload, media: MediaServer) -> None:
    media.pages["/article"] = "<html><head><title>文章</title></head><body><p>没有视频</p></body></html>"
    cases = [(media.url("article"), "不支持这个网站，或这个网址里没有可下载的视频"),
             (f"http://127.0.0.1:{free_port()}/clip.mp4", "网络错误，无法连接到服务器（连接被拒绝）"),
             ("http://no-such-host.invalid/clip.mp4", "网络错误，无法连接到服务器（找不到这个域名）"),
             (media.url("later.mp4"), "服务器拒绝了请求（HTTP 404）")]
    jobs = [failure(payload, url) for url, _ in cases]
    assert [job["error"] for job in jobs] == [message for _, message in cases]
    assert payload.files() == []
    # The missing file appears; a retry fetches it, and a finished job is not retried.
    later = os.path.join(media.root, "later.mp4")
    os.link(os.path.join(media.root, "clip.mp4"), later)
    try:
        assert payload.request("POST", f"/api/jobs/{jobs[-1]['id']}/retry", {})[0] == 200
        job = payload.wait_job(jobs[-1]["id"], {"done", "failed"})
    finally:
        os.unlink(later)
    assert (job["state"], job["error"], payload.files()) == ("done", "", ["later.mp4"])
    assert payload.request("POST", f"/api/jobs/{job['id']}/retry", {})[0] == 409
    if os.geteuid() != 0:  # root writes anywhere
        os.chmod(payload.download_dir, 0o500)
        try:
            assert failure(payload, media.url("clip.mp4"))["error"] == "没有权限写入下载文件夹"
        finally:
            os.chmod(payload.download_dir, 0o700)


def test_a_vanished_download_folder_is_not_recreated(workdir: str, media: MediaServer,
                                                     start: Callable[..., Payload]) -> None:
    gone = os.path.join(workdir, "usb", "视频")
    for folder, expected in ((gone, "failed"), (None, "done")):
        # Without a folder of its own, the default Downloads in the home folder is used.
        write_json(os.path.join(workdir, "data", "settings.json"), {"download_dir": folder} if folder else {})
        server = start()
        # The failed attempt is still queued: the second add confirms the repeat.
        job = server.finish(media.url("clip.mp4"), force=True)
        assert job["state"] == expected, job["error"]
        server.stop()
        if folder:
            assert f"下载文件夹 {gone} 不存在" in job["error"] and not os.path.exists(os.path.dirname(gone))
    assert os.path.isfile(os.path.join(workdir, "Downloads", "clip.mp4"))


@pytest.mark.parametrize("exc, message", [
    (OSError(errno.ENOSPC, "No space left on device"), "磁盘空间不足，文件无法保存"),
    (OSError(errno.EDQUOT, "Disk quota exceeded"), "磁盘空间不足，文件无法保存"),
    (PermissionError(errno.EACCES, "Permission denied"), "没有权限写入下载文件夹"),
    (ValueError("ERROR: [x] odd; please report this issue"), "下载失败：unable to write data: ERROR: odd")])
def test_failures_a_test_cannot_cause_for_real(exc: Exception, message: str) -> None:
    from downloader import errors
    assert errors.describe(engine_error(exc, f"unable to write data: {exc}")) == message


TODAY = datetime.date(2026, 12, 7)
HINT = "下载引擎 2023.03.04 已经 45 个月没更新，网站改版后常会这样失败。请到“设置”里点击“检查更新”。"


def extracted(url: str, site: bool) -> BaseException:
    """The engine's own failure for url, read by a stand-in site extractor or by the generic one."""
    import yt_dlp
    from yt_dlp.extractor.common import InfoExtractor

    class SiteIE(InfoExtractor):
        IE_NAME = "somesite"
        _VALID_URL = r"https?://127\.0\.0\.1:\d+/site/(?P<id>\w+)"

        def _real_extract(self, url: str) -> dict[str, Any]:
            page = self._download_webpage(url, self._match_id(url))
            return {"id": self._search_regex(r"player=(\w+)", page, "player url"), "url": url}

    ydl = yt_dlp.YoutubeDL({"quiet": True, "logger": QUIET, "socket_timeout": 5}, auto_init=not site)
    if site:
        ydl.add_info_extractor(SiteIE())
    with pytest.raises(yt_dlp.utils.DownloadError) as raised:
        ydl.extract_info(url, download=False)
    return raised.value


def test_which_failures_suggest_updating_the_engine(media: MediaServer) -> None:
    """A known site's extraction does, not the network, the disk or the address."""
    from downloader import errors
    from yt_dlp import utils
    media.pages["/site/plain"] = "<html>no player here</html>"

    def site_error(message: str, **kw: Any) -> BaseException:
        return utils.ExtractorError(message, video_id="abc", ie=kw.pop("ie", "youtube"), expected=True, **kw)

    class ExtractorError(Exception):
        """An engine's error that this server never imported: only its name and message tell."""

    forbidden = engine_error(urllib.error.HTTPError("http://127.0.0.1/v.mp4", 403, "Forbidden",
                                                    email.message.Message(), None), "unable to download video data")
    cases: list[tuple[str, BaseException, str | None, bool]] = [
        ("the page changed under a site extractor", extracted(media.url("site/plain"), True), None, True),
        ("a requested format is gone", site_error("Requested format is not available"), None, True),
        ("the site asks to prove a person", site_error("Sign in to confirm you’re not a bot"), None, True),
        ("the player's signature", site_error("nsig extraction failed: You may experience throttling"), None, True),
        ("an unexpected error in the extractor", site_error("An extractor error has occurred."), None, True),
        ("a newer engine's class, known by name", ExtractorError("[vimeo] 12: Unable to extract config"), None, True),
        ("a site's media refused", forbidden, "youtube", True),
        ("the engine's report without its cause", utils.DownloadError("ERROR: [bilibili] BV1: Failed to parse "
                                                                      "JSON (caused by JSONDecodeError())"), None, True),
        ("a direct link that is gone", extracted(media.url("gone.mp4"), False), None, False),
        ("a direct link refused", forbidden, "generic", False),
        ("a refusal from an unknown source", forbidden, None, False),
        ("no connection", extracted(f"http://127.0.0.1:{free_port()}/v.mp4", False), None, False),
        ("no connection for a site", site_error("Unable to download webpage: <urlopen error timed out>",
                                                cause=urllib.error.URLError(TimeoutError())), None, False),
        ("a disk full while a site's video arrives",
         engine_error(OSError(errno.ENOSPC, "No space left"), "unable to download video data"), "youtube", False),
        ("an address no extractor knows", utils.UnsupportedError("http://example.com/"), None, False),
        ("a private video", site_error("Private video. Sign in if you've been granted access"), None, False),
        ("a region lock", utils.GeoRestrictedError("This video is not available from your location", ie="youtube"),
         None, False),
        ("the generic reader finds nothing", site_error("Unable to extract title", ie="generic"), None, False),
        ("our own failure that reads alike", ValueError("[youtube] abc: Unable to extract title"), None, False),
    ]
    wrong = [why for why, exc, extractor, stale in cases
             if errors.stale_hint(exc, "2023.03.04", TODAY, extractor=extractor) != (HINT if stale else "")]
    assert wrong == []


@pytest.mark.parametrize("version, today, months, hint", [
    ("2023.03.04", TODAY, 45, HINT),
    ("2023.03.04", datetime.date(2026, 12, 3), 44, HINT.replace("45", "44")),
    ("2026.10.01.232815", datetime.date(2026, 12, 1), 2,
     "下载引擎 2026.10.01.232815 已经 2 个月没更新，网站改版后常会这样失败。请到“设置”里点击“检查更新”。"),
    ("2026.11.20", TODAY, 0, "网站可能刚改版，下载引擎 2026.11.20 还跟不上。请到“设置”里点击“检查更新”，或过几天再试。"),
    ("2027.01.02", TODAY, 0, "网站可能刚改版，下载引擎 2027.01.02 还跟不上。请到“设置”里点击“检查更新”，或过几天再试。"),
    ("2023.02.30", TODAY, None, "网站可能改版了，下载引擎 2023.02.30 还跟不上。请到“设置”里点击“检查更新”。"),
    # A month is counted from the same day of the next; a name that is no date has no age.
    ("2026.11.08", TODAY, 0, None), ("2026.11.07", TODAY, 1, None), ("2025.12.31", TODAY, 11, None),
    ("master", TODAY, None, None)])
def test_the_engine_age_in_the_hint(version: str, today: datetime.date, months: int | None, hint: str | None) -> None:
    from downloader import engines, errors
    from yt_dlp.utils import RegexNotFoundError
    assert engines.age_months(version, today) == months
    if hint:
        assert errors.stale_hint(RegexNotFoundError("Unable to extract player url", ie="youtube"), version, today) == hint
@pytest.mark.parametrize("args, expected", [
    ((".hidden.mp4",), "hidden.mp4"),
    (("--rm -rf.mp4",), "rm -rf.mp4"),  # nothing like an option
    (("abc\u202egnp.exe",), "abcgnp.exe"),  # bidirectional controls go
    (("a\u2066b\u200fc\x07.mp4",), "abc.mp4"),  # isolates, marks and controls go
    (("bad\udcff.mp4",), "bad.mp4"),
    (("clip.mp4", 255, 1), "clip (1).mp4"),
    (("...",), "下载"),
    (("视" * 100 + ".mp4", 255), "视" * 83 + ".mp4"),  # cut at a character
    (("视" * 100 + ".mp4", 255, 12), "视" * 82 + " (12).mp4")])
def test_file_names(args: tuple[Any, ...], expected: str) -> None:
    from downloader.names import safe_name
    name = safe_name(*args)
    assert name == expected
    assert len(name.encode("utf-8")) <= (args[1] if len(args) > 1 else 255)


@pytest.mark.parametrize("text, expected", [
    ("标题 ok", "标题 ok"), ("a\nb\rc", "a\\x0ab\\x0dc"), ("\x1b[31m红", "\\x1b[31m红"),
    ("x\u2028y\u2029", "x\\u2028y\\u2029"), ("\u202eexe.mp4", "\\u202eexe.mp4"), ("\ud800", "\\ud800"),
    ("\x85\x00", "\\x85\\x00")])
def test_one_log_line_stays_one_line(text: str, expected: str) -> None:
    from downloader.log import escape
    assert escape(text) == expected
    escape(text).encode("utf-8")
