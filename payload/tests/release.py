"""A fake engine release on the loopback media server for the updater's tests.

The engine file is the bundled engine zipped the way the engine's Makefile
builds its releases (a zipimport file with a __main__.py, since 2025.11.12 with
the companion package inside) with another version string; the checksum list is
signed with a throwaway key made here with gpg.
"""

import hashlib
import io
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

from media import MediaServer
from support import write_json


def bundled_package() -> str:
    """The payload environment's engine folder, wherever an engine imported since came from."""
    for entry in sys.path:
        folder = os.path.join(entry or os.curdir, "yt_dlp")
        if os.path.isfile(os.path.join(folder, "__init__.py")):
            return folder
    raise AssertionError("the payload's engine is not on sys.path")


# Every member of a release's zip is dated as the release's Makefile touches it (-t 200001010101).
_DATE = (2000, 1, 1, 1, 1, 0)


def _member(name: str, data: bytes) -> tuple[zipfile.ZipInfo, bytes]:
    info = zipfile.ZipInfo(name, _DATE)
    info.compress_type = zipfile.ZIP_DEFLATED
    info.create_system = 3
    info.external_attr = 0o100644 << 16
    return info, data


def engine_zip(version: str, broken: str = "", ejs: str | None = None, extra: bool = False,
               js_minimums: dict[str, tuple[int, ...]] | None = None) -> bytes:
    """The bundled engine reporting version, zipped as the engine's Makefile builds `yt-dlp` or (extra, as
    every release since 2025.11.12) `yt-dlp-extra`: a `#!` line, yt_dlp's .py files by package (without
    yt_dlp/__main__.py), its .js files, with extra the companion package, last the top-level __main__.py.

    broken: "import" fails its import, "extract" finds nothing on any page, "site" has a site at /site/ID
    on loopback whose pages it can no longer read. ejs: the companion version it needs (vendor/_info.py,
    as newer engines have it); extra carries it too. js_minimums (class name -> version): the JavaScript
    runtime classes of newer engines (yt_dlp/utils/_jsruntime.py) with those minimum versions."""
    package = bundled_package()
    files: dict[str, bytes] = {}
    for root, dirs, names in os.walk(package):
        dirs[:] = [d for d in dirs if d != "__pycache__"]
        for name in names:
            if not name.endswith(".py"):
                continue
            path = os.path.join(root, name)
            arc = "yt_dlp/" + os.path.relpath(path, package).replace(os.sep, "/")
            with open(path, "rb") as f:
                data = f.read()
            if arc == "yt_dlp/version.py":
                data = f"__version__ = '{version}'\nRELEASE_GIT_HEAD = ''\nVARIANT = None\n" \
                       f"UPDATE_HINT = None\nCHANNEL = 'stable'\nORIGIN = 'yt-dlp/yt-dlp'\n".encode()
            if broken == "import" and arc == "yt_dlp/__init__.py":
                data = b"raise ImportError('this build is broken')\n" + data
            if broken == "extract" and arc == "yt_dlp/__init__.py":
                data += b"\nYoutubeDL.extract_info = lambda self, *a, **k: {'url': 'http://127.0.0.1:9/x.mp4'}\n"
            if broken == "site" and arc == "yt_dlp/__init__.py":
                data += _CHANGED_SITE
            if ejs and arc == "yt_dlp/extractor/youtube.py":
                # Newer engines have a youtube package here; the module becomes its __init__.
                arc = "yt_dlp/extractor/youtube/__init__.py"
                data = re.sub(rb"^(\s*)from \.", rb"\1from ..", data, flags=re.M)
            if js_minimums and arc == "yt_dlp/utils.py":
                # Newer engines have a utils package here, the runtimes' module inside it.
                arc = "yt_dlp/utils/__init__.py"
                data = re.sub(rb"^(\s*)from \.", rb"\1from ..", data, flags=re.M)
            files[arc] = data
    if ejs:
        files.update(_vendor(ejs))
    if js_minimums:
        # The engine's own values where the test names none.
        minimums: dict[str, tuple[int, ...]] = {"DenoJsRuntime": (2, 3, 0), "BunJsRuntime": (1, 2, 11),
                                                "NodeJsRuntime": (22, 0, 0), "QuickJsRuntime": (2023, 12, 9)}
        minimums.update(js_minimums)
        classes = "\n\n".join(_RUNTIME.format(name=name, minimum=minimums[name], args=args) for name, args in _RUNTIMES)
        files["yt_dlp/utils/_jsruntime.py"] = _JSRUNTIME.format(classes=classes).encode()
    # The Makefile zips each package folder's *.py (folders with an __init__.py, sorted, none with
    # "/__" in its path), then the folders' *.js; yt_dlp/__main__.py becomes the top-level one.
    main = files.pop("yt_dlp/__main__.py", b"import yt_dlp\nyt_dlp.main()\n")
    folders = sorted(n.rsplit("/", 1)[0] for n in files if n.endswith("/__init__.py") and "/__" not in n[:-12])
    members = [n for d in folders for n in sorted(files) if n.rsplit("/", 1)[0] == d and n.endswith(".py")]
    members += [n for d in folders for n in sorted(files) if n.rsplit("/", 1)[0] == d and n.endswith(".js")]
    entries = [_member(n, files[n]) for n in members]
    if extra:
        entries += [_member(n, data) for n, data in ejs_package(str(ejs)).items()]
    entries.append(_member("__main__.py", main))
    buffer = io.BytesIO()
    buffer.write(b"#!/usr/bin/env python3\n")
    with zipfile.ZipFile(buffer, "a") as z:
        for info, data in entries:
            z.writestr(info, data)
    return buffer.getvalue()


