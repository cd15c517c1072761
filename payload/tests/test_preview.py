"""The preview before downloading: each video's picture, fetched by the server within bounds and served
from our origin, and its size as the engine estimates it."""

import os
import tempfile
import time
import unittest
from typing import Any

from media import MediaServer, RecordingProxy, big_file, poster
from support import PayloadTest

from downloader import probe
from downloader.settings import Settings
from downloader.thumbnails import Refused, Thumbnails, inside
from test_chooser import FILES

# A page on the open internet (never contacted: its address alone decides what its pictures may be).
PUBLIC_PAGE = "http://93.184.216.34/watch"


def with_posters(names: list[str]) -> str:
    videos = "".join(f'<video controls poster="/poster.jpg"><source src="/{n}" type="video/mp4"></video>'
                     for n in names)
    return f"<html><head><title>预览</title></head><body>{videos}</body></html>"


class PreviewTest(PayloadTest):
    def picture(self, link: str) -> tuple[int, str]:
        status, _ = self.server.request("GET", link)
        return status, self.server.last_headers.get("Content-Type", "")

    def test_the_chooser_and_the_parse_result_show_pictures_from_our_origin(self) -> None:
        poster()
        self.media.pages["/three"] = with_posters(FILES)
        self.media.pages["/one"] = with_posters(FILES[:1])
        status, listing = self.server.request("POST", "/api/playlist", {"url": self.media.url("three")})
        self.assertEqual((status, len(listing["entries"])), (200, 3), listing)
        status, probed = self.server.request("POST", "/api/probe", {"url": self.media.url("one")})
        self.assertEqual(status, 200, probed)
        links = [e["thumbnail"] for e in listing["entries"]] + [probed["thumbnail"]]
        for link in links:
            self.assertRegex(link or "", r"^/api/thumbnails/[0-9a-f]{32}$")
            self.assertEqual(self.picture(link), (200, "image/jpeg"))
        # One fetch from the site; the rest came from data/.
        self.assertEqual(self.media.requests.count("/poster.jpg"), 1, self.media.requests)
        self.assertEqual(os.listdir(os.path.join(self.workdir, "data", "thumbnails")), [links[0].rsplit("/", 1)[1]])
        # A key the server never gave out is not a way to fetch anything.
        self.assertEqual(self.picture("/api/thumbnails/" + "0" * 32)[0], 404)


class FetchTest(unittest.TestCase):
    def setUp(self) -> None:
        self.media = MediaServer(slow_rate=20000)
        self.addCleanup(self.media.close)
        self.data = tempfile.mkdtemp(prefix="zormak-thumbs-")
        self.settings = Settings(self.data, [])

    def thumbnails(self, **bounds: float) -> Thumbnails:
        return Thumbnails(self.settings, self.data, **bounds)  # type: ignore[arg-type]

    def get(self, thumbs: Thumbnails, picture: str, page: str) -> bytes:
        link = thumbs.link(picture, page)
        assert link is not None
        return thumbs.get(link.rsplit("/", 1)[1])[0]

    def test_refusals(self) -> None:
        poster()
        big_file("fake.jpg", 4096)
        self.media.redirects["/elsewhere.jpg"] = "file:///etc/passwd"
        loopback = self.media.url("three")
        cases: list[tuple[str, str, str, dict[str, float]]] = [
            ("a public page's picture on this machine", "poster.jpg", PUBLIC_PAGE, {}),
            ("not an image", "clip.mp4", loopback, {}),
            ("image by its type, not by its bytes", "fake.jpg", loopback, {}),
            ("too large", "poster.jpg", loopback, {"limit": 1000}),
            ("too slow", "slow/poster.jpg", loopback, {"timeout": 0.2}),
            ("redirected out of http", "elsewhere.jpg", loopback, {}),
        ]
        for case, picture, page, bounds in cases:
            with self.subTest(case):
                self.media.requests.clear()
                thumbs = self.thumbnails(**bounds)
                start = time.monotonic()
                with self.assertRaises(Refused):
                    self.get(thumbs, self.media.url(picture), page)
                self.assertLess(time.monotonic() - start, 3)
                self.assertFalse(os.path.exists(thumbs.folder) and os.listdir(thumbs.folder))
                if page == PUBLIC_PAGE:
                    self.assertEqual(self.media.requests, [])
        self.assertEqual(self.thumbnails().link("data:image/png;base64,AAAA", loopback), None)

    def test_a_picture_arrives_whole_and_through_the_users_proxy(self) -> None:
        proxy = RecordingProxy()
        self.addCleanup(proxy.close)
        self.settings.update({"proxy": proxy.address})
        with open(poster(), "rb") as f:
            expected = f.read()
        self.assertEqual(self.get(self.thumbnails(), "/poster.jpg", self.media.url("page")), expected)
        self.assertEqual([line for line, _ in proxy.seen()], [f"GET {self.media.url('poster.jpg')} HTTP/1.1"])

    def test_which_addresses_are_inside(self) -> None:
        for ip, expected in [("127.0.0.1", True), ("10.1.2.3", True), ("192.168.0.9", True), ("169.254.1.1", True),
                             ("100.64.0.1", True), ("0.0.0.0", True), ("::1", True), ("fe80::1%eth0", True),
                             ("fd00::5", True), ("::ffff:192.168.1.1", True), ("224.0.0.1", True),
                             ("93.184.216.34", False), ("2606:4700::1111", False), ("::ffff:8.8.8.8", False)]:
            self.assertEqual(inside(ip), expected, ip)


class SizeTest(unittest.TestCase):
    def test_the_estimate_is_told_approximate_unless_the_site_gave_the_size(self) -> None:
        # The processed info carries the chosen format's fields at its top (YoutubeDL.process_video_result).
        cases: list[tuple[dict[str, Any], tuple[int | None, bool]]] = [
            ({"filesize": 5_000_000, "filesize_approx": 4_000_000}, (5_000_000, False)),
            ({"filesize": None, "filesize_approx": 4_000_000, "tbr": 900}, (4_000_000, True)),
            ({"tbr": 800.0}, (800 * 1000 // 8 * 60, True)),
            ({"tbr": None}, (None, False)),
        ]
        for fields, expected in cases:
            shown = probe.listing({"title": "t", "duration": 60, "formats": [{"format_id": "18", **fields}],
                                   **fields})
            self.assertEqual((shown["size"], shown["approximate"]), expected, fields)
            self.assertEqual((shown["formats"][0]["size"], shown["formats"][0]["approximate"]), expected, fields)
