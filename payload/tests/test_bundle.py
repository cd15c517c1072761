"""The bundled download engine: the one the build took, and bookworm's when backports cannot be reached."""

import json
import os
import subprocess
import sys
import tempfile
import unittest

from support import PAYLOAD_DIR, PYTHON, free_port

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tools")
sys.path.insert(0, TOOLS)
import bundled_engine  # noqa: E402

ENGINE_DIR = os.environ.get("ZORMAK_ENGINE_DIR", "")


def imported_version(python: str) -> str:
    return subprocess.run([python, "-I", "-c", "import yt_dlp.version; print(yt_dlp.version.__version__)"],
                          capture_output=True, text=True, check=True, timeout=60).stdout.strip()


def from_deb(deb: str, member: str) -> bytes:
    """One file of a Debian package, read from the package itself."""
    tar = subprocess.run(["dpkg-deb", "--fsys-tarfile", deb], capture_output=True, check=True, timeout=60).stdout
    return subprocess.run(["tar", "-xO", "./" + member], input=tar, capture_output=True, check=True,
                          timeout=60).stdout


def installed_version() -> str:
    return bundled_engine.engine_version("/" + bundled_engine.DIST)


class BundledEngineTest(unittest.TestCase):
    def test_the_payload_runs_the_engine_the_build_took(self) -> None:
        if not ENGINE_DIR:
            self.skipTest("ZORMAK_ENGINE_DIR names no build")
        with open(os.path.join(ENGINE_DIR, "engine.json"), encoding="utf-8") as f:
            record = json.load(f)
        version = imported_version(PYTHON)
        self.assertEqual(version, record["version"])
        doc = os.path.join(PAYLOAD_DIR, ".venv", "share", "doc", "yt-dlp")
        with open(os.path.join(doc, "SOURCE"), encoding="utf-8") as f:
            self.assertEqual(f.read().split(), [record["source"], record["package_version"], version])
        with open(os.path.join(doc, "copyright"), "rb") as f:
            copyright = f.read()
        if record["source"] == "bookworm":
            self.assertEqual(version, installed_version())
            return
        self.assertEqual(record["source"], "bookworm-backports")
        deb = record["deb"]
        package_version = subprocess.run(["dpkg-deb", "-f", deb, "Version"], capture_output=True, text=True,
                                         check=True).stdout.strip()
        self.assertEqual(package_version, record["package_version"])
        self.assertIn("~bpo12", package_version)
        # The package's own version.py and licence, not the installed package's.
        self.assertIn(f"__version__ = '{version}'".encode(),
                      from_deb(deb, bundled_engine.DIST + "/yt_dlp/version.py"))
        self.assertEqual(copyright, from_deb(deb, bundled_engine.COPYRIGHT))
        self.assertEqual(package_version.split("-")[0], version)

    def test_an_unreachable_mirror_bundles_bookworms_engine(self) -> None:
        with tempfile.TemporaryDirectory() as tmp:
            folder, dest = os.path.join(tmp, "engine"), os.path.join(tmp, "payload")
            mirror = f"http://127.0.0.1:{free_port()}/debian"
            env = {**os.environ, "ZORMAK_ENGINE_MIRROR": mirror}
            chose = subprocess.run(["/usr/bin/python3", os.path.join(TOOLS, "bundled_engine.py"), folder], env=env,
                                   capture_output=True, text=True, timeout=120)
            self.assertEqual(chose.returncode, 0, chose.stderr)
            self.assertIn(f"taking bookworm's installed yt-dlp {installed_version()}", chose.stdout)
            self.assertIn(mirror, chose.stdout)
            with open(os.path.join(folder, "apt", "etc", "sources.list"), encoding="utf-8") as f:
                self.assertIn(f"{mirror} bookworm-backports main", f.read())
            record = os.path.join(folder, "engine.json")
            built = subprocess.run(["/usr/bin/python3", os.path.join(TOOLS, "assemble.py"), "venv", dest, record],
                                   capture_output=True, text=True, timeout=300)
            self.assertEqual(built.returncode, 0, built.stderr)
            self.assertIn("from bookworm", built.stdout)
            self.assertEqual(imported_version(os.path.join(dest, ".venv", "bin", "python")), installed_version())

    def test_the_mirror_is_the_one_the_machines_sources_use_for_bookworm(self) -> None:
        security = ("Types: deb\nURIs: http://security.example/debian-security\nSuites: bookworm-security\n"
                    "Components: main\n")
        cases: list[tuple[str, dict[str, str], str]] = [
            ("nothing", {}, bundled_engine.DEFAULT_MIRROR),
            ("one-line", {"sources.list": "# deb http://old.example/debian bookworm main\n"
                                          "deb-src http://src.example/debian bookworm main\n"
                                          "deb [arch=amd64 signed-by=/k.gpg] http://one.example/debian/ bookworm main\n"},
             "http://one.example/debian"),
            ("deb822", {"sources.list.d/debian.sources":
                        security + "\nTypes: deb\n# a comment\nURIs: http://mirror.example/debian\n"
                                   "Suites: bookworm bookworm-updates\nComponents: main\n"},
             "http://mirror.example/debian"),
            ("disabled stanza", {"sources.list.d/debian.sources":
                                 "Enabled: no\nTypes: deb\nURIs: http://off.example/debian\nSuites: bookworm\n"},
             bundled_engine.DEFAULT_MIRROR),
            ("only security", {"sources.list.d/debian.sources": security}, bundled_engine.DEFAULT_MIRROR),
            ("other extension", {"sources.list.d/x.list.disabled": "deb http://x.example/debian bookworm main\n"},
             bundled_engine.DEFAULT_MIRROR),
        ]
        for name, files, expect in cases:
            with self.subTest(name), tempfile.TemporaryDirectory() as etc:
                os.makedirs(os.path.join(etc, "sources.list.d"))
                for path, text in files.items():
                    with open(os.path.join(etc, path), "w", encoding="utf-8") as f:
                        f.write(text)
                self.assertEqual(bundled_engine.machine_mirror(etc), expect)
