"""The cookies file, checked when the settings are saved (a file that went bad later: test_ask)."""

import os

import pytest

from downloader.errors import UserError
from downloader.settings import Settings

HEADER = "# Netscape HTTP Cookie File\n"
ENTRY = "127.0.0.1\tFALSE\t/\tFALSE\t4102444800\tsession\tvalue\n"
HOW = "请用浏览器扩展以 Netscape 格式重新导出 cookies.txt。"


@pytest.mark.parametrize("text, refused", [
    (HEADER + ENTRY, None),
    ("# HTTP Cookie File\r\n" + ENTRY.replace("\n", "\r\n"), None),
    (HEADER + "#HttpOnly_" + ENTRY, None),
    # An export of no cookies is read fine.
    (HEADER, None),
    (HEADER + "# 注释\n\n" + ENTRY.replace("4102444800", ""), None),
    ('[{"domain": "127.0.0.1", "name": "session", "value": "v"}]', "“导出.txt”是 JSON 格式的 cookies"),
    ("\n  {\"cookies\": []}", "“导出.txt”是 JSON 格式的 cookies"),
    (ENTRY, "“导出.txt”不是 Netscape 格式的 cookies 文件"),
    ("", "“导出.txt”不是 Netscape 格式的 cookies 文件"),
    ("session=value; other=2", "“导出.txt”不是 Netscape 格式的 cookies 文件"),
    (HEADER + ENTRY.replace("\t", " "), "“导出.txt”里没有一条可用的 cookie"),
    (HEADER + ENTRY.replace("4102444800", "明天"), "“导出.txt”里没有一条可用的 cookie")])
def test_checked_when_saved(workdir: str, text: str, refused: str | None) -> None:
    path = os.path.join(workdir, "导出.txt")
    settings = Settings(workdir)
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write(text)
    if refused is None:
        assert settings.update({"cookies_file": path})["cookies_file"] == path
        return
    with pytest.raises(UserError) as caught:
        settings.update({"cookies_file": path})
    assert caught.value.message.startswith(refused) and caught.value.message.endswith(HOW), caught.value.message
    assert settings.get()["cookies_file"] == ""
