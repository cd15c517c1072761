"""Choosing what to download: the format list of an address, the presets, and the network settings."""

import filecmp
import os
import time

from media import MediaServer, _ffmpeg, big_file, media_dir
from support import Payload, SharedPayloadTest

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


class QualityTest(SharedPayloadTest):
    """One server: each test removes the files it downloads."""

    settings = {"concurrency": 3}

    @classmethod
    def setUpClass(cls) -> None:
        super().setUpClass()
        cls.media.pages["/multi"] = video_page("720p", "480p", "240p")
        cls.media.pages["/large-only"] = video_page("720p")
        cls.media.pages["/small-only"] = video_page("240p")

    def sent(self) -> dict[str, int]:
        return {name: self.media.sent(name) for name in (rendition(*s) for s in SOURCES)}

    def test_probe_lists_the_formats_best_first(self):
        before = self.sent()
        status, body = self.server.request("POST", "/api/probe", {"url": self.media.url("multi")})
        self.assertEqual(status, 200, body)
        # The generic extractor numbers a page's title by its video.
        self.assertTrue(body["title"].startswith("多清晰度"), body["title"])
        # (This engine keeps only the sound's codec from a <source>'s type.)
        rows = [(f["id"], f["width"], f["height"], f["ext"], f["acodec"]) for f in body["formats"]]
        self.assertEqual(rows, [(label, w, h, "mp4", "mp4a.40.2") for label, w, h in SOURCES])
        # Listing downloads nothing.
        self.assertEqual(self.sent(), before)

    def test_a_probe_failure_is_told_in_chinese(self):
        status, body = self.server.request("POST", "/api/probe", {"url": self.media.url("nothing-here")})
        self.assertEqual((status, body), (400, {"error": "解析失败：服务器拒绝了请求（HTTP 404）"}))

    def test_each_choice_downloads_what_it_names_and_says_what_it_saved_instead(self):
        # (page, format, the rendition that must arrive, what the job and its history row say of it)
        cases = [
            ("multi", "480p", "480p", ""),
            ("multi", "best", "720p", ""),
            ("multi", "1080p", "720p", "720p（没有 1080p）"),
            ("multi", "id:240p", "240p", ""),
            # Nothing at or below 480p: the smallest there is rather than nothing.
            ("large-only", "480p", "720p", "720p（没有 480p）"),
            ("small-only", "720p", "240p", "240p（没有 720p）"),
        ]
        for page, fmt, expected, got in cases:
            with self.subTest(page=page, fmt=fmt):
                before = self.sent()
                # The same page each time: fetched again on purpose.
                job = self.server.finish(self.media.url(page), fmt, force=True)
                self.assertEqual((job["state"], job["format"], job["got"]), ("done", fmt, got), job["error"])
                grown = {n for n, sent in before.items() if self.media.sent(n) > sent}
                want = rendition(*next(s for s in SOURCES if s[0] == expected))
                self.assertEqual(grown, {want})
                path = os.path.join(self.server.download_dir, job["files"][0])
                self.assertEqual(os.path.splitext(path)[1], ".mp4")
                self.assertTrue(filecmp.cmp(path, os.path.join(self.media.root, want), shallow=False))
                os.unlink(path)
        history = self.server.request("GET", "/api/history")[1]["entries"]
        self.assertEqual(sorted((e["format"], e["got"]) for e in history if not e["format"].startswith("audio")),
                         sorted((c[1], c[3]) for c in cases))

    def test_audio_presets_give_their_codec(self):
        # (format, saved file, where its container's signature starts, the signatures it may have)
        for fmt, name, at, magic in (("audio:opus", "clip.opus", 0, [b"OggS"]), ("audio:m4a", "clip.m4a", 4, [b"ftyp"]),
                                     ("audio:mp3", "clip.mp3", 0, [b"ID3", b"\xff"])):
            with self.subTest(fmt=fmt):
                job = self.server.finish(self.media.url("clip.mp4"), fmt, force=True)
                self.assertEqual(job["state"], "done", job["error"])
                self.assertEqual(self.server.files(), [name])
                path = os.path.join(self.server.download_dir, name)
                with open(path, "rb") as f:
                    head = f.read(at + 4)[at:]
                self.assertTrue(any(head.startswith(m) for m in magic), head)
                self.assertEqual(self.server.request("GET", "/api/history")[1]["entries"][0]["format"], fmt)
                os.unlink(path)

    def test_bad_choices_are_refused(self):
        for fmt in ("8k", "audio:flac", "id:1/best", "id:", "id:a+b", 5):
            with self.subTest(fmt=fmt):
                status, body = self.server.add(self.media.url("clip.mp4"), fmt)
                self.assertEqual(status, 400, body)
                self.assertIn("格式只能是", body["error"])


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
