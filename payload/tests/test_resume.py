"""Pause, resume, retry and restart continue a download from its partial data instead of starting over;
cancel leaves nothing behind."""

import os
import random
import re
import sqlite3
import threading
import time
from typing import Callable

import pytest

from media import MediaServer, big_file
from support import OLD_JOBS, Payload, same_file, wait_for
from test_extras import media_files, subtitle_page

from downloader import extras

SIZE = 1_200_000
REFUSED = "服务器拒绝了请求（HTTP 403）。"


@pytest.fixture
def server(start: Callable[..., Payload], media: MediaServer) -> Payload:
    # Fast enough to finish in seconds, slow enough to stop half way.
    media.slow_rate = 300_000
    big_file("resume.mp4", SIZE)
    return start({"concurrency": 1})


def arrived_whole(server: Payload, media: MediaServer, job_id: int) -> None:
    job = server.wait_job(job_id, {"done", "failed"}, timeout=60)
    assert job["state"] == "done", job["error"]
    assert same_file(os.path.join(server.download_dir, job["files"][0]), os.path.join(media.root, "resume.mp4"))
    # What was fetched again after the interruptions is a small part of the file.
    assert media.refetched["resume.mp4"] < SIZE // 10
    assert media.sent["resume.mp4"] - SIZE < SIZE // 5, media.sent["resume.mp4"]
    assert media.resumes["resume.mp4"] >= 1, "the download started over instead of continuing"


