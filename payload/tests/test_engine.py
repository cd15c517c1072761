"""Engine updates from a fake release on loopback: verified, switched, rolled back, refused."""

import contextlib
import io
import json
import os
import shutil
import tempfile
import time
import unittest
import zipfile
from typing import Any, Iterator
from unittest import mock

import pytest

import release
from support import free_port, wait_for, write_json, writer

from downloader import engines as engines_mod, updater as updater_mod
from downloader.engines import Engines
from downloader.errors import UserError
from downloader.settings import Settings
from downloader.updater import Updater

NEW = "2099.01.02"
BUNDLED = engines_mod.bundled_version()


def child_version(engine: engines_mod.Engine) -> str:
    """The version a download's process imports."""
    return release.run_on(engine.sys_path, "import yt_dlp.version; print(yt_dlp.version.__version__)")[0]


class EngineCase(unittest.TestCase):
    """A fresh data folder per test, the release server and the test key in the environment, a key
    nobody trusts, and the bundled engine released as NEW."""

    server: release.ReleaseServer
    signer: release.Signer
    stranger: release.Signer
    good: bytes

    @classmethod
    def setUpClass(cls) -> None:
        cls.good = release.engine_zip(NEW)
        cls.signer, cls.stranger = release.Signer(), release.Signer("Someone Else")
        cls.addClassCleanup(cls.signer.close)
        cls.addClassCleanup(cls.stranger.close)
        cls.server = release.ReleaseServer()
        cls.addClassCleanup(cls.server.close)
        env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
        patch = mock.patch.dict(os.environ, {**env, "ZORMAK_TEST_ENGINE_RELEASES": cls.server.base,
                                             "ZORMAK_TEST_ENGINE_KEY": cls.signer.key_file,
                                             "ZORMAK_TEST_ENGINE_INDEX": cls.server.base + "pypi/"}, clear=True)
        patch.start()
        cls.addClassCleanup(patch.stop)

    def setUp(self) -> None:
        self.data = tempfile.mkdtemp(prefix="zormak-engine-")
        self.addCleanup(shutil.rmtree, self.data, True)
        self.busy = False
        self.server.reset()

    def make(self) -> tuple[Engines, Updater, list[str]]:
        notices: list[str] = []
        engines = Engines(self.data, notices)
        up = Updater(engines, Settings(self.data), lambda: self.busy)
        up.timeout = 1.0
        return engines, up, notices

    def check(self, up: Updater) -> dict[str, Any]:
        up.check()
        return self.ended(up)

    @staticmethod
    def ended(up: Updater) -> dict[str, Any]:
        """The updater's status once its check or import has ended."""
        return wait_for(lambda: (lambda s: None if s["checking"] else s)(up.status()), 90, 0.1, "the check")

    @contextlib.contextmanager
    def case(self, name: str) -> Iterator[None]:
        """A subtest on a fresh data folder and a release server that publishes nothing yet."""
        with self.subTest(name), tempfile.TemporaryDirectory() as data:
            self.data = data
            self.server.reset()
            yield

    def listing(self) -> list[str]:
        return sorted(os.listdir(os.path.join(self.data, "engines")))


