"""The user's settings, kept as JSON in data/settings.json."""

import os
import re
import threading
from pathlib import Path
from typing import Any
from urllib.parse import urlsplit

from . import browsers, cookies, extras
from .errors import UserError
from .log import say
from .model import parse_format
from .jsonfile import ABSENT, Unreadable, load, set_aside, write

# Control characters, lone surrogates and bidirectional controls have no place in a folder's path.
_BAD_PATH = re.compile("[\x00-\x1f\x7f\u202a-\u202e\u2066-\u2069\ud800-\udfff]")
_LABELS = {"download_dir": "下载文件夹", "format": "默认格式", "concurrency": "同时下载数",
           "rate_limit": "限速", "proxy": "代理", "cookies_file": "Cookies 文件",
           "cookies_browser": "从浏览器读取登录状态", "fragments": "分片并发数",
           "subtitles": "下载字幕", "subtitle_langs": "字幕语言", "embed_thumbnail": "嵌入封面",
           "embed_metadata": "嵌入元数据", "engine_channel": "更新渠道"}
# Off by default: each costs an ffmpeg pass or extra requests the user did not ask for.
EXTRAS_DEFAULTS = {**extras.NONE, "subtitle_langs": list(extras.DEFAULT_LANGS)}

MAX_CONCURRENT = 5
MAX_FRAGMENTS = 16
# From 1 KB/s to 10 GB/s; slower would look like a hung download, faster is no limit at all.
RATE_LIMITS = (1024, 10 * 1024 ** 3)
PROXY_SCHEMES = ("http", "https", "socks5", "socks5h")
# Where engine updates come from: the engine's stable releases, or its nightly builds for those who opt in.
ENGINE_CHANNELS = ("stable", "nightly")
DEFAULTS: dict[str, Any] = {"format": "best", "concurrency": 2, "rate_limit": None, "proxy": "",
                            "cookies_file": "", "cookies_browser": "", "fragments": 4, "engine_channel": "stable"}


def default_download_dir() -> str:
    """The desktop's Downloads folder: the XDG user dir when it is set, else ~/Downloads."""
    home = Path.home()
    config = os.environ.get("XDG_CONFIG_HOME") or str(home / ".config")
    try:
        with open(os.path.join(config, "user-dirs.dirs"), encoding="utf-8") as f:
            for line in f:
                line = line.strip()
                if line.startswith("XDG_DOWNLOAD_DIR="):
                    value = line.split("=", 1)[1].strip().strip('"')
                    value = value.replace("$HOME", str(home))
                    if os.path.isabs(value) and os.path.normpath(value) != str(home):
                        return os.path.normpath(value)
    except OSError:
        pass
    return str(home / "Downloads")


def _small_int(value: object) -> object:
    # Only ASCII digits: int() would take "٣" and str.isdigit() even "③".
    if isinstance(value, str) and re.fullmatch(r"[0-9]{1,15}", value.strip()):
        return int(value)
    return value


def _proxy(value: object) -> str:
    if not isinstance(value, str):
        raise UserError("代理地址的格式不正确")
    value = value.strip()
    if not value:
        return ""
    wrong = UserError("代理地址必须是 http://、https://、socks5:// 或 socks5h:// 开头的完整地址，"
                      "例如 http://127.0.0.1:7890；留空则使用系统的代理设置")
    if _BAD_PATH.search(value) or any(c.isspace() for c in value):
        raise wrong
    try:
        parts = urlsplit(value)
        port = parts.port
    except ValueError:
        raise wrong from None
    if parts.scheme.lower() not in PROXY_SCHEMES or not parts.hostname or port == 0 or parts.path not in ("", "/"):
        raise wrong
    return value


def _cookies_file(value: object, check_file: bool) -> str:
    if not isinstance(value, str) or _BAD_PATH.search(value):
        raise UserError("Cookies 文件的路径不正确")
    value = value.strip()
    if not value:
        return ""
    path = os.path.expanduser(value)
    if not os.path.isabs(path):
        raise UserError("Cookies 文件必须是完整路径，例如 /home/用户/cookies.txt")
    path = os.path.normpath(path)
    if check_file:
        if not os.path.exists(path):
            raise UserError(f"找不到 Cookies 文件 {path}，请检查路径")
        if not os.path.isfile(path):
            raise UserError(f"Cookies 文件 {path} 不是普通文件，请选择导出的 cookies.txt（Netscape 格式）")
        if not os.access(path, os.R_OK):
            raise UserError(f"没有权限读取 Cookies 文件 {path}")
        cookies.check(path)
    return path


