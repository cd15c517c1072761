"""Pasted text: the addresses found in it, and the question before fetching a video again."""

from typing import Callable

import pytest

from media import MediaServer
from support import Payload

from downloader import addresses, engine_loader


@pytest.mark.parametrize("text, found, kept", [
    ("看看这个http://example.com/v/1，很好看", ["http://example.com/v/1"], []),
    ("【标题】https://example.com/v/2?share=1&t=3 复制此链接", ["https://example.com/v/2?share=1&t=3"], []),
    ("http://a.example/x http://b.example/y\thttps://c.example/z",
     ["http://a.example/x", "http://b.example/y", "https://c.example/z"], []),
    ("see http://example.com/a. And (http://example.com/b), ok", ["http://example.com/a", "http://example.com/b"], []),
    ("https://en.example.org/wiki/Foo_(bar)", ["https://en.example.org/wiki/Foo_(bar)"], []),
    ("快看www.example.com/watch?v=9！", ["https://www.example.com/watch?v=9"], []),
    ("HTTPS://Example.com/V", ["HTTPS://Example.com/V"], []),
    ("http://example.com/a\n\n  http://example.com/a  ", ["http://example.com/a"], []),
    ("随便写点什么\nhttp://example.com/ok", ["http://example.com/ok"], ["随便写点什么"]),
    ("javascript:alert(1)", [], ["javascript:alert(1)"]),
    ("ftp://www.example.com/a.mp4", [], ["ftp://www.example.com/a.mp4"]),
    ("mailto:someone@www.example.com", [], ["mailto:someone@www.example.com"]),
    ("http:// 和 https:///path", [], ["http:// 和 https:///path"]),
    ("example.com/video", [], ["example.com/video"]),
    ("看http://a.example/\u202ex", [], ["看http://a.example/\u202ex"])])
def test_addresses_in_pasted_text(text: str, found: list[str], kept: list[str]) -> None:
    paste = addresses.extract(text)
    assert (paste.addresses, paste.unusable) == (found, kept)
    assert paste.errors == ["这不是有效的网址：" + line.replace("\u202e", "\ufffd") for line in kept]


@pytest.mark.parametrize("a, b", [
    ("https://www.youtube.com/watch?v=dQw4w9WgXcQ&t=5", "https://youtu.be/dQw4w9WgXcQ?si=share"),
    ("http://127.0.0.1:8000/clip.mp4#t=3", "HTTP://127.0.0.1:8000/clip.mp4"),
    ("https://example.com:443/v", "https://EXAMPLE.com/v")])
def test_same_video_same_key(a: str, b: str) -> None:
    assert engine_loader.video_key(a) == engine_loader.video_key(b)
    # The stand-in key used before the engine is imported tells one address apart from
    # another, but not a short link from a long one.
    assert (addresses.address_key(a) == addresses.address_key(b)) == ("youtu" not in a)


@pytest.mark.parametrize("a, b", [
    ("http://127.0.0.1:8000/clip.mp4", "http://127.0.0.1:8000/clip.mp4?again"),
    ("http://127.0.0.1:8000/clip.mp4", "http://127.0.0.1:8001/clip.mp4"),
    ("https://youtu.be/dQw4w9WgXcQ", "https://youtu.be/aaaaaaaaaaa")])
def test_another_video_another_key(a: str, b: str) -> None:
    assert engine_loader.video_key(a) != engine_loader.video_key(b)
    assert addresses.address_key(a) != addresses.address_key(b)
    assert engine_loader.video_key("https://youtu.be/dQw4w9WgXcQ") == ("youtube", "dQw4w9WgXcQ")


def test_a_queued_video_asks_before_adding_again(media: MediaServer, start: Callable[..., Payload]) -> None:
    server = start({"concurrency": 1})
    slow = media.url("slow/clip.mp4")
    assert len(server.add(f"{slow} {slow}?b")[1]["added"]) == 2
    # The same video under a slightly different address, alone and beside a new one.
    status, body = server.add(slow + "#again")
    assert (status, body["added"]) == (409, []), body
    [dup] = body["duplicates"]
    assert (dup["url"], dup["where"]) == (slow + "#again", "queue") and dup["title"] in (slow, "clip"), dup
    status, body = server.add(f"{slow}\n{media.url('slow/clip.mp4?other')}")
    assert (status, [d["url"] for d in body["duplicates"]]) == (200, [slow])
    assert [j["url"] for j in body["added"]] == [media.url("slow/clip.mp4?other")]
    assert len(server.jobs()) == 3
    # Confirmed: it is added all the same.
    status, body = server.request("POST", "/api/jobs", {"urls": slow, "force": True})
    assert (status, len(body["added"]), body["duplicates"], len(server.jobs())) == (200, 1, [], 4)


def test_downloaded_video_asks_even_after_a_restart(media: MediaServer, start: Callable[..., Payload]) -> None:
    server = start({"concurrency": 1})
    url = media.url("clip.mp4")
    assert server.finish(url)["state"] == "done"
    assert server.query("SELECT site, url, title FROM archive") == [("generic", url, "clip")]
    # Cleared from the queue and the server restarted: the archive still knows it.
    server.request("POST", "/api/jobs/clear", {})
    server.stop()
    server = start()
    status, body = server.add(url)
    assert (status, body["error"]) == (409, "这些视频已经在下载队列中或已经下载过"), body
    [dup] = body["duplicates"]
    assert (dup["url"], dup["where"], dup["title"]) == (url, "history", "clip")
    assert server.jobs() == {}
    status, body = server.request("POST", "/api/jobs", {"urls": url, "force": True})
    assert (status, len(body["added"])) == (200, 1)
