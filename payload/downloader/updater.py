"""Keeps the download engine current: checks, verification, the switch and fetching deno.

An update is trusted only step by step. The release's SHA2-256SUMS must carry a
valid signature by the release key shipped with the payload (checked with gpgv);
the downloaded file must have the hash that list names; the companion package,
when the engine needs one, must have the hash the package index publishes over
TLS; and a child process must import the new engine from its file, report its
version and extract a page this server serves on loopback. Only then is the
pointer switched. Whatever fails is removed, and the reason is kept for the page.

The official addresses can be replaced for tests through ZORMAK_TEST_* variables.
The shell removes every such variable from the server's environment, and whoever
can set the server's environment can already run code as the user, so they open
nothing new.
"""

import datetime
import errno
import functools
import hashlib
import http.client
import http.server
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request
import zipfile
from typing import Any, Callable
from urllib.parse import quote, urlsplit

from . import engines as engines_mod, releases
from .engine_files import LIMITS, SUMS
from .engines import ENGINE_FILE, Engines, age_months, version_date, version_key
from .errors import UserError
from .log import say, say_lines
from .releases import RELEASES, REPOSITORIES
from .runtime import Runtimes, deno_asset, needed, runtime_version
from .settings import Settings
from .starthold import StartHold
from . import jsonfile
from .jsonfile import write as write_json

HERE = os.path.dirname(os.path.abspath(__file__))
INDEX = "https://pypi.org/pypi/"
DENO_RELEASES = "https://github.com/denoland/deno/releases/latest/download/"
RELEASE_KEY = os.path.join(HERE, "keys", "yt-dlp-release-key.asc")
RELEASE_FINGERPRINT = "AC0CBBE6848D6A873464AF4E57CF65933B5A7581"
EJS = "yt-dlp-ejs"

DAY = 24 * 3600
# After a check that could not reach the server, the next try comes this much later.
RETRY = 3600
# An engine released longer ago than this is checked for at start, before downloads begin.
STALE_DAYS = 30
MAX_ENGINE = LIMITS[ENGINE_FILE]
MAX_WHEEL = 16 * 1024 * 1024
MAX_DENO = 256 * 1024 * 1024

_HEX64 = re.compile(r"\b([0-9a-fA-F]{64})\b")

# Run in a child process with the candidate's entries first on sys.path: it must
# import the engine from those entries, name its version, the companion version
# and the JavaScript runtimes' minimum versions it needs, and, given a page,
# extract the media link from it.
_PROBE = r"""
import json, os, sys
entries, page = json.loads(sys.argv[1]), sys.argv[2]
sys.path[:0] = entries
import yt_dlp
from yt_dlp.version import __version__
origin = os.path.abspath(yt_dlp.__file__)
if not origin.startswith(os.path.abspath(entries[0]) + os.sep):
    sys.exit("yt_dlp was imported from " + origin)
out = {"version": __version__, "ejs_needed": None, "ejs": None}
try:
    from yt_dlp.extractor.youtube.jsc._builtin import vendor
    out["ejs_needed"] = str(vendor.VERSION)
except Exception:
    pass
try:
    import yt_dlp_ejs
    out["ejs"] = str(yt_dlp_ejs.version)
except Exception:
    pass
try:
    import yt_dlp.utils._jsruntime as jsr
    out["js_minimums"] = {n: list(c.MIN_SUPPORTED_VERSION) for n, c in vars(jsr).items()
                          if isinstance(c, type) and isinstance(getattr(c, "MIN_SUPPORTED_VERSION", None), tuple)}
except ModuleNotFoundError as e:
    if e.name == "yt_dlp.utils._jsruntime":
        out["js_minimums"] = None
except Exception:
    pass
if page:
    params = {"quiet": True, "no_warnings": True, "proxy": "", "socket_timeout": 10, "noplaylist": True}
    with yt_dlp.YoutubeDL(params) as ydl:
        info = ydl.extract_info(page, download=False)
    formats = info.get("formats") or [info]
    out["media"] = [f.get("url") for f in formats]
print("\n" + json.dumps(out))
"""
_PAGE = ('<!DOCTYPE html><html><head><meta charset="utf-8"><title>engine check</title></head>'
         '<body><video src="/check.mp4" type="video/mp4"></video></body></html>').encode()
