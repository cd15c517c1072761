"""The JavaScript runtime the engine gets: the engine's own minimum versions decide, deno can be fetched."""

import io
import os
import stat
import zipfile
from typing import Any
from unittest import mock

import release
from support import Payload, link_tools, wait_for
from test_engine import BUNDLED, NEW, EngineCase

from downloader import runtime as runtime_mod
from downloader.errors import UserError
from downloader.updater import Updater

NODE_20 = "v20.19.0"
DENO = "deno {} (stable, release, x86_64-unknown-linux-gnu)\nv8 13.7.152.6-rusty\ntypescript 5.8.3"


def stand_in(output: str) -> str:
    """A stand-in runtime that prints output for --version, as the real ones do."""
    return f"#!/bin/sh\nprintf '%s\\n' '{output}'\n"


def deno_zip(version: str) -> bytes:
    """A release zip like deno's: the one executable, named deno."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as z:
        info = zipfile.ZipInfo("deno")
        info.external_attr = 0o755 << 16
        z.writestr(info, stand_in(DENO.format(version)))
    return buffer.getvalue()


class RuntimeTest(EngineCase):
    """PATH holds only the runtimes a test puts there (and gpg, which checking an update needs)."""

    def setUp(self) -> None:
        super().setUp()
        self.bin = os.path.join(self.data, "bin")
        os.makedirs(self.bin)
        # Restored after the test, with the deno releases' address a test may set.
        patch = mock.patch.dict(os.environ, {"PATH": link_tools(self.bin, "gpg", "gpgv")})
        patch.start()
        self.addCleanup(patch.stop)
        self.asset = runtime_mod.deno_asset()

    def tools(self, **outputs: str) -> None:
        for name in ("deno", "node"):
            if os.path.exists(os.path.join(self.bin, name)):
                os.unlink(os.path.join(self.bin, name))
        for name, output in outputs.items():
            with open(os.path.join(self.bin, name), "w") as f:
                f.write(stand_in(output))
            os.chmod(os.path.join(self.bin, name), stat.S_IRWXU)

    def publish_deno(self, archive: bytes, listed: bytes | None = None) -> None:
        if self.asset is None:
            self.skipTest("deno publishes no build for this machine")
        os.environ["ZORMAK_TEST_DENO_RELEASES"] = self.server.base
        digest = release.sha256(listed or archive)
        self.server.files = {f"/{self.asset}": archive,
                             f"/{self.asset}.sha256sum": f"{digest}  {self.asset}\n".encode()}

    def settled(self, up: Updater) -> dict[str, Any]:
        """The runtime verdict once the search after a switch has ended."""
        return wait_for(lambda: (lambda r: None if r["searching"] else r)(up.status()["runtime"]), 30, 0.1,
                        "the runtime search")

    def test_an_engine_too_old_to_say_takes_deno_2_3_or_node_22(self) -> None:
        # The bundled engine has no runtime classes of its own.
        cases: list[tuple[str, dict[str, str], str | None, list[str]]] = [
            ("nothing", {}, None, ["没有找到这个下载引擎能用的 JavaScript 运行环境（需要 deno 2.3 或 Node.js 22 以上）",
                                   "获取 deno"]),
            ("node 20", {"node": NODE_20}, None, ["系统的 Node.js 20.19.0 太旧，这个下载引擎需要 22 或更新", "获取 deno"]),
            ("node 22", {"node": "v22.0.0"}, "node", ["使用系统的 Node.js 22.0.0"]),
            ("deno 2.2.9, node 20", {"deno": DENO.format("2.2.9"), "node": NODE_20}, None,
             ["系统的 deno 2.2.9 太旧，这个下载引擎需要 2.3 或更新；系统的 Node.js 20.19.0 太旧", "获取 deno"]),
            ("deno 2.2.9, node 22", {"deno": DENO.format("2.2.9"), "node": "v22.12.0"}, "node",
             ["使用系统的 Node.js 22.12.0"]),
            ("deno 2.3.0 first", {"deno": DENO.format("2.3.0"), "node": "v22.12.0"}, "deno", ["使用系统的 deno 2.3.0"]),
            ("a runtime that prints nothing", {"node": ""}, None, ["没有找到"]),
        ]
        for name, tools, expect, texts in cases:
            with self.subTest(name):
                self.tools(**tools)
                engines, up, _ = self.make()
                self.assertTrue(up.status()["runtime"]["searching"])
                up.detect_runtime()
                verdict = up.status()["runtime"]
                self.assertEqual((verdict["name"], verdict["ok"], verdict["searching"]), (expect, expect is not None, False))
                for text in texts:
                    self.assertIn(text, verdict["text"])
                self.assertEqual(engines.active().params,
                                 {"js_runtimes": {expect: {"path": os.path.join(self.bin, expect)}}} if expect else {})
                if expect:
                    # Nothing to fetch: the refusal gives the same verdict.
                    with self.assertRaises(UserError) as refused:
                        up.fetch_runtime()
                    self.assertEqual(refused.exception.status, 409)
                    self.assertIn(verdict["text"], refused.exception.message)

    def test_deno_is_kept_only_with_its_published_hash_and_a_version_the_engine_takes(self) -> None:
        self.tools(node=NODE_20)
        for name, archive, listed, result in [
                ("tampered", deno_zip("2.3.1"), deno_zip("2.3.1") + b"x", "校验和不一致"),
                ("too old for the engine", deno_zip("2.2.9"), None, "下载的 deno 2.2.9 太旧，这个下载引擎需要 2.3 或更新"),
                ("published and new enough", deno_zip("2.3.1"), None, "已获取 deno 2.3.1")]:
            with self.subTest(name):
                self.publish_deno(archive, listed)
                engines, up, _ = self.make()
                up.detect_runtime()
                up.fetch_runtime()
                wait_for(lambda: not up.status()["runtime_fetching"], 30, message="the fetch")
                status = up.status()
                self.assertIn(result, status["runtime_result"])
                ok = result.startswith("已获取")
                self.assertEqual((status["runtime"]["ok"], status["runtime"]["name"]), (ok, "deno" if ok else None))
                self.assertEqual([n for n in self.listing() if n.startswith("runtime-")],
                                 ["runtime-deno-2.3.1"] if ok else [])
                self.assertFalse([n for n in self.listing() if n.startswith(".incoming")])
                if ok:
                    deno = os.path.join(self.data, "engines", "runtime-deno-2.3.1", "deno")
                    self.assertEqual(engines.active().params, {"js_runtimes": {"deno": {"path": deno}}})
        with self.assertRaises(UserError):
            up.fetch_runtime()

    def test_the_active_engine_declares_the_minimums_and_each_switch_asks_again(self) -> None:
        # An engine that takes node 20 but wants deno 2.5, where the bundled one falls back to 2.3 and 22.
        self.server.release(release.engine_zip(NEW, js_minimums={"DenoJsRuntime": (2, 5, 0),
                                                                 "NodeJsRuntime": (20, 0, 0)}), self.signer, NEW)
        self.tools(deno=DENO.format("2.3.0"), node=NODE_20)
        engines, up, _ = self.make()
        up.detect_runtime()
        self.assertEqual(up.status()["runtime"]["text"], "使用系统的 deno 2.3.0")
        status = self.check(up)
        self.assertEqual(status["version"], NEW, status["last_result"])
        verdict = self.settled(up)
        self.assertEqual((verdict["name"], verdict["version"], verdict["ok"]), ("node", "20.19.0", True))
        self.assertEqual(verdict["text"], "使用系统的 Node.js 20.19.0")
        self.assertEqual(engines.active().params, {"js_runtimes": {"node": {"path": os.path.join(self.bin, "node")}}})
        # Only the deno that is too old for this engine and no node: the page names what it needs.
        self.tools(deno=DENO.format("2.3.0"))
        self.assertIn("系统的 deno 2.3.0 太旧，这个下载引擎需要 2.5 或更新；没有找到这个下载引擎能用的 JavaScript 运行环境"
                      "（需要 deno 2.5 或 Node.js 20 以上）", up.detect_runtime()["text"])
        self.tools(deno=DENO.format("2.3.0"), node=NODE_20)
        for step, version, text in [("rollback", BUNDLED, "使用系统的 deno 2.3.0"),
                                    ("rollback undone", NEW, "使用系统的 Node.js 20.19.0")]:
            with self.subTest(step):
                up.rollback()
                self.assertEqual(engines.active().version, version)
                self.assertEqual(self.settled(up)["text"], text)

    def test_with_only_node_20_the_page_offers_deno_and_fetching_it_fixes_the_runtime(self) -> None:
        self.tools(node=NODE_20)
        self.publish_deno(deno_zip("2.3.1"))
        server = Payload(os.path.join(self.data, "work"), {})
        self.addCleanup(server.stop)

        def settled() -> dict[str, Any] | None:
            status = server.request("GET", "/api/engine")[1]
            busy = status["runtime"]["searching"] or status["runtime_fetching"]
            return None if busy else status
        status = wait_for(settled, 30, 0.1, "the runtime search")
        self.assertEqual(status["runtime"]["ok"], False)
        self.assertIn("系统的 Node.js 20.19.0 太旧，这个下载引擎需要 22 或更新", status["runtime"]["text"])
        code, body = server.request("POST", "/api/engine/runtime", {})
        self.assertEqual(code, 200, body)
        status = wait_for(settled, 30, 0.1, "the fetch")
        self.assertEqual(status["runtime_result"], "已获取 deno 2.3.1")
        self.assertEqual((status["runtime"]["ok"], status["runtime"]["text"]), (True, "使用已下载的 deno 2.3.1"))
        code, body = server.request("POST", "/api/engine/runtime", {})
        self.assertEqual(code, 409)
        self.assertIn("使用已下载的 deno 2.3.1", body["error"])
        # Each verdict is logged once, when it changes.
        log = server.output()
        self.assertEqual(log.count("Node.js 20.19.0 太旧"), 1, log)
        self.assertEqual(log.count("使用已下载的 deno 2.3.1"), 1, log)
