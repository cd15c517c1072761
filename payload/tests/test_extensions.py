"""A site chooses a download's extension and its title; neither may make the
desktop run what was downloaded or show a name other than the real one."""

import os
from typing import Iterator

import pytest

from fakeopen import FakeOpeners
from media import MediaServer
from support import Payload

HOSTILE = ["tool.exe", "launcher.desktop", "run.sh", "page.html"]


@pytest.fixture(scope="module")
def server(module_workdir: str, module_openers: FakeOpeners) -> Iterator[Payload]:
    """One server whose only openers are the stand-ins (ffmpeg stays reachable)."""
    server = Payload(module_workdir, env={"PATH": module_openers.bin})
    yield server
    server.stop()


def test_only_media_keeps_its_extension_and_only_media_is_opened(server: Payload, module_media: MediaServer,
                                                                 module_openers: FakeOpeners) -> None:
    # The engine takes a direct link's extension from its address, whatever the content.
    for name in HOSTILE:
        module_media.aliases["/" + name] = "/clip.mp4"
    _, body = server.add("\n".join(module_media.url(n) for n in [*HOSTILE, "clip.mp4"]))
    jobs = [server.wait_job(j["id"], {"done", "failed"}) for j in body["added"]]
    # An engine that refuses such an extension itself fails the job in words, with nothing saved;
    # one that takes it saves the file under a name that nothing runs.
    refused = {name for job, name in zip(jobs, HOSTILE) if job["state"] == "failed"}
    for job, name in zip(jobs, [*HOSTILE, "clip.mp4"]):
        if name in refused:
            assert job["error"].startswith(f"网站给出的文件类型“.{name.rsplit('.', 1)[1]}”不是视频"), job["error"]
            continue
        shown = name if name == "clip.mp4" else name + ".download"
        assert (job["state"], job["files"]) == ("done", [shown]), job["error"]
        path = os.path.join(server.download_dir, shown)
        assert os.stat(path).st_mode & 0o111 == 0, name
        module_openers.forget()
        status, answer = server.request("POST", f"/api/jobs/{job['id']}/open", {})
        calls = module_openers.calls()
        if name == "clip.mp4":
            assert (status, answer, calls) == (200, {"ok": True}, [["gio", "open", "--", path]])
            continue
        # Shown in its folder instead, and the page is told why.
        assert status == 200 and answer.get("revealed") and "不会直接打开" in answer["message"], answer
        assert len(calls) == 1 and calls[0][0] == "gdbus", (name, calls)
    assert sorted(server.files()) == sorted([n + ".download" for n in HOSTILE if n not in refused] + ["clip.mp4"])
    # The history row's "打开" does the same.
    for row in server.request("GET", "/api/history")[1]["entries"]:
        module_openers.forget()
        server.request("POST", f"/api/history/{row['id']}/open", {})
        opened = [c for c in module_openers.calls() if c[:2] == ["gio", "open"] or c[0] == "xdg-open"]
        assert opened == ([["gio", "open", "--", row["path"]]] if row["path"].endswith(".mp4") else []), row


@pytest.mark.parametrize("mark", ["%E2%80%AE", "%E2%81%A7", "%E2%80%AA"])
def test_direction_marks_leave_titles_and_names(server: Payload, module_media: MediaServer, mark: str) -> None:
    # "clip<RLO>4pm.exe" would show as "clip" followed by "exe.mp4" reversed.
    alias = f"/clip{mark}4pm.exe.mp4"
    module_media.aliases[alias] = "/clip.mp4"
    job = server.finish(module_media.url(alias[1:]), force=True)
    assert (job["state"], job["title"]) == ("done", "clip4pm.exe"), job["error"]
    assert all(not (0x202A <= ord(c) <= 0x202E or 0x2066 <= ord(c) <= 0x2069) for f in job["files"] for c in f), job
    assert server.request("GET", "/api/history")[1]["entries"][0]["title"] == "clip4pm.exe"
