"""Only our own page on our own address may use the server, and no address
can make it touch files outside its download folder and data/."""

import os
import socket
import time
from typing import Any

from support import PayloadTest, SharedPayloadTest, wait_for

REFUSED = "拒绝访问：请在 ZORMAK 的窗口中使用下载器"


class SessionTest(SharedPayloadTest):
    """Only the holder of the launch's secret, as the zormak_session cookie, gets in."""

    def assert_refused_everywhere(self, cookie: str | None) -> None:
        nothing: dict[str, Any] = {}
        requests: list[tuple[str, str, Any]] = [
            ("GET", "/api/jobs", None), ("GET", "/api/settings", None), ("GET", "/api/history", None),
            ("GET", "/api/meta", None), ("GET", "/api/nothing", None),
            ("POST", "/api/jobs", {"urls": self.media.url("clip.mp4")}),
            ("POST", "/api/settings", {"download_dir": "/tmp/elsewhere"}),
            ("GET", "/api/engine", None), ("POST", "/api/engine/check", nothing),
            ("POST", "/api/engine/rollback", nothing), ("POST", "/api/engine/runtime", nothing),
            ("POST", "/api/engine/import", {"files": []}), ("POST", "/api/jobs/1/open", nothing),
            ("DELETE", "/api/history/1", None)]
        for method, path, body in requests:
            with self.subTest(cookie=cookie, path=path):
                status, answer = self.server.request(method, path, body, headers={"Cookie": cookie})
                self.assertEqual((status, answer), (403, {"error": REFUSED}))
        for path in ("/", "/index.html", "/static/app.js", "/signin"):
            with self.subTest(cookie=cookie, path=path):
                self.assertEqual(self.server.request("GET", path, headers={"Cookie": cookie})[0], 403)

    def test_wrong_or_missing_cookie_is_refused(self):
        secret = self.server.secret
        assert secret
        for cookie in (None, "", "zormak_session=", "zormak_session=wrong", f"zormak_session={secret[:-1]}",
                       f"zormak_session={secret}0", f"other={secret}", f"zormak_session=\u00e9{secret[1:]}",
                       f"Zormak_Session={secret}"):
            self.assert_refused_everywhere(cookie)
        self.assertEqual(self.server.jobs(), {})
        self.assertEqual(self.server.request("GET", "/api/settings")[1]["download_dir"], self.server.download_dir)
        # The right cookie among others is accepted.
        status, _ = self.server.request("GET", "/api/jobs", headers={"Cookie": f"a=b; zormak_session={secret}; c=d"})
        self.assertEqual(status, 200)

    def test_status_is_open_and_says_only_that_it_runs(self):
        self.assertEqual(self.server.request("GET", "/api/status", headers={"Cookie": None}), (200, {"ok": True}))
        self.assertNotIn(self.server.secret, self.server.output())


class RequestOriginTest(SharedPayloadTest):
    def test_foreign_host_is_refused_everywhere(self):
        port, jobs = self.server.port, self.server.jobs()
        for host in ("localhost:%d" % port, "evil.example:%d" % port, "127.0.0.1", "127.0.0.1:%d" % (port + 1),
                     "127.0.0.1:%d.evil.example" % port, ""):
            for method, path in (("GET", "/"), ("GET", "/api/status"), ("GET", "/api/history"), ("GET", "/signin"),
                                 ("POST", "/api/jobs")):
                with self.subTest(host=host, path=path, method=method):
                    body = {"urls": self.media.url("clip.mp4")} if method == "POST" else None
                    status, answer = self.server.request(method, path, body, headers={"Host": host})
                    self.assertEqual((status, _message(answer)), (403, "拒绝访问：请求的主机名不正确"))
        status, _ = self.server.request("GET", "/api/status", headers={"Host": None})
        self.assertEqual(status, 403)
        self.assertEqual(self.server.jobs(), jobs)

    def test_foreign_origin_cannot_change_anything(self):
        jobs = self.server.jobs()
        refused = [{"Origin": "http://evil.example"}, {"Origin": "null"},
                   {"Origin": "http://127.0.0.1:%d" % (self.server.port + 1)},
                   {"Origin": "https://127.0.0.1:%d" % self.server.port},
                   {"Sec-Fetch-Site": "cross-site"}, {"Sec-Fetch-Site": "same-site"}]
        changes = [("POST", "/api/jobs", {"urls": self.media.url("clip.mp4")}),
                   ("POST", "/api/settings", {"download_dir": "/tmp/elsewhere"}),
                   ("POST", "/api/history/clear", {}),
                   ("POST", "/api/engine/check", {}), ("POST", "/api/engine/rollback", {}),
                   ("POST", "/api/engine/runtime", {}), ("POST", "/api/engine/import", {"files": []}),
                   ("POST", "/api/jobs/1/open", {}), ("DELETE", "/api/history/1", None)]
        for headers in refused:
            for method, path, body in changes:
                with self.subTest(headers=headers, path=path):
                    status, answer = self.server.request(method, path, body, headers=headers)
                    self.assertEqual((status, answer), (403, {"error": "拒绝访问：请求来自其他网站"}))
        self.assertEqual(self.server.jobs(), jobs)
        self.assertEqual(self.server.request("GET", "/api/settings")[1]["download_dir"], self.server.download_dir)
        # A form from another page cannot send JSON without asking first.
        status, _ = self.server.request("POST", "/api/jobs", raw=b'{"urls": "http://a.b/c"}',
                                        headers={"Content-Type": "text/plain"})
        self.assertEqual(status, 415)
        # Our own page may.
        status, answer = self.server.request("POST", "/api/jobs", {"urls": self.media.url("clip.mp4")},
                                             headers={"Origin": self.server.origin, "Sec-Fetch-Site": "same-origin"})
        self.assertEqual(status, 200, answer)

    def test_page_loads_without_origin(self):
        status, page = self.server.request("GET", "/", headers={"Sec-Fetch-Site": "none"})
        self.assertEqual(status, 200)
        self.assertIn("多平台视频下载器", page)


