"""The process kept ready for the next download lives while the queue is busy and a short while after.

The download processes are stand-ins that behave as a ready one does: each waits for its request
line and then for the end of its stdin, which is how the server lets one go."""

import os
import subprocess
import sys
import time
from typing import Iterator
from unittest import mock

import pytest

from support import wait_for

from downloader import download_process, worker

GRACE = 0.3
STANDIN = "import sys; sys.stdin.readline(); sys.stdin.read()"


@pytest.fixture
def spawned() -> Iterator[list[subprocess.Popen[str]]]:
    """The processes the starter made, in order; a starter on them, closed with them after the test."""
    made: list[subprocess.Popen[str]] = []

    def spawn(sys_path: object) -> subprocess.Popen[str]:
        made.append(subprocess.Popen([sys.executable, "-c", STANDIN], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True))
        return made[-1]
    with mock.patch.object(worker, "_spawn", spawn), mock.patch.object(worker.Starter, "READY_GRACE", GRACE), \
            mock.patch.object(worker.Starter, "READY_DELAY", 0.05):
        yield made
    for process in made:
        worker.close(process)
        process.wait(5)


@pytest.fixture
def starter(spawned: list[subprocess.Popen[str]]) -> Iterator[worker.Starter]:
    starter = worker.Starter()
    yield starter
    starter.close()


def start(starter: worker.Starter, spawned: list[subprocess.Popen[str]]) -> subprocess.Popen[str]:
    """A download's process; returns once the next one has been made ready."""
    before = len(spawned)
    process = starter.start({"url": "x"}, ("engine",))
    made = 1 if process in spawned[:before] else 2
    wait_for(lambda: len(spawned) == before + made, 5, message="the ready process")
    return process


# (what happens after the first download starts, whether the ready process is alive at the end)
@pytest.mark.parametrize("steps, alive", [
    (["idle", "wait"], False),
    (["wait"], True),
    (["idle", "start", "wait"], True),
    (["idle", "start", "idle", "wait"], False),
    (["idle", "idle", "wait"], False),
    (["idle", "close"], False),
], ids=["queue idle past the grace", "queue still busy", "a download starts within the grace",
        "idle again after that download", "idle twice, one grace", "the server closes during the grace"])
def test_ready_process_lifetime(steps: list[str], alive: bool, starter: worker.Starter,
                                spawned: list[subprocess.Popen[str]]) -> None:
    running = [start(starter, spawned)]
    for step in steps:
        if step == "idle":
            starter.idle()
        elif step == "start":
            running.append(start(starter, spawned))
        elif step == "close":
            starter.close()
        else:
            # The grace several times over, so that an expiry due would have run.
            time.sleep(GRACE * 4)
    ready = spawned[-1]
    if alive:
        assert ready.poll() is None, "the ready process ended while it was still needed"
    else:
        wait_for(lambda: ready.poll() is not None, 5, message="the ready process to end")
    # The downloads' own processes are never let go by the grace.
    assert [process.poll() for process in running] == [None] * len(running)


# (what follows the start, whether the next process is made before the delay is over, and
# how many processes there are once the download has ended)
@pytest.mark.parametrize("step, early, total", [(None, False, 2), ("ended", True, 2), ("close", False, 1)],
                         ids=["nothing", "the download ends", "the server closes"])
def test_next_process_waits_for_the_delay_or_the_end(step: str | None, early: bool, total: int,
                                                     starter: worker.Starter,
                                                     spawned: list[subprocess.Popen[str]]) -> None:
    with mock.patch.object(worker.Starter, "READY_DELAY", 30.0):
        first = starter.start({"url": "x"}, ("engine",))
        if step == "ended":
            starter.ended()
        elif step == "close":
            starter.close()
        if early:
            wait_for(lambda: len(spawned) == 2, 5, message="the next process")
        else:
            time.sleep(0.3)
            assert spawned == [first], "a process was made while the download began"
        # The end makes the next one if it is still due, and never a second one.
        starter.ended()
        wait_for(lambda: len(spawned) >= total, 5, message="the next process")
        time.sleep(0.1)
        assert len(spawned) == total


def _program(folder: str, name: str, version: str) -> None:
    path = os.path.join(folder, name)
    with open(path, "w", encoding="utf-8") as f:
        f.write(f"#!/bin/sh\necho '{name} version {version} Copyright (c) the developers'\n")
    os.chmod(path, 0o755)


def test_ready_process_knows_ffmpeg_but_looks_again_for_a_missing_ffprobe(workdir: str) -> None:
    import yt_dlp
    import yt_dlp.postprocessor
    ffmpeg = yt_dlp.postprocessor.FFmpegPostProcessor
    with mock.patch.object(ffmpeg, "_version_cache", {None: None}), \
            mock.patch.object(ffmpeg, "_features_cache", {}), mock.patch.dict(os.environ, {"PATH": workdir}):
        _program(workdir, "ffmpeg", "6.1")
        download_process._warm(yt_dlp)
        # Installed meanwhile: ffprobe is found; ffmpeg is what the warm-up found, not run again.
        _program(workdir, "ffprobe", "6.1")
        _program(workdir, "ffmpeg", "9.9")
        assert ffmpeg.get_versions() == {"ffmpeg": "6.1", "ffprobe": "6.1"}
