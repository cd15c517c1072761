"""Downloads with the sign-in window's cookies: only the asked site's, given to the engine in a
file of the user's alone that is gone when the call ends, and the sign-in advice once they are gone."""

import filecmp
import glob
import os
import shutil
import sqlite3
import stat
import unittest

from media import media_dir
from support import PayloadTest, wait_for

from downloader import errors, signed_in

SESSION = ("sid", "signed-in-7f3a")
# As the shell writes the jar: a session cookie (expiry 0) marked HttpOnly, another site's cookie,
# and an expired one of the same site.
SESSION_LINE = f"#HttpOnly_127.0.0.1\tFALSE\t/\tFALSE\t0\t{SESSION[0]}\t{SESSION[1]}\n"
JAR = ("# Netscape HTTP Cookie File\n" + SESSION_LINE + ".other.example\tTRUE\t/\tTRUE\t4102444800\tother\telsewhere\n"
       "127.0.0.1\tFALSE\t/\tFALSE\t1000\told\tlong-gone\n")


def firefox_profile(home: str, cookie: tuple[str, str]) -> str:
    """A Firefox profile in home, as Firefox lays it out: profiles.ini naming a folder whose
    cookies.sqlite (schema 13, expiry in seconds) holds cookie for 127.0.0.1."""
    root = os.path.join(home, ".mozilla", "firefox")
    folder = os.path.join(root, "x7k2.default-release")
    os.makedirs(folder)
    with open(os.path.join(root, "profiles.ini"), "w", encoding="utf-8") as f:
        f.write("[General]\nStartWithLastProfile=1\nVersion=2\n\n"
                "[Profile0]\nName=default-release\nIsRelative=1\nPath=x7k2.default-release\nDefault=1\n")
    db = sqlite3.connect(os.path.join(folder, "cookies.sqlite"))
    db.execute("CREATE TABLE moz_cookies (id INTEGER PRIMARY KEY, originAttributes TEXT NOT NULL DEFAULT '', "
               "name TEXT, value TEXT, host TEXT, path TEXT, expiry INTEGER, lastAccessed INTEGER, "
               "creationTime INTEGER, isSecure INTEGER, isHttpOnly INTEGER, inBrowserElement INTEGER DEFAULT 0, "
               "sameSite INTEGER DEFAULT 0, rawSameSite INTEGER DEFAULT 0, schemeMap INTEGER DEFAULT 0, "
               "CONSTRAINT moz_uniqueid UNIQUE (name, host, path, originAttributes))")
    db.execute("PRAGMA user_version = 13")
    db.execute("INSERT INTO moz_cookies (name, value, host, path, expiry, lastAccessed, creationTime, isSecure, "
               "isHttpOnly) VALUES (?, ?, '127.0.0.1', '/', 4102444800, 0, 0, 0, 1)", cookie)
    db.commit()
    db.close()
    return folder


class SitesTest(unittest.TestCase):
    def test_the_cookies_of_a_site_are_those_of_its_registered_name(self) -> None:
        cookies = signed_in.parse(".example.com\tTRUE\t/\tTRUE\t0\ta\t1\n"
                                  "accounts.example.com\tFALSE\t/\tTRUE\t0\tb\t2\n"
                                  ".example.co.uk\tTRUE\t/\tFALSE\t0\tc\t3\n"
                                  ".co.uk\tTRUE\t/\tFALSE\t0\td\t4\n"
                                  "127.0.0.1\tFALSE\t/\tFALSE\t0\te\t5\n"
                                  "broken line\n.example.com\tTRUE\t/\tTRUE\tsoon\tf\t6\n")
        table = [("https://www.example.com/watch?v=1", "ab"), ("https://EXAMPLE.com./x", "ab"),
                 ("https://video.example.co.uk/1", "c"), ("https://other.co.uk/1", ""),
                 ("http://127.0.0.1:8080/clip.mp4", "e"), ("http://127.0.0.2/clip.mp4", ""),
                 ("https://notexample.com/", ""), ("not an address", "")]
        for address, names in table:
            with self.subTest(address=address):
                self.assertEqual("".join(c.name for c in signed_in.for_address(cookies, address)), names)
        self.assertEqual(signed_in.sites(cookies), ["127.0.0.1", "co.uk", "example.co.uk", "example.com"])