def validate(values: dict[str, Any], current: dict[str, Any], check_files: bool = True) -> dict[str, Any]:
    """Returns a complete, checked settings dict made of current plus values.

    check_files=False skips looking for the cookies file: at start a file on an unplugged
    drive is not a reason to drop the setting; the download that needs it says so."""
    result = dict(current)
    if "download_dir" in values:
        d = values["download_dir"]
        if not isinstance(d, str) or not d.strip():
            raise UserError("下载文件夹不能为空")
        if _BAD_PATH.search(d):
            raise UserError("下载文件夹的路径里有控制字符或无效字符")
        d = os.path.expanduser(d.strip())
        if not os.path.isabs(d):
            raise UserError("下载文件夹必须是完整路径，例如 /home/用户/下载")
        d = os.path.normpath(d)
        if os.path.exists(d) and not os.path.isdir(d):
            raise UserError("下载文件夹的位置已有一个同名文件")
        result["download_dir"] = d
    if "format" in values:
        chosen = parse_format(values["format"], presets_only=True)
        if chosen is None:
            raise UserError("默认格式只能是“最佳”、“1080p”、“720p”、“480p”或“仅音频”（M4A、MP3、Opus）")
        result["format"] = chosen.value
    if "concurrency" in values:
        c = values["concurrency"]
        # Only ASCII digits: int() would take "٣" and str.isdigit() even "③".
        if isinstance(c, str) and re.fullmatch(r"[0-9]{1,3}", c.strip()):
            c = int(c)
        if not isinstance(c, int) or isinstance(c, bool) or not 1 <= c <= MAX_CONCURRENT:
            raise UserError(f"同时下载数必须是 1 到 {MAX_CONCURRENT} 之间的整数")
        result["concurrency"] = c
    if "rate_limit" in values:
        r = _small_int(values["rate_limit"])
        if r is None or r == "" or r == 0:
            r = None
        elif not isinstance(r, int) or isinstance(r, bool) or not RATE_LIMITS[0] <= r <= RATE_LIMITS[1]:
            raise UserError("限速必须在 1 KB/s 到 10 GB/s 之间，留空表示不限速")
        result["rate_limit"] = r
    if "proxy" in values:
        result["proxy"] = _proxy(values["proxy"])
    if "cookies_file" in values:
        result["cookies_file"] = _cookies_file(values["cookies_file"], check_files)
    if "cookies_browser" in values:
        result["cookies_browser"] = browsers.check(values["cookies_browser"])
    if "fragments" in values:
        f = _small_int(values["fragments"])
        if not isinstance(f, int) or isinstance(f, bool) or not 1 <= f <= MAX_FRAGMENTS:
            raise UserError(f"分片并发数必须是 1 到 {MAX_FRAGMENTS} 之间的整数")
        result["fragments"] = f
    if "engine_channel" in values:
        channel = values["engine_channel"]
        if channel not in ENGINE_CHANNELS:
            raise UserError("更新渠道只能是“稳定版”（stable）或“每日构建版”（nightly）")
        result["engine_channel"] = channel
    if any(k in values for k in extras.KEYS):
        result.update(extras.check(values, result, "默认字幕语言"))
    return result


class Settings:
    def __init__(self, data_dir: str, notices: list[str] | None = None) -> None:
        self.path = Path(data_dir) / "settings.json"
        self._lock = threading.Lock()
        self._values: dict[str, Any] = {"download_dir": default_download_dir(), **DEFAULTS, **EXTRAS_DEFAULTS}
        self._load(notices if notices is not None else [])

    def _load(self, notices: list[str]) -> None:
        try:
            stored = load(str(self.path))
        except Unreadable as e:
            self._set_aside(notices, f"设置文件无法读取（{e}），已改用默认设置")
            return
        if stored is ABSENT:
            return
        if not isinstance(stored, dict):
            self._set_aside(notices, "设置文件的内容不正确，已改用默认设置")
            return
        wrong = []
        for key in _LABELS:
            try:
                self._values = validate({key: stored[key]}, self._values, check_files=False)
            except KeyError:
                pass
            except UserError:
                wrong.append(_LABELS[key])
        if wrong:
            # Quietly reverting the download folder would send files where the user does not look.
            if self._set_aside(notices, f"设置文件中的{'、'.join(wrong)}无效，已改用默认值，请在设置中检查"):
                try:
                    self._write(self._values)
                except OSError as e:
                    say(f"[设置] 无法保存 {self.path}：{e}")

    def _set_aside(self, notices: list[str], what: str) -> bool:
        aside = set_aside(str(self.path))
        if aside:
            say(f"[设置] {what}；原文件已移到 {aside}")
            notices.append(f"{what}。原来的设置文件已保存为 {aside}。")
        else:
            say(f"[设置] {what}；无法移走 {self.path}")
            notices.append(f"{what}。原来的设置文件仍在 {self.path}，保存设置时会被替换。")
        return aside is not None

    def _write(self, values: dict[str, Any]) -> None:
        write(str(self.path), values)

    def get(self) -> dict[str, Any]:
        with self._lock:
            return dict(self._values)

    def update(self, values: object) -> dict[str, Any]:
        if not isinstance(values, dict):
            raise UserError("设置的格式不正确")
        with self._lock:
            new = validate(values, self._values)
            if new["download_dir"] != self._values["download_dir"]:
                try:
                    os.makedirs(new["download_dir"], exist_ok=True)
                except OSError:
                    raise UserError("无法创建下载文件夹：" + new["download_dir"]) from None
                if not os.access(new["download_dir"], os.W_OK | os.X_OK):
                    raise UserError("没有权限写入这个下载文件夹：" + new["download_dir"])
            try:
                self._write(new)
            except OSError as e:
                say(f"[设置] 无法保存 {self.path}：{e}")
                raise UserError(f"无法保存设置（{e.strerror or e}），设置没有改变。请检查数据文件夹 "
                                f"{self.path.parent} 的权限和磁盘空间。", 503) from None
            self._values = new
            return dict(new)
