"""What the page is told when an address or a download goes wrong: Chinese, never a traceback."""

import datetime
import email.message
import errno
import json
import os
import unittest
import urllib.error
from typing import Any

import pytest

from media import MediaServer
from support import Payload, PayloadTest, SharedPayloadTest, free_port, wait_for


ROUTES = {"/api/jobs": "请粘贴至少一个网址", "/api/playlist": "请先粘贴一个网址，再点击“列出”",
          "/api/probe": "请先粘贴一个视频网址，再点击解析", "/api/subtitles": "请先粘贴一个视频网址"}


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("text", ["不是网址", "example.com/video", "ftp://example.com/a.mp4", "file:///etc/passwd",
                                  "javascript:alert(1)", "http://", "https:///path", "", "  \n\t "])
def test_every_route_refuses_what_is_not_an_address(module_payload: Payload, route: str, text: str) -> None:
    status, body = module_payload.request("POST", route, {"urls" if route == "/api/jobs" else "url": text})
    assert (status, body["error"]) == (400, f"这不是有效的网址：{text}" if text.strip() else ROUTES[route])
    assert body.get("added", []) == [] and module_payload.jobs() == {}


class BadInputTest(SharedPayloadTest):
    def test_malformed_requests_and_characters_that_break_the_queue_or_the_log(self):
        jobs = set(self.server.jobs())
        bad_url = "这不是有效的网址：http://a.b/\ufffdx"
        bad_count = "同时下载数必须是 1 到 5 之间的整数"
        bad_dir = "下载文件夹的路径里有控制字符或无效字符"
        cases = [
            ("POST", "/api/jobs", b"{not json", "请求格式不正确", 400),
            ("POST", "/api/jobs", b"[1, 2]", "请求格式不正确", 400),
            ("POST", "/api/jobs", b'{"urls": 5}', "请粘贴至少一个网址", 400),
            ("POST", "/api/jobs", b'{"urls": "http://a.b/c", "format": "8k"}', "格式只能是“最佳”、“1080p”、“720p”、“480p”、“仅音频”（M4A、MP3、Opus）或解析出的某个格式", 400),
            ("POST", "/api/settings", b'{"download_dir": "relative/dir"}', "下载文件夹必须是完整路径，例如 /home/用户/下载", 400),
            ("POST", "/api/settings", b'{"concurrency": 9}', bad_count, 400),
            ("POST", "/api/settings", b'{"concurrency": true}', bad_count, 400),
            ("POST", "/api/jobs/999/cancel", b"{}", "没有这个任务", 404),
            ("POST", "/api/nothing", b"{}", "找不到这个页面", 404),
        ]
        # Characters that would break a queue row or a log line, and digits that are not ASCII. An address
        # refused for them is answered beside the list of refused addresses.
        characters = [
            ("POST", "/api/jobs", b'{"urls": "http://a.b/\\ud800x"}', bad_url, 400),
            ("POST", "/api/jobs", b'{"urls": "http://a.b/\\u0000x"}', bad_url, 400),
            ("POST", "/api/jobs", b'{"urls": "http://a.b/\\u001bx"}', bad_url, 400),
            ("POST", "/api/jobs", b'{"urls": "http://a.b/\\u202ex"}', bad_url, 400),
            ("POST", "/api/settings", b'{"concurrency": "\xe2\x91\xa2"}', bad_count, 400),
            ("POST", "/api/settings", b'{"concurrency": "\xd9\xa3"}', bad_count, 400),
            ("POST", "/api/settings", b'{"download_dir": "/tmp/a\\u0000b"}', bad_dir, 400),
            ("POST", "/api/settings", b'{"download_dir": "/tmp/a\\udc80b"}', bad_dir, 400),
            ("POST", "/api/settings", b'{"download_dir": "/tmp/a\\nb"}', bad_dir, 400),
        ]
        for (method, path, raw, message, code), alone in [(c, True) for c in cases] + [(c, False) for c in characters]:
            with self.subTest(path=path, raw=raw):
                status, body = self.server.request(method, path, raw=raw, headers={"Content-Type": "application/json"})
                self.assertEqual((status, body if alone else {"error": body["error"]}), (code, {"error": message}))
        status, body = self.server.request("POST", "/api/jobs", raw=b"x" * 70000,
                                           headers={"Content-Type": "application/json"})
        self.assertEqual((status, body), (413, {"error": "请求内容太大"}))
        status, body = self.server.request("POST", "/api/jobs", headers={
            "Content-Type": "application/json", "Content-Length": "\u2462".encode()})
        self.assertEqual((status, body), (400, {"error": "请求格式不正确"}))
        # The refused changes left the queue and the settings on disk as they were, and the log kept one line
        # per line.
        self.assertEqual(set(self.server.jobs()), jobs)
        self.assertEqual(self.server.request("GET", "/api/settings")[1]["concurrency"], 2)
        self.assertNotIn("Traceback", self.server.output())


