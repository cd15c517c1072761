"""Engine releases as they are built and published: the file that carries its companion package, one tag
per check, the lock lines of _update_spec, and release files imported from disk."""

import base64
import io
import os
import re
import sys
import zipfile
from typing import Any

import pytest

import release
from support import Payload, wait_for
from test_engine import BUNDLED, NEW, EngineCase

from downloader import engine_files, engines as engines_mod, releases
from downloader.errors import UserError

LATEST = "2099.05.06"
EJS = "0.8.0"


def companion(engine: engines_mod.Engine) -> list[str]:
    """What a download's process finds of the companion package on the engine's path: its version,
    whether it came from the engine's first entry, and the first line of the solver it carries."""
    return release.run_on(engine.sys_path, "import yt_dlp_ejs, yt_dlp_ejs.yt.solver as s; print(yt_dlp_ejs.version, "
                          "os.path.abspath(yt_dlp_ejs.__file__).startswith(sys.path[0] + os.sep), s.core().split()[1])")


class ReleaseTest(EngineCase):
    latest: bytes

    @classmethod
    def setUpClass(cls) -> None:
        super().setUpClass()
        cls.latest = release.engine_zip(LATEST)

    def test_the_released_file_carries_its_companion_package_and_a_release_published_meanwhile_waits(self) -> None:
        extra = release.engine_zip(NEW, ejs=EJS, extra=True)
        with zipfile.ZipFile(io.BytesIO(extra)) as z:
            self.assertIn("yt_dlp_ejs/yt/solver/core.min.js", z.namelist())
        self.server.release(extra, self.signer, NEW)

        def publish_next(path: str) -> None:
            if path.endswith("/SHA2-256SUMS") and self.server.redirects["/latest"].endswith(NEW):
                self.server.release(self.latest, self.signer, LATEST)
        self.server.before = publish_next
        engines, up, _ = self.make()
        status = self.check(up)
        self.assertTrue(status["last_ok"], status["last_result"])
        active = engines.active()
        self.assertEqual((active.version, len(active.sys_path)), (NEW, 1))
        self.assertEqual(companion(active), [EJS, "True", "core"])
        # Every file came from the release the check began with; the file carried the companion version the
        # engine needs, so the package index was not asked.
        self.assertEqual({p.split("/")[2] for p in self.server.requests if p.startswith("/download/")}, {NEW})
        self.assertEqual([p for p in self.server.requests if p.startswith("/pypi/")], [])
        self.assertEqual(self.server.asked("yt-dlp"), [f"/download/{NEW}/yt-dlp"])
        # The next check takes the newer release.
        self.server.before = None
        self.assertTrue(self.check(up)["last_ok"])
        self.assertEqual(engines.active().version, LATEST)

    def test_lock_lines_cap_the_version_for_this_python_only(self) -> None:
        here = r"zip Python %d\.%d" % sys.version_info[:2]
        # Engines that fail their first import end each check quickly, once the file the lock chose is fetched.
        fails = {NEW: release.engine_zip(NEW, broken="import"), LATEST: release.engine_zip(LATEST, broken="import")}
        cases = [("no _update_spec", None, LATEST),
                 ("lock for this Python", f"lock {NEW} {here}", NEW),
                 ("lockV2 for this repository", f"# comment\nlockV2 yt-dlp/yt-dlp {NEW} {here}", NEW),
                 ("lockV2 for another repository", f"lockV2 yt-dlp/yt-dlp-nightly-builds {NEW} {here}", LATEST),
                 ("lock beside lockV2 lines", f"lock {NEW} {here}\nlockV2 yt-dlp/yt-dlp 2020.01.01 zip Python 2\\.7",
                  LATEST),
                 ("lock for another Python", f"lock {NEW} zip Python 2\\.7", LATEST),
                 ("lock for the executables", f"lock {NEW} linux_exe .+", LATEST),
                 ("lock above the latest", f"lock 2099.09.09 {here}", LATEST),
                 ("lock below the active engine", f"lock 2020.01.01 {here}", BUNDLED),
                 ("broken pattern", f"lock {NEW} zip Python (", LATEST)]
        for name, locks, expect in cases:
            with self.case(name):
                self.server.release(fails[NEW], self.signer, NEW)
                self.server.release(fails[LATEST], self.signer, LATEST, locks=locks)
                engines, up, _ = self.make()
                status = self.check(up)
                self.assertEqual(self.server.asked("_update_spec"), [f"/download/{LATEST}/_update_spec"])
                self.assertEqual(self.server.asked("yt-dlp"), [] if expect == BUNDLED else [f"/download/{expect}/yt-dlp"])
                self.assertEqual(status["last_ok"], expect == BUNDLED, status["last_result"])
                self.assertIn("已经是这台电脑能用的最新版本" if expect == BUNDLED else "无法运行", status["last_result"])
        # A capped release is installed like any other.
        self.server.release(self.good, self.signer, NEW)
        self.server.release(self.latest, self.signer, LATEST, locks=f"lock {NEW} {here}")
        engines, up, _ = self.make()
        self.assertTrue(self.check(up)["last_ok"])
        self.assertEqual(engines.active().version, NEW)