_MEDIA = b"\x00\x00\x00\x18ftypmp42\x00\x00\x00\x00mp42isom" + bytes(1000)


class _Failure(Exception):
    """A check that did not lead to a switch; reason is for the page, offline ones stay quiet."""

    def __init__(self, reason: str, offline: bool = False, status: int | None = None) -> None:
        super().__init__(reason)
        self.reason = reason
        self.offline = offline
        # The HTTP status a refused request got.
        self.status = status


def parse_sums(text: str) -> dict[str, str]:
    """File name -> lower-case SHA-256 from a GNU-style list ("<hex>  <name>" or "<hex> *<name>")."""
    found = {}
    for line in text.splitlines():
        m = re.match(r"^([0-9a-fA-F]{64}) [ *](.+)$", line.strip())
        if m:
            found[m.group(2).strip()] = m.group(1).lower()
    return found


def _gpg_home() -> tempfile.TemporaryDirectory[str]:
    # A throwaway home: gpg must neither read nor change the user's own keys.
    return tempfile.TemporaryDirectory(prefix="zormak-gpg-")


def key_fingerprint(key_file: str) -> str | None:
    """The primary fingerprint of the (armored or binary) key in key_file, None if it cannot be read."""
    with _gpg_home() as home:
        try:
            out = subprocess.run(["gpg", "--homedir", home, "--batch", "--with-colons", "--show-keys", key_file],
                                 capture_output=True, text=True, timeout=30, check=False).stdout
        except (OSError, subprocess.TimeoutExpired):
            return None
    prints = [line.split(":")[9] for line in out.splitlines() if line.startswith("fpr:")]
    return prints[0].upper() if prints else None


def signature_valid(key_file: str, fingerprint: str, data: bytes, signature: bytes) -> bool:
    """Whether signature is a good detached signature of data by the key with that fingerprint."""
    with _gpg_home() as home:
        keyring = os.path.join(home, "release.gpg")
        data_file, sig_file = os.path.join(home, "data"), os.path.join(home, "data.sig")
        with open(data_file, "wb") as f:
            f.write(data)
        with open(sig_file, "wb") as f:
            f.write(signature)
        try:
            dearmor = subprocess.run(["gpg", "--homedir", home, "--batch", "--yes", "--output", keyring,
                                      "--dearmor", key_file], capture_output=True, timeout=30, check=False)
            if dearmor.returncode != 0:
                return False
            result = subprocess.run(["gpgv", "--homedir", home, "--keyring", keyring, "--status-fd", "1",
                                     sig_file, data_file], capture_output=True, text=True, timeout=30, check=False)
        except (OSError, subprocess.TimeoutExpired):
            return False
    if result.returncode != 0:
        return False
    # VALIDSIG's last field is the primary key's fingerprint, whichever subkey signed.
    return any(line.startswith("[GNUPG:] VALIDSIG ") and line.split()[-1].upper() == fingerprint
               for line in result.stdout.splitlines())


def _write_file(path: str, data: bytes) -> str:
    """Writes data to path, returns its SHA-256."""
    with open(path, "wb") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())
    return hashlib.sha256(data).hexdigest()


class _PageServer(http.server.ThreadingHTTPServer):
    """The loopback page a new engine must extract before it is used."""

    daemon_threads = True

    def __init__(self) -> None:
        super().__init__(("127.0.0.1", 0), _PageHandler)
        self.thread = threading.Thread(target=self.serve_forever, name="engine-page", daemon=True)
        self.thread.start()

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.server_address[1]}/"

    def close(self) -> None:
        self.shutdown()
        self.server_close()


class _PageHandler(http.server.BaseHTTPRequestHandler):
    def do_GET(self) -> None:
        body, kind = (_PAGE, "text/html; charset=utf-8") if self.path == "/" else (_MEDIA, "video/mp4")
        if self.path not in ("/", "/check.mp4"):
            self.send_error(404)
            return
        self.send_response(200)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_HEAD(self) -> None:
        self.send_response(200 if self.path in ("/", "/check.mp4") else 404)
        self.end_headers()

    def log_message(self, format: str, *args: Any) -> None:
        pass