class UpdateTest(EngineCase):
    broken: bytes
    blind: bytes

    @classmethod
    def setUpClass(cls) -> None:
        super().setUpClass()
        cls.broken = release.engine_zip("2099.02.03", broken="import")
        cls.blind = release.engine_zip("2099.02.04", broken="extract")

    def test_good_update_is_used_by_the_next_import_survives_a_restart_and_can_be_rolled_back(self) -> None:
        engines, up, _ = self.make()
        with self.assertRaises(UserError) as raised:
            up.rollback()
        self.assertEqual(raised.exception.status, 409)
        self.server.release(self.good, self.signer, NEW)
        status = self.check(up)
        self.assertTrue(status["last_ok"], status["last_result"])
        self.assertEqual((status["version"], status["bundled"], status["previous"]), (NEW, False, BUNDLED))
        active = engines.active()
        # Downloads import the unpacked copy, whose byte code Python can keep.
        lib = os.path.join(self.data, "engines", str(active.folder), "lib")
        self.assertEqual((active.version, active.sys_path[0], child_version(active)), (NEW, lib, NEW))
        self.assertTrue(os.path.isdir(os.path.join(lib, "yt_dlp", "__pycache__")))
        self.assertEqual(Engines(self.data, []).active().version, NEW)
        # An unpacked copy changed since is not run; the verified file is.
        with open(os.path.join(lib, "yt_dlp", "version.py"), "a", encoding="utf-8") as f:
            f.write("\n")
        self.assertEqual(Engines(self.data, []).active().sys_path[0],
                         os.path.join(self.data, "engines", str(active.folder), "yt-dlp"))
        # A second check finds the same signed hash and fetches nothing more.
        self.server.requests.clear()
        status = self.check(up)
        self.assertIn("已经是最新版本", status["last_result"])
        self.assertEqual(self.server.asked("yt-dlp"), [])

        status = up.rollback()
        self.assertEqual((status["version"], status["bundled"], status["previous"]), (BUNDLED, True, NEW))
        self.assertEqual(Engines(self.data, []).active().version, BUNDLED)
        # The daily check does not quietly bring back what the user left; the button does.
        self.assertTrue(up._try_begin())
        up._run_check(manual=False)
        self.assertEqual(engines.active().version, BUNDLED)
        status = up.rollback()
        self.assertEqual((status["version"], status["previous"]), (NEW, BUNDLED))
        self.assertEqual(child_version(Engines(self.data, []).active()), NEW)

    def test_a_failed_update_never_replaces_the_engine(self) -> None:
        buffer = io.BytesIO()
        with zipfile.ZipFile(buffer, "w") as z:
            z.writestr("__main__.py", "print('hello')\n")
        good, signer = (self.good, NEW), self.signer
        # What is published (engine, tag), who signed it, the hash listed, what the server does wrong.
        cases = [("signed by another key", good, self.stranger, None, None, "签名验证失败"),
                 ("hash not the signed one", good, signer, self.good + b"x", None, "校验和不一致"),
                 ("connection cut", good, signer, None, lambda s: s.cut.update({"yt-dlp": 4096}), "下载中断"),
                 ("does not import", (self.broken, "2099.02.03"), signer, None, None, "无法运行"),
                 ("holds no engine", (buffer.getvalue(), NEW), signer, None, None, "无法运行"),
                 ("extracts nothing", (self.blind, "2099.02.04"), signer, None, None, "没能从测试网页中找到视频"),
                 ("404", good, signer, None, lambda s: s.releases[NEW].pop("yt-dlp"), "HTTP 404"),
                 ("list times out", good, signer, None, lambda s: s.stall("SHA2-256SUMS"), "超时"),
                 ("file times out", good, signer, None, lambda s: s.stall("yt-dlp"), "超时")]
        for name, (engine, tag), key, listed, trouble, reason in cases:
            with self.case(name):
                self.server.release(engine, key, tag, listed)
                if trouble:
                    trouble(self.server)
                engines, up, notices = self.make()
                status = self.check(up)
                self.assertFalse(status["last_ok"])
                self.assertIn(reason, status["last_result"])
                self.assertIn(f"仍在使用下载引擎 {BUNDLED}", status["last_result"])
                self.assertEqual(engines.active().folder, None)
                # Nothing of the download is left, and no pointer was written.
                self.assertEqual(self.listing(), ["state.json"])
                self.assertEqual(Engines(self.data, []).active().folder, None)
                self.assertEqual(notices, [])

    def test_the_companion_package_the_engine_needs_is_fetched_with_the_index_hash(self) -> None:
        engine = release.engine_zip(NEW, ejs="0.9.9")
        wheel = release.ejs_wheel("0.9.9")
        for name, listed, ok in [("tampered", wheel + b"x", False), ("as published", None, True)]:
            with self.case(name):
                self.server.release(engine, self.signer, NEW)
                self.server.index("0.9.9", wheel, listed)
                engines, up, _ = self.make()
                status = self.check(up)
                self.assertEqual(status["last_ok"], ok, status["last_result"])
                active = engines.active()
                if not ok:
                    self.assertIn("yt-dlp-ejs 与软件包索引公布的校验和不一致", status["last_result"])
                    self.assertEqual((active.folder, self.listing()), (None, ["state.json"]))
                    continue
                self.assertEqual(len(active.sys_path), 2)
                out = release.run_on(active.sys_path, "import yt_dlp.version, yt_dlp_ejs; "
                                                      "print(yt_dlp.version.__version__, yt_dlp_ejs.version)")
                self.assertEqual(out, [NEW, "0.9.9"])

    def test_only_the_pinned_release_key_is_trusted(self) -> None:
        with mock.patch.dict(os.environ):
            del os.environ["ZORMAK_TEST_ENGINE_KEY"]
            _, up, _ = self.make()
            self.assertEqual((up.fingerprint, up._key_problem), (updater_mod.RELEASE_FINGERPRINT, None))
            # A shipped key file with any other fingerprint disables updates before a request is made.
            self.server.release(self.good, self.signer, NEW)
            with mock.patch.object(updater_mod, "RELEASE_KEY", self.signer.key_file):
                status = self.check(self.make()[1])
        self.assertIn("与预期的指纹不符", status["last_result"])
        self.assertEqual((status["bundled"], self.server.requests), (True, []))

    def test_offline_stays_quietly_on_the_engine_and_tries_again_later(self) -> None:
        with mock.patch.dict(os.environ, {"ZORMAK_TEST_ENGINE_RELEASES": f"http://127.0.0.1:{free_port()}/"}):
            engines, up, notices = self.make()
            status = self.check(up)
        self.assertIn("无法连接到更新服务器", status["last_result"])
        self.assertEqual((engines.active().folder, notices), (None, []))
        # An offline try is not the day's check: it is tried again in an hour.
        now = time.time()
        self.assertFalse(up.due(now + 60))
        self.assertTrue(up.due(now + updater_mod.RETRY + 60))

    def test_at_most_one_check_a_day_and_none_while_busy(self) -> None:
        day = updater_mod.DAY
        cases = [("checked an hour ago", {"last_check": time.time() - 3600}, False, False),
                 ("checked yesterday", {"last_check": time.time() - day - 60}, False, True),
                 ("never checked", {}, False, True),
                 ("never checked, downloading", {}, True, False)]
        for name, state, busy, expect in cases:
            with self.case(name):
                self.busy = busy
                write_json(os.path.join(self.data, "engines", "state.json"), state)
                _, up, _ = self.make()
                up.first_delay, up.interval = 0.0, 0.1
                up.start()
                if expect:
                    wait_for(lambda: up.status()["last_ok"] is False, 20, message="the daily check")
                    # The failed check (404) counts as the day's: it is not repeated.
                    asked = len(self.server.requests)
                    time.sleep(0.5)
                    self.assertEqual(len(self.server.requests), asked)
                    self.assertFalse(Updater(Engines(self.data, []), Settings(self.data), lambda: False).due())
                else:
                    time.sleep(0.8)
                    self.assertEqual(self.server.requests, [])

    def test_busy_or_checking_refuses_the_button(self) -> None:
        _, up, _ = self.make()
        self.busy = True
        with self.assertRaises(UserError) as raised:
            up.check()
        self.assertEqual(raised.exception.status, 409)
        self.busy = False
        self.server.stall("latest")
        up.check()
        with self.assertRaises(UserError) as raised:
            up.check()
        self.assertEqual(raised.exception.status, 409)
        wait_for(lambda: not up.status()["checking"], 20, message="the check")