@pytest.mark.parametrize("members, kept", [
    (["yt_dlp/__init__.py", "yt_dlp/a/b.js", "yt_dlp_ejs/__init__.py", "yt_dlp_ejs/yt/solver/core.min.js", "__main__.py",
      "notes/readme.txt"], ["yt_dlp/__init__.py", "yt_dlp/a/b.js", "yt_dlp_ejs/__init__.py", "yt_dlp_ejs/yt/solver/core.min.js"]),
    (["yt_dlp/__init__.py", "yt_dlp/../../evil.py"], None),  # climbs out
    (["yt_dlp/__init__.py", "../evil/__init__.py"], None),  # outside any package
    (["yt_dlp/__init__.py", "/tmp/evil.py"], None)])
def test_unpacking_keeps_the_packages_and_refuses_what_lies_outside(workdir: str, members: list[str],
                                                                     kept: list[str] | None) -> None:
    path, lib = os.path.join(workdir, "yt-dlp"), os.path.join(workdir, "lib")
    with zipfile.ZipFile(path, "w") as z:
        for member in members:
            z.writestr(zipfile.ZipInfo(member), b"x")
    if kept is None:
        with pytest.raises(zipfile.BadZipFile):
            engines_mod.unpack(path, lib)
        assert sorted(os.listdir(workdir)) == (["lib", "yt-dlp"] if os.path.exists(lib) else ["yt-dlp"])
    else:
        engines_mod.unpack(path, lib)
        assert sorted(os.path.relpath(os.path.join(r, n), lib) for r, _, ns in os.walk(lib) for n in ns) == sorted(kept)


BASE = "https://example.invalid/o/r/releases/"


@pytest.mark.parametrize("location, tag", [
    (BASE + "tag/2099.01.02", "2099.01.02"), ("/o/r/releases/tag/2099.01.02.123456", "2099.01.02.123456"),
    ("tag/2099.01.02", "2099.01.02"), (BASE + "tag/nightly", None), ("https://elsewhere.invalid/o/r/releases/tag/2099.01.02", None),
    (BASE + "tag/2099.01.02/../../x", None), (None, None)])
def test_only_a_redirect_to_a_release_tag_names_the_release(location: str | None, tag: str | None) -> None:
    assert releases.tag_from(BASE, location) == tag
    assert re.fullmatch(r"zip Python \d+\.\d+\.\d+ \(\w+ \S+ \d+bit\) - .+ \(.+\)", releases.identifier())


