"""Downloads with the sign-in window's cookies: only the asked site's, given to the engine in a
file of the user's alone that is gone when the call ends, and the sign-in advice once they are gone."""

import filecmp
import glob
import os
import shutil
import sqlite3
import stat
from typing import Callable

import pytest

from media import MediaServer, media_dir
from support import Payload, wait_for

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


COOKIES = signed_in.parse(".example.com\tTRUE\t/\tTRUE\t0\ta\t1\n" "accounts.example.com\tFALSE\t/\tTRUE\t0\tb\t2\n"
                          ".example.co.uk\tTRUE\t/\tFALSE\t0\tc\t3\n" ".co.uk\tTRUE\t/\tFALSE\t0\td\t4\n"
                          "127.0.0.1\tFALSE\t/\tFALSE\t0\te\t5\n"
                          "broken line\n.example.com\tTRUE\t/\tTRUE\tsoon\tf\t6\n")


@pytest.mark.parametrize("address, names", [
    ("https://www.example.com/watch?v=1", "ab"), ("https://EXAMPLE.com./x", "ab"),
    ("https://video.example.co.uk/1", "c"),
    ("https://other.co.uk/1", ""), ("http://127.0.0.1:8080/clip.mp4", "e"), ("http://127.0.0.2/clip.mp4", ""),
    ("https://notexample.com/", ""), ("not an address", "")])
def test_the_cookies_of_a_site_are_those_of_its_registered_name(address: str, names: str) -> None:
    assert "".join(c.name for c in signed_in.for_address(COOKIES, address)) == names
    assert signed_in.sites(COOKIES) == ["127.0.0.1", "co.uk", "example.co.uk", "example.com"]


@pytest.fixture
def server(workdir: str, media: MediaServer, start: Callable[..., Payload]) -> Payload:
    """A server told where the sign-in window's jar is, whose engine cookie files go to workdir/tmp."""
    os.makedirs(os.path.dirname(jar(workdir)), mode=0o700)
    os.makedirs(os.path.join(workdir, "tmp"))
    media.cookie = SESSION
    return start(env={signed_in.VARIABLE: jar(workdir), "TMPDIR": os.path.join(workdir, "tmp")})


def jar(workdir: str, text: str | None = None, mode: int = 0o600) -> str:
    path = os.path.join(workdir, "SignIn", "engine-cookies.txt")
    if text is not None:
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        os.chmod(path, mode)
    return path


def cookie_files(server: Payload) -> list[str]:
    return glob.glob(os.path.join(server.workdir, "tmp", "zormak-cookies-*"))


def download(server: Payload, media: MediaServer) -> int:
    status, body = server.request("POST", "/api/jobs", {"urls": media.url("clip.mp4"), "force": True})
    assert status == 200, body
    return body["added"][0]["id"]


def arrived(server: Payload, job_id: int) -> None:
    done = server.wait_job(job_id, {"done", "failed"}, timeout=60)
    assert done["state"] == "done", done
    assert filecmp.cmp(os.path.join(server.download_dir, done["files"][0]), os.path.join(media_dir(), "clip.mp4"),
                       shallow=False)


def test_signed_in_by_the_window_then_by_a_firefox_profile(server: Payload, media: MediaServer) -> None:
    jar(server.workdir, JAR)
    assert server.request("GET", "/api/signin")[1] == {"window": True, "sites": ["127.0.0.1", "other.example"]}
    # Held partway, so that the engine's cookie file is looked at while the download runs.
    media.hold["clip.mp4"] = 64 << 10
    job_id = download(server, media)
    wait_for(lambda: media.sent["clip.mp4"] >= 64 << 10, 30, message="the download to start")
    [given] = cookie_files(server)
    assert stat.S_IMODE(os.stat(given).st_mode) == 0o600
    with open(given, encoding="utf-8") as f:
        text = f.read()
    assert f"\t{SESSION[0]}\t{SESSION[1]}\n" in text and "elsewhere" not in text and "long-gone" not in text, text
    media.released.set()
    arrived(server, job_id)
    assert cookie_files(server) == []

    # (the jar, its mode, whether the site lets the request in): readable by others, someone could
    # have written it, and it is not used; without the session, signed out.
    for text, mode, allowed in [(JAR, 0o600, True), (JAR, 0o644, False), (JAR.replace(SESSION_LINE, ""), 0o600, False)]:
        jar(server.workdir, text, mode)
        status, body = server.request("POST", "/api/probe", {"url": media.url("clip.mp4")})
        assert (status == 200) == allowed and (allowed or body["error"].endswith(errors.SIGNIN_ADVICE)), (mode, body)
        assert cookie_files(server) == []
    failed = server.wait_job(download(server, media), {"done", "failed"}, timeout=60)
    assert failed["state"] == "failed" and "HTTP 403" in failed["error"], failed
    assert failed["error"].endswith(errors.SIGNIN_ADVICE) and cookie_files(server) == [], failed

    # Signed out of the window: a Firefox profile chosen in the settings signs the engine in.
    folder = firefox_profile(server.workdir, SESSION)
    status, body = server.request("GET", "/api/browsers")
    assert body["profiles"] == [{"id": f"firefox:{folder}", "browser": "Firefox", "profile": "default-release"}]
    # (the choice, whether it is taken, whether the site then lets the engine in)
    for choice, taken, allowed in [("", True, False), (f"firefox:{folder}", True, True),
                                   ("safari:/Users/x", False, True), ("firefox:relative/path", False, True)]:
        status, body = server.request("POST", "/api/settings", {"cookies_browser": choice})
        assert (status == 200) == taken, (choice, body)
        status, body = server.request("POST", "/api/probe", {"url": media.url("clip.mp4")})
        assert (status == 200) == allowed, (choice, body)
    arrived(server, download(server, media))
    # The browser's database is read, never written.
    assert sorted(os.listdir(folder)) == ["cookies.sqlite"]
    # A profile that is gone since it was chosen is said so.
    shutil.rmtree(folder)
    status, body = server.request("POST", "/api/probe", {"url": media.url("clip.mp4")})
    assert status == 400 and "找不到所选浏览器的资料文件夹" in body["error"], body
