"""Keeps the download engine current: the schedule of checks, their state for the page, the rollback and
fetching deno; the steps of an update are in update_pipeline.py.

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
import functools
import os
import re
import shutil
import tempfile
import threading
import time
import zipfile
from typing import Any, Callable

from .engines import Engines, age_months, version_date
from .errors import UserError
from .log import say, say_lines
from .releases import RELEASES
from .runtime import Runtimes, deno_asset, needed, runtime_version
from .settings import Settings
from .starthold import StartHold
from . import jsonfile
from .jsonfile import write as write_json
from .fetching import Failure as _Failure
from .update_pipeline import INDEX, Pipeline
from .verification import key_fingerprint

HERE = os.path.dirname(os.path.abspath(__file__))
DENO_RELEASES = "https://github.com/denoland/deno/releases/latest/download/"
RELEASE_KEY = os.path.join(HERE, "keys", "yt-dlp-release-key.asc")
RELEASE_FINGERPRINT = "AC0CBBE6848D6A873464AF4E57CF65933B5A7581"

DAY = 24 * 3600
# After a check that could not reach the server, the next try comes this much later.
RETRY = 3600
# An engine released longer ago than this is checked for at start, before downloads begin.
STALE_DAYS = 30
MAX_DENO = 256 * 1024 * 1024

_HEX64 = re.compile(r"\b([0-9a-fA-F]{64})\b")


class Updater(Pipeline):
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
        failed = self.engines.failed
        if failed and failed["version"] != active.version:
            summary = f"下载引擎 {failed['version']} 已损坏、无法载入，已改用 {active.version}"
        elif failed:
            summary = f"下载引擎 {active.version} 已损坏、无法载入，请检查更新或重新安装"
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
                "runtime_result": state.get("runtime_result"), "failed": failed}

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

    def import_files(self, files: dict[str, bytes]) -> dict[str, Any]:
        """Verifies and installs the engine file with its signed checksum list the user brought (as
        engine_files.read gives them), in the background and with the checks of a download."""
        with self._lock:
            self._begin_check()
        threading.Thread(target=self._run_check, args=(True, files), name="engine-import", daemon=True).start()
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

    # Importing files fetched elsewhere.


    # The network.

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
