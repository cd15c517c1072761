"""Turns what goes wrong into short Chinese messages for the page.

The page never sees a traceback or yt-dlp's English text alone; the log
keeps the original wording for whoever reads it.
"""

import datetime
import errno
import re
import socket
import urllib.error
from urllib.parse import urlsplit

from . import engines

NOT_AN_ADDRESS = "这不是有效的网址：{text}"
UNSUPPORTED = "不支持这个网站，或这个网址里没有可下载的视频"
NETWORK = "网络错误，无法连接到服务器（{detail}）"
HTTP_STATUS = "服务器拒绝了请求（HTTP {code}）"
DISK_FULL = "磁盘空间不足，文件无法保存"
NO_PERMISSION = "没有权限写入下载文件夹"
NEEDS_FFMPEG = "需要 ffmpeg 才能处理这个文件，但系统中没有找到 ffmpeg"
UNSAFE_TYPE = ("网站给出的文件类型“.{ext}”不是视频、音频或字幕，为了安全没有下载，也没有保存任何文件。"
               "如果确实需要这个文件，请在浏览器中下载。")
COOKIES_BAD = ("下载引擎无法读取设置中的 Cookies 文件：它不是 Netscape 格式的 cookies.txt，或已被改动。"
               "请在“设置”里重新选择导出的 cookies.txt，或清空这一项后重试。")
NO_ANSWER = "服务器连续 {seconds} 秒没有发送任何数据。请稍后重试；如果一直这样，可能是网站太忙或网络不稳定"
TRUNCATED = ("服务器发来的数据比它声明的少：连接在传输中多次断开，重试 {retries} 次后仍不完整。"
             "请稍后点击重试，会从断开处继续")
NO_DATA = "服务器接受了请求，却没有发来任何数据。请稍后点击重试"
CUT_OFF = "连接在传输中多次断开，重试 {retries} 次后仍未成功。请检查网络后点击重试"
POSTPROCESSING = "文件已下载，但用 ffmpeg {step}时出错，没有完成。请点击重试；如果一直失败，请检查 ffmpeg 是否完好"
# The engine's post-processors by the name its hooks give them, in the words of what they do to the file.
STEPS = {"Merger": "合并视频和音频", "ExtractAudio": "转换音频格式", "VideoConvertor": "转换视频格式",
         "VideoRemuxer": "转换视频格式", "EmbedSubtitle": "嵌入字幕", "EmbedThumbnail": "嵌入封面",
         "Metadata": "写入标题等信息", "SubtitlesConvertor": "转换字幕", "ThumbnailsConvertor": "转换封面"}
# A silent connection fails after this many seconds (a download retries it first).
SOCKET_TIMEOUT = 20
GENERIC = "下载失败：{detail}"
# The page offers both ways in beside a message that ends with this.
SIGNIN_ADVICE = ("这个网站要求登录后才能访问。可以点击“登录网站…”在 ZORMAK 里登录，"
                 "或在“设置”里选择“从浏览器读取登录状态”，然后重试。")
INTERNAL = "内部错误，请查看日志"


_UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\u202a-\u202e\u2066-\u2069\ud800-\udfff]")


class UserError(Exception):
    """An error whose text is already fit for the page."""

    def __init__(self, message: str, status: int = 400) -> None:
        super().__init__(message)
        self.message = message
        self.status = status


def unsafe(text: str) -> bool:
    return bool(_UNSAFE.search(text))


def shown(text: str) -> str:
    """text as a message may quote it: shortened, with what would break the log replaced."""
    return _UNSAFE.sub("\ufffd", text if len(text) <= 80 else text[:77] + "…")


def check_address(text: str) -> str:
    """Returns the address if it can be handed to yt-dlp, else raises UserError.

    Only http and https with a host are accepted: yt-dlp would otherwise
    treat a bare word as a search or a local path."""
    shown = text if len(text) <= 80 else text[:77] + "…"
    try:
        parts = urlsplit(text)
    except ValueError:
        raise UserError(NOT_AN_ADDRESS.format(text=shown)) from None
    if parts.scheme.lower() not in ("http", "https") or not parts.hostname:
        raise UserError(NOT_AN_ADDRESS.format(text=shown))
    if any(c.isspace() for c in text) or _UNSAFE.search(text):
        # Control characters and lone surrogates would break the log and the queue's JSON.
        raise UserError(NOT_AN_ADDRESS.format(text=_UNSAFE.sub("\ufffd", shown)))
    return text


def _chain(exc: BaseException) -> list[BaseException]:
    """The exception, what yt-dlp wrapped in it, and their causes."""
    seen: list[BaseException] = []
    todo: list[BaseException | None] = [exc]
    while todo:
        e = todo.pop(0)
        if e is None or any(e is s for s in seen) or len(seen) > 20:
            continue
        seen.append(e)
        info = getattr(e, "exc_info", None)
        if info and len(info) > 1:
            todo.append(info[1])
        todo.append(getattr(e, "cause", None) if isinstance(getattr(e, "cause", None), BaseException) else None)
        todo.append(e.__cause__)
        todo.append(e.__context__)
        if isinstance(e, urllib.error.URLError) and isinstance(e.reason, BaseException):
            todo.append(e.reason)
    return seen


