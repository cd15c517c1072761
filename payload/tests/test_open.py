"""Opening a finished download and showing it in its folder: only the file the
server recorded, only while it is still that regular file, with the desktop's
programs started detached. Recording stand-ins for gio, xdg-open and gdbus are
the only programs on the server's PATH (besides ffmpeg), so no real
application is ever started."""

import os
import re
import shutil
import signal
import time
from types import SimpleNamespace
from typing import Any, Iterator

import pytest

from fakeopen import NAMES
from media import MediaServer
from support import Payload, wait_for

# A folder name with a space, CJK and the characters a URI must escape.
ODD = "下载 100%#1"
ODD_URI = "%E4%B8%8B%E8%BD%BD%20100%25%231"
SHOW = ["gdbus", "call", "--session", "--dest", "org.freedesktop.FileManager1",
        "--object-path", "/org/freedesktop/FileManager1", "--method", "org.freedesktop.FileManager1.ShowItems"]
# What gio says when no program is registered for the type.
COMPLAINT = "No application is registered as handling this file"


@pytest.fixture(scope="module")
def shared(module_workdir: str, module_media: MediaServer, module_openers: Any) -> Iterator[Any]:
    """One finished download in a folder with an awkward name; stand-ins are the server's only openers."""
    fake = module_openers
    server = Payload(module_workdir, env={"PATH": fake.bin})
    folder = os.path.join(module_workdir, ODD)
    os.makedirs(folder)
    try:
        assert server.request("POST", "/api/settings", {"download_dir": folder})[0] == 200
        job = server.finish(module_media.url("clip.mp4"))
        assert job["state"] == "done", job["error"]
        row = server.request("GET", "/api/history")[1]["entries"][0]["id"]
        yield SimpleNamespace(workdir=module_workdir, media=module_media, server=server, fake=fake, folder=folder,
                              path=os.path.join(folder, "clip.mp4"), job=job["id"], row=row)
    finally:
        server.stop()


@pytest.fixture
def done(shared: Any) -> Any:
    """The shared download as it was saved, every stand-in succeeding, no call recorded yet."""
    restore(shared)
    return shared


def restore(d: Any) -> None:
    for name in NAMES:
        d.fake.install(name)
    if os.path.isdir(d.path):
        os.rmdir(d.path)
    elif os.path.lexists(d.path):
        os.remove(d.path)
    shutil.copy(os.path.join(d.media.root, "clip.mp4"), d.path)
    d.fake.forget()


def post(d: Any, path: str) -> tuple[int, Any]:
    # A path named by the request, in the body or the query, changes nothing.
    return d.server.request("POST", path, {"path": "/etc/passwd", "file": "/bin/sh"})


def test_job_and_history_row_open_their_recorded_file(done: Any) -> None:
    folder_uri = f"file://{done.workdir}/{ODD_URI}"
    for url, expected in [
            (f"/api/jobs/{done.job}/open", ["gio", "open", "--", done.path]),
            (f"/api/history/{done.row}/open", ["gio", "open", "--", done.path]),
            (f"/api/jobs/{done.job}/reveal", [*SHOW, f"['{folder_uri}/clip.mp4']", ""]),
            (f"/api/history/{done.row}/reveal", [*SHOW, f"['{folder_uri}/clip.mp4']", ""]),
            (f"/api/jobs/{done.job}/open?path=/etc/passwd", ["gio", "open", "--", done.path])]:
        done.fake.forget()
        assert post(done, url) == (200, {"ok": True}), url
        assert done.fake.calls() == [expected], url
    # Each program ran as the leader of a session of its own, with no input or output of ours:
    # its complaints go to an unnamed file of its own, for the log.
    pid, sid, *streams = done.fake.processes()[0]
    assert (pid, streams[:2]) == (sid, ["/dev/null"] * 2)
    assert not re.search(r"pipe:|socket:|/dev/null", " ".join(streams[2:])), streams