# Stand-ins for the solver scripts the engine vendors and the companion package carries.
_VENDORED = {"yt.solver.core.js": b"/* core solver */\n", "yt.solver.deno.lib.js": b"/* deno lib */\n",
             "yt.solver.bun.lib.js": b"/* bun lib */\n"}
_SOLVER = {"core.min.js": b"/* core solver, minified */\n", "lib.min.js": b"/* solver lib, minified */\n"}


def _vendor(version: str) -> dict[str, bytes]:
    """The engine's vendor package naming the companion version it was built for, as newer engines have it."""
    hashes = {name: hashlib.sha3_512(data).hexdigest() for name, data in _VENDORED.items()}
    hashes.update({f"yt.solver.{name}": hashlib.sha3_512(data).hexdigest() for name, data in _SOLVER.items()})
    vendor = "yt_dlp/extractor/youtube/jsc/_builtin/vendor/"
    return {"yt_dlp/extractor/youtube/jsc/__init__.py": b"",
            "yt_dlp/extractor/youtube/jsc/_builtin/__init__.py": b"",
            vendor + "__init__.py": (b"import importlib.resources\n\n"
                                     b"from yt_dlp.extractor.youtube.jsc._builtin.vendor._info import HASHES, VERSION\n\n"
                                     b"__all__ = ['HASHES', 'VERSION']\n"),
            vendor + "_info.py": f"VERSION = '{version}'\nHASHES = {hashes!r}\n".encode(),
            **{vendor + name: data for name, data in _VENDORED.items()}}


def ejs_package(version: str) -> dict[str, bytes]:
    """The companion package's files in the order the Makefile adds them: its .py files, then the solver."""
    solver = (b"import importlib.resources\n\nimport yt_dlp_ejs.yt.solver\n\n\n"
              b"def core():\n    return importlib.resources.read_text(yt_dlp_ejs.yt.solver, 'core.min.js')\n\n\n"
              b"def lib():\n    return importlib.resources.read_text(yt_dlp_ejs.yt.solver, 'lib.min.js')\n")
    return {"yt_dlp_ejs/__init__.py": b"from yt_dlp_ejs._version import version\n\n__all__ = ['version']\n",
            "yt_dlp_ejs/_version.py": f"__version__ = version = '{version}'\n".encode(),
            "yt_dlp_ejs/yt/__init__.py": b"",
            "yt_dlp_ejs/yt/solver/__init__.py": solver,
            **{f"yt_dlp_ejs/yt/solver/{name}": data for name, data in _SOLVER.items()}}