_HTTP_RE = re.compile(r"HTTP Error (\d{3})")
# The engine's word when its retries ran out; what follows "Got error:" before it is the last failure.
_GAVE_UP = re.compile(r"Giving up after (\d+) retries")
# A body shorter than its Content-Length, as the engine's downloader and its connection layer say it.
_SHORT_BODY = re.compile(r"Downloaded \d+ bytes, expected \d+ bytes|\d+ bytes read, \d+ more expected")


_UNSAFE_EXTENSION = re.compile(r"The extracted extension \('([^'\\/]*)'\) is unusual")


def _connect_timeout(chain: list[BaseException]) -> bool:
    """True when a time-out in chain came while connecting, not while waiting for data.

    The standard library wraps only what fails while connecting and sending the request in a
    URLError; a response that does not come times out bare. The requests-based layer names the two."""
    for e in chain:
        if isinstance(e, urllib.error.URLError) and isinstance(e.reason, (TimeoutError, socket.timeout)):
            return True
        if type(e).__name__ in ("ConnectTimeout", "ConnectTimeoutError"):
            return True
    return False


# The engine's words when a site wants a signed-in visitor: its login hint (which names its cookie
# options), its bot and age checks, members-only and private videos.
_SIGNIN_TEXT = re.compile(r"--cookies|Sign in to confirm|login required|log in to|registered users"
                          r"|members[- ]only|private video|account cookies", re.IGNORECASE)


def wants_signin(exc: BaseException) -> bool:
    """True when the failure says the site wants a sign-in: the engine's sign-in or bot-check
    errors, or a refusal (HTTP 401 or 403) of the request."""
    chain = _chain(exc)
    text = " ".join(str(e) for e in chain)
    codes = {e.code for e in chain if isinstance(e, urllib.error.HTTPError)}
    codes |= {int(c) for c in _HTTP_RE.findall(text)}
    return bool(_SIGNIN_TEXT.search(text)) or bool(codes & {401, 403})


def describe(exc: BaseException, step: str | None = None) -> str:
    """The Chinese message for an exception raised while downloading, with the sign-in advice
    when the site wants one; step names the engine's post-processor that was running, if one was."""
    message = _describe(exc, step)
    if wants_signin(exc) and message not in (DISK_FULL, NO_PERMISSION, UNSUPPORTED):
        return message.rstrip("。") + "。" + SIGNIN_ADVICE
    return message


def _describe(exc: BaseException, step: str | None = None) -> str:
    """The Chinese message alone; step names the engine's post-processor that was running when
    exc was raised, if one was."""
    chain = _chain(exc)
    text = " ".join(str(e) for e in chain)
    for e in chain:
        if isinstance(e, OSError) and e.errno in (errno.ENOSPC, errno.EDQUOT):
            return DISK_FULL
    if "No space left on device" in text or "Disk quota exceeded" in text:
        return DISK_FULL
    for e in chain:
        if isinstance(e, PermissionError) or (isinstance(e, OSError) and e.errno in (errno.EACCES, errno.EROFS)):
            return NO_PERMISSION
    if "Permission denied" in text or "Read-only file system" in text:
        return NO_PERMISSION
    # The engine names the private copy of the file, a path the user never chose.
    if any(type(e).__name__ == "LoadError" for e in chain) or "Netscape format" in text:
        return COOKIES_BAD
    # Newer engines refuse a site's extension that is not media themselves, before a byte is written.
    m = _UNSAFE_EXTENSION.search(text)
    if m:
        return UNSAFE_TYPE.format(ext=m.group(1)[:16])
    if "ffmpeg" in text.lower() and ("not found" in text.lower() or "ffprobe" in text.lower()):
        return NEEDS_FFMPEG
    if step or any(_is(e, "PostProcessingError") for e in chain) or "Postprocessing:" in text:
        # ffmpeg's last line of output (a progress line, if it was killed) means nothing to the user.
        return POSTPROCESSING.format(step=STEPS.get(step or "", "处理文件"))
    for e in chain:
        if type(e).__name__ == "UnsupportedError":
            return UNSUPPORTED
    if "Unsupported URL" in text:
        return UNSUPPORTED
    for e in chain:
        if isinstance(e, urllib.error.HTTPError):
            return HTTP_STATUS.format(code=e.code)
    m = _HTTP_RE.search(text)
    if m:
        return HTTP_STATUS.format(code=m.group(1))
    if "Did not get any data blocks" in text:
        return NO_DATA
    gave_up = _GAVE_UP.search(text)
    if gave_up and _SHORT_BODY.search(text):
        return TRUNCATED.format(retries=gave_up.group(1))
    if any(isinstance(e, (TimeoutError, socket.timeout)) for e in chain) or "timed out" in text:
        if not _connect_timeout(chain):
            # The connection was made, or the engine no longer says how it failed: claiming it
            # could not connect would send the user after the wrong fault.
            return NO_ANSWER.format(seconds=SOCKET_TIMEOUT)
    if gave_up and not any(isinstance(e, OSError) for e in chain):
        return CUT_OFF.format(retries=gave_up.group(1))
    # The most precise cause wins, wherever it sits in the chain.
    causes: tuple[tuple[type | tuple[type, ...], str], ...] = (
        (socket.gaierror, "找不到这个域名"),
        (ConnectionRefusedError, "连接被拒绝"),
        ((TimeoutError, socket.timeout), "连接超时"),
        ((ConnectionError, urllib.error.URLError), "连接中断"))
    for kinds, detail in causes:
        if any(isinstance(e, kinds) for e in chain):
            return NETWORK.format(detail=detail)
    return GENERIC.format(detail=short_reason(exc))


