"""The user's browsers whose sign-ins the engine may read: Firefox profiles and the Chromium family's.

Only found and named here; the engine reads them itself when a call starts
(its cookiesfrombrowser option), from a copy of the cookie database, so a
running browser that holds its database locked is no obstacle and nothing of
the browser is ever written. Chromium's cookies are encrypted with a key in
the desktop's keyring, which the engine reaches through secretstorage.
"""

import configparser
import os
from pathlib import Path
from typing import Any

from .errors import UserError

# The engine's name for each Chromium browser, with its folder under the XDG config home.
CHROMIUM = {"chrome": ("Google Chrome", "google-chrome"), "chromium": ("Chromium", "chromium"),
            "brave": ("Brave", "BraveSoftware/Brave-Browser"), "edge": ("Microsoft Edge", "microsoft-edge"),
            "opera": ("Opera", "opera"), "vivaldi": ("Vivaldi", "vivaldi")}
# Where Firefox keeps profiles.ini: the usual folder, the XDG one of newer releases, Flatpak and Snap.
FIREFOX_ROOTS = (".mozilla/firefox", ".config/mozilla/firefox", ".var/app/org.mozilla.firefox/.mozilla/firefox",
                 "snap/firefox/common/.mozilla/firefox")


def _config_home() -> Path:
    value = os.environ.get("XDG_CONFIG_HOME", "")
    return Path(value) if os.path.isabs(value) else Path.home() / ".config"


def _firefox() -> list[dict[str, str]]:
    found = []
    for root in (Path.home() / r for r in FIREFOX_ROOTS):
        ini = configparser.RawConfigParser()
        try:
            ini.read(root / "profiles.ini", encoding="utf-8")
        except (configparser.Error, UnicodeDecodeError, OSError):
            continue
        for section in ini.sections():
            if not section.startswith("Profile") or not ini.has_option(section, "Path"):
                continue
            path = ini.get(section, "Path")
            folder = root / path if ini.get(section, "IsRelative", fallback="1") == "1" else Path(path)
            if (folder / "cookies.sqlite").is_file():
                found.append({"id": f"firefox:{folder}", "browser": "Firefox",
                              "profile": ini.get(section, "Name", fallback=folder.name)})
    return found


def _chromium() -> list[dict[str, str]]:
    found = []
    for name, (label, sub) in CHROMIUM.items():
        base = _config_home() / sub
        try:
            folders = sorted(p for p in base.iterdir() if p.name == "Default" or p.name.startswith("Profile "))
        except OSError:
            continue
        for folder in folders:
            if (folder / "Cookies").is_file() or (folder / "Network" / "Cookies").is_file():
                found.append({"id": f"{name}:{folder}", "browser": label, "profile": folder.name})
    return found


def found() -> list[dict[str, str]]:
    """The browser profiles that hold cookies, each with the id the setting takes."""
    return _firefox() + _chromium()


def check(value: object) -> str:
    """The setting's value: "" for none, or "browser:profile folder" as found() gives it."""
    if value in (None, ""):
        return ""
    if not isinstance(value, str) or ":" not in value:
        raise UserError("浏览器的选择不正确")
    name, folder = value.split(":", 1)
    if name not in ("firefox", *CHROMIUM) or not os.path.isabs(folder) or any(c in folder for c in "\x00\n\r"):
        raise UserError("浏览器的选择不正确")
    return value


def engine_option(value: str) -> dict[str, Any]:
    """The engine's option for the chosen profile; a profile that is gone is said so in words."""
    if not value:
        return {}
    name, folder = value.split(":", 1)
    if not os.path.isdir(folder):
        raise UserError(f"找不到所选浏览器的资料文件夹 {folder}。请在“设置”里重新选择“从浏览器读取登录状态”。")
    return {"cookiesfrombrowser": (name, folder, None, None)}
