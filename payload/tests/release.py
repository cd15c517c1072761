"""A fake engine release on loopback for the updater's tests.

The engine file is the bundled engine zipped the way the engine's releases
are (a zipimport file with a __main__.py) with another version string; the
checksum list is signed with a throwaway key made here with gpg.
"""

import hashlib
import http.server
import io
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import zipfile


def bundled_package() -> str:
    """The payload environment's engine folder, wherever an engine imported since came from."""
    for entry in sys.path:
        folder = os.path.join(entry or os.curdir, "yt_dlp")
        if os.path.isfile(os.path.join(folder, "__init__.py")):
            return folder
    raise AssertionError("the payload's engine is not on sys.path")


def engine_zip(version: str, broken: str = "", ejs: str | None = None,
               js_minimums: dict[str, tuple[int, ...]] | None = None) -> bytes:
    """The bundled engine as a zipimport file reporting version; broken "import" makes its import
    fail, "extract" makes it find nothing on any page, "site" gives it a site at /site/ID on
    loopback whose pages it can no longer read, as after a site changed. With ejs, the engine names that version of
    the companion package as the one it needs, where newer engines do. With js_minimums
    (class name -> version, e.g. {"NodeJsRuntime": (20, 0, 0)}), the engine has the JavaScript
    runtime classes of newer engines, in yt_dlp/utils/_jsruntime.py, with those minimum versions."""
    package = bundled_package()
    buffer = io.BytesIO()
    buffer.write(b"#!/usr/bin/env python3\n")
    with zipfile.ZipFile(buffer, "a", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
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
                z.writestr(arc, data)
        if ejs:
            z.writestr("yt_dlp/extractor/youtube/jsc/__init__.py", "")
            z.writestr("yt_dlp/extractor/youtube/jsc/_builtin/__init__.py", "")
            z.writestr("yt_dlp/extractor/youtube/jsc/_builtin/vendor/__init__.py", f"VERSION = '{ejs}'\n")
        if js_minimums:
            # The engine's own values where the test names none.
            minimums: dict[str, tuple[int, ...]] = {"DenoJsRuntime": (2, 3, 0), "BunJsRuntime": (1, 2, 11),
                                                    "NodeJsRuntime": (22, 0, 0), "QuickJsRuntime": (2023, 12, 9)}
            minimums.update(js_minimums)
            z.writestr("yt_dlp/utils/_jsruntime.py", _JSRUNTIME.format(**{k: repr(v) for k, v in minimums.items()}))
        z.writestr("__main__.py", "import yt_dlp\nyt_dlp.main()\n")
    return buffer.getvalue()


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
# on this engine's helpers; the minimum versions are filled in.
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


class DenoJsRuntime(JsRuntime):
    MIN_SUPPORTED_VERSION = {DenoJsRuntime}

    def _info(self):
        return self._version_info('deno', 'deno', ['--version'], r'^deno (\\S+)')


class BunJsRuntime(JsRuntime):
    MIN_SUPPORTED_VERSION = {BunJsRuntime}

    def _info(self):
        return self._version_info('bun', 'bun', ['--version'], r'^(\\S+)')


class NodeJsRuntime(JsRuntime):
    MIN_SUPPORTED_VERSION = {NodeJsRuntime}

    def _info(self):
        return self._version_info('node', 'node', ['--version'], r'^v(\\S+)')


class QuickJsRuntime(JsRuntime):
    MIN_SUPPORTED_VERSION = {QuickJsRuntime}

    def _info(self):
        return self._version_info('quickjs', 'qjs', ['--help'], r'^QuickJS(?:-ng)?\\s+version\\s+(\\S+)')
"""


def ejs_wheel(version: str) -> bytes:
    """A companion package wheel that reports version."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as z:
        z.writestr("yt_dlp_ejs/__init__.py", f"version = '{version}'\n")
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


class ReleaseServer(http.server.ThreadingHTTPServer):
    """Serves files from a dict; "stall" paths wait longer than any test's time-out, "cut"
    paths promise their whole length and close after half of it."""

    daemon_threads = True

    def __init__(self) -> None:
        super().__init__(("127.0.0.1", 0), _Handler)
        self.files: dict[str, bytes] = {}
        self.stall: set[str] = set()
        self.cut: set[str] = set()
        self.requests: list[str] = []
        self.thread = threading.Thread(target=self.serve_forever, daemon=True)
        self.thread.start()

    @property
    def base(self) -> str:
        return f"http://127.0.0.1:{self.server_address[1]}/"

    def release(self, engine: bytes, signer: Signer, listed: bytes | None = None) -> None:
        """Publishes engine with a signed checksum list naming listed's hash (engine's by default)."""
        sums = f"{sha256(b'other')}  yt-dlp.exe\n{sha256(listed or engine)}  yt-dlp\n".encode()
        self.files = {"/SHA2-256SUMS": sums, "/SHA2-256SUMS.sig": signer.sign(sums), "/yt-dlp": engine}
        self.stall, self.cut = set(), set()

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
        self.shutdown()
        self.server_close()


class _Handler(http.server.BaseHTTPRequestHandler):
    server: ReleaseServer

    def do_GET(self) -> None:
        self.server.requests.append(self.path)
        if self.path in self.server.stall:
            time.sleep(5)
        data = self.server.files.get(self.path)
        try:
            if data is None:
                self.send_error(404)
                return
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            if self.path in self.server.cut:
                self.wfile.write(data[:len(data) // 2])
                self.wfile.flush()
                self.close_connection = True
                return
            self.wfile.write(data)
        except ConnectionError:
            # The updater gave up waiting (the time-out cases).
            self.close_connection = True

    def log_message(self, format, *args):
        pass