class FailedDownloadTest(PayloadTest):
    def failure(self, url):
        job = self.server.finish(url)
        self.assertEqual(job["state"], "failed")
        self.assertNotIn("Traceback", job["error"])
        # The log tells the real cause once, on the failure's line.
        tag = f"[下载 #{job['id']}]"
        wait_for(lambda: f"{tag} 失败" in self.server.output(), 5, message="the failure's log line")
        lines = [line for line in self.server.output().splitlines() if line.startswith(tag)]
        cause = [line for line in lines if "Unable to" in line or "Unsupported" in line]
        self.assertEqual(len(cause), 1, lines)
        self.assertIn(f"[下载 #{job['id']}] 失败：{job['error']}（", cause[0])
        return job

    def test_unsupported_site(self):
        self.media.pages["/article"] = "<html><head><title>文章</title></head><body><p>没有视频</p></body></html>"
        self.assertEqual(self.failure(self.media.url("article"))["error"],
                         "不支持这个网站，或这个网址里没有可下载的视频")

    def test_network_failures(self):
        self.assertEqual(self.failure(f"http://127.0.0.1:{free_port()}/clip.mp4")["error"],
                         "网络错误，无法连接到服务器（连接被拒绝）")
        self.assertEqual(self.failure("http://no-such-host.invalid/clip.mp4")["error"],
                         "网络错误，无法连接到服务器（找不到这个域名）")
        self.assertEqual(self.server.files(), [])

    def test_missing_file_then_retry_once_it_exists(self):
        job = self.failure(self.media.url("later.mp4"))
        self.assertEqual(job["error"], "服务器拒绝了请求（HTTP 404）")
        os.link(os.path.join(self.media.root, "clip.mp4"), os.path.join(self.media.root, "later.mp4"))
        self.addCleanup(os.unlink, os.path.join(self.media.root, "later.mp4"))
        self.assertEqual(self.server.request("POST", f"/api/jobs/{job['id']}/retry", {})[0], 200)
        job = self.server.wait_job(job["id"], {"done", "failed"})
        self.assertEqual((job["state"], job["error"]), ("done", ""))
        self.assertEqual(self.server.files(), ["later.mp4"])
        self.assertEqual(self.server.request("POST", f"/api/jobs/{job['id']}/retry", {})[0], 409)

    def test_unwritable_download_folder(self):
        if os.geteuid() == 0:
            self.skipTest("root writes anywhere")
        os.makedirs(self.server.download_dir, exist_ok=True)
        os.chmod(self.server.download_dir, 0o500)
        self.addCleanup(os.chmod, self.server.download_dir, 0o700)
        self.assertEqual(self.failure(self.media.url("clip.mp4"))["error"], "没有权限写入下载文件夹")

    def test_vanished_download_folder_is_not_recreated(self):
        self.server.stop()
        settings = os.path.join(self.workdir, "data", "settings.json")
        gone = os.path.join(self.workdir, "usb", "视频")
        for folder, expected in ((gone, "failed"), (None, "done")):
            with self.subTest(folder=folder):
                with open(settings, "w", encoding="utf-8") as f:
                    # Without a folder of its own, the default Downloads in the home folder is used.
                    json.dump({"download_dir": folder} if folder else {}, f)
                self.server = self.start_server()
                # The failed attempt is still queued: the second add confirms the repeat.
                job = self.server.finish(self.media.url("clip.mp4"), force=True)
                self.assertEqual(job["state"], expected, job["error"])
                if folder:
                    self.assertIn(f"下载文件夹 {gone} 不存在", job["error"])
                    self.assertFalse(os.path.exists(os.path.dirname(gone)))
                else:
                    self.assertTrue(os.path.isfile(os.path.join(self.workdir, "Downloads", "clip.mp4")))
                self.server.stop()


