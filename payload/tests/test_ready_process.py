"""The process kept ready for the next download lives while the queue is busy and a short while after.

The download processes are stand-ins that behave as a ready one does: each waits for its request
line and then for the end of its stdin, which is how the server lets one go."""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from typing import Any
from unittest import mock

from support import wait_for

from downloader import download_process, worker

GRACE = 0.3
STANDIN = "import sys; sys.stdin.readline(); sys.stdin.read()"


class ReadyProcessTest(unittest.TestCase):
    def setUp(self):
        self.spawned: list[subprocess.Popen[str]] = []

        def spawn(sys_path):
            process = subprocess.Popen([sys.executable, "-c", STANDIN], stdin=subprocess.PIPE,
                                       stdout=subprocess.PIPE, text=True)
            self.spawned.append(process)
            return process

        patches: list[Any] = [mock.patch.object(worker, "_spawn", spawn),
                              mock.patch.object(worker.Starter, "READY_GRACE", GRACE),
                              mock.patch.object(worker.Starter, "READY_DELAY", 0.05)]
        for p in patches:
            p.start()
            self.addCleanup(p.stop)

    def _end_all(self, starter):
        starter.close()
        for p in self.spawned:
            worker.close(p)
            p.wait(5)
        self.spawned.clear()

    def _start(self, starter):
        """A download's process; returns once the next one has been made ready."""
        before = len(self.spawned)
        process = starter.start({"url": "x"}, ("engine",))
        made = 1 if process in self.spawned[:before] else 2
        wait_for(lambda: len(self.spawned) == before + made, 5, message="the ready process")
        return process

    def test_ready_process_lifetime(self):
        # (what happens after the first download starts, whether the ready process is alive at the end)
        cases = [
            ("queue idle past the grace", ["idle", "wait"], False),
            ("queue still busy", ["wait"], True),
            ("a download starts within the grace", ["idle", "start", "wait"], True),
            ("idle again after that download", ["idle", "start", "idle", "wait"], False),
            ("idle twice, one grace", ["idle", "idle", "wait"], False),
            ("the server closes during the grace", ["idle", "close"], False),
        ]
        for label, steps, alive in cases:
            with self.subTest(label):
                starter = worker.Starter()
                try:
                    running = [self._start(starter)]
                    for step in steps:
                        if step == "idle":
                            starter.idle()
                        elif step == "start":
                            running.append(self._start(starter))
                        elif step == "close":
                            starter.close()
                        else:
                            # The grace several times over, so that an expiry due would have run.
                            time.sleep(GRACE * 4)
                    ready = self.spawned[-1]
                    if alive:
                        self.assertIsNone(ready.poll(), "the ready process ended while it was still needed")
                    else:
                        wait_for(lambda: ready.poll() is not None, 5, message="the ready process to end")
                    # The downloads' own processes are never let go by the grace.
                    for process in running:
                        self.assertIsNone(process.poll())
                finally:
                    self._end_all(starter)

    def test_next_process_waits_for_the_delay_or_the_end(self):
        # (what follows the start, whether the next process is made before the delay is over, and
        # how many processes there are once the download has ended)
        cases = [("nothing", None, False, 2), ("the download ends", "ended", True, 2),
                 ("the server closes", "close", False, 1)]
        for label, step, early, total in cases:
            with self.subTest(label), mock.patch.object(worker.Starter, "READY_DELAY", 30.0):
                starter = worker.Starter()
                try:
                    first = starter.start({"url": "x"}, ("engine",))
                    if step == "ended":
                        starter.ended()
                    elif step == "close":
                        starter.close()
                    if early:
                        wait_for(lambda: len(self.spawned) == 2, 5, message="the next process")
                    else:
                        time.sleep(0.3)
                        self.assertEqual(self.spawned, [first], "a process was made while the download began")
                    # The end makes the next one if it is still due, and never a second one.
                    starter.ended()
                    wait_for(lambda: len(self.spawned) >= total, 5, message="the next process")
                    time.sleep(0.1)
                    self.assertEqual(len(self.spawned), total)
                finally:
                    self._end_all(starter)


def _program(folder: str, name: str, version: str) -> None:
    path = os.path.join(folder, name)
    with open(path, "w", encoding="utf-8") as f:
        f.write(f"#!/bin/sh\necho '{name} version {version} Copyright (c) the developers'\n")
    os.chmod(path, 0o755)


class WarmTest(unittest.TestCase):
    def test_ready_process_knows_ffmpeg_but_looks_again_for_a_missing_ffprobe(self):
        import yt_dlp
        import yt_dlp.postprocessor
        ffmpeg = yt_dlp.postprocessor.FFmpegPostProcessor
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder, True)
        with mock.patch.object(ffmpeg, "_version_cache", {None: None}), \
                mock.patch.object(ffmpeg, "_features_cache", {}), mock.patch.dict(os.environ, {"PATH": folder}):
            _program(folder, "ffmpeg", "6.1")
            download_process._warm(yt_dlp)
            # Installed meanwhile: ffprobe is found; ffmpeg is what the warm-up found, not run again.
            _program(folder, "ffprobe", "6.1")
            _program(folder, "ffmpeg", "9.9")
            self.assertEqual(ffmpeg.get_versions(), {"ffmpeg": "6.1", "ffprobe": "6.1"})


if __name__ == "__main__":
    unittest.main()
