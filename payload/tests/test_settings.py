"""The stored and the submitted settings: a wrong value is named and refused alone, the others kept."""

import os
from typing import Any

import pytest

from support import write_json

from downloader.errors import UserError
from downloader.settings import Settings


@pytest.fixture
def folder(workdir: str) -> str:
    """A data folder that also holds an exported cookies file."""
    with open(os.path.join(workdir, "cookies.txt"), "w", encoding="utf-8") as f:
        f.write("# Netscape HTTP Cookie File\n")
    return workdir


def stored(folder: str, values: dict[str, Any]) -> tuple[dict[str, Any], list[str]]:
    write_json(os.path.join(folder, "settings.json"), values)
    notices: list[str] = []
    return Settings(folder, notices).get(), notices


def good(folder: str) -> dict[str, Any]:
    return {"download_dir": folder, "format": "720p", "concurrency": 3, "rate_limit": 2048,
            "proxy": "socks5h://127.0.0.1:1080", "cookies_file": os.path.join(folder, "cookies.txt"),
            "fragments": 8, "subtitles": "beside", "subtitle_langs": ["ja"], "embed_thumbnail": True,
            "embed_metadata": True}


def test_good_stored_values_are_kept_and_old_formats_keep_their_meaning(folder: str) -> None:
    values, notices = stored(folder, good(folder))
    assert ({k: values[k] for k in good(folder)}, notices) == (good(folder), [])
    # Written before the presets.
    assert stored(folder, {"format": "audio"})[0]["format"] == "audio:mp3"
    assert stored(folder, {"format": "video"})[0]["format"] == "best"


@pytest.mark.parametrize("key, bad, label, default", [
    ("format", "8k", "默认格式", "best"),
    ("rate_limit", "fast", "限速", None),
    ("rate_limit", 10, "限速", None),
    ("proxy", "ftp://127.0.0.1:21", "代理", ""),
    ("proxy", 8080, "代理", ""),
    ("cookies_file", "cookies.txt", "Cookies 文件", ""),
    ("fragments", 0, "分片并发数", 4),
    ("fragments", 17, "分片并发数", 4),
    ("fragments", True, "分片并发数", 4),
    ("subtitles", 5, "下载字幕", "off"),
    ("embed_metadata", "yes", "嵌入元数据", False)])
def test_a_wrong_stored_value_falls_back_alone(folder: str, key: str, bad: Any, label: str, default: Any) -> None:
    values, notices = stored(folder, {**good(folder), key: bad})
    assert {k: values[k] for k in good(folder)} == {**good(folder), key: default}
    assert len(notices) == 1 and f"设置文件中的{label}无效" in notices[0], notices


@pytest.mark.parametrize("values, expected", [
    ({"subtitles": "embed"}, {"subtitles": "embed"}),
    ({"subtitle_langs": "zh-Hans, en，ja"}, {"subtitle_langs": ["zh-Hans", "en", "ja"]}),
    ({"subtitle_langs": ["en", "en"]}, {"subtitle_langs": ["en"]}),
    ({"subtitle_langs": []}, {"subtitle_langs": []}),
    ({"embed_thumbnail": False, "embed_metadata": False}, {"embed_thumbnail": False, "embed_metadata": False}),
    ({"engine_channel": "nightly"}, {"engine_channel": "nightly"}),
    ({"rate_limit": "1048576", "proxy": " https://proxy.example:8443 ", "fragments": "16", "format": "audio:opus"},
     {"rate_limit": 1048576, "proxy": "https://proxy.example:8443", "fragments": 16, "format": "audio:opus"}),
    ({"rate_limit": "", "proxy": ""}, {"rate_limit": None, "proxy": ""}),
    ({"cookies_file": "other.txt"}, {"cookies_file": "other.txt"}),
    ({"subtitles": "all"}, "下载字幕只能是"),
    ({"subtitles": True}, "下载字幕只能是"),
    # The engine reads languages as patterns: "all" or ".*" would fetch every translation.
    ({"subtitle_langs": ["all"]}, "不是有效的语言代码"),
    ({"subtitle_langs": [".*"]}, "不是有效的语言代码"),
    ({"subtitle_langs": ["en", 3]}, "必须是语言代码的列表"),
    ({"subtitle_langs": ["x" + chr(97 + i // 26) + chr(97 + i % 26) for i in range(21)]}, "最多 20 种"),
    ({"embed_thumbnail": "yes"}, "嵌入封面"),
    ({"embed_metadata": 1}, "嵌入元数据"),
    ({"engine_channel": "beta"}, "更新渠道"), ({"engine_channel": ""}, "更新渠道"),
    ({"engine_channel": None}, "更新渠道"), ({"engine_channel": ["nightly"]}, "更新渠道"),
    ({"proxy": "socks4://127.0.0.1:1080"}, "代理地址必须是"),
    ({"proxy": "http://"}, "代理地址必须是"),
    ({"proxy": "http://127.0.0.1:99999"}, "代理地址必须是"),
    ({"cookies_file": "missing.txt"}, "找不到 Cookies 文件"),
    ({"cookies_file": "."}, "不是普通文件"),
    ({"fragments": "16.5"}, "分片并发数必须是 1 到 16"),
    ({"rate_limit": -5}, "限速必须在"),
    ({"format": "id:137"}, "默认格式只能是"),
    # One bad field refuses the whole change, good fields beside it included.
    ({"fragments": 2, "proxy": "socks://x"}, "代理地址必须是")])
def test_a_change_is_normalised_or_refused_whole(folder: str, values: dict[str, Any],
                                                 expected: dict[str, Any] | str) -> None:
    """Each change made to good stored settings: what it becomes, or the refusal that changes nothing."""
    with open(os.path.join(folder, "other.txt"), "w", encoding="utf-8") as f:
        f.write("# Netscape HTTP Cookie File\n")
    if "cookies_file" in values:
        values = {"cookies_file": os.path.join(folder, values["cookies_file"])}
        expected = values if isinstance(expected, dict) else expected
    stored(folder, good(folder))
    saved = Settings(folder)
    before = saved.get()
    if isinstance(expected, str):
        with pytest.raises(UserError, match=expected):
            saved.update(values)
        assert saved.get() == before
    else:
        assert saved.update(values) == {**before, **expected}