def short_reason(exc: BaseException) -> str:
    """yt-dlp's own reason in one line, without its prefix and bug-report advice."""
    # The engine starts some reports with a carriage return ("ERROR: \\r[download] Got error: …"),
    # which would end the first line before the reason.
    lines = [line.strip() for line in str(exc).splitlines()]
    lines = [line for line in lines if line and not re.fullmatch(r"ERROR:?", line)]
    text = lines[0] if lines else type(exc).__name__
    text = re.sub(r"^ERROR:\s*", "", text)
    text = re.sub(r"\[[\w:]+\]\s*(None:\s*)?", "", text)
    text = text.split("; please report this issue")[0]
    return text[:160] or type(exc).__name__


# Failures of a site's extractor that usually mean the site changed and the engine has not caught up.
_STALE_TEXT = re.compile(
    r"Unable to extract|Failed to parse JSON|An extractor error has occurred|No video formats found"
    r"|Requested format is not available|Sign in to confirm you.{0,3}re not a bot"
    r"|\bn?sig(?:nature)? extraction failed|Unable to decrypt n?sig|player response|n challenge", re.IGNORECASE)
_EXTRACTOR_CLASSES = ("ExtractorError", "RegexNotFoundError")
_BRACKETED = re.compile(r"\[([\w:.+-]+)\] ")
# Names in brackets that are not a site's extractor: the generic page reader and the engine's own steps.
_NOT_SITES = {"generic", "download", "info", "merger", "ffmpeg", "extractaudio", "metadata", "embedsubtitle",
              "embedthumbnail", "fixupm3u8", "fixupm4a", "fixupstretched", "fixuptimestamp", "fixupduration",
              "videoconvertor", "videoremuxer", "subtitlesconvertor", "movefiles", "sponsorblock", "hlsnative",
              "dashsegments"}
STALE_HINT = "下载引擎 {version} 已经 {months} 个月没更新，网站改版后常会这样失败。请到“设置”里点击“检查更新”。"
STALE_HINT_RECENT = "网站可能刚改版，下载引擎 {version} 还跟不上。请到“设置”里点击“检查更新”，或过几天再试。"
STALE_HINT_UNKNOWN = "网站可能改版了，下载引擎 {version} 还跟不上。请到“设置”里点击“检查更新”。"


def _extractor_names(chain: list[BaseException]) -> list[str]:
    """The extractors named by the engine's errors in the chain, lowercased.

    The engine writes the extractor's name in brackets at the start of an extraction error's
    message, and the error that reports it on quotes that message."""
    return [m.group(1).lower() for e in chain for m in _BRACKETED.finditer(str(e)[:400])]


def _is(e: BaseException, name: str) -> bool:
    """True if e is of the engine's class name or one derived from it (the engine is imported elsewhere)."""
    return any(k.__name__ == name for k in type(e).__mro__)


def _extraction_error(e: BaseException) -> bool:
    return any(k.__name__ in _EXTRACTOR_CLASSES for k in type(e).__mro__)


def stale_hint(e: BaseException, engine_version: str, today: datetime.date | None = None, *,
               extractor: str | None = None) -> str:
    """A sentence suggesting an engine update when e looks like a site change the engine missed, else "".

    Only a known site's extractor counts: the generic page reader fails on pages that have no
    video, which no update cures. extractor names the extractor that produced the video's
    information when the caller knows it; a media download refused with HTTP 403 names no site
    by itself, so it counts only then."""
    chain = _chain(e)
    text = " ".join(str(x) for x in chain)
    names = ([extractor.lower()] if extractor else []) + _extractor_names(chain)
    if not any(n not in _NOT_SITES for n in names):
        return ""
    # The engine's extraction errors, or its report of one when the original did not travel with it.
    extraction = any(_extraction_error(x) or str(x).startswith("ERROR: [") for x in chain)
    codes = {x.code for x in chain if isinstance(x, urllib.error.HTTPError)}
    codes |= {int(c) for c in _HTTP_RE.findall(text)}
    if not (extraction and _STALE_TEXT.search(text)) and 403 not in codes:
        return ""
    months = engines.age_months(engine_version, today)
    if months is None:
        return STALE_HINT_UNKNOWN.format(version=engine_version)
    return (STALE_HINT if months >= 1 else STALE_HINT_RECENT).format(version=engine_version, months=months)