class Updater:
    def __init__(self, engines: Engines, settings: Settings, busy: Callable[[], bool]) -> None:
        self.engines = engines
        self.settings = settings
        self.busy = busy
        # Seconds without progress before a request is given up; the schedule's pace.
        self.timeout = 30.0
        self.first_delay = 60.0
        self.interval = 600.0
        # How long downloads wait at most for the check at start.
        self.hold_limit = 60.0
        env = os.environ
        self.releases = env.get("ZORMAK_TEST_ENGINE_RELEASES") or ""
        self.index = env.get("ZORMAK_TEST_ENGINE_INDEX") or INDEX
        self.deno_releases = env.get("ZORMAK_TEST_DENO_RELEASES") or DENO_RELEASES
        self.key_file = env.get("ZORMAK_TEST_ENGINE_KEY") or RELEASE_KEY
        for name in ("ZORMAK_TEST_ENGINE_RELEASES", "ZORMAK_TEST_ENGINE_KEY", "ZORMAK_TEST_ENGINE_INDEX",
                     "ZORMAK_TEST_DENO_RELEASES"):
            if env.get(name):
                say(f"[引擎] 测试用的 {name} 已设置：{env[name]}")
        self.state_path = os.path.join(engines.root, "state.json")
        self._lock = threading.Lock()
        self._checking = False
        self._fetching = False
        self._wake = threading.Event()
        self._state = self._load_state()
        self.runtime = Runtimes(engines)
        # Decided now, before the queue restores its jobs, so that they wait for it too.
        self.hold = StartHold()
        self._check_at_start = self.stale() and self.due()
        if self._check_at_start:
            self.hold.begin()

    # The pinned key, the state of checks.

    @functools.cached_property
    def _key(self) -> tuple[str, str | None]:
        # Read on the schedule's thread (gpg takes a moment), not while the server starts.
        return self._check_key()

    @property
    def fingerprint(self) -> str:
        return self._key[0]

    @property
    def _key_problem(self) -> str | None:
        return self._key[1]

    def _check_key(self) -> tuple[str, str | None]:
        found = key_fingerprint(self.key_file)
        if found is None:
            say(f"[引擎] 无法读取发布签名密钥 {self.key_file}（需要 gpg）")
            return "", "无法读取下载引擎的发布签名密钥（需要系统安装 gpg 和 gpgv），所以不能验证和安装更新"
        if self.key_file == RELEASE_KEY and found != RELEASE_FINGERPRINT:
            say(f"[引擎] 发布签名密钥的指纹 {found} 不正确")
            return "", "自带的发布签名密钥与预期的指纹不符，所以不能验证和安装更新，请重新安装本程序"
        return found, None

    def _load_state(self) -> dict[str, Any]:
        try:
            stored = jsonfile.load(self.state_path)
        except jsonfile.Unreadable as e:
            say(f"[引擎] 检查记录 {self.state_path} 无法读取（{e}），将重新检查")
            return {}
        return stored if isinstance(stored, dict) else {}

    def _save_state(self, **values: Any) -> None:
        with self._lock:
            self._state.update(values)
            state = dict(self._state)
        try:
            write_json(self.state_path, state)
        except OSError as e:
            say(f"[引擎] 无法保存检查记录 {self.state_path}：{e.strerror or e}")

    def due(self, now: float | None = None) -> bool:
        """Whether the daily check should run now: a day after the last one, an hour after an offline try."""
        now = time.time() if now is None else now
        with self._lock:
            last, attempt = self._state.get("last_check"), self._state.get("last_attempt")
        # A time in the future means the clock was set back: the record says nothing then.
        if isinstance(last, (int, float)) and 0 <= now - last < DAY:
            return False
        if isinstance(attempt, (int, float)) and 0 <= now - attempt < RETRY:
            return False
        return True

    def stale(self, today: datetime.date | None = None) -> bool:
        """Whether the active engine was released more than STALE_DAYS ago; one without a date is not."""
        released = version_date(self.engines.active().version)
        today = today or datetime.date.today()
        return released is not None and (today - released).days > STALE_DAYS

    # What the page shows.

    def status(self) -> dict[str, Any]:
        active = self.engines.active()
        previous = self.engines.previous()
        age = age_months(active.version)
        if age is None:
            summary = f"下载引擎 {active.version}"
        elif age < 1:
            summary = f"下载引擎 {active.version}，是最新的"
        else:
            summary = f"下载引擎 {active.version}，已经 {age} 个月没更新"
        with self._lock:
            state = dict(self._state)
            checking, fetching = self._checking, self._fetching
        runtime = self.runtime.status()
        return {"version": active.version, "bundled": active.folder is None, "age_months": age,
                "summary": summary, "channel": self._channel(),
                "last_check": state.get("last_attempt"), "last_result": state.get("last_result"),
                "last_ok": state.get("last_ok"), "checking": checking,
                "previous": previous.version if previous else None,
                "runtime": runtime, "runtime_fetching": fetching,
                "runtime_result": state.get("runtime_result")}

    def _channel(self) -> str:
        channel = self.settings.get().get("engine_channel")
        return channel if channel in RELEASES else "stable"

    # The schedule and the buttons.

    def start(self) -> None:
        if self._check_at_start:
            self.hold.limit(self.hold_limit)
        threading.Thread(target=self._schedule, name="engine-updates", daemon=True).start()

    def _schedule(self) -> None:
        try:
            _ = self._key  # the pinned key is checked before any request
            self.detect_runtime()
            # An old engine is brought up to date before the first downloads, unless something
            # already uses the engine; then the day's check comes as usual.
            if self._check_at_start and self._try_begin():
                self._run_check(manual=False)
        finally:
            # However the check ended (offline, failed, switched), downloads go now.
            self.hold.end()
        self._wake.wait(self.first_delay)
        while True:
            if self.due() and self._try_begin():
                self._run_check(manual=False)
            self._wake.wait(self.interval)

    def _begin_check(self) -> None:
        if self._checking:
            raise UserError("正在检查更新，请稍候", 409)
        if self.busy():
            raise UserError("正在下载时不会更新下载引擎，请等下载结束后再检查更新", 409)
        self._checking = True

    def _try_begin(self) -> bool:
        with self._lock:
            try:
                self._begin_check()
            except UserError:
                return False
            return True

    def check(self) -> dict[str, Any]:
        with self._lock:
            self._begin_check()
        threading.Thread(target=self._run_check, args=(True,), name="engine-check", daemon=True).start()
        return self.status()

    def rollback(self) -> dict[str, Any]:
        with self._lock:
            if self._checking:
                raise UserError("正在检查更新，请等检查结束后再回退", 409)
            leaving = self.engines.current_record().get("sha256")
            engine = self.engines.rollback()
            if engine is None:
                raise UserError("没有可以回退的上一个版本", 409)
            # The daily check must not quietly bring back the release the user just left.
            self._state["declined"] = leaving
        self.runtime.engine_changed()
        self._save_state()
        say(f"[引擎] 已回退到下载引擎 {engine.version}")
        return self.status()

    # One check.

    def _run_check(self, manual: bool, imported: dict[str, bytes] | None = None) -> None:
        channel = self._channel()
        active = self.engines.active()
        # The daily check logs only its outcome: offline, that is one quiet line.
        if imported is not None:
            say(f"[引擎] 正在验证导入的下载引擎文件，当前是 {active.version}")
        elif manual:
            say(f"[引擎] 正在检查更新（{'稳定版' if channel == 'stable' else '每日构建版'}），当前是 {active.version}")
        try:
            try:
                if imported is None:
                    result = self._update(channel, active, manual)
                else:
                    result = self._import(imported, channel, active)
            except _Failure:
                raise
            except Exception:
                import traceback
                say_lines(traceback.format_exc().splitlines())
                raise _Failure("检查更新时出现内部错误，详情见日志")
            say(f"[引擎] {result}")
            # An import says nothing about the release server: the daily check keeps its time.
            now = {} if imported is not None else {"last_check": time.time(), "last_attempt": time.time()}
            self._save_state(**now, last_result=result, last_ok=True)
        except _Failure as f:
            text = f"{f.reason}。仍在使用下载引擎 {active.version}，下载不受影响。"
            say(f"[引擎] {text}")
            values: dict[str, Any] = {"last_result": text, "last_ok": False}
            if imported is None:
                values["last_attempt"] = time.time()
                if not f.offline:
                    values["last_check"] = values["last_attempt"]
            self._save_state(**values)
        finally:
            with self._lock:
                self._checking = False

    def _update(self, channel: str, active: engines_mod.Engine, manual: bool) -> str:
        """Fetches, verifies and switches to the channel's latest engine; returns what happened."""
        if self._key_problem:
            raise _Failure(self._key_problem)
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
            raise _Failure("更新服务器没有指明最新的版本")
        try:
            spec = self._fetch(opener, f"{base}download/{tag}/{releases.SPEC}", 1 << 16).decode("utf-8", "replace")
        except _Failure as f:
            if f.status != 404:
                raise
            spec = ""
        taken = releases.locked(spec, tag, releases.identifier(), REPOSITORIES[channel])
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
            raise _Failure("更新的校验和文件的签名验证失败，可能被篡改，已丢弃")
        expected = parse_sums(sums.decode("utf-8", "replace")).get(ENGINE_FILE)
        if not expected:
            raise _Failure("签名的校验和文件里没有下载引擎的文件")
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

    # Importing files fetched elsewhere.

    def import_files(self, files: dict[str, bytes]) -> dict[str, Any]:
        """Verifies and installs the engine file with its signed checksum list the user brought (as
        engine_files.read gives them), in the background and with the checks of a download."""
        with self._lock:
            self._begin_check()
        threading.Thread(target=self._run_check, args=(True, files), name="engine-import", daemon=True).start()
        return self.status()

    def _import(self, files: dict[str, bytes], channel: str, active: engines_mod.Engine) -> str:
        if self._key_problem:
            raise _Failure(self._key_problem)
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
            raise _Failure("下载的引擎文件与签名的校验和不一致（文件不完整或被篡改），已丢弃")
        probe = self._probe([path], None)
        version = str(probe.get("version"))
        if not engines_mod._VERSION.match(version):
            raise _Failure(f"新的下载引擎报告的版本号 {version[:40]} 无法识别，已丢弃")
        if tag is not None and version != tag:
            # The tag came unsigned; a lock read from it must not let another release in.
            raise _Failure(f"新的下载引擎报告的版本 {version} 与发布的版本 {tag} 不一致，已丢弃")
        if not self._accepts(version, active, channel):
            return f"已经是最新版本（{active.version}）"
        lib = os.path.join(incoming, engines_mod.UNPACKED)
        try:
            engines_mod.unpack(path, lib)
        except (zipfile.BadZipFile, OSError) as e:
            raise _Failure(f"新的下载引擎无法解开（{e}），已丢弃") from None
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
            raise _Failure("新的下载引擎两次报告的版本不一致，已丢弃")
        name = f"{version}-{expected[:12]}"
        write_json(os.path.join(incoming, "engine.json"),
                   {"version": version, "channel": channel, "sha256": expected, "source": source,
                    "installed": time.time(), "ejs": ejs,
                    "unpacked_sha256": engines_mod.tree_sha256(lib)})
        target = os.path.join(self.engines.root, name)
        if os.path.lexists(target):
            # Only a damaged copy can be there: a whole one was found before downloading.
            shutil.rmtree(target, ignore_errors=True)
        os.rename(incoming, target)
        return self._switch(name, active, channel)

    def _fetch_ejs(self, opener: urllib.request.OpenerDirector, version: str, incoming: str) -> dict[str, Any]:
        if not re.fullmatch(r"[0-9A-Za-z.+-]{1,40}", version):
            raise _Failure("新的下载引擎要求的 yt-dlp-ejs 版本号无法识别，已丢弃")
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
            raise _Failure(f"软件包索引里没有 yt-dlp-ejs {version} 的安装包，已丢弃这次更新") from None
        if not re.fullmatch(r"[0-9a-f]{64}", digest):
            raise _Failure("软件包索引给出的 yt-dlp-ejs 校验和无法识别，已丢弃这次更新")
        if self.index == INDEX and urlsplit(source).scheme != "https":
            raise _Failure("软件包索引给出的 yt-dlp-ejs 地址不是加密连接，已丢弃这次更新")
        got = self._download(opener, source, os.path.join(incoming, filename), MAX_WHEEL)
        if got != digest:
            raise _Failure("下载的 yt-dlp-ejs 与软件包索引公布的校验和不一致（文件不完整或被篡改），已丢弃")
        return {"version": version, "file": filename, "sha256": digest, "source": source}

    def _probe(self, entries: list[str], ejs: str | None) -> dict[str, Any]:
        """Imports the candidate in a child process, which must extract the loopback page and,
        with ejs set, load that version of the companion package."""
        page = _PageServer()
        try:
            env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
            try:
                done = subprocess.run([sys.executable, "-I", "-c", _PROBE, json.dumps(entries), page.url],
                                      capture_output=True, text=True, timeout=120, env=env,
                                      cwd=os.path.dirname(entries[0]), stdin=subprocess.DEVNULL, check=False)
            except subprocess.TimeoutExpired:
                raise _Failure("新的下载引擎在两分钟内没有完成自检，已丢弃") from None
        finally:
            page.close()
        lines = done.stdout.strip().splitlines()
        try:
            out = json.loads(lines[-1]) if done.returncode == 0 and lines else None
        except ValueError:
            out = None
        if not isinstance(out, dict):
            detail = (done.stderr.strip().splitlines() or ["没有输出"])[-1]
            say(f"[引擎] 新的下载引擎自检失败：{detail}")
            raise _Failure(f"新的下载引擎无法运行（{detail[:120]}），已丢弃")
        media = out.get("media") or []
        if not any(isinstance(u, str) and u == page.url + "check.mp4" for u in media):
            raise _Failure("新的下载引擎没能从测试网页中找到视频，已丢弃")
        if ejs and out.get("ejs") != ejs:
            raise _Failure(f"新的下载引擎需要 yt-dlp-ejs {ejs}，但无法载入它，已丢弃")
        self.runtime.probed(out)
        return out

    # The network.

    def _opener(self, *handlers: urllib.request.BaseHandler) -> urllib.request.OpenerDirector:
        proxy = str(self.settings.get().get("proxy") or "")
        if proxy:
            if urlsplit(proxy).scheme.lower().startswith("socks"):
                raise _Failure("检查更新暂不能经过 SOCKS 代理，请在设置中改用 http:// 代理，或清空代理以使用系统的代理设置")
            return urllib.request.build_opener(urllib.request.ProxyHandler({"http": proxy, "https": proxy}), *handlers)
        # The environment's proxy (http_proxy, https_proxy, no_proxy).
        return urllib.request.build_opener(urllib.request.ProxyHandler(), *handlers)

    def _open(self, opener: urllib.request.OpenerDirector, url: str) -> http.client.HTTPResponse:
        request = urllib.request.Request(url, headers={"User-Agent": "zormak-engine-updater"})
        try:
            return opener.open(request, timeout=self.timeout)
        except urllib.error.HTTPError as e:
            e.close()
            name = os.path.basename(urlsplit(url).path)
            if e.code == 404:
                raise _Failure(f"更新服务器上找不到 {name}（HTTP 404）", status=404) from None
            raise _Failure(f"更新服务器拒绝了 {name} 的请求（HTTP {e.code}）", status=e.code) from None
        except urllib.error.URLError as e:
            raise self._network_failure(e.reason) from None
        except (OSError, http.client.HTTPException) as e:
            raise self._network_failure(e) from None

    def _network_failure(self, e: object) -> _Failure:
        if isinstance(e, (socket.timeout, TimeoutError)):
            return _Failure(f"连接更新服务器超时（{self.timeout:g} 秒没有回应）")
        if isinstance(e, (ConnectionRefusedError, socket.gaierror)) or (isinstance(e, OSError) and e.errno in (
                errno.ENETUNREACH, errno.EHOSTUNREACH, errno.ENETDOWN, errno.EHOSTDOWN)):
            return _Failure("无法连接到更新服务器（可能没有联网），稍后会再试", offline=True)
        if isinstance(e, OSError) and e.errno in (errno.ENOSPC, errno.EDQUOT):
            return _Failure("磁盘空间不足，无法保存新的下载引擎")
        if isinstance(e, http.client.IncompleteRead):
            return _Failure("下载中断，文件不完整，已丢弃")
        if isinstance(e, ConnectionError):
            return _Failure("与更新服务器的连接中断，文件不完整，已丢弃")
        return _Failure(f"无法连接到更新服务器（{e}）")

    def _fetch(self, opener: urllib.request.OpenerDirector, url: str, limit: int) -> bytes:
        with self._open(opener, url) as response:
            try:
                data = response.read(limit + 1)
            except (OSError, http.client.HTTPException) as e:
                raise self._network_failure(e) from None
        if len(data) > limit:
            raise _Failure(f"更新服务器上的 {os.path.basename(urlsplit(url).path)} 大得不正常，已丢弃")
        return data

    def _download(self, opener: urllib.request.OpenerDirector, url: str, path: str, limit: int) -> str:
        """Writes url to path, returns the SHA-256 of what arrived."""
        import hashlib
        digest = hashlib.sha256()
        size = 0
        with self._open(opener, url) as response, open(path, "wb") as f:
            try:
                while chunk := response.read(1 << 16):
                    size += len(chunk)
                    if size > limit:
                        raise _Failure(f"{os.path.basename(path)} 大得不正常，已丢弃")
                    digest.update(chunk)
                    f.write(chunk)
            except (OSError, http.client.HTTPException) as e:
                raise self._network_failure(e) from None
            f.flush()
            os.fsync(f.fileno())
        return digest.hexdigest()

    # The JavaScript runtime.

    def detect_runtime(self) -> dict[str, Any]:
        """Decides which JavaScript runtime the active engine can use and tells the engine."""
        return self.runtime.detect()

    def fetch_runtime(self) -> dict[str, Any]:
        # The same verdict the page shows: deno is offered exactly when no runtime the engine takes was found.
        runtime = self.runtime.status()
        if runtime["searching"]:
            raise UserError("正在查找 JavaScript 运行环境，请稍候", 409)
        if runtime["ok"]:
            raise UserError(f"已经有这个下载引擎能用的 JavaScript 运行环境（{runtime['text']}），不需要获取 deno", 409)
        with self._lock:
            if self._fetching:
                raise UserError("正在获取 deno，请稍候", 409)
            self._fetching = True
        threading.Thread(target=self._run_fetch, name="deno-fetch", daemon=True).start()
        return self.status()

    def _run_fetch(self) -> None:
        incoming: str | None = None
        try:
            asset = deno_asset()
            if asset is None:
                raise _Failure("deno 没有为这台电脑的系统提供官方版本")
            opener = self._opener()
            published = _HEX64.search(self._fetch(opener, self.deno_releases + asset + ".sha256sum",
                                                  1 << 16).decode("utf-8", "replace"))
            if not published:
                raise _Failure("deno 的发布页没有给出可识别的校验和")
            incoming = tempfile.mkdtemp(prefix=".incoming-", dir=self.engines.root)
            archive = os.path.join(incoming, asset)
            if self._download(opener, self.deno_releases + asset, archive, MAX_DENO) != published.group(1).lower():
                raise _Failure("下载的 deno 与发布页公布的校验和不一致（文件不完整或被篡改），已丢弃")
            binary = os.path.join(incoming, "deno")
            try:
                with zipfile.ZipFile(archive) as z, z.open("deno") as src, open(binary, "wb") as dst:
                    shutil.copyfileobj(src, dst)
            except (zipfile.BadZipFile, KeyError, OSError) as e:
                raise _Failure(f"deno 的压缩包无法解开（{e}），已丢弃") from None
            os.unlink(archive)
            os.chmod(binary, 0o755)
            version = runtime_version(binary)
            if version is None:
                raise _Failure("下载的 deno 无法运行，已丢弃")
            shown = ".".join(map(str, version))
            need = self.runtime.minimum("deno")
            if need is None:
                raise _Failure("这个下载引擎不使用 deno，已丢弃下载的 deno")
            if version < need:
                raise _Failure(f"下载的 deno {shown} 太旧，这个下载引擎需要 {needed(need)} 或更新，已丢弃")
            target = os.path.join(self.engines.root, f"runtime-deno-{shown}")
            shutil.rmtree(target, ignore_errors=True)
            os.rename(incoming, target)
            incoming = None
            self.detect_runtime()
            text = f"已获取 deno {shown}"
            say(f"[引擎] {text}")
            self._save_state(runtime_result=text)
        except _Failure as f:
            # The reasons speak of the engine's update server and of trying again by itself;
            # deno comes from its own, and only the button tries again.
            reason = f.reason.replace("更新服务器", "deno 的发布服务器").replace("，稍后会再试", "")
            text = f"{reason}。" + ("联网后可以再点击“获取 deno”。" if f.offline else "")
            say(f"[引擎] 获取 deno 失败：{reason}")
            self._save_state(runtime_result=text)
        except Exception:
            import traceback
            say_lines(traceback.format_exc().splitlines())
            self._save_state(runtime_result="获取 deno 时出现内部错误，详情见日志。")
        finally:
            if incoming:
                shutil.rmtree(incoming, ignore_errors=True)
            with self._lock:
                self._fetching = False