class ImportTest(EngineCase):
    good: bytes

    @classmethod
    def setUpClass(cls) -> None:
        super().setUpClass()
        cls.good = release.engine_zip(NEW, ejs=EJS, extra=True)

    def chosen(self, signer: release.Signer, engine: bytes | None = None,
               renamed: dict[str, str] | None = None) -> dict[str, Any]:
        """The body the page sends for the release files the user chose, renamed ("" left out)."""
        renamed = renamed or {}
        files = release.release_files(self.good, signer)
        files["yt-dlp"] = engine or self.good
        return {"files": [{"name": renamed.get(name, name), "data": base64.b64encode(data).decode()}
                          for name, data in files.items() if renamed.get(name) != ""]}

    def test_imported_files_are_verified_as_a_download(self) -> None:
        middle = len(self.good) // 2
        changed = self.good[:middle] + bytes([self.good[middle] ^ 1]) + self.good[middle + 1:]
        cases: list[tuple[str, release.Signer, bytes | None, str | None]] = [
            ("a good set", self.signer, None, None),
            ("engine changed", self.signer, changed, "校验和不一致"),
            ("signed by another key", self.stranger, None, "签名验证失败")]
        for name, signer, engine, refusal in cases:
            with self.case(name):
                body = self.chosen(signer, engine)
                engines, up, _ = self.make()
                up.import_files(engine_files.read(body))
                status = self.ended(up)
                self.assertEqual(status["last_ok"], refusal is None, status["last_result"])
                self.assertEqual(engines.active().version, NEW if refusal is None else BUNDLED)
                self.assertEqual(self.server.requests, [])
                if refusal:
                    self.assertIn(refusal, status["last_result"])
                    self.assertEqual(self.listing(), ["state.json"])
                else:
                    self.assertEqual(companion(engines.active()), [EJS, "True", "core"])
                    # The release server was not asked, so the daily check keeps its schedule.
                    self.assertIsNone(status["last_check"])

    def test_a_missing_or_misnamed_file_is_named(self) -> None:
        cases = [("no signature", {"SHA2-256SUMS.sig": ""}, "缺少 SHA2-256SUMS.sig"),
                 ("renamed engine", {"yt-dlp": "yt-dlp (1)"}, "不认识的文件“yt-dlp (1)”"),
                 ("no files", None, "缺少 yt-dlp、SHA2-256SUMS、SHA2-256SUMS.sig")]
        for name, renamed, message in cases:
            with self.subTest(name):
                body = self.chosen(self.signer, renamed=renamed) if renamed is not None else {"files": []}
                with self.assertRaises(UserError) as raised:
                    engine_files.read(body)
                self.assertIn(message, raised.exception.message)
        twice = self.chosen(self.signer)
        twice["files"].append(twice["files"][0])
        for body in (twice, {"files": "yt-dlp"}, {"files": [{"name": "yt-dlp", "data": "not base64!"}]}):
            with self.subTest(body=str(body)[:40]), self.assertRaises(UserError):
                engine_files.read(body)

    def test_the_page_imports_through_the_server(self) -> None:
        payload = Payload(self.data)
        self.addCleanup(payload.stop)
        status, answer = payload.request("POST", "/api/engine/import", self.chosen(self.signer))
        self.assertEqual(status, 200, answer)
        done = wait_for(lambda: (lambda s: None if s[1]["checking"] else s[1])(payload.request("GET", "/api/engine")),
                        90, 0.2, "the import")
        self.assertEqual((done["version"], done["last_ok"]), (NEW, True), done["last_result"])
        # Only this route takes a body the engine file's size; the others keep their limit.
        status, answer = payload.request("POST", "/api/engine/check", {"files": "x" * (100 << 10)})
        self.assertEqual((status, answer), (413, {"error": "请求内容太大"}))
        status, answer = payload.request("POST", "/api/engine/import", {"files": []})
        self.assertEqual(status, 400)
        self.assertTrue(answer["error"].startswith("缺少 yt-dlp"), answer)
        self.assertNotIn("Traceback", payload.output())