def reported(exc: BaseException, step: str = "download video data") -> BaseException:
    """exc as the engine hands it on after a download step failed."""
    import yt_dlp
    ydl = yt_dlp.YoutubeDL({"quiet": True, "logger": _Silent()})
    try:
        try:
            raise exc
        except Exception:
            ydl.report_error(f"unable to {step}: {exc}")
    except yt_dlp.utils.DownloadError as e:
        return e
    raise AssertionError("report_error did not raise")


@pytest.mark.parametrize("exc, message", [
    (OSError(errno.ENOSPC, "No space left on device"), "磁盘空间不足，文件无法保存"),
    (OSError(errno.EDQUOT, "Disk quota exceeded"), "磁盘空间不足，文件无法保存"),
    (PermissionError(errno.EACCES, "Permission denied"), "没有权限写入下载文件夹"),
    (ValueError("ERROR: [x] odd; please report this issue"), "下载失败：unable to write data: ERROR: odd")])
def test_failures_a_test_cannot_cause_for_real(exc: Exception, message: str) -> None:
    from downloader import errors
    assert errors.describe(reported(exc, "write data")) == message


class StaleHintTest(unittest.TestCase):
    """Which failures suggest updating the engine: a known site's extraction, not the network, the disk or the address."""

    TODAY = datetime.date(2026, 12, 7)
    HINT = "下载引擎 2023.03.04 已经 45 个月没更新，网站改版后常会这样失败。请到“设置”里点击“检查更新”。"

    def setUp(self) -> None:
        import yt_dlp
        self.yt_dlp = yt_dlp
        self.media = MediaServer()
        self.addCleanup(self.media.close)

    def extracted(self, url: str, site: bool) -> BaseException:
        """The engine's own failure for url, read by a stand-in site extractor or by the generic one."""
        from yt_dlp.extractor.common import InfoExtractor

        class SiteIE(InfoExtractor):
            IE_NAME = "somesite"
            _VALID_URL = r"https?://127\.0\.0\.1:\d+/site/(?P<id>\w+)"

            def _real_extract(self, url: str) -> dict[str, Any]:
                page = self._download_webpage(url, self._match_id(url))
                return {"id": self._search_regex(r"player=(\w+)", page, "player url"), "url": url}

        ydl = self.yt_dlp.YoutubeDL({"quiet": True, "logger": _Silent(), "socket_timeout": 5}, auto_init=not site)
        if site:
            ydl.add_info_extractor(SiteIE())
        try:
            ydl.extract_info(url, download=False)
        except self.yt_dlp.utils.DownloadError as e:
            return e
        self.fail(f"{url} did not fail")

    def test_which_failures_get_the_hint(self):
        from downloader import errors
        utils = self.yt_dlp.utils
        self.media.pages["/site/plain"] = "<html>no player here</html>"
        closed = free_port()

        def site_error(message: str, **kw: Any) -> BaseException:
            return utils.ExtractorError(message, video_id="abc", ie=kw.pop("ie", "youtube"), expected=True, **kw)

        class ExtractorError(Exception):
            """An engine's error that this server never imported: only its name and message tell."""

        forbidden = urllib.error.HTTPError("http://127.0.0.1/v.mp4", 403, "Forbidden", email.message.Message(), None)
        cases: list[tuple[str, BaseException, str | None, bool]] = [
            ("the page changed under a site extractor", self.extracted(self.media.url("site/plain"), True), None, True),
            ("a requested format is gone", site_error("Requested format is not available"), None, True),
            ("the site asks to prove a person", site_error("Sign in to confirm you’re not a bot"), None, True),
            ("the player's signature", site_error("nsig extraction failed: You may experience throttling"), None, True),
            ("an unexpected error in the extractor", site_error("An extractor error has occurred."), None, True),
            ("a newer engine's class, known by name", ExtractorError("[vimeo] 12: Unable to extract config"),
             None, True),
            ("a site's media refused", reported(forbidden), "youtube", True),
            ("the engine's report without its cause", utils.DownloadError("ERROR: [bilibili] BV1: Failed to parse "
                                                                          "JSON (caused by JSONDecodeError())"),
             None, True),
            ("a direct link that is gone", self.extracted(self.media.url("gone.mp4"), False), None, False),
            ("a direct link refused", reported(forbidden), "generic", False),
            ("a refusal from an unknown source", reported(forbidden), None, False),
            ("no connection", self.extracted(f"http://127.0.0.1:{closed}/v.mp4", False), None, False),
            ("no connection for a site", site_error("Unable to download webpage: <urlopen error timed out>",
                                                    cause=urllib.error.URLError(TimeoutError())), None, False),
            ("a disk full while a site's video arrives", reported(OSError(errno.ENOSPC, "No space left")),
             "youtube", False),
            ("an address no extractor knows", utils.UnsupportedError("http://example.com/"), None, False),
            ("a private video", site_error("Private video. Sign in if you've been granted access"), None, False),
            ("a region lock", utils.GeoRestrictedError("This video is not available from your location",
                                                       ie="youtube"), None, False),
            ("the generic reader finds nothing", site_error("Unable to extract title", ie="generic"), None, False),
            ("our own failure that reads alike", ValueError("[youtube] abc: Unable to extract title"), None, False),
        ]
        for why, exc, extractor, stale in cases:
            with self.subTest(why=why):
                self.assertEqual(errors.stale_hint(exc, "2023.03.04", self.TODAY, extractor=extractor),
                                 self.HINT if stale else "", str(exc))

    def test_the_engine_age_in_the_hint(self):
        from downloader import engines, errors
        exc = self.yt_dlp.utils.RegexNotFoundError("Unable to extract player url", ie="youtube")
        cases = [("2023.03.04", datetime.date(2026, 12, 7), 45, self.HINT),
                 ("2023.03.04", datetime.date(2026, 12, 3), 44, self.HINT.replace("45", "44")),
                 ("2026.10.01.232815", datetime.date(2026, 12, 1), 2,
                  "下载引擎 2026.10.01.232815 已经 2 个月没更新，网站改版后常会这样失败。请到“设置”里点击“检查更新”。"),
                 ("2026.11.20", datetime.date(2026, 12, 7), 0,
                  "网站可能刚改版，下载引擎 2026.11.20 还跟不上。请到“设置”里点击“检查更新”，或过几天再试。"),
                 ("2027.01.02", datetime.date(2026, 12, 7), 0,
                  "网站可能刚改版，下载引擎 2027.01.02 还跟不上。请到“设置”里点击“检查更新”，或过几天再试。"),
                 ("2023.02.30", datetime.date(2026, 12, 7), None,
                  "网站可能改版了，下载引擎 2023.02.30 还跟不上。请到“设置”里点击“检查更新”。")]
        for version, today, months, hint in cases:
            with self.subTest(version=version, today=today):
                self.assertEqual(engines.age_months(version, today), months)
                self.assertEqual(errors.stale_hint(exc, version, today), hint)
        # A month is counted from the same day of the next; a name that is no date has no age.
        for version, months in [("2026.11.08", 0), ("2026.11.07", 1), ("2025.12.31", 11), ("master", None)]:
            self.assertEqual(engines.age_months(version, self.TODAY), months, version)


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


class _Silent:
    def debug(self, msg: str) -> None:
        pass

    info = warning = error = debug
