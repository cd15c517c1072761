"""The user's settings, kept as JSON in data/settings.json."""

import json
import os
import threading
from pathlib import Path
from typing import Any

from .errors import UserError
from .log import say
from .model import parse_format

MAX_CONCURRENT = 5


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


def validate(values: dict[str, Any], current: dict[str, Any]) -> dict[str, Any]:
    """Returns a complete, checked settings dict made of current plus values."""
    result = dict(current)
    if "download_dir" in values:
        d = values["download_dir"]
        if not isinstance(d, str) or not d.strip():
            raise UserError("下载文件夹不能为空")
        d = os.path.expanduser(d.strip())
        if not os.path.isabs(d):
            raise UserError("下载文件夹必须是完整路径，例如 /home/用户/下载")
        d = os.path.normpath(d)
        if os.path.exists(d) and not os.path.isdir(d):
            raise UserError("下载文件夹的位置已有一个同名文件")
        result["download_dir"] = d
    if "format" in values:
        chosen = parse_format(values["format"])
        if chosen is None:
            raise UserError("默认格式只能是“最佳视频”或“仅音频”")
        result["format"] = chosen.value
    if "concurrency" in values:
        c = values["concurrency"]
        if isinstance(c, str) and c.strip().isdigit():
            c = int(c)
        if not isinstance(c, int) or isinstance(c, bool) or not 1 <= c <= MAX_CONCURRENT:
            raise UserError(f"同时下载数必须是 1 到 {MAX_CONCURRENT} 之间的整数")
        result["concurrency"] = c
    return result


class Settings:
    def __init__(self, data_dir: str) -> None:
        self.path = Path(data_dir) / "settings.json"
        self._lock = threading.Lock()
        self._values: dict[str, Any] = {"download_dir": default_download_dir(), "format": "video", "concurrency": 2}
        self._load()

    def _load(self) -> None:
        try:
            with open(self.path, encoding="utf-8") as f:
                stored = json.load(f)
        except FileNotFoundError:
            return
        except (OSError, ValueError) as e:
            # A damaged file must not stop the application; keep it aside for inspection.
            say(f"[设置] 无法读取 {self.path}，使用默认设置：{e}")
            try:
                os.replace(self.path, self.path.with_suffix(".json.bad"))
            except OSError:
                pass
            return
        if not isinstance(stored, dict):
            return
        for key in ("download_dir", "format", "concurrency"):
            try:
                self._values = validate({key: stored[key]}, self._values)
            except (KeyError, UserError):
                pass

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
            tmp = self.path.with_suffix(".json.tmp")
            with open(tmp, "w", encoding="utf-8") as f:
                json.dump(new, f, ensure_ascii=False, indent=2)
                f.flush()
                os.fsync(f.fileno())
            os.replace(tmp, self.path)
            self._values = new
            return dict(new)
