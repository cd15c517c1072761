"""Which JavaScript runtime the download engine can use.

The engine itself decides: it marks a runtime older than its class's
MIN_SUPPORTED_VERSION unsupported and then solves no challenges with it, so a
runtime we call fine would still leave some sites without their videos. The
minimums are therefore asked of the active engine, in a child process importing
it as a download does, once per engine (its sys_path), and again after every
switch. Engines from before the engine said (no yt_dlp.utils._jsruntime) get the
minimums of the first engines that stopped taking older ones.
"""

import json
import os
import platform
import re
import shutil
import subprocess
import sys
import threading
import traceback
from typing import Any

from .engines import Engine, Engines
from .log import say, say_lines

# For engines too old to name their own minimums.
FALLBACK: dict[str, tuple[int, ...]] = {"deno": (2, 3, 0), "node": (22, 0, 0)}
# The engine's class for each runtime we offer it, and the runtime's name on the page.
CLASSES = {"deno": "DenoJsRuntime", "node": "NodeJsRuntime"}
NAMES = {"deno": "deno", "node": "Node.js"}

# Run with the engine's entries first on sys.path; prints the minimum version of each of the
# engine's runtime classes, or null when the engine is too old to have them. An engine whose
# entries do not import would leave the bundled one answering: that is a failure.
_ASK = r"""
import json, os, sys
entries = json.loads(sys.argv[1])
sys.path[:0] = entries
import yt_dlp
origin = os.path.abspath(yt_dlp.__file__)
if entries and not origin.startswith(os.path.abspath(entries[0]) + os.sep):
    sys.exit("yt_dlp was imported from " + origin)
try:
    import yt_dlp.utils._jsruntime as jsr
except ModuleNotFoundError as e:
    if e.name != "yt_dlp.utils._jsruntime":
        raise
    print("\nnull")
else:
    print("\n" + json.dumps({n: list(c.MIN_SUPPORTED_VERSION) for n, c in vars(jsr).items()
                             if isinstance(c, type) and isinstance(getattr(c, "MIN_SUPPORTED_VERSION", None), tuple)}))
"""

_SEARCHING = "正在查找 JavaScript 运行环境"


def runtime_version(path: str) -> tuple[int, ...] | None:
    """The version a JavaScript runtime prints for --version, None if it does not run in time."""
    try:
        out = subprocess.run([path, "--version"], capture_output=True, text=True, timeout=10,
                             stdin=subprocess.DEVNULL, check=False).stdout
    except (OSError, subprocess.TimeoutExpired):
        return None
    m = re.search(r"(?:^deno |^v)([0-9]+)\.([0-9]+)\.([0-9]+)", out.strip(), re.M)
    return tuple(int(g) for g in m.groups()) if m else None


def deno_asset() -> str | None:
    """The name of deno's release zip for this machine, None where deno publishes none."""
    machine = platform.machine().lower()
    arch = {"x86_64": "x86_64", "amd64": "x86_64", "aarch64": "aarch64", "arm64": "aarch64"}.get(machine)
    system = {"Linux": "unknown-linux-gnu", "Darwin": "apple-darwin"}.get(platform.system())
    return f"deno-{arch}-{system}.zip" if arch and system else None


def shown(version: tuple[int, ...]) -> str:
    return ".".join(map(str, version))


def needed(version: tuple[int, ...]) -> str:
    """A minimum as people say it: (22, 0, 0) is 22, (2, 3, 0) is 2.3."""
    parts = list(version)
    while len(parts) > 1 and parts[-1] == 0:
        parts.pop()
    return shown(tuple(parts))


def parse_minimums(value: Any) -> dict[str, tuple[int, ...]] | None:
    """The runtimes we offer and their minimums from an engine's class -> version report;
    None (too old to say) stays None. Raises ValueError for anything else."""
    if value is None:
        return None
    if not isinstance(value, dict):
        raise ValueError("not a mapping")
    found = {}
    for key, cls in CLASSES.items():
        version = value.get(cls)
        if version is None:
            continue
        if not (isinstance(version, list) and version and all(isinstance(p, int) and p >= 0 for p in version)):
            raise ValueError(f"{cls}: {version!r}")
        found[key] = tuple(version)
    return found


def ask_minimums(sys_path: tuple[str, ...], cwd: str) -> dict[str, tuple[int, ...]] | None:
    """The minimums the engine with sys_path first declares; None when it is too old to say.
    Raises RuntimeError when the engine cannot be asked."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    try:
        done = subprocess.run([sys.executable, "-I", "-c", _ASK, json.dumps(list(sys_path))],
                              capture_output=True, text=True, timeout=60, env=env, cwd=cwd,
                              stdin=subprocess.DEVNULL, check=False)
    except (OSError, subprocess.TimeoutExpired) as e:
        raise RuntimeError(str(e)) from None
    lines = done.stdout.strip().splitlines()
    try:
        if done.returncode != 0 or not lines:
            raise ValueError((done.stderr.strip().splitlines() or ["没有输出"])[-1])
        return parse_minimums(json.loads(lines[-1]))
    except ValueError as e:
        raise RuntimeError(str(e)) from None


def fetched_denos(root: str) -> list[str]:
    """The deno binaries fetched into root's runtime-deno-<version> folders, newest first."""
    try:
        names = [n for n in os.listdir(root) if re.fullmatch(r"runtime-deno-[0-9]+(\.[0-9]+)*", n)]
        names.sort(key=lambda n: tuple(int(p) for p in n[len("runtime-deno-"):].split(".")), reverse=True)
    except OSError:
        return []
    return [p for p in (os.path.join(root, n, "deno") for n in names) if os.path.isfile(p)]


