"""Only our own page on our own address may use the server, and no address
can make it touch files outside its download folder and data/."""

import os
import unittest

from support import PayloadTest


class RequestOriginTest(PayloadTest):
    def test_foreign_host_is_refused_everywhere(self):
        port = self.server.port
        for host in ("localhost:%d" % port, "evil.example:%d" % port, "127.0.0.1", "127.0.0.1:%d" % (port + 1),
                     "127.0.0.1:%d.evil.example" % port, ""):
            for method, path in (("GET", "/"), ("GET", "/api/status"), ("GET", "/api/history"),
                                 ("POST", "/api/jobs")):
                with self.subTest(host=host, path=path, method=method):
                    body = {"urls": self.media.url("clip.mp4")} if method == "POST" else None
                    status, answer = self.server.request(method, path, body, headers={"Host": host})
                    self.assertEqual((status, answer), (403, {"error": "拒绝访问：请求的主机名不正确"}))
        status, _ = self.server.request("GET", "/api/status", headers={"Host": None})
        self.assertEqual(status, 403)
        self.assertEqual(self.server.jobs(), {})

    def test_foreign_origin_cannot_change_anything(self):
        refused = [{"Origin": "http://evil.example"}, {"Origin": "null"},
                   {"Origin": "http://127.0.0.1:%d" % (self.server.port + 1)},
                   {"Origin": "https://127.0.0.1:%d" % self.server.port},
                   {"Sec-Fetch-Site": "cross-site"}, {"Sec-Fetch-Site": "same-site"}]
        changes = [("POST", "/api/jobs", {"urls": self.media.url("clip.mp4")}),
                   ("POST", "/api/settings", {"download_dir": "/tmp/elsewhere"}),
                   ("POST", "/api/history/clear", {}),
                   ("DELETE", "/api/history/1", None)]
        for headers in refused:
            for method, path, body in changes:
                with self.subTest(headers=headers, path=path):
                    status, answer = self.server.request(method, path, body, headers=headers)
                    self.assertEqual((status, answer), (403, {"error": "拒绝访问：请求来自其他网站"}))
        self.assertEqual(self.server.jobs(), {})
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


class FileSafetyTest(PayloadTest):
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
                self.assertEqual((status, body), (404, {"error": "找不到这个页面"}))
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


if __name__ == "__main__":
    unittest.main()