# A site extractor that comes first for loopback addresses under /site/ and fails the way an
# extractor fails once its site has changed.
_CHANGED_SITE = b"""
from .extractor.common import InfoExtractor as _InfoExtractor
from .utils import ExtractorError as _ExtractorError


class ChangedSiteIE(_InfoExtractor):
    IE_NAME = 'changedsite'
    _VALID_URL = r'https?://127\\.0\\.0\\.1:\\d+/site/(?P<id>\\w+)'

    def _real_extract(self, url):
        raise _ExtractorError('Unable to extract player url', video_id=self._match_id(url), ie=self.IE_NAME)


_default_init = YoutubeDL.__init__


def _with_changed_site(self, *args, **kwargs):
    _default_init(self, *args, **kwargs)
    self._ies = {'ChangedSite': ChangedSiteIE, **self._ies}
    site = ChangedSiteIE()
    site.set_downloader(self)
    self._ies_instances['ChangedSite'] = site


YoutubeDL.__init__ = _with_changed_site
"""


# The engine's JavaScript runtime classes as newer engines define them (yt_dlp/utils/_jsruntime.py),
# on this engine's helpers; each runtime's class is filled in with its minimum version.
_JSRUNTIME = """
from __future__ import annotations

import abc
import dataclasses
import functools

from . import _get_exe_version_output, detect_exe_version, version_tuple


@dataclasses.dataclass(frozen=True)
class JsRuntimeInfo:
    name: str
    path: str
    version: str
    version_tuple: tuple[int, ...]
    supported: bool = True


class JsRuntime(abc.ABC):
    def __init__(self, path=None):
        self._path = path

    @functools.cached_property
    def info(self) -> JsRuntimeInfo | None:
        return self._info()

    @abc.abstractmethod
    def _info(self) -> JsRuntimeInfo | None:
        raise NotImplementedError

    def _version_info(self, name, basename, args, version_re):
        path = self._path or basename
        out = _get_exe_version_output(path, args)
        if not out:
            return None
        version = detect_exe_version(out, version_re, 'unknown')
        vt = version_tuple(version)
        return JsRuntimeInfo(
            name=name, path=path, version=version, version_tuple=vt,
            supported=vt >= self.MIN_SUPPORTED_VERSION)


{classes}"""


_RUNTIME = """class {name}(JsRuntime):
    MIN_SUPPORTED_VERSION = {minimum!r}

    def _info(self):
        return self._version_info({args})
"""
_RUNTIMES = [("DenoJsRuntime", r"'deno', 'deno', ['--version'], r'^deno (\S+)'"),
             ("BunJsRuntime", r"'bun', 'bun', ['--version'], r'^(\S+)'"),
             ("NodeJsRuntime", r"'node', 'node', ['--version'], r'^v(\S+)'"),
             ("QuickJsRuntime", r"'quickjs', 'qjs', ['--help'], r'^QuickJS(?:-ng)?\s+version\s+(\S+)'")]


def ejs_wheel(version: str) -> bytes:
    """A companion package wheel of that version."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as z:
        for name, data in ejs_package(version).items():
            z.writestr(name, data)
    return buffer.getvalue()


def sha256(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


class Signer:
    """A throwaway signing key in a temporary GNUPGHOME."""

    def __init__(self, name: str = "Release Test") -> None:
        self.home = tempfile.mkdtemp(prefix="gpg-")
        self._gpg("--passphrase", "", "--quick-gen-key", f"{name} <test@example.invalid>", "ed25519", "sign", "never")
        self.key_file = os.path.join(self.home, "key.asc")
        with open(self.key_file, "wb") as f:
            f.write(self._gpg("--armor", "--export"))

    def _gpg(self, *args: str, data: bytes | None = None) -> bytes:
        return subprocess.run(["gpg", "--homedir", self.home, "--batch", "--yes", "--pinentry-mode", "loopback",
                               *args], input=data, capture_output=True, check=True, timeout=60).stdout

    def sign(self, data: bytes) -> bytes:
        return self._gpg("--detach-sign", "--output", "-", data=data)

    def close(self) -> None:
        subprocess.run(["gpgconf", "--homedir", self.home, "--kill", "all"], capture_output=True, check=False)
        shutil.rmtree(self.home, ignore_errors=True)


def release_files(engine: bytes, signer: Signer, listed: bytes | None = None) -> dict[str, bytes]:
    """The engine file with a checksum list naming listed's hash (engine's by default) and its signature."""
    sums = f"{sha256(b'other')}  yt-dlp.exe\n{sha256(listed or engine)}  yt-dlp\n".encode()
    return {"SHA2-256SUMS": sums, "SHA2-256SUMS.sig": signer.sign(sums), "yt-dlp": engine}


def run_on(engine_path: tuple[str, ...], code: str) -> list[str]:
    """The words code prints, run by a fresh interpreter with engine_path first, as a download's process runs."""
    prelude = "import json, os, sys; sys.path[:0] = json.loads(sys.argv[1]); "
    return subprocess.run([sys.executable, "-I", "-c", prelude + code, json.dumps(list(engine_path))],
                          capture_output=True, text=True, check=True, timeout=60).stdout.split()


