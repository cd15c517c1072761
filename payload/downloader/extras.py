"""What a download brings besides the video: subtitles, the thumbnail and the metadata.

A job keeps its own choice (the `extras` dict), so that a retry or a resume
after a restart fetches the same subtitles as the first attempt, whatever
the settings say by then. Subtitles are saved beside the video (as SRT
where ffmpeg can convert them) or embedded in it; the thumbnail and the
metadata are written into the file by ffmpeg.
"""

import re
from typing import TYPE_CHECKING, Any

from . import errors

if TYPE_CHECKING:
    from .ask import Ask

SUBTITLE_MODES = {"off": "不下载", "beside": "保存为字幕文件", "embed": "嵌入视频"}
# yt-dlp reads each language as a regular expression; only plain codes pass, so
# that a stored "all" or ".*" cannot turn into a hundred automatic translations.
_LANG_CODE = re.compile(r"[A-Za-z]{2,3}(?:[-_][A-Za-z0-9]{1,8}){0,3}")
MAX_LANGS = 20
DEFAULT_LANGS = ["zh-Hans", "zh-CN", "zh", "zh-Hant", "zh-TW", "en"]
# What a job chooses when nothing is asked for, and what journal rows from before the choice existed meant.
NONE: dict[str, Any] = {"subtitles": "off", "subtitle_langs": [], "embed_thumbnail": False, "embed_metadata": False}
KEYS = tuple(NONE)

LANGUAGE_NAMES = {
    "zh": "中文", "zh-Hans": "简体中文", "zh-CN": "中文（中国大陆）", "zh-SG": "中文（新加坡）",
    "zh-Hant": "繁体中文", "zh-TW": "中文（台湾）", "zh-HK": "中文（香港）", "zh-MO": "中文（澳门）",
    "en": "英语", "en-US": "英语（美国）", "en-GB": "英语（英国）", "ja": "日语", "ko": "韩语",
    "fr": "法语", "de": "德语", "es": "西班牙语", "pt": "葡萄牙语", "pt-BR": "葡萄牙语（巴西）",
    "ru": "俄语", "it": "意大利语", "ar": "阿拉伯语", "hi": "印地语", "th": "泰语", "vi": "越南语",
    "id": "印度尼西亚语", "ms": "马来语", "tr": "土耳其语", "nl": "荷兰语", "pl": "波兰语",
    "uk": "乌克兰语", "sv": "瑞典语", "fi": "芬兰语", "da": "丹麦语", "no": "挪威语", "cs": "捷克语",
    "el": "希腊语", "he": "希伯来语", "hu": "匈牙利语", "ro": "罗马尼亚语", "fa": "波斯语",
    "yue": "粤语",
}
# The Chinese variants in the order a Chinese reader looks for them.
_CHINESE_ORDER = ["zh", "zh-Hans", "zh-CN", "zh-SG", "zh-Hant", "zh-TW", "zh-HK", "zh-MO"]


def language_name(code: str) -> str:
    return LANGUAGE_NAMES.get(code) or LANGUAGE_NAMES.get(code.replace("_", "-")) or code


def _order(code: str) -> tuple[int, int, str]:
    normal = code.replace("_", "-")
    if normal in _CHINESE_ORDER:
        return (0, _CHINESE_ORDER.index(normal), normal)
    if normal.lower().startswith("zh") or normal == "yue":
        return (0, len(_CHINESE_ORDER), normal)
    # Chinese names cannot be put in pinyin order without a collation table; codes sort predictably.
    return (1, 0, normal.lower())


def languages(info: dict[str, Any]) -> list[dict[str, Any]]:
    """The subtitle languages info offers, Chinese first; automatic captions are marked and come
    only for languages that have no real subtitles (those are what a download would pick)."""
    found: dict[str, bool] = {}
    for automatic, key in ((False, "subtitles"), (True, "automatic_captions")):
        for code, tracks in (info.get(key) or {}).items():
            if isinstance(code, str) and code and tracks and code != "live_chat" and code not in found:
                found[code] = automatic
    return [{"code": c, "name": language_name(c), "automatic": found[c]} for c in sorted(found, key=_order)]


def _langs(value: object, label: str) -> list[str]:
    if isinstance(value, str):
        value = [p for p in re.split(r"[\s,，、]+", value) if p]
    if not isinstance(value, list) or not all(isinstance(v, str) for v in value):
        raise errors.UserError(f"{label}必须是语言代码的列表，例如 zh-Hans, en")
    result: list[str] = []
    for v in value:
        v = v.strip()
        if not _LANG_CODE.fullmatch(v) or v.lower() == "all":
            raise errors.UserError(f"“{v[:20]}”不是有效的语言代码，例如 zh-Hans、en")
        if v not in result:
            result.append(v)
    if len(result) > MAX_LANGS:
        raise errors.UserError(f"{label}最多 {MAX_LANGS} 种")
    return result