def test_falls_back_when_a_program_fails_or_is_missing(done: Any) -> None:
    file, folder = done.path, done.folder
    cases: list[tuple[dict[str, int | None], str, list[list[str]], int]] = [
        # (program -> exit code or None for absent, action, programs run, status)
        ({"gdbus": 1}, "reveal", [["gdbus"], ["gio", "open", "--", folder]], 200),
        ({"gdbus": None, "gio": 2}, "reveal", [["gio", "open", "--", folder], ["xdg-open", folder]], 200),
        ({"gio": None}, "open", [["xdg-open", file]], 200),
        # Nothing opens it: the folder shows it instead.
        ({"gio": 4, "xdg-open": 3}, "open", [["gio", "open", "--", file], ["xdg-open", file], ["gdbus"]], 200),
        ({"gio": 4, "xdg-open": 3, "gdbus": None}, "open", [["gio", "open", "--", file], ["xdg-open", file],
                                                          ["gio", "open", "--", folder], ["xdg-open", folder]], 502),
        ({"gio": None, "xdg-open": None}, "open", [], 503)]
    for setup, action, expected, status in cases:
        restore(done)
        for name, code in setup.items():
            done.fake.remove(name) if code is None else done.fake.install(name, code)
        answer = post(done, f"/api/jobs/{done.job}/{action}")
        assert answer[0] == status, (setup, answer)
        assert [c if c[0] != "gdbus" else ["gdbus"] for c in done.fake.calls()] == expected, setup
        assert status == 200 or "文件保存在：" + folder in answer[1]["error"], answer


def test_a_program_that_keeps_running_does_not_hold_the_request(done: Any) -> None:
    done.fake.install("gio", sleep=30)
    started = time.monotonic()
    assert post(done, f"/api/jobs/{done.job}/open")[0] == 200
    assert time.monotonic() - started < 10
    os.killpg(int(wait_for(done.fake.processes, 5)[0][0]), signal.SIGKILL)


def test_refused_with_nothing_started(done: Any) -> None:
    other = os.path.join(done.workdir, "other.txt")
    with open(other, "w") as f:
        f.write("not the download\n")
    failed = done.server.finish(done.media.url("missing.mp4"))
    assert failed["state"] == "failed"

    # What becomes of the saved file: gone, a link to another file, a folder.
    change = {"delete": lambda: None, "link": lambda: os.symlink(other, done.path),
              "folder": lambda: os.mkdir(done.path)}
    cases = [
        # (change to the file, url, status, words in the message)
        (None, "/api/jobs/999/open", 404, "没有这个任务"),
        (None, "/api/history/999/reveal", 404, "没有这条记录"),
        (None, f"/api/jobs/{failed['id']}/open", 409, "还没有下载完成"),
        ("delete", f"/api/jobs/{done.job}/open", 404, "找不到文件“clip.mp4”：它已被移动、改名或删除"),
        ("delete", f"/api/history/{done.row}/reveal", 404, "重新添加这个地址"),
        ("link", f"/api/history/{done.row}/open", 409, "为安全起见不会打开它"),
        ("link", f"/api/jobs/{done.job}/reveal", 409, "替换成了链接"),
        ("folder", f"/api/history/{done.row}/open", 409, "不是下载时保存的普通文件")]
    for what, url, status, words in cases:
        restore(done)
        if what:
            os.remove(done.path)
            change[what]()
        answer = post(done, url)
        assert answer[0] == status and words in answer[1]["error"], (url, answer)
        assert done.fake.calls() == [], url


def test_a_failed_open_shows_the_folder_and_the_log_says_why(done: Any) -> None:
    """An opener that runs but opens nothing: the page hears it in Chinese, the folder shows the file
    instead, and the log tells what the program said, never "已打开"."""
    before = len(done.server.output())
    done.fake.install("xdg-open", 4)
    # gio complains at once, or after a while as a slow or busy desktop's does.
    for delay, told in ((0, "无法打开“clip.mp4”：系统中没有能打开这种文件的程序（xdg-open 报告失败，退出码 4）"
                            "，已在文件夹中显示。"), (3, None)):
        done.fake.install("gio", 2, delay, f"gio: file:///x.mp4: {COMPLAINT}\n")
        done.fake.forget()
        status, body = post(done, f"/api/jobs/{done.job}/open")
        assert (status, body.get("message")) == (200, told), body
        # Still running when the page had its answer: the folder shows once gio gives up.
        wait_for(lambda: any(c[0] == "gdbus" for c in done.fake.calls()), 10, message="the folder to be shown")
    log = done.server.output()[before:]
    assert COMPLAINT in log and "[打开] gio 在后台失败（退出码 2）" in log and "已打开" not in log, log


@pytest.mark.parametrize("path, uri", [
    ("/a b/c.mp4", "file:///a%20b/c.mp4"), ("/视频/x#1%.mp4", "file:///%E8%A7%86%E9%A2%91/x%231%25.mp4"),
    ("/it's ['x'].mkv", "file:///it%27s%20%5B%27x%27%5D.mkv"), ("/a?b&c=d", "file:///a%3Fb%26c%3Dd")])
def test_every_reserved_byte_is_escaped(path: str, uri: str) -> None:
    from downloader.opener import file_uri
    assert file_uri(path) == uri
