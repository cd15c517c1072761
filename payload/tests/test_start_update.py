"""The check at start for an old engine: it runs at once, and downloads wait for it, for a while."""

import datetime
import os
import threading
import time
from unittest import mock

import release
from support import Payload, QueueCase, free_port, wait_for, write_json
from test_engine import NEW, EngineCase

from downloader import starthold
from downloader.engines import Engines, bundled_version, version_date
from downloader.jobs import Manager
from downloader.settings import Settings
from downloader.store import Store
from downloader.updater import STALE_DAYS, Updater


class StartCheckTest(EngineCase, QueueCase):
    """The release server, the test key and the released engine of the engine's tests; each test its own
    work folder."""

    def setUp(self) -> None:
        QueueCase.setUp(self)
        self.server.reset()
        self.server.release(self.good, self.signer, NEW)

    def start(self, limit: float = 60.0, timeout: float = 10.0, restored: int = 0) -> tuple[Updater, Manager]:
        """The updater and the queue wired as the server wires them, with restored jobs in the journal."""
        notices: list[str] = []
        engines = Engines(self.data, notices)
        made: list[Manager] = []
        up = Updater(engines, Settings(self.data), lambda: bool(made) and made[0].busy())
        up.timeout, up.hold_limit = timeout, limit
        made.append(self.queue(engines, up.hold, notices=notices, restored=restored))
        up.start()
        return up, made[0]

    def test_a_check_that_stalls_or_fails_lets_downloads_go(self) -> None:
        offline = f"http://127.0.0.1:{free_port()}/"
        # The limit leaves room for the runtime search that comes before the check on a busy machine: a
        # download that starts first takes the check's place.
        cases = [("stalls past the limit", None, "hold", 5.0, True),
                 ("offline", offline, None, 30.0, False),
                 ("not found", None, "404", 30.0, False)]
        for name, base, trouble, limit, still_checking in cases:
            with self.subTest(name):
                self.setUp()
                if trouble == "404":
                    self.server.reset()
                elif trouble:
                    # The list does not answer while the case runs, however slow the machine.
                    held = threading.Event()
                    self.addCleanup(held.set)

                    def hold_list(path: str, held: threading.Event = held) -> None:
                        if path.endswith("/SHA2-256SUMS"):
                            held.wait(60)
                    self.server.before = hold_list
                with mock.patch.dict(os.environ, {"ZORMAK_TEST_ENGINE_RELEASES": base or self.server.base}):
                    began = time.monotonic()
                    up, manager = self.start(limit=limit, timeout=30.0)
                    manager.add(self.media.url("clip.mp4"))
                    wait_for(lambda: self.states(manager) != ["queued"], 20, 0.05, "the download to start")
                    waited = time.monotonic() - began
                # A stalled check holds the queue for the limit, a failed one not at all.
                self.assertLess(waited, limit + 5 if still_checking else 10)
                if still_checking:
                    self.assertGreater(waited, limit - 0.2)
                self.assertEqual(up.status()["checking"], still_checking, (self.server.requests, up.status()))
                self.assertEqual(manager.engine_update(), starthold.TEXT if still_checking else None)
                wait_for(lambda: self.states(manager) == ["done"], 30, 0.1, "the download")
                if not still_checking:
                    self.assertFalse(up.status()["last_ok"])

    def test_nothing_runs_at_start_for_a_fresh_engine_or_one_checked_today(self) -> None:
        today = datetime.date.today()
        fresh = (today - datetime.timedelta(days=STALE_DAYS)).strftime("%Y.%m.%d")
        cases = [("fresh engine", fresh, {}), ("old engine checked an hour ago", None, {"last_check": time.time() - 3600})]
        for name, version, state in cases:
            with self.subTest(name):
                self.setUp()
                if version:
                    release.engine_folder(self.data, version, previous="")
                write_json(os.path.join(self.data, "engines", "state.json"), state)
                up, manager = self.start(restored=1)
                self.assertEqual(up.status()["version"], version or bundled_version())
                self.assertEqual(manager.engine_update(), None)
                wait_for(lambda: self.states(manager) == ["done"], 30, 0.1, "the restored download")
                self.assertEqual(self.server.requests, [])
                self.assertFalse(up.status()["checking"])

    def test_an_old_engine_is_updated_before_downloads_start_and_the_page_is_told(self) -> None:
        self.assertGreater((datetime.date.today() - version_date(bundled_version())).days, STALE_DAYS)  # type: ignore[operator]
        # Never checked, and the list answers after five seconds: long enough to watch the queue wait.
        self.server.stall("SHA2-256SUMS")
        write_json(os.path.join(self.data, "engines", "state.json"), {})
        Store(os.path.join(self.data, "history.sqlite3"), []).add_job(self.media.url("clip.mp4"), "video",
                                                                     "downloading", time.time())
        server = Payload(self.work)
        self.addCleanup(server.stop)
        wait_for(lambda: self.server.asked("SHA2-256SUMS"), 10, message="the check at start")
        status, body = server.add(self.media.url("clip.mp4"), force=True)
        self.assertEqual(status, 200, body)
        time.sleep(1.0)
        status, body = server.request("GET", "/api/jobs")
        self.assertEqual((status, body["engine_update"], [j["state"] for j in body["jobs"]]),
                         (200, starthold.TEXT, ["queued", "queued"]))
        # Both start once the check has switched engines, and run on the new one.
        wait_for(lambda: server.request("GET", "/api/jobs")[1]["engine_update"] is None, 60, 0.2, "the check")
        for job in body["jobs"]:
            self.assertEqual(server.wait_job(job["id"], {"done", "failed"})["state"], "done")
            self.assertIn(f"[下载 #{job['id']}] 下载引擎 {NEW}", server.output())
        self.assertEqual(server.request("GET", "/api/engine")[1]["version"], NEW)
        self.assertEqual([line for line in server.output().splitlines()
                          if "[下载 #" in line and f"下载引擎 {bundled_version()}" in line], [])
        self.assertNotIn("Traceback", server.output())