def check(values: dict[str, Any], current: dict[str, Any], label: str = "字幕语言") -> dict[str, Any]:
    """current with the extras keys of values checked and applied; a wrong value raises UserError."""
    result = {k: current.get(k, NONE[k]) for k in KEYS}
    if "subtitles" in values:
        if values["subtitles"] not in SUBTITLE_MODES:
            raise errors.UserError("下载字幕只能是“不下载”、“保存为字幕文件”或“嵌入视频”")
        result["subtitles"] = values["subtitles"]
    if "subtitle_langs" in values:
        result["subtitle_langs"] = _langs(values["subtitle_langs"], label)
    for key, name in (("embed_thumbnail", "嵌入封面"), ("embed_metadata", "嵌入元数据")):
        if key in values:
            if not isinstance(values[key], bool):
                raise errors.UserError(f"“{name}”只能是开或关")
            result[key] = values[key]
    return result


def from_journal(value: object) -> dict[str, Any]:
    """A job's stored choice; a missing or damaged one means none, as before the choice existed."""
    if not isinstance(value, dict):
        return dict(NONE)
    result = dict(NONE)
    for key in KEYS:
        try:
            result = check({key: value[key]}, result)
        except (KeyError, errors.UserError):
            pass
    return result


def engine_options(extras: dict[str, Any]) -> tuple[dict[str, Any], list[dict[str, Any]]]:
    """The engine's parameters and the post-processors (to run after any others) for a job's extras."""
    params: dict[str, Any] = {}
    before: list[dict[str, Any]] = []
    after: list[dict[str, Any]] = []
    mode = extras.get("subtitles", "off")
    if mode != "off":
        params["writesubtitles"] = True
        # A language without real subtitles falls back to the site's automatic captions.
        params["writeautomaticsub"] = True
        params["subtitleslangs"] = list(extras.get("subtitle_langs") or DEFAULT_LANGS)
        if mode == "beside":
            # Converted before the video is fetched, so players beside the file read them.
            before.append({"key": "FFmpegSubtitlesConvertor", "format": "srt", "when": "before_dl"})
    if extras.get("embed_metadata"):
        after.append({"key": "FFmpegMetadata", "add_metadata": True, "add_chapters": True})
    if mode == "embed":
        # The files go once they are inside; where the container cannot take them they stay beside it.
        after.append({"key": "FFmpegEmbedSubtitle", "already_have_subtitle": False})
    if extras.get("embed_thumbnail"):
        params["writethumbnail"] = True
    return params, before + after


def attach(ydl: Any, ydl_mod: Any, extras: dict[str, Any]) -> None:
    """Adds what cannot be named in the parameters: a cover that does not fit the container
    (webm, for one) costs the cover, not the whole download."""
    if not extras.get("embed_thumbnail"):
        return
    base = ydl_mod.postprocessor.EmbedThumbnailPP
    failure = ydl_mod.postprocessor.embedthumbnail.EmbedThumbnailPPError

    class LenientEmbedThumbnail(base):  # type: ignore[misc, valid-type]
        def run(self, info: dict[str, Any]) -> Any:
            try:
                return super().run(info)
            except failure as e:
                self.report_warning(f"无法嵌入封面，视频已保存但没有封面：{e}")
                return [], info

    ydl.add_post_processor(LenientEmbedThumbnail(ydl, already_have_thumbnail=False), when="post_process")


def subtitle_files(info: Any) -> list[str]:
    """The subtitle files the engine reports as written (they may have been embedded and removed since)."""
    found: list[str] = []

    def walk(node: Any) -> None:
        if not isinstance(node, dict):
            return
        for sub in (node.get("requested_subtitles") or {}).values():
            if isinstance(sub, dict) and isinstance(sub.get("filepath"), str):
                found.append(sub["filepath"])
        for d in node.get("requested_downloads") or []:
            walk(d)
        for entry in node.get("entries") or []:
            walk(entry)

    walk(info)
    return found


def fetch_languages(ask: "Ask", url: object, timeout: float | None = None) -> dict[str, Any]:
    """Asks the site which subtitles it has for url: {"title", "languages"}; failures in Chinese."""
    # Here, not at the top: a download's own process loads this module and has no use for the server's side.
    from .ask import SUBTITLES, TIMEOUT
    if not isinstance(url, str) or not url.strip():
        raise errors.UserError("请先粘贴一个视频网址")
    address = url.split()[0]
    errors.check_address(address)
    info = ask.call(SUBTITLES, lambda ydl: _unprocessed(ydl, address), timeout or TIMEOUT, address=address,
                    noplaylist=True)
    if isinstance(info, dict) and info.get("_type") == "playlist":
        raise errors.UserError("这个网址是一个列表，请对其中的单个视频获取字幕")
    info = info if isinstance(info, dict) else {}
    return {"title": info.get("title") or "", "languages": languages(info)}


def _unprocessed(ydl: Any, address: str) -> Any:
    """What the site's page says, before any format or subtitle is chosen."""
    info = ydl.extract_info(address, download=False, process=False)
    # A page that only points to the video: follow it to where the subtitles are,
    # a few steps at most, since pages can point at each other.
    for _ in range(3):
        if not (isinstance(info, dict) and info.get("_type") in ("url", "url_transparent")):
            break
        info = ydl.extract_info(info["url"], download=False, process=False)
    return info