def decide(minimums: dict[str, tuple[int, ...]], candidates: list[tuple[str, str, str]]) -> dict[str, Any]:
    """The verdict over (runtime, path, label) candidates, tried in order: the first one at least as
    new as the engine's minimum for it is used; the ones found too old are named."""
    too_old = []
    for key, path, label in candidates:
        need = minimums.get(key)
        if need is None:
            continue
        version = runtime_version(path)
        if version is None:
            continue
        if version >= need:
            return {"name": key, "version": shown(version), "ok": True, "path": path,
                    "text": f"使用{label} {shown(version)}"}
        too_old.append(f"{label} {shown(version)} 太旧，这个下载引擎需要 {needed(need)} 或更新")
    wanted = " 或 ".join(f"{NAMES[k]} {needed(v)}" for k, v in minimums.items())
    text = "；".join([*too_old, f"没有找到这个下载引擎能用的 JavaScript 运行环境（需要 {wanted} 以上）"
                      if wanted else "这个下载引擎不使用本程序认识的 JavaScript 运行环境"])
    text += "，部分网站的视频可能无法下载。"
    if "deno" in minimums:
        text += "可以点击“获取 deno”下载 deno 的官方版本。"
    return {"name": None, "version": None, "ok": False, "path": None, "text": text}


class Runtimes:
    """The verdict for the active engine, and what the engine is told (its js_runtimes parameter)."""

    def __init__(self, engines: Engines) -> None:
        self.engines = engines
        self._lock = threading.Lock()
        # One search at a time, so that the one started after the latest switch ends last.
        self._searching = threading.Lock()
        self._pending = 0
        self._minimums: dict[tuple[str, ...], dict[str, tuple[int, ...]] | None] = {}
        self._probed: dict[str, dict[str, tuple[int, ...]] | None] = {}
        self._verdict: dict[str, Any] = {"name": None, "version": None, "ok": False, "path": None, "text": _SEARCHING}
        self._decided = False

    def status(self) -> dict[str, Any]:
        with self._lock:
            verdict = {k: self._verdict[k] for k in ("name", "version", "ok", "text")}
            verdict["searching"] = self._pending > 0 or not self._decided
        return verdict

    def probed(self, report: dict[str, Any]) -> None:
        """Keeps what a candidate engine's test import said of its minimums, for when it is switched to."""
        if "js_minimums" not in report or not isinstance(report.get("version"), str):
            return
        try:
            minimums = parse_minimums(report["js_minimums"])
        except ValueError:
            return
        with self._lock:
            self._probed[report["version"]] = minimums

    def minimums(self, engine: Engine) -> dict[str, tuple[int, ...]]:
        """The engine's minimums, asked once per engine; the fallback for engines too old to say."""
        with self._lock:
            if engine.sys_path in self._minimums:
                found = self._minimums[engine.sys_path]
                return FALLBACK if found is None else found
            probed = engine.version in self._probed
            found = self._probed.pop(engine.version, None)
        if not probed:
            try:
                found = ask_minimums(engine.sys_path, self.engines.root)
            except RuntimeError as e:
                # Not kept: the next search asks again.
                say(f"[引擎] 无法向下载引擎 {engine.version} 询问它支持的 JavaScript 运行环境：{e}")
                return FALLBACK
        with self._lock:
            self._minimums[engine.sys_path] = found
        return FALLBACK if found is None else found

    def minimum(self, key: str) -> tuple[int, ...] | None:
        """The active engine's minimum for one runtime, None when it does not use that one."""
        return self.minimums(self.engines.active()).get(key)

    def detect(self) -> dict[str, Any]:
        """Decides which runtime the active engine can use and tells the engine; logs a changed verdict."""
        with self._searching:
            engine = self.engines.active()
            minimums = self.minimums(engine)
            deno = shutil.which("deno")
            node = shutil.which("node")
            candidates = [*([("deno", deno, "系统的 deno")] if deno else []),
                          *(("deno", p, "已下载的 deno") for p in fetched_denos(self.engines.root)),
                          *([("node", node, "系统的 Node.js")] if node else [])]
            verdict = decide(minimums, candidates)
            with self._lock:
                changed = self._verdict["text"] != verdict["text"]
                self._verdict, self._decided = verdict, True
            if changed:
                say(f"[引擎] {verdict['text']}")
            self.engines.set_params({"js_runtimes": {verdict["name"]: {"path": verdict["path"]}}}
                                    if verdict["ok"] else {})
        return dict(verdict)

    def engine_changed(self) -> None:
        """Searches again for the engine now active, on a thread of its own (a rollback is a request)."""
        with self._lock:
            self._pending += 1

        def run() -> None:
            try:
                self.detect()
            except Exception:
                say_lines(traceback.format_exc().splitlines())
            finally:
                with self._lock:
                    self._pending -= 1

        threading.Thread(target=run, name="js-runtime", daemon=True).start()
