"""The preview before downloading: each video's picture, fetched by the server within bounds and served
from our origin."""

import os
import re
import time

import pytest

from media import MediaServer, RecordingProxy, big_file, poster
from support import Payload

from downloader.settings import Settings
from downloader.thumbnails import Refused, Thumbnails, inside
from test_chooser import FILES, videos_page

# A page on the open internet (never contacted: its address alone decides what its pictures may be).
PUBLIC_PAGE = "http://93.184.216.34/watch"


def test_the_chooser_and_the_parse_result_show_pictures_from_our_origin(workdir: str, media: MediaServer,
                                                                       payload: Payload) -> None:
    poster()
    media.pages["/three"] = videos_page(FILES, "poster.jpg")
    media.pages["/one"] = videos_page(FILES[:1], "poster.jpg")
    status, listing = payload.request("POST", "/api/playlist", {"url": media.url("three")})
    assert (status, len(listing["entries"])) == (200, 3), listing
    status, probed = payload.request("POST", "/api/probe", {"url": media.url("one")})
    assert status == 200, probed
    links = [e["thumbnail"] for e in listing["entries"]] + [probed["thumbnail"]]
    for link in links:
        assert re.fullmatch(r"/api/thumbnails/[0-9a-f]{32}", link or ""), link
        assert payload.request("GET", link)[0] == 200 and payload.last_headers["Content-Type"] == "image/jpeg"
    # One fetch from the site; the rest came from data/.
    assert media.requests.count("/poster.jpg") == 1, media.requests
    assert os.listdir(os.path.join(workdir, "data", "thumbnails")) == [links[0].rsplit("/", 1)[1]]
    # A key the server never gave out is not a way to fetch anything.
    assert payload.request("GET", "/api/thumbnails/" + "0" * 32)[0] == 404


@pytest.mark.parametrize("picture, page, bounds", [
    # A public page's picture on this machine; not an image; an image by its type, not by its bytes.
    ("poster.jpg", PUBLIC_PAGE, {}), ("clip.mp4", "", {}), ("fake.jpg", "", {}),
    # Too large, too slow, redirected out of http.
    ("poster.jpg", "", {"limit": 1000}), ("slow/poster.jpg", "", {"timeout": 0.2}), ("elsewhere.jpg", "", {})])
def test_refusals(workdir: str, module_media: MediaServer, picture: str, page: str, bounds: dict[str, float]) -> None:
    poster()
    big_file("fake.jpg", 4096)
    module_media.redirects["/elsewhere.jpg"] = "file:///etc/passwd"
    module_media.requests.clear()
    thumbs = Thumbnails(Settings(workdir, []), workdir, **bounds)  # type: ignore[arg-type]
    link = thumbs.link(module_media.url(picture), page or module_media.url("three"))
    assert link is not None
    start = time.monotonic()
    with pytest.raises(Refused):
        thumbs.get(link.rsplit("/", 1)[1])
    assert time.monotonic() - start < 3
    assert not (os.path.exists(thumbs.folder) and os.listdir(thumbs.folder))
    assert page != PUBLIC_PAGE or module_media.requests == []
    assert thumbs.link("data:image/png;base64,AAAA", module_media.url("three")) is None


def test_a_picture_arrives_whole_and_through_the_users_proxy(workdir: str, module_media: MediaServer) -> None:
    proxy = RecordingProxy()
    try:
        settings = Settings(workdir, [])
        settings.update({"proxy": proxy.address})
        thumbs = Thumbnails(settings, workdir)
        link = thumbs.link("/poster.jpg", module_media.url("page"))
        assert link is not None
        with open(poster(), "rb") as f:
            assert thumbs.get(link.rsplit("/", 1)[1])[0] == f.read()
        assert [line for line, _ in proxy.seen] == [f"GET {module_media.url('poster.jpg')} HTTP/1.1"]
    finally:
        proxy.close()


@pytest.mark.parametrize("ip, expected", [(ip, True) for ip in (
    "127.0.0.1", "10.1.2.3", "192.168.0.9", "169.254.1.1", "100.64.0.1", "0.0.0.0", "::1", "fe80::1%eth0", "fd00::5",
    "::ffff:192.168.1.1", "224.0.0.1")] + [(ip, False) for ip in ("93.184.216.34", "2606:4700::1111",
                                                                  "::ffff:8.8.8.8")])
def test_which_addresses_are_inside(ip: str, expected: bool) -> None:
    assert inside(ip) == expected
