"""From a release to the switch: finding it, fetching and verifying its files, the self-test, installing
and switching the engine record; or the same from release files the user chose."""

import hashlib
import json
import os
import re
import shutil
import tempfile
import threading
import time
import urllib.error
import urllib.request
import zipfile
from typing import Any, Callable
from urllib.parse import quote, urlsplit

from . import engine_check, engines as engines_mod, releases
from .engine_files import LIMITS, SUMS
from .engines import ENGINE_FILE, Engines, version_key
from .log import say
from .releases import RELEASES, REPOSITORIES
from .jsonfile import write as write_json
from .fetching import Failure, Fetching
from .selftest import SelfTest
from .verification import parse_sums, signature_valid

INDEX = "https://pypi.org/pypi/"
EJS = "yt-dlp-ejs"
MAX_ENGINE = LIMITS[ENGINE_FILE]
MAX_WHEEL = 16 * 1024 * 1024


def _write_file(path: str, data: bytes) -> str:
    """Writes data to path, returns its SHA-256."""
    with open(path, "wb") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())
    return hashlib.sha256(data).hexdigest()


class Pipeline(Fetching, SelfTest):
    """The updater's steps from a release to the switch; the schedule and the state are the updater's own."""

    engines: Engines
    index: str
    releases: str
    key_file: str
    _lock: threading.Lock
    _state: dict[str, Any]

    @property
    def fingerprint(self) -> str:
        """The release key's fingerprint; the updater's own."""
        raise NotImplementedError

    @property
    def _key_problem(self) -> str | None:
        """Why the release key cannot be used, if it cannot; the updater's own."""
        raise NotImplementedError

    def _save_state(self, **values: Any) -> None:
        raise NotImplementedError

    def _update(self, channel: str, active: engines_mod.Engine, manual: bool) -> str:
        """Fetches, verifies and switches to the channel's latest engine; returns what happened."""
        if self._key_problem:
            raise Failure(self._key_problem)
        opener = self._opener()
        found = self._release(opener, channel, active)
        if isinstance(found, str):
            return found
        folder, tag = found
        sums = self._fetch(opener, folder + SUMS, 1 << 20)
        signature = self._fetch(opener, folder + SUMS + ".sig", 1 << 16)
        expected = self._signed_hash(sums, signature)
        with self._lock:
            declined = self._state.get("declined")
        if declined == expected and not manual:
            return f"有新版本，但你曾从它回退，所以没有自动安装；需要时请点击“检查更新”（仍是 {active.version}）"
        return self._take(expected, active, channel, folder + ENGINE_FILE, tag,
                          lambda path: self._download(opener, folder + ENGINE_FILE, path, MAX_ENGINE))

    def _release(self, opener: urllib.request.OpenerDirector, channel: str,
                 active: engines_mod.Engine) -> tuple[str, str] | str:
        """The folder of the release to take and its tag, or why none is taken (see releases)."""
        base = self.releases or RELEASES[channel]
        with self._open(self._opener(releases.Unfollowed()), base + "latest") as answer:
            tag = releases.tag_from(base, answer.headers.get("Location") if 300 <= answer.status < 400 else None)
        if tag is None:
            raise Failure("更新服务器没有指明最新的版本")
        try:
            locks = self._fetch(opener, f"{base}download/{tag}/{releases.LOCKS_FILE}", 1 << 16).decode("utf-8", "replace")
        except Failure as f:
            if f.status != 404:
                raise
            locks = ""
        taken = releases.locked(locks, tag, releases.identifier(), REPOSITORIES[channel])
        if taken is None:
            return f"最新的下载引擎 {tag} 不支持这台电脑的 Python 或系统，没有更新（仍是 {active.version}）"
        if taken != tag:
            say(f"[引擎] 最新的下载引擎是 {tag}，这台电脑的 Python 或系统最高只能用 {taken}")
            # A lock only lowers what is taken, never below the engine that runs now.
            if version_key(taken) <= version_key(active.version):
                return f"已经是这台电脑能用的最新版本（{active.version}），更新的版本不支持这里的 Python 或系统"
        return f"{base}download/{quote(taken)}/", taken

    def _signed_hash(self, sums: bytes, signature: bytes) -> str:
        """The engine file's hash in sums, once signature proves sums come from the release key."""
        if not signature_valid(self.key_file, self.fingerprint, sums, signature):
            raise Failure("更新的校验和文件的签名验证失败，可能被篡改，已丢弃")
        expected = parse_sums(sums.decode("utf-8", "replace")).get(ENGINE_FILE)
        if not expected:
            raise Failure("签名的校验和文件里没有下载引擎的文件")
        return expected

    def _take(self, expected: str, active: engines_mod.Engine, channel: str, source: str, tag: str | None,
              obtain: Callable[[str], str]) -> str:
        """Switches to the engine file with the signed hash; obtain(path) writes it there and returns its hash."""
        have = self.engines.find(expected)
        if have:
            # The active engine, or one verified before (the one rolled back from): nothing to fetch.
            return self._switch(have, active, channel)
        incoming = tempfile.mkdtemp(prefix=".incoming-", dir=self.engines.root)
        try:
            return self._install(obtain, source, tag, expected, incoming, active, channel)
        finally:
            # Renamed into place on success; whatever is left here was not verified.
            shutil.rmtree(incoming, ignore_errors=True)

    def _import(self, files: dict[str, bytes], channel: str, active: engines_mod.Engine) -> str:
        if self._key_problem:
            raise Failure(self._key_problem)
        expected = self._signed_hash(files[SUMS], files[SUMS + ".sig"])
        return self._take(expected, active, channel, "imported", None,
                          lambda path: _write_file(path, files[ENGINE_FILE]))

    def _accepts(self, version: str, active: engines_mod.Engine, channel: str) -> bool:
        if version == active.version:
            return False
        if version_key(version) > version_key(active.version):
            return True
        # Going from nightly back to stable means an older version, and the user asked for it.
        return self.engines.current_record().get("channel", "stable") != channel

    def _switch(self, name: str, active: engines_mod.Engine, channel: str) -> str:
        version = name.rsplit("-", 1)[0]
        if not self._accepts(version, active, channel):
            return f"已经是最新版本（{active.version}）"
        engine = self.engines.switch(name)
        self.runtime.engine_changed()
        self._save_state(declined=None)
        return f"已更新到下载引擎 {engine.version}，新的下载将使用它"

    def _install(self, obtain: Callable[[str], str], source: str, tag: str | None, expected: str, incoming: str,
                 active: engines_mod.Engine, channel: str) -> str:
        path = os.path.join(incoming, ENGINE_FILE)
        if obtain(path) != expected:
            raise Failure("下载的引擎文件与签名的校验和不一致（文件不完整或被篡改），已丢弃")
        probe = self._probe([path], None)
        version = str(probe.get("version"))
        if not engines_mod._VERSION.match(version):
            raise Failure(f"新的下载引擎报告的版本号 {version[:40]} 无法识别，已丢弃")
        if tag is not None and version != tag:
            # The tag came unsigned; a lock read from it must not let another release in.
            raise Failure(f"新的下载引擎报告的版本 {version} 与发布的版本 {tag} 不一致，已丢弃")
        if not self._accepts(version, active, channel):
            return f"已经是最新版本（{active.version}）"
        lib = os.path.join(incoming, engines_mod.UNPACKED)
        try:
            engines_mod.unpack(path, lib)
        except (zipfile.BadZipFile, OSError) as e:
            raise Failure(f"新的下载引擎无法解开（{e}），已丢弃") from None
        # What downloads will import is the unpacked copy, so that is what the last check imports.
        entries = [lib]
        ejs = None
        needed = probe.get("ejs_needed")
        if isinstance(needed, str) and probe.get("ejs") != needed:
            # The file carries no companion package, or another version than it needs: the index's is
            # used, and a carried one must not come first on the path.
            shutil.rmtree(os.path.join(lib, EJS.replace("-", "_")), ignore_errors=True)
            ejs = self._fetch_ejs(self._opener(), needed, incoming)
            entries.append(os.path.join(incoming, ejs["file"]))
        final = self._probe(entries, needed)
        if final.get("version") != version:
            raise Failure("新的下载引擎两次报告的版本不一致，已丢弃")
        name = f"{version}-{expected[:12]}"
        write_json(os.path.join(incoming, "engine.json"),
                   {"version": version, "channel": channel, "sha256": expected, "source": source,
                    "installed": time.time(), "ejs": ejs,
                    "unpacked_sha256": engines_mod.tree_sha256(lib),
                    engine_check.DIGESTS: engine_check.file_digests(lib)})
        target = os.path.join(self.engines.root, name)
        if os.path.lexists(target):
            # Only a damaged copy can be there: a whole one was found before downloading.
            shutil.rmtree(target, ignore_errors=True)
        os.rename(incoming, target)
        return self._switch(name, active, channel)

    def _fetch_ejs(self, opener: urllib.request.OpenerDirector, version: str, incoming: str) -> dict[str, Any]:
        if not re.fullmatch(r"[0-9A-Za-z.+-]{1,40}", version):
            raise Failure("新的下载引擎要求的 yt-dlp-ejs 版本号无法识别，已丢弃")
        url = f"{self.index}{EJS}/{quote(version)}/json"
        try:
            info = json.loads(self._fetch(opener, url, 4 << 20))
            wheels = [u for u in info["urls"] if u.get("packagetype") == "bdist_wheel"
                      and str(u.get("filename", "")).endswith(".whl")]
            wheel = wheels[0]
            digest = str(wheel["digests"]["sha256"]).lower()
            filename = os.path.basename(str(wheel["filename"]))
            source = str(wheel["url"])
        except (ValueError, KeyError, IndexError, TypeError, AttributeError):
            raise Failure(f"软件包索引里没有 yt-dlp-ejs {version} 的安装包，已丢弃这次更新") from None
        if not re.fullmatch(r"[0-9a-f]{64}", digest):
            raise Failure("软件包索引给出的 yt-dlp-ejs 校验和无法识别，已丢弃这次更新")
        if self.index == INDEX and urlsplit(source).scheme != "https":
            raise Failure("软件包索引给出的 yt-dlp-ejs 地址不是加密连接，已丢弃这次更新")
        got = self._download(opener, source, os.path.join(incoming, filename), MAX_WHEEL)
        if got != digest:
            raise Failure("下载的 yt-dlp-ejs 与软件包索引公布的校验和不一致（文件不完整或被篡改），已丢弃")
        return {"version": version, "file": filename, "sha256": digest, "source": source}