@pytest.mark.parametrize("pointer, damage, expect", [
    (None, None, "2099.01.02"),
    ("{\"current\": ", None, BUNDLED),  # not JSON
    (["2099.01.02"], None, BUNDLED),  # the wrong shape
    ({"current": "2099.09.09-0123456789ab", "previous": None}, None, BUNDLED),  # names no folder
    (None, lambda root, name: writer(b"changed")(os.path.join(root, name, "yt-dlp")), BUNDLED),
    (None, lambda root, name: os.unlink(os.path.join(root, name, "engine.json")), BUNDLED)])
def test_a_damaged_pointer_is_set_aside(workdir: str, pointer: Any, damage: Any, expect: str) -> None:
    root = os.path.join(workdir, "engines")
    folder = release.engine_folder(workdir, "2099.01.02", b"engine")
    pointer = {"current": folder, "previous": None} if pointer is None else pointer
    with open(os.path.join(root, "current.json"), "w") as f:
        f.write(pointer if isinstance(pointer, str) else json.dumps(pointer))
    if damage:
        damage(root, folder)
    notices: list[str] = []
    assert Engines(workdir, notices).active().version == expect
    aside = [n for n in os.listdir(root) if n.startswith("current.json.damaged-")]
    assert (len(aside), len(notices)) == ((0, 0) if expect != BUNDLED else (1, 1)), notices


def test_an_engine_in_use_is_never_pruned(workdir: str) -> None:
    root = os.path.join(workdir, "engines")
    os.makedirs(os.path.join(root, ".incoming-left"))
    engines = Engines(workdir, [])
    assert ".incoming-left" not in os.listdir(root)
    a = release.engine_folder(workdir, "2099.01.01", b"a")
    engines.switch(a)
    with engines.hold(engines.active()):
        b = release.engine_folder(workdir, "2099.02.01", b"b")
        engines.switch(b)
        c = release.engine_folder(workdir, "2099.03.01", b"c")
        engines.switch(c)
        assert os.path.isdir(os.path.join(root, a))
    engines.prune()
    assert sorted(n for n in os.listdir(root) if n.startswith("2099")) == [b, c]
    assert (engines.active().folder, engines.previous().folder) == (c, b)  # type: ignore[union-attr]
