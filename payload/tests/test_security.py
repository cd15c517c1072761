"""Only our own page on our own address may use the server, and no address
can make it touch files outside its download folder and data/. One server
serves every test here: none of them may change what another looks at."""

import os
import socket
import time
from typing import Any

import pytest

from media import MediaServer
from support import Payload, wait_for

REFUSED = "拒绝访问：请在 ZORMAK 的窗口中使用下载器"
ELSEWHERE = {"download_dir": "/tmp/elsewhere"}
# Every request that changes something, with a body that would.
CHANGES: list[tuple[str, str, Any]] = [
    ("POST", "/api/jobs", {"urls": "http://127.0.0.1:9/clip.mp4"}), ("POST", "/api/settings", ELSEWHERE),
    ("POST", "/api/history/clear", {}), ("POST", "/api/engine/check", {}), ("POST", "/api/engine/rollback", {}),
    ("POST", "/api/engine/runtime", {}), ("POST", "/api/engine/import", {"files": []}),
    ("POST", "/api/jobs/1/open", {}), ("DELETE", "/api/history/1", None)]
READS = [("GET", path, None) for path in ("/api/jobs", "/api/settings", "/api/history", "/api/meta", "/api/nothing",
                                          "/api/engine")]


def _message(answer: object) -> str:
    """The error text of a JSON answer (the API) or a plain one (pages)."""
    return answer["error"] if isinstance(answer, dict) else str(answer).strip()


def unchanged(server: Payload, jobs: dict[int, Any]) -> bool:
    return server.jobs() == jobs and server.request("GET", "/api/settings")[1]["download_dir"] == server.download_dir


@pytest.mark.parametrize("cookie", [None, "", "zormak_session=", "zormak_session=wrong", "zormak_session={s:.63}",
                                    "zormak_session={s}0", "other={s}", "zormak_session=\u00e9{t}", "Zormak_Session={s}"])
def test_wrong_or_missing_cookie_is_refused_everywhere(cookie: str | None, module_payload: Payload) -> None:
    server = module_payload
    assert server.secret
    cookie = cookie and cookie.format(s=server.secret, t=server.secret[1:])
    jobs = server.jobs()
    for method, path, body in READS + CHANGES:
        assert server.request(method, path, body, headers={"Cookie": cookie}) == (403, {"error": REFUSED}), path
    for path in ("/", "/index.html", "/static/app.js", "/signin"):
        assert server.request("GET", path, headers={"Cookie": cookie})[0] == 403, path
    assert unchanged(server, jobs)
    # The right cookie among others is accepted.
    assert server.request("GET", "/api/jobs", headers={"Cookie": f"a=b; zormak_session={server.secret}; c=d"})[0] == 200


def test_status_is_open_and_says_only_that_it_runs(module_payload: Payload) -> None:
    assert module_payload.request("GET", "/api/status", headers={"Cookie": None}) == (200, {"ok": True})
    assert module_payload.secret and module_payload.secret not in module_payload.output()


def test_foreign_host_is_refused_everywhere(module_payload: Payload) -> None:
    server = module_payload
    port, jobs = server.port, server.jobs()
    for host in (f"localhost:{port}", f"evil.example:{port}", "127.0.0.1", f"127.0.0.1:{port + 1}",
                 f"127.0.0.1:{port}.evil.example", ""):
        for method, path, body in [("GET", "/", None), ("GET", "/api/status", None), ("GET", "/api/history", None),
                                   ("GET", "/signin", None), CHANGES[0]]:
            status, answer = server.request(method, path, body, headers={"Host": host})
            assert (status, _message(answer)) == (403, "拒绝访问：请求的主机名不正确"), (host, path)
    assert server.request("GET", "/api/status", headers={"Host": None})[0] == 403
    assert unchanged(server, jobs)