def engine_folder(data: str, version: str, engine: bytes | None = None, broken: str = "",
                  previous: str | None = None) -> str:
    """An engine folder in data/engines as a verified update leaves it, holding engine (by default
    engine_zip(version, broken)); with previous, current.json makes it the active engine with previous
    before it. Returns the folder's name."""
    engine = engine_zip(version, broken) if engine is None else engine
    name = f"{version}-{sha256(engine)[:12]}"
    folder = os.path.join(data, "engines", name)
    os.makedirs(folder)
    with open(os.path.join(folder, "yt-dlp"), "wb") as f:
        f.write(engine)
    write_json(os.path.join(folder, "engine.json"), {"version": version, "sha256": sha256(engine), "channel": "stable"})
    if previous is not None:
        write_json(os.path.join(data, "engines", "current.json"), {"current": name, "previous": previous or None})
    return name


class ReleaseServer(MediaServer):
    """A channel's releases as the release site serves them: `/latest` redirects to `/tag/<tag>` of the
    newest published release, its files are under `/download/<tag>/`; other paths come from files."""

    def __init__(self) -> None:
        super().__init__(tempfile.mkdtemp(prefix="zormak-release-"))
        self.reset()

    def reset(self) -> None:
        """Nothing published, nothing asked yet."""
        self.releases: dict[str, dict[str, bytes]] = {}
        self.files.clear()
        self.redirects.clear()
        self.cut.clear()
        self.requests.clear()
        self.before = None

    @property
    def base(self) -> str:
        return self.url("")

    def blob(self, path: str) -> bytes | None:
        m = re.fullmatch(r"/download/([^/]+)/([^/]+)", path)
        return self.releases.get(m.group(1), {}).get(m.group(2)) if m else super().blob(path)

    def stall(self, name: str) -> None:
        """Requests for files called name wait longer than any test's time-out before their answer."""
        self.before = lambda path: time.sleep(5 if path.rsplit("/", 1)[-1] == name else 0)

    def release(self, engine: bytes, signer: Signer, tag: str, listed: bytes | None = None,
                locks: str | None = None) -> dict[str, bytes]:
        """Publishes engine as the release tag, now the latest, with a signed checksum list naming listed's
        hash (engine's by default) and locks as its _update_spec; returns the release's files."""
        assets = release_files(engine, signer, listed)
        if locks is not None:
            assets["_update_spec"] = locks.encode()
        self.releases[tag] = assets
        self.redirects["/latest"] = f"{self.base}tag/{tag}"
        return assets

    def index(self, version: str, wheel: bytes, listed: bytes | None = None) -> None:
        """Publishes wheel as the companion package's version in a package index under /pypi/."""
        name = f"yt_dlp_ejs-{version}-py3-none-any.whl"
        entry = {"packagetype": "bdist_wheel", "filename": name, "url": f"{self.base}files/{name}",
                 "digests": {"sha256": sha256(listed or wheel)}}
        sdist = {"packagetype": "sdist", "filename": f"yt_dlp_ejs-{version}.tar.gz",
                 "url": f"{self.base}files/x.tar.gz", "digests": {"sha256": sha256(b"")}}
        self.files[f"/pypi/yt-dlp-ejs/{version}/json"] = json.dumps({"urls": [sdist, entry]}).encode()
        self.files[f"/files/{name}"] = wheel

    def close(self) -> None:
        super().close()
        shutil.rmtree(self.root, True)