class FileSafetyTest(SharedPayloadTest):
    def outside_files(self):
        """Files under the work folder other than the download folder and data/."""
        found = []
        for root, dirs, names in os.walk(self.workdir):
            rel = os.path.relpath(root, self.workdir)
            if rel.split(os.sep)[0] in ("downloads", "data"):
                continue
            found += [os.path.join(rel, n) for n in names]
        return found

    def test_static_files_stay_in_their_folder(self):
        for path in ("/static/../app.py", "/static/%2e%2e/app.py", "/static/..%2fapp.py", "/static/.hidden",
                     "/../app.py", "/static/", "/static//etc/passwd", "/app.py", "/static/index.html/.."):
            with self.subTest(path=path):
                status, body = self.server.request("GET", path)
                self.assertEqual((status, _message(body)), (404, "找不到这个页面"))
        for name in ("app.js", "api.js", "dom.js", "format.js", "style.css"):
            with self.subTest(name=name):
                self.assertEqual(self.server.request("GET", "/static/" + name)[0], 200)

    def test_hostile_names_land_inside_the_download_folder(self):
        # The titles yt-dlp derives from these paths climb out of the folder.
        hostile = ["..%2F..%2F..%2Fzormak-evil.mp4", "%2Ftmp%2Fzormak-evil.mp4", "..%2F.%2E.mp4"]
        for path in hostile:
            self.media.aliases["/" + path] = "/clip.mp4"
        self.media.redirects["/passwd.mp4"] = "file:///etc/passwd"
        urls = [self.media.url(p) for p in hostile + ["passwd.mp4"]]
        _, body = self.server.add("\n".join(urls))
        results = [self.server.wait_job(j["id"], {"done", "failed"}) for j in body["added"]]
        self.assertEqual([r["state"] for r in results], ["done", "done", "done", "failed"])
        for name in self.server.files():
            self.assertNotIn(os.sep, name)
            with open(os.path.join(self.server.download_dir, name), "rb") as f:
                self.assertNotIn(b"root:", f.read(4096))
        self.assertEqual(len(self.server.files()), 3)
        self.assertEqual(self.outside_files(), [])
        self.assertFalse(os.path.exists("/tmp/zormak-evil.mp4"))
        self.assertFalse(os.path.exists(os.path.join(os.path.dirname(self.workdir), "zormak-evil.mp4")))


def _message(answer: object) -> str:
    """The error text of a JSON answer (the API) or a plain one (pages)."""
    return answer["error"] if isinstance(answer, dict) else str(answer).strip()


class StalledClientsTest(PayloadTest):
    """Clients that open connections and send nothing cannot hold the server."""

    def threads(self) -> int:
        with open(f"/proc/{self.server.pid}/status") as f:
            return int(next(line.split()[1] for line in f if line.startswith("Threads:")))

    def test_stalled_connections_are_capped_and_timed_out(self):
        idle = self.threads()
        stalled: list[socket.socket] = []

        def close_all() -> None:
            for s in stalled:
                s.close()
        self.addCleanup(close_all)
        for _ in range(400):
            s = socket.create_connection(("127.0.0.1", self.server.port), timeout=5)
            s.sendall(b"GET /api/jobs HTTP/1.1\r\n")
            stalled.append(s)
        time.sleep(0.5)
        self.assertLess(self.threads(), idle + 40)
        # Those over the cap are told at once that the server is busy.
        stalled[-1].settimeout(2)
        refused = stalled[-1].recv(4096).decode("utf-8", "replace")
        self.assertTrue(refused.startswith("HTTP/1.1 503"), refused)
        self.assertIn("服务正忙", refused)
        # The ones being served lose their connection after the time-out, and the server answers again.
        stalled[0].settimeout(15)
        started = time.monotonic()
        self.assertEqual(stalled[0].recv(4096), b"")
        self.assertLess(time.monotonic() - started, 12)
        wait_for(lambda: self.server.request("GET", "/api/jobs")[0] == 200, 5, message="the server to answer")
        self.assertIn("打开的连接太多", self.server.output())
