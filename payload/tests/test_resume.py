"""Pause, resume, retry and restart continue a download from its partial data instead of starting over."""

import filecmp
import os
import random
import sqlite3
import threading
import time

from typing import Callable

from media import MediaServer, big_file
from support import OLD_JOBS, Payload, PayloadTest, wait_for
from test_extras import media_files, subtitle_page

from downloader import extras

SIZE = 1_200_000
REFUSED = "服务器拒绝了请求（HTTP 403）。"


class ResumeTest(PayloadTest):
    settings = {"concurrency": 1}

    def setUp(self) -> None:
        super().setUp()
        # Fast enough to finish in seconds, slow enough to stop half way.
        self.media.slow_rate = 300_000
        big_file("resume.mp4", SIZE)

    def arrived_whole(self, server, job_id, name="resume.mp4"):
        job = server.wait_job(job_id, {"done", "failed"}, timeout=60)
        self.assertEqual(job["state"], "done", job["error"])
        path = os.path.join(server.download_dir, job["files"][0])
        self.assertTrue(filecmp.cmp(path, os.path.join(self.media.root, name), shallow=False))
        # What was fetched again after the interruptions is a small part of the file.
        self.assertLess(self.media.refetched(name), SIZE // 10)
        self.assertLess(self.media.sent(name) - SIZE, SIZE // 5, self.media.sent(name))
        self.assertGreaterEqual(self.media.resumes(name), 1, "the download started over instead of continuing")
        return job

    def test_pause_stops_the_transfer_frees_the_slot_and_resume_continues(self):
        _, body = self.server.add(self.media.url("slow/resume.mp4") + " " + self.media.url("clip.mp4"))
        big, small = (j["id"] for j in body["added"])
        wait_for(lambda: self.server.jobs()[big]["downloaded"] > SIZE // 4, 20, message="a quarter of the file")
        self.assertEqual(self.server.jobs()[small]["state"], "queued")
        status, job = self.server.request("POST", f"/api/jobs/{big}/pause", {})
        self.assertEqual((status, job["state"]), (200, "paused"))
        # The slot is free at once: the queued job runs while the paused one waits.
        self.assertEqual(self.server.wait_job(small, {"done", "failed"})["state"], "done")
        sent = self.media.sent("resume.mp4")
        time.sleep(1.0)
        self.assertEqual(self.media.sent("resume.mp4"), sent, "a paused download kept receiving")
        self.assertLess(sent, SIZE)
        self.assertEqual(self.server.jobs()[big]["state"], "paused")
        self.assertEqual(self.server.request("POST", f"/api/jobs/{big}/pause", {})[0], 409)
        status, job = self.server.request("POST", f"/api/jobs/{big}/resume", {})
        self.assertEqual((status, job["state"]), (200, "queued"))
        self.arrived_whole(self.server, big)
        self.assertEqual(sorted(self.server.files()), ["clip.mp4", "resume.mp4"])

    def test_pause_releases_a_silent_connection_at_once(self):
        _, body = self.server.add(self.media.url("stall/x.mp4"))
        job_id = body["added"][0]["id"]
        stalls = lambda: sum(1 for r in self.media.requests if r.startswith("/stall/"))  # noqa: E731
        wait_for(lambda: stalls() >= 2, 20, message="the download to reach the silent server")
        time.sleep(0.3)
        before = stalls()
        self.assertEqual(self.server.request("POST", f"/api/jobs/{job_id}/pause", {})[0], 200)
        self.assertEqual(self.server.request("POST", f"/api/jobs/{job_id}/resume", {})[0], 200)
        # The new attempt starts only once the old one has let go of its connection.
        wait_for(lambda: stalls() > before, 2.5, message="the paused attempt to release its connection")

    def test_retry_after_a_broken_transfer_continues(self):
        self.media.cut["resume.mp4"] = SIZE // 2
        _, body = self.server.add(self.media.url("slow/resume.mp4"))
        job_id = body["added"][0]["id"]
        job = self.server.wait_job(job_id, {"done", "failed"}, timeout=30)
        # A refusal may be a site that wants a sign-in: the advice follows the cause.
        self.assertEqual((job["state"], job["error"][:len(REFUSED)]), ("failed", REFUSED), job["error"])
        del self.media.cut["resume.mp4"]
        self.assertEqual(self.server.request("POST", f"/api/jobs/{job_id}/retry", {})[0], 200)
        self.arrived_whole(self.server, job_id)

    def test_the_queue_comes_back_after_a_restart(self):
        _, body = self.server.add(" ".join(self.media.url(p) for p in ("slow/resume.mp4", "clip.mp4", "clip.mp4?2")))
        running, queued, paused = (j["id"] for j in body["added"])
        self.assertEqual(self.server.request("POST", f"/api/jobs/{paused}/pause", {})[0], 200)
        wait_for(lambda: self.server.jobs()[running]["downloaded"] > SIZE // 3, 20, message="a third of the file")
        self.assertEqual(self.server.stop(), 0)
        self.assertEqual(dict(self.server.query("SELECT id, state FROM jobs")),
                         {running: "downloading", queued: "queued", paused: "paused"})

        again = self.start_server()
        jobs = again.jobs()
        self.assertEqual(jobs[paused]["state"], "paused")
        self.assertIn(jobs[running]["state"], ("queued", "downloading"))
        self.assertEqual(jobs[queued]["state"], "queued")
        self.assertGreater(jobs[running]["downloaded"], 0)
        self.arrived_whole(again, running)
        self.assertEqual(again.wait_job(queued, {"done", "failed"})["state"], "done")
        self.assertEqual(again.jobs()[paused]["state"], "paused")
        # Finished jobs leave the journal; the paused one stays in it.
        self.assertEqual(again.query("SELECT id FROM jobs"), [(paused,)])
        self.assertEqual(again.query("SELECT count(*) FROM downloads"), [(2,)])


class CommandStressTest(PayloadTest):
    settings = {"concurrency": 3}

    def test_commands_racing_the_downloads_lose_nothing(self):
        media = self.media
        media.slow_rate = 100_000
        count = 12
        _, body = self.server.add(" ".join(media.url(f"slow/clip.mp4?n={n}") for n in range(count)))
        ids = [j["id"] for j in body["added"]]
        answers: list[int] = []
        rng = random.Random(5)

        def commander(seed: int) -> None:
            own = random.Random(seed)
            for _ in range(25):
                action = own.choice(("pause", "resume", "cancel", "retry", "pause", "resume"))
                answers.append(self.server.request("POST", f"/api/jobs/{own.choice(ids)}/{action}", {})[0])
                time.sleep(own.uniform(0, 0.15))

        threads = [threading.Thread(target=commander, args=(rng.random(),)) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        self.assertLessEqual(set(answers), {200, 409}, answers)

        def settle() -> bool:
            jobs = self.server.jobs()
            for job in jobs.values():
                if job["state"] in ("paused", "cancelled", "failed"):
                    verb = "resume" if job["state"] == "paused" else "retry"
                    self.server.request("POST", f"/api/jobs/{job['id']}/{verb}", {})
            return all(j["state"] == "done" for j in jobs.values())
        wait_for(settle, 90, interval=0.5, message="every job to finish")
        files = self.server.files()
        self.assertEqual(len(files), count, files)
        entries = self.server.request("GET", "/api/history")[1]["entries"]
        self.assertEqual(sorted(e["name"] for e in entries), files)
        for name in files:
            self.assertTrue(filecmp.cmp(os.path.join(self.server.download_dir, name),
                                        os.path.join(media.root, "clip.mp4"), shallow=False), name)
        self.assertEqual(self.server.query("SELECT count(*) FROM jobs"), [(0,)])


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
