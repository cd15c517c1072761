"""kill -9 at many moments during several downloads: no history row and no job is lost."""

import collections
import glob
import json
import filecmp
import os
import random
import shutil
import signal
import subprocess
import sys
import time

from media import big_file
from support import PayloadTest, wait_for

BIG = 8_000_000
ROUNDS = 22


def partial_bytes(folder: str, names: list[str]) -> int:
    """Bytes in the partial files, or -1 once every one of names is finished."""
    if all(os.path.exists(os.path.join(folder, n)) for n in names):
        return -1
    total = 0
    for part in glob.glob(os.path.join(folder, ".zormak-partial-*", "*.part")):
        try:
            total += os.path.getsize(part)
        except OSError:
            pass
    return total


class KillTest(PayloadTest):
    settings = {"concurrency": 4}

    def test_sigkill_at_many_moments(self):
        media = self.media
        media.slow_rate = 3_000_000
        names = [f"crash{i}.mp4" for i in range(3)]
        for name in names:
            big_file(name, BIG)
        server = self.server
        added: dict[str, int] = {}

        def add(paths):
            _, body = server.add(" ".join(media.url(p) for p in paths))
            for job in body["added"]:
                added[job["url"]] = job["id"]

        add(f"slow/{n}" for n in names)
        rng = random.Random(11)

        def written() -> int:
            return partial_bytes(server.download_dir, names)

        mid_transfer = 0
        for round_ in range(ROUNDS):
            # Short downloads keep finishing, so that some kills land while one completes.
            add([f"clip.mp4?round={round_}", f"clip.mp4?again={round_}"])
            # Bytes must be arriving again before the kill, else it only interrupts the start.
            before = written()
            wait_for(lambda: written() < 0 or written() > before, 30, message="the partial files to grow")
            time.sleep(rng.uniform(0.0, 0.6))
            mid_transfer += written() > 0
            os.kill(server.pid, signal.SIGKILL)
            server.process.wait(5)
            server = self.start_server()
            self.check_nothing_lost(server, added)
        # The kills did land in the middle of the large transfers, many times.
        self.assertGreaterEqual(mid_transfer, 5)

        jobs = wait_for(lambda: (lambda js: js if all(j["state"] in ("done", "failed") for j in js.values())
                                 else None)(server.jobs()), 120, interval=0.5, message="every job to end")
        self.assertEqual({j["state"] for j in jobs.values()}, {"done"}, jobs)
        self.check_nothing_lost(server, added)
        rows = self.rows()
        self.assertEqual(sorted(url for url, _ in rows), sorted(added))
        for url, path in rows:
            name = os.path.basename(url.split("?")[0])
            self.assertTrue(filecmp.cmp(path, os.path.join(media.root, name), shallow=False), path)
        for name in names:
            # Bytes fetched again by the resumes: a small part of each file. What a kill loses is
            # what sat in the socket buffers, which grow on a busy machine; starting over instead
            # of resuming would fetch the partial file again at each of the kills, many times more.
            # Everything sent beyond the file, the sites' probes at each start included, stays
            # small too.
            self.assertLess(media.refetched(name), BIG // 4, name)
            self.assertLess(media.sent(name) - BIG, BIG // 5, name)
            self.assertGreaterEqual(media.resumes(name), 2, name)

    def rows(self) -> list[tuple[str, str]]:
        return self.server.query("SELECT url, path FROM downloads")

    def check_nothing_lost(self, server, added) -> None:
        rows = self.rows()
        by_path = collections.Counter(path for _, path in rows)
        finished = [os.path.join(server.download_dir, f) for f in server.files()
                    if not f.startswith(".zormak-partial-")]
        # Every finished file has exactly one row, and every row its file.
        self.assertEqual(sorted(by_path), sorted(finished))
        self.assertEqual(max(by_path.values(), default=1), 1, by_path)
        # Every job is either in the history or back in the queue, never both, never done without a row.
        recorded = collections.Counter(url for url, _ in rows)
        jobs = {j["url"]: j for j in server.jobs().values()}
        for url, job_id in added.items():
            in_queue = url in jobs and jobs[url]["state"] != "done"
            self.assertTrue(recorded[url] == 1 or in_queue, (url, job_id, jobs.get(url)))
            self.assertFalse(recorded[url] and in_queue, (url, jobs.get(url)))
            if in_queue:
                self.assertEqual(jobs[url]["id"], job_id)
                self.assertIn(jobs[url]["state"], ("queued", "downloading", "processing"))


class BusyRestartTest(PayloadTest):
    """A start after a kill -9 resumes its downloads and imports the engine at once; on a busy
    machine that takes seconds, and a paste meanwhile must not wait for it."""
    # Room for the pasted download beside the four that resume.
    settings = {"concurrency": 5}

    def test_add_answers_at_once_while_four_downloads_resume(self):
        media = self.media
        media.slow_rate = 200_000
        names = [f"resume{i}.mp4" for i in range(4)]
        for name in names:
            big_file(name, BIG)
        slow = [media.url(f"slow/{n}") for n in names]
        self.assertEqual(len(self.server.add(" ".join(slow))[1]["added"]), 4)
        wait_for(lambda: partial_bytes(self.server.download_dir, names) > 0, 30, message="bytes to arrive")
        os.kill(self.server.pid, signal.SIGKILL)
        self.server.process.wait(5)
        hogs = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(2)]
        for hog in hogs:
            self.addCleanup(hog.wait)
            self.addCleanup(hog.kill)
        server = self.start_server()
        clip = media.url("clip.mp4")
        started = time.monotonic()
        # One new address, and one the queue holds under another spelling of the same address.
        status, body = server.request("POST", "/api/jobs", {"urls": f"{clip}\n{slow[0]}#again"})
        elapsed = time.monotonic() - started
        print(f"\n[add after kill -9] {elapsed:.3f} s", file=sys.stderr)
        self.assertEqual(status, 200, body)
        self.assertEqual([j["url"] for j in body["added"]], [clip])
        self.assertEqual([(d["url"], d["where"]) for d in body["duplicates"]], [(slow[0] + "#again", "queue")])
        self.assertLess(elapsed, 1.0)
        for hog in hogs:
            hog.kill()
        self.assertEqual({j["state"] for j in server.jobs().values() if j["url"] in slow}, {"downloading"})
        server.wait_job(body["added"][0]["id"], {"done"}, timeout=60)
        # What the archive keeps is the engine's key, never the stand-in made from the address.
        self.assertEqual(server.query("SELECT site, url FROM archive"), [("generic", clip)])


class InterruptedPlacementTest(PayloadTest):
    """The moments a random kill rarely hits: between journaling a finished file's name, linking it
    into place and recording it. The journal is written here as the server leaves it there."""

    def test_start_completes_each_half_placed_job_once(self):
        self.assertEqual(self.server.stop(), 0)
        clip = os.path.join(self.media.root, "clip.mp4")
        folder = self.server.download_dir
        cases = {"named, not linked": "before", "linked, not recorded": "linked",
                 "renamed, not recorded": "renamed"}
        rows = []
        for n, (case, moment) in enumerate(cases.items()):
            staging = os.path.join(folder, f".zormak-partial-{n}")
            os.mkdir(staging)
            src = os.path.join(staging, f"clip{n}.mp4")
            dest = os.path.join(folder, f"clip{n}.mp4")
            shutil.copy(clip, src)
            if moment == "linked":
                os.link(src, dest)
            elif moment == "renamed":
                # File systems without hard links move the file instead.
                os.rename(src, dest)
            rows.append((f"http://a.b/{n}", "video", "processing", case, staging, json.dumps([[src, dest]]),
                         os.path.getsize(clip), os.path.getsize(clip), 0.0))
        self.server.query("INSERT INTO jobs (url, format, state, title, staging, placing, downloaded, total, created)"
                          " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)", many=rows)

        server = self.start_server()
        jobs = server.jobs()
        self.assertEqual({j["title"]: (j["state"], j["files"]) for j in jobs.values()},
                         {case: ("done", [f"clip{n}.mp4"]) for n, case in enumerate(cases)})
        # One file each, no "(1)" twins, no staging left, one row each.
        self.assertEqual(server.files(), [f"clip{n}.mp4" for n in range(len(cases))])
        entries = server.request("GET", "/api/history")[1]["entries"]
        self.assertEqual(sorted((e["title"], e["name"]) for e in entries),
                         sorted((case, f"clip{n}.mp4") for n, case in enumerate(cases)))
        for n in range(len(cases)):
            self.assertTrue(filecmp.cmp(os.path.join(folder, f"clip{n}.mp4"), clip, shallow=False))
        self.assertEqual(server.query("SELECT count(*) FROM jobs"), [(0,)])