def test_pause_stops_the_transfer_frees_the_slot_and_resume_continues(server: Payload, media: MediaServer) -> None:
    _, body = server.add(media.url("slow/resume.mp4") + " " + media.url("clip.mp4"))
    big, small = (j["id"] for j in body["added"])
    wait_for(lambda: server.jobs()[big]["downloaded"] > SIZE // 4, 20, message="a quarter of the file")
    assert server.jobs()[small]["state"] == "queued"
    assert server.command(big, "pause")[1]["state"] == "paused"
    # The slot is free at once: the queued job runs while the paused one waits.
    assert server.wait_job(small, {"done", "failed"})["state"] == "done"
    sent = media.sent["resume.mp4"]
    time.sleep(1.0)
    assert media.sent["resume.mp4"] == sent < SIZE, "a paused download kept receiving"
    assert server.jobs()[big]["state"] == "paused"
    assert server.command(big, "pause")[0] == 409
    assert server.command(big, "resume")[1]["state"] == "queued"
    arrived_whole(server, media, big)
    assert sorted(server.files()) == ["clip.mp4", "resume.mp4"]


def test_the_limit_queues_the_rest_and_cancel_leaves_no_partial_file(
        start: Callable[..., Payload], media: MediaServer) -> None:
    server = start({"concurrency": 1})
    _, body = server.add(media.url("slow/clip.mp4") + " " + media.url("clip.mp4"))
    first, second = (j["id"] for j in body["added"])
    wait_for(lambda: server.jobs()[first]["downloaded"] > 0, 20, message="bytes to arrive")
    assert server.jobs()[second]["state"] == "queued"
    assert server.files(), "the partial download should be in its staging folder"
    # A running job cannot be removed, only cancelled; that lets the queued one start and finish.
    assert server.request("DELETE", f"/api/jobs/{first}") == (409, {"error": "请先取消这个任务，再移除"})
    assert server.command(first, "cancel")[1]["state"] == "cancelled"
    assert server.wait_job(second, {"done", "failed"})["state"] == "done"
    wait_for(lambda: server.files() == ["clip.mp4"], 3, message="the partial files to go")
    assert [e["url"] for e in server.history()] == [media.url("clip.mp4")]
    # Cancelling twice is refused, and retry starts a fresh attempt; a finished job can be removed.
    assert [server.command(first, verb)[0] for verb in ("cancel", "retry")] == [409, 200]
    assert server.jobs()[first]["state"] in ("queued", "downloading")
    assert server.request("DELETE", f"/api/jobs/{second}")[0] == 200
    assert second not in server.jobs()


def test_pause_releases_a_silent_connection_at_once(server: Payload, media: MediaServer) -> None:
    job_id = server.add(media.url("stall/x.mp4"))[1]["added"][0]["id"]
    stalls = lambda: sum(1 for r in media.requests if r.startswith("/stall/"))  # noqa: E731
    wait_for(lambda: stalls() >= 2, 20, message="the download to reach the silent server")
    time.sleep(0.3)
    before = stalls()
    assert [server.command(job_id, verb)[0] for verb in ("pause", "resume")] == [200, 200]
    # The new attempt starts only once the old one has let go of its connection.
    wait_for(lambda: stalls() > before, 2.5, message="the paused attempt to release its connection")


def test_retry_after_a_broken_transfer_continues(server: Payload, media: MediaServer) -> None:
    media.cut["resume.mp4"] = SIZE // 2
    job_id = server.add(media.url("slow/resume.mp4"))[1]["added"][0]["id"]
    job = server.wait_job(job_id, {"done", "failed"}, timeout=30)
    # A refusal may be a site that wants a sign-in: the advice follows the cause.
    assert (job["state"], job["error"][:len(REFUSED)]) == ("failed", REFUSED), job["error"]
    del media.cut["resume.mp4"]
    assert server.command(job_id, "retry")[0] == 200
    arrived_whole(server, media, job_id)


def test_the_queue_comes_back_after_a_restart(server: Payload, media: MediaServer,
                                              start: Callable[..., Payload]) -> None:
    _, body = server.add(" ".join(media.url(p) for p in ("slow/resume.mp4", "clip.mp4", "clip.mp4?2")))
    running, queued, paused = (j["id"] for j in body["added"])
    assert server.command(paused, "pause")[0] == 200
    wait_for(lambda: server.jobs()[running]["downloaded"] > SIZE // 3, 20, message="a third of the file")
    assert server.stop() == 0
    assert dict(server.query("SELECT id, state FROM jobs")) == {running: "downloading", queued: "queued",
                                                                paused: "paused"}
    again = start()
    jobs = again.jobs()
    # The shell takes the first loopback address it reads: the server names itself before what it
    # restores and resumes, not by luck of the threads.
    wait_for(lambda: "继续：" in again.output(), 20, message="the resumed download")
    output = again.output()
    assert re.findall(r"http://127\.0\.0\.1:\d+", output)[0] == again.origin, output
    assert output.index("已启动：") < output.index("从上次运行恢复了"), output
    assert [jobs[i]["state"] for i in (paused, queued)] == ["paused", "queued"]
    assert jobs[running]["state"] in ("queued", "downloading") and jobs[running]["downloaded"] > 0, jobs[running]
    arrived_whole(again, media, running)
    assert again.wait_job(queued, {"done", "failed"})["state"] == "done"
    assert again.jobs()[paused]["state"] == "paused"
    # Finished jobs leave the journal; the paused one stays in it.
    assert again.query("SELECT id FROM jobs") == [(paused,)]
    assert again.query("SELECT count(*) FROM downloads") == [(2,)]


def test_commands_racing_the_downloads_lose_nothing(start: Callable[..., Payload], media: MediaServer) -> None:
    server = start({"concurrency": 3})
    media.slow_rate = 100_000
    count = 12
    _, body = server.add(" ".join(media.url(f"slow/clip.mp4?n={n}") for n in range(count)))
    ids = [j["id"] for j in body["added"]]
    answers: list[int] = []
    rng = random.Random(5)

    def commander(seed: float) -> None:
        own = random.Random(seed)
        for _ in range(25):
            answers.append(server.command(own.choice(ids), own.choice(("pause", "resume", "cancel", "retry",
                                                                         "pause", "resume")))[0])
            time.sleep(own.uniform(0, 0.15))

    threads = [threading.Thread(target=commander, args=(rng.random(),)) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert set(answers) <= {200, 409}, answers

    def settle() -> bool:
        jobs = server.jobs()
        for job in jobs.values():
            if job["state"] in ("paused", "cancelled", "failed"):
                server.command(job["id"], "resume" if job["state"] == "paused" else "retry")
        return all(j["state"] == "done" for j in jobs.values())
    wait_for(settle, 90, interval=0.5, message="every job to finish")
    files = server.files()
    assert len(files) == count, files
    assert sorted(e["name"] for e in server.history()) == files
    for name in files:
        assert same_file(os.path.join(server.download_dir, name), os.path.join(media.root, "clip.mp4")), name
    assert server.query("SELECT count(*) FROM jobs") == [(0,)]


def test_an_earlier_journal_loads_and_its_jobs_continue_as_they_were_asked(
        workdir: str, media: MediaServer, start: Callable[..., Payload]) -> None:
    """Rows written before playlist folders, per-job extras and the format presets ("video", "audio")."""
    media_files()
    media.pages["/watch"] = subtitle_page([("subtitles", "en", "en.vtt")])
    os.makedirs(os.path.join(workdir, "data"))
    with sqlite3.connect(os.path.join(workdir, "data", "history.sqlite3")) as db:
        db.execute(OLD_JOBS)
        db.executemany("INSERT INTO jobs (url, format, state, created) VALUES (?, ?, ?, ?)",
                       [(media.url("watch"), "video", "paused", 1.0), (media.url("clip.mp4"), "audio", "downloading", 2.0),
                        (media.url("clip.mp4?q"), "video", "queued", 3.0)])
    db.close()
    # Settings that would save subtitles beside the video: the old jobs asked for none.
    server = start({"subtitles": "beside", "subtitle_langs": ["en"]})
    jobs = server.jobs()
    assert [(j["format"], j["folder"], j["extras"]) for j in jobs.values()] == [
        ("best", "", extras.NONE), ("audio:mp3", "", extras.NONE), ("best", "", extras.NONE)]
    assert jobs[1]["state"] == "paused"
    assert server.request("POST", "/api/jobs/1/resume", {})[0] == 200
    done = [server.wait_job(job_id, {"done", "failed"}, timeout=60) for job_id in jobs]
    assert [(j["state"], len(j["files"])) for j in done] == [("done", 1)] * 3, done
    assert sorted(server.files()) == sorted(["clip.mp3", "clip.mp4", done[0]["files"][0]])
    assert "已损坏" not in server.output()
