"""Start, stop and restart: what the shell relies on, and what the user keeps."""

import os
import re
import signal
import subprocess
import time
from typing import Callable

import pytest

from media import MediaServer, long_audio
from support import PAYLOAD_DIR, PYTHON, Payload, alive, command_line, same_file, wait_for


def stop_promptly(server: Payload, watched: list[int]) -> str:
    """SIGTERMs server, which must end cleanly within a second with every pid of watched; returns its output."""
    started = time.monotonic()
    server.process.send_signal(signal.SIGTERM)
    code = server.process.wait(3)
    elapsed = time.monotonic() - started
    out = server.output()
    assert (code, elapsed < 1.0) == (0, True), (elapsed, out)
    wait_for(lambda: not any(alive(p) for p in watched), 1.0 - min(elapsed, 0.9), 0.01,
             message="the server's children to end")
    assert "[服务] 收到信号 SIGTERM，正在停止" in out
    assert re.search(r"\[服务\] 已停止(（中断了 [1-9]\d* 个下载，下次启动时继续）)?\n", out), out
    assert "\r" not in out and "Traceback" not in out, out
    return out


def test_a_launch_downloads_refuses_a_taken_port_and_stops(payload: Payload, media: MediaServer) -> None:
    job = payload.finish(media.url("clip.mp4"))
    assert (job["state"], job["files"], job["title"], job["progress"]) == ("done", ["clip.mp4"], "clip", 1.0), job
    # Only the finished file: the staging folder is gone.
    assert payload.files() == ["clip.mp4"]
    dest = os.path.join(payload.download_dir, "clip.mp4")
    assert same_file(dest, os.path.join(media.root, "clip.mp4"))
    assert [(e["path"], e["size"], e["format"], e["exists"]) for e in payload.history()] == [
        (dest, os.path.getsize(dest), "best", True)]
    assert payload.query("SELECT url FROM downloads") == [(media.url("clip.mp4"),)]

    other = subprocess.run([PYTHON, "-u", os.path.join(PAYLOAD_DIR, "app.py"), "--port", str(payload.port),
                            "--no-browser"], cwd=payload.workdir, capture_output=True, timeout=20)
    assert other.returncode == 1, other.stdout
    assert f"[服务] 无法监听 127.0.0.1:{payload.port}".encode() in other.stdout
    assert b"Traceback" not in other.stdout + other.stderr
    # With nothing to do, the ready download process goes with the server.
    assert f"[下载 #{job['id']}] 完成：clip.mp4" in stop_promptly(payload, payload.children())


def test_settings_and_history_survive_a_restart(start: Callable[..., Payload], media: MediaServer) -> None:
    server = start()
    new_dir = os.path.join(server.download_dir, "视频")
    status, saved = server.request("POST", "/api/settings", {"download_dir": new_dir, "format": "audio",
                                                             "concurrency": "3", "subtitles": "embed"})
    assert status == 200, saved
    assert {k: saved[k] for k in ("download_dir", "format", "concurrency", "subtitles")} == {
        "download_dir": new_dir, "format": "audio:mp3", "concurrency": 3, "subtitles": "embed"}
    job = server.finish(media.url("clip.mp4"), "video")
    assert job["state"] == "done", job["error"]
    before = server.history()
    assert before[0]["path"] == os.path.join(new_dir, "clip.mp4")
    assert server.stop() == 0

    again = start()
    assert again.request("GET", "/api/settings")[1] == saved
    assert (again.history(), again.jobs()) == (before, {})
    # The saved default format applies to new downloads (this one confirmed as a repeat).
    assert again.finish(media.url("clip.mp4"), force=True)["format"] == "audio:mp3"
    assert len(again.history()) == 2


@pytest.mark.parametrize("orphaned", [False, True], ids=["sigterm", "parent killed"])
def test_stopping_during_downloads_ends_server_and_ffmpeg(
        orphaned: bool, start: Callable[..., Payload], media: MediaServer) -> None:
    # Without a parent-death signal (the stand-in parent's platform) the server must notice by itself.
    server = start({"concurrency": 3}, standin_parent=orphaned)
    _, body = server.add(media.url("slow/clip.mp4") + " " + media.url(os.path.basename(long_audio())), "audio")
    slow, converting = (j["id"] for j in body["added"])
    server.wait_job(converting, {"processing"}, timeout=30)
    ffmpeg = wait_for(lambda: [p for p in server.children() if os.path.basename((command_line(p) or [""])[0]).startswith("ffmpeg")], 10,
                      message="ffmpeg to start")
    assert server.jobs()[slow]["state"] == "downloading"
    if orphaned:
        os.kill(server.process.pid, signal.SIGKILL)
        wait_for(lambda: not any(alive(p) for p in [server.pid, *ffmpeg]), 5,
                 message="the orphaned server and ffmpeg to end")
    else:
        out = stop_promptly(server, server.children())
        assert not any(alive(p) for p in ffmpeg)
        assert f"[下载 #{slow}] 已加入队列" in out and "已停止（中断了 2 个下载，下次启动时继续）" in out, out
    # Nothing half-done appears beside the user's files; the partial data waits in hidden staging folders.
    assert all(f.startswith(".zormak-partial-") for f in server.files()), server.files()
