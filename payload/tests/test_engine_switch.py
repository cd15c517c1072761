"""Downloads and the engine they run on: a switch while a download runs, and an engine that breaks."""

import filecmp
import os
import signal
from typing import Any

from media import big_file
from release import engine_folder
from support import QueueCase, wait_for, write_json

from downloader import engine_loader
from downloader.engines import Engines, age_months, bundled_version
from downloader.jobs import Manager

NEW_VERSION = "2026.11.20"


class EngineSwitchTest(QueueCase):
    """A queue of the server's own kind, on a data folder whose active engine is a downloaded one."""

    concurrency = 3

    def start(self, pointer: dict[str, Any]) -> Manager:
        write_json(os.path.join(self.data, "engines", "current.json"), pointer)
        notices: list[str] = []
        self.engines = Engines(self.data, notices)
        return self.queue(self.engines, notices=notices)

    def test_a_running_download_keeps_its_engine_and_the_next_one_takes_the_new(self) -> None:
        new = engine_folder(self.data, NEW_VERSION)
        manager = self.start({"current": new, "previous": "bundled"})
        path = big_file("switch.bin", 2_000_000)
        self.media.hold["switch.bin"] = 1_000_000
        first = manager.add(self.media.url("switch.bin"))["added"][0]["id"]
        wait_for(lambda: self.job(manager, first)["downloaded"] >= 1_000_000, 30, message="the held bytes")
        self.assertTrue(self.logged(f"[下载 #{first}] 下载引擎 {NEW_VERSION}"), self.log)

        self.assertEqual(self.engines.rollback().version, bundled_version())  # type: ignore[union-attr]
        second = manager.add(self.media.url("clip.mp4"))["added"][0]["id"]
        wait_for(lambda: self.job(manager, second)["state"] == "done", 30, message="the second download")
        self.assertTrue(self.logged(f"[下载 #{second}] 下载引擎 {bundled_version()}"), self.log)
        # The first still runs on its engine, whose folder stays while it does.
        self.assertEqual(self.job(manager, first)["state"], "downloading")
        self.assertTrue(os.path.isfile(os.path.join(self.data, "engines", new, "yt-dlp")))

        self.media.released.set()
        wait_for(lambda: self.job(manager, first)["state"] == "done", 30, message="the first download")
        self.assertTrue(filecmp.cmp(os.path.join(self.downloads, self.job(manager, first)["files"][0]), path, shallow=False))
        self.assertFalse(self.logged(f"[下载 #{first}] 下载引擎 {bundled_version()}"), self.log)

    def test_the_servers_own_engine_follows_a_switch_once_nothing_uses_it(self) -> None:
        new = engine_folder(self.data, NEW_VERSION)
        self.start({"current": new, "previous": "bundled"})
        engine_loader.use_engine(lambda: self.engines.active().sys_path)
        self.addCleanup(engine_loader.use_engine, tuple)
        with engine_loader.engine() as before:
            self.assertEqual(before.version.__version__, NEW_VERSION)
            self.engines.rollback()
            # A listing or a probe still uses it: it stays until that ends.
            with engine_loader.engine() as during:
                self.assertIs(during, before)
        with engine_loader.engine() as after:
            self.assertEqual(after.version.__version__, bundled_version())

    def test_a_site_failure_on_an_old_engine_suggests_an_update(self) -> None:
        old = "2024.01.02"
        manager = self.start({"current": engine_folder(self.data, old, broken="site"), "previous": None})
        job_id = manager.add(self.media.url("site/abc"))["added"][0]["id"]
        wait_for(lambda: self.job(manager, job_id)["state"] == "failed", 30, message="the failure")
        months = age_months(old)
        self.assertEqual(self.job(manager, job_id)["error"],
                         f"下载失败：abc: Unable to extract player url。下载引擎 {old} 已经 {months} 个月没更新，"
                         "网站改版后常会这样失败。请到“设置”里点击“检查更新”。")

    def test_a_broken_engine_or_a_killed_download_fails_in_chinese_and_retry_continues(self) -> None:
        broken = engine_folder(self.data, "2026.12.01", broken="import")
        manager = self.start({"current": broken, "previous": "bundled"})
        job_id = manager.add(self.media.url("clip.mp4"))["added"][0]["id"]
        # It gives way to the previous engine at once, which does the download; marked bad for its card.
        wait_for(lambda: self.job(manager, job_id)["state"] == "done", 30, message="the download")
        self.assertEqual((self.engines.failed or {}).get("version"), "2026.12.01")
        self.assertEqual(self.engines.active().version, bundled_version())
        # The engine's own words stay in the log.
        wait_for(lambda: self.logged("this build is broken"), 10, message="the reason in the log")

        # On the working engine, the download's own process dies in the middle.
        path = big_file("killed.bin", 1_500_000)
        self.media.hold["killed.bin"] = 500_000
        job_id = manager.add(self.media.url("killed.bin"))["added"][0]["id"]
        wait_for(lambda: self.job(manager, job_id)["downloaded"] >= 500_000, 30, message="the held bytes")
        worker = next(p for p in manager._jobs[job_id].holdings._processes if p.poll() is None)
        os.kill(worker.pid, signal.SIGKILL)
        wait_for(lambda: self.job(manager, job_id)["state"] == "failed", 30, message="the failure")
        self.assertIn("被信号 9（SIGKILL）终止", self.job(manager, job_id)["error"])
        self.media.released.set()
        manager.retry(job_id)
        wait_for(lambda: self.job(manager, job_id)["state"] == "done", 30, message="the retry")
        self.assertTrue(filecmp.cmp(os.path.join(self.downloads, self.job(manager, job_id)["files"][0]), path, shallow=False))
        self.assertEqual(self.media.resumes["killed.bin"], 1)