def test_foreign_origin_cannot_change_anything(module_payload: Payload, module_media: MediaServer) -> None:
    server = module_payload
    jobs = server.jobs()
    for headers in ({"Origin": "http://evil.example"}, {"Origin": "null"},
                    {"Origin": f"http://127.0.0.1:{server.port + 1}"}, {"Origin": f"https://127.0.0.1:{server.port}"},
                    {"Sec-Fetch-Site": "cross-site"}, {"Sec-Fetch-Site": "same-site"}):
        for method, path, body in CHANGES:
            assert server.request(method, path, body, headers=headers) == (
                403, {"error": "拒绝访问：请求来自其他网站"}), (headers, path)
    assert unchanged(server, jobs)
    # A form from another page cannot send JSON without asking first.
    assert server.request("POST", "/api/jobs", raw=b'{"urls": "http://a.b/c"}',
                          headers={"Content-Type": "text/plain"})[0] == 415
    # Our own page may, and it may load the page without an origin.
    status, answer = server.request("POST", "/api/jobs", {"urls": module_media.url("clip.mp4")},
                                    headers={"Origin": server.origin, "Sec-Fetch-Site": "same-origin"})
    assert status == 200, answer
    server.wait_job(answer["added"][0]["id"], {"done", "failed"})
    status, page = server.request("GET", "/", headers={"Sec-Fetch-Site": "none"})
    assert status == 200 and "多平台视频下载器" in page


def test_static_files_stay_in_their_folder(module_payload: Payload) -> None:
    for path in ("/static/../app.py", "/static/%2e%2e/app.py", "/static/..%2fapp.py", "/static/.hidden",
                 "/../app.py", "/static/", "/static//etc/passwd", "/app.py", "/static/index.html/.."):
        status, body = module_payload.request("GET", path)
        assert (status, _message(body)) == (404, "找不到这个页面"), path
    for name in ("app.js", "api.js", "dom.js", "format.js", "style.css"):
        assert module_payload.request("GET", "/static/" + name)[0] == 200, name


def test_hostile_names_land_inside_the_download_folder(module_payload: Payload, module_media: MediaServer) -> None:
    server, media = module_payload, module_media
    # The titles yt-dlp derives from these paths climb out of the folder.
    hostile = ["..%2F..%2F..%2Fzormak-evil.mp4", "%2Ftmp%2Fzormak-evil.mp4", "..%2F.%2E.mp4"]
    for path in hostile:
        media.aliases["/" + path] = "/clip.mp4"
    media.redirects["/passwd.mp4"] = "file:///etc/passwd"
    before = set(server.files())
    _, body = server.add("\n".join(media.url(p) for p in hostile + ["passwd.mp4"]), force=True)
    assert [server.wait_job(j["id"], {"done", "failed"})["state"] for j in body["added"]] == ["done"] * 3 + ["failed"]
    new = set(server.files()) - before
    assert len(new) == 3, new
    for name in new:
        assert os.sep not in name
        with open(os.path.join(server.download_dir, name), "rb") as f:
            assert b"root:" not in f.read(4096), name
    # Nothing below the work folder outside the download folder and data/, nor beside it.
    workdir = server.workdir
    assert [os.path.join(root, n) for root, _, names in os.walk(workdir) for n in names
            if os.path.relpath(root, workdir).split(os.sep)[0] not in ("downloads", "data")] == []
    assert not os.path.exists("/tmp/zormak-evil.mp4")
    assert not os.path.exists(os.path.join(os.path.dirname(workdir), "zormak-evil.mp4"))


def test_stalled_connections_are_capped_and_timed_out(module_payload: Payload) -> None:
    """Clients that open connections and send nothing cannot hold the server."""
    server = module_payload

    def threads() -> int:
        with open(f"/proc/{server.pid}/status") as f:
            return int(next(line.split()[1] for line in f if line.startswith("Threads:")))
    idle = threads()
    stalled: list[socket.socket] = []
    try:
        for _ in range(400):
            stalled.append(socket.create_connection(("127.0.0.1", server.port), timeout=5))
            stalled[-1].sendall(b"GET /api/jobs HTTP/1.1\r\n")
        time.sleep(0.5)
        assert threads() < idle + 40
        # Those over the cap are told at once that the server is busy.
        stalled[-1].settimeout(2)
        refused = stalled[-1].recv(4096).decode("utf-8", "replace")
        assert refused.startswith("HTTP/1.1 503") and "服务正忙" in refused, refused
        # The ones being served lose their connection after the time-out, and the server answers again.
        stalled[0].settimeout(15)
        started = time.monotonic()
        assert stalled[0].recv(4096) == b""
        assert time.monotonic() - started < 12
    finally:
        for s in stalled:
            s.close()
    wait_for(lambda: server.request("GET", "/api/jobs")[0] == 200, 5, message="the server to answer")
    assert "打开的连接太多" in server.output()