class SignedInTest(PayloadTest):
    def start_server(self, settings=None, **options):
        self.jar = os.path.join(self.workdir, "SignIn", "engine-cookies.txt")
        # The engine's cookie files are made in the server's temporary folder, watched here.
        self.tmp = os.path.join(self.workdir, "tmp")
        os.makedirs(self.tmp, exist_ok=True)
        os.makedirs(os.path.dirname(self.jar), mode=0o700, exist_ok=True)
        return super().start_server(settings, env={signed_in.VARIABLE: self.jar, "TMPDIR": self.tmp}, **options)

    def write_jar(self, text: str, mode: int = 0o600) -> None:
        with open(self.jar, "w", encoding="utf-8") as f:
            f.write(text)
        os.chmod(self.jar, mode)

    def cookie_files(self) -> list[str]:
        return glob.glob(os.path.join(self.tmp, "zormak-cookies-*"))

    def download(self) -> dict:
        status, body = self.server.request("POST", "/api/jobs", {"urls": self.media.url("clip.mp4"), "force": True})
        self.assertEqual(status, 200, body)
        return body["added"][0]

    def test_a_signed_in_download_then_signing_out(self) -> None:
        self.media.cookie = SESSION
        self.write_jar(JAR)
        self.assertEqual(self.server.request("GET", "/api/signin")[1], {"window": True,
                                                                          "sites": ["127.0.0.1", "other.example"]})
        # Held partway, so that the engine's cookie file is looked at while the download runs.
        self.media.hold["clip.mp4"] = 64 << 10
        job = self.download()
        wait_for(lambda: self.media.sent("clip.mp4") >= 64 << 10, 30, message="the download to start")
        [given] = self.cookie_files()
        self.assertEqual(stat.S_IMODE(os.stat(given).st_mode), 0o600)
        with open(given, encoding="utf-8") as f:
            text = f.read()
        self.assertIn(f"\t{SESSION[0]}\t{SESSION[1]}\n", text)
        self.assertNotIn("elsewhere", text)
        self.assertNotIn("long-gone", text)
        self.media.released.set()
        done = self.server.wait_job(job["id"], {"done", "failed"}, timeout=60)
        self.assertEqual(done["state"], "done", done)
        self.assertTrue(filecmp.cmp(os.path.join(self.server.download_dir, done["files"][0]),
                                    os.path.join(media_dir(), "clip.mp4"), shallow=False))
        self.assertEqual(self.cookie_files(), [])

        # (the jar, its mode, whether the site lets the request in)
        table = [(JAR, 0o600, True),
                 # Readable by others: someone could have written it, and it is not used.
                 (JAR, 0o644, False),
                 # Signed out.
                 (JAR.replace(SESSION_LINE, ""), 0o600, False),
                 ]
        for jar, mode, allowed in table:
            with self.subTest(mode=oct(mode), allowed=allowed):
                self.write_jar(jar, mode)
                status, body = self.server.request("POST", "/api/probe", {"url": self.media.url("clip.mp4")})
                self.assertEqual(status == 200, allowed, body)
                if not allowed:
                    self.assertTrue(body["error"].endswith(errors.SIGNIN_ADVICE), body)
                self.assertEqual(self.cookie_files(), [])
        failed = self.server.wait_job(self.download()["id"], {"done", "failed"}, timeout=60)
        self.assertEqual(failed["state"], "failed", failed)
        self.assertIn("HTTP 403", failed["error"])
        self.assertTrue(failed["error"].endswith(errors.SIGNIN_ADVICE), failed["error"])
        self.assertEqual(self.cookie_files(), [])

    def test_a_chosen_firefox_profile_signs_the_engine_in(self) -> None:
        self.media.cookie = SESSION
        folder = firefox_profile(self.workdir, SESSION)
        status, body = self.server.request("GET", "/api/browsers")
        self.assertEqual(body["profiles"], [{"id": f"firefox:{folder}", "browser": "Firefox",
                                             "profile": "default-release"}])
        # (the choice, whether it is taken, whether the site then lets the engine in)
        table = [("", True, False), (f"firefox:{folder}", True, True),
                 ("safari:/Users/x", False, True), ("firefox:relative/path", False, True)]
        for choice, taken, allowed in table:
            with self.subTest(choice=choice):
                status, body = self.server.request("POST", "/api/settings", {"cookies_browser": choice})
                self.assertEqual(status == 200, taken, body)
                status, body = self.server.request("POST", "/api/probe", {"url": self.media.url("clip.mp4")})
                self.assertEqual(status == 200, allowed, body)
        done = self.server.wait_job(self.download()["id"], {"done", "failed"}, timeout=60)
        self.assertEqual(done["state"], "done", done)
        self.assertTrue(filecmp.cmp(os.path.join(self.server.download_dir, done["files"][0]),
                                    os.path.join(media_dir(), "clip.mp4"), shallow=False))
        # The browser's database is read, never written.
        self.assertEqual(sorted(os.listdir(folder)), ["cookies.sqlite"])
        # A profile that is gone since it was chosen is said so.
        shutil.rmtree(folder)
        status, body = self.server.request("POST", "/api/probe", {"url": self.media.url("clip.mp4")})
        self.assertEqual(status, 400, body)
        self.assertIn("找不到所选浏览器的资料文件夹", body["error"])
