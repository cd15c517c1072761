"""The page in a real browser engine: headless Chromium pastes an address and watches it finish."""

import datetime
import filecmp
import json
import os
import re
import shutil
import subprocess
import tempfile
from typing import Any, Callable
from unittest import mock

from fakeopen import FakeOpeners
from media import MediaServer
from release import engine_folder
from support import Payload, free_port, link_tools, wait_for
from test_quality import video_page
from test_extras import media_files, subtitle_page
from test_playlist import FOLDER, SHOWN, TITLE, feed

BROWSER_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "browser")
CHROMIUM = os.environ.get("ZORMAK_CHROMIUM", "/usr/bin/chromium")


def drive(script: str, server: Payload, *args: str, timeout: float = 120) -> dict[str, Any]:
    """What a script in browser/ saw of server's page; fails on any problem it noted or a failed exit."""
    assert os.path.isdir(os.path.join(BROWSER_DIR, "node_modules", "playwright-core")), "the build runs npm ci"
    assert os.access(CHROMIUM, os.X_OK), f"{CHROMIUM} is not installed"
    run = subprocess.run([shutil.which("node") or "node", script, server.origin + "/", *args], cwd=BROWSER_DIR,
                         capture_output=True, text=True, timeout=timeout,
                         env={**os.environ, "ZORMAK_CHROMIUM": CHROMIUM, "ZORMAK_SESSION": server.secret or ""})
    lines = [line for line in run.stdout.splitlines() if line.startswith("{")]
    assert lines, run.stdout + run.stderr
    result = json.loads(lines[-1])
    assert (result["problems"], run.returncode) == ([], 0), run.stderr + server.output()
    return result["seen"]


def test_paste_download_and_look_around(workdir: str, media: MediaServer, start: Callable[..., Payload],
                                       openers: FakeOpeners) -> None:
    # Slow enough that the download is still running when the page pauses it.
    media.slow_rate = 8000
    # A damaged database before the start: the page must say so.
    start().stop()
    with open(os.path.join(workdir, "data", "history.sqlite3"), "wb") as f:
        f.write(b"not a database" * 100)
    # The desktop's openers are stand-ins that record what the page had opened.
    server = start(env={"PATH": openers.bin + os.pathsep + os.environ.get("PATH", "")})
    downloaded = os.path.join(server.download_dir, "clip.mp4")
    media.pages["/multi"] = video_page("720p", "480p", "240p")
    media_files()
    media.pages["/watch"] = subtitle_page([("subtitles", "en", "en.vtt"), ("subtitles", "zh-TW", "zh.vtt"),
                                           ("subtitles", "zh-Hans", "zh.vtt")])
    media.pages["/feed"] = feed(media, TITLE, [f"clip.mp4?n={i}" for i in range(1, 4)])
    seen = drive("drive.mjs", server, media.url("slow/clip.mp4"), downloaded, media.url("feed"),
                 media.url("multi"), media.url("watch"))
    calls = [c[:4] if c[0] == "gio" else c[:1] for c in openers.calls()]
    origin = media.url("")
    expected = {
        "badAddressMessage": "这不是有效的网址：这不是网址", "firstBadge": "下载中", "beforeUnload": "beforeunload",
        "pausedBadge": "已暂停", "pausedButtons": ["resume", "cancel"], "doneBadge": "已完成", "doneTitle": "clip",
        "summary": "已完成 1 个", "historyRows": 1, "historyFirst": "clip", "downloadDir": server.download_dir,
        "confirmTitle": "清空历史记录？", "historyRowsAfterNo": 1, "openButtons": ["打开", "在文件夹中显示"],
        "openStatus": 200, "jobDoubleClickStatus": 200, "historyOpenStatus": 200, "historyRevealStatus": 200,
        # The toast that confirms an add leaves the rows' buttons free.
        "toastShown": True, "toastCoversButtons": False,
        "pastedOrder": [media.url("slow/clip.mp4"), origin + "gone-a.mp4", origin + "gone-b.mp4"],
        "keptLines": "这一行没有网址", "pasteMessage": "已添加 2 个下载，以下内容无法识别：这不是有效的网址：这一行没有网址",
        "jobsAfterNo": 3, "formatsHiddenAfterAdd": True, "pickedChecked": True, "defaultSubtitles": "off",
        # Chinese first; the settings' preferred languages start ticked.
        "subtitleLanguages": [["简体中文zh-Hans", True], ["中文（台湾）zh-TW", True], ["英语en", True]],
        "subtitleMode": "beside", "chooserTitle": "播放列表：" + SHOWN,
        "chooserFolder": f"共 3 个视频，保存到下载文件夹中的“{FOLDER}”文件夹",
        "chooserEntries": [f"{i}第{i}集{i} 秒" for i in range(1, 4)], "chooserCountAll": "已选 3 / 3 个",
        "chooserCountNone": "已选 0 / 3 个", "chooserAddDisabled": True,
        "chooserBadRange": "范围“3-1”的起点大于终点，请写成“1-3”", "chooserChecked": [1, 3],
        "chooserCountRange": "已选 2 / 3 个", "jobsAddedByList": 0, "boxAfterList": "", "squeezed": [],
        # Added below the older rows in a short window, and cancelled.
        "inView": True, "cancelTitle": "取消这个下载？", "cancelNo": "继续下载", "cancelYes": "取消下载", "afterNo": "下载中"}
    assert {k: seen.get(k) for k in expected} == expected
    for key, pattern in [
            ("notice", r"^数据提示：下载记录数据库 .*已损坏或无法读取.*原文件已保存为 .*history\.sqlite3\.damaged-"),
            ("pausedMeta", "已暂停，点击继续从断点接着下载"), ("progressMeta", r"^最佳[\d.]+ (B|KB) / 77\.9 KB[\d.]+ (B|KB)/s"),
            ("doneMeta", "已保存为 clip.mp4"), ("missingToast", "找不到文件“clip.mp4”：它已被移动、改名或删除"),
            ("duplicateQuestion", r"^这个视频已经下载过（clip，.* 下载），还要再下载一次吗？$"), ("pickedMeta", "指定格式 480p")]:
        assert re.search(pattern, seen[key]), (key, seen[key])
    assert calls == [["gio", "open", "--", downloaded]] * 3 + [["gdbus"]]
    # Resolution, frame rate, codecs, container, size and id of each rendition, best first.
    rows = seen["formatRows"]
    assert ([r[0] for r in rows], rows[0][3:5], [r[-1] for r in rows]) == \
        (["1280×720", "640×480", "320×240"], ["mp4a", "mp4"], ["720p", "480p", "240p"]), rows
    assert seen["entryMeta"][:3] == ["最佳", "保存到 " + FOLDER, "字幕另存为文件（zh-Hans、zh-CN、zh、zh-Hant、zh-TW、en）"]
    # The pasted addresses lead nowhere and the last download was cancelled: they leave no partial
    # files; the format picked in the list is the one that arrived, and the playlist's entries are in its folder.
    wait_for(lambda: all(j["state"] in ("done", "failed", "cancelled") for j in server.jobs().values()), 20,
             message="the pasted downloads to end")
    assert sorted(server.files()) == sorted(["clip.mp4", "多清晰度 (1).mp4", FOLDER, os.path.join(FOLDER, "clip (1).mp4"),
                                             os.path.join(FOLDER, "clip.mp4")])
    assert filecmp.cmp(os.path.join(server.download_dir, "多清晰度 (1).mp4"), os.path.join(media.root, "r480p.mp4"),
                       shallow=False)


def test_engine_panel(workdir: str, media: MediaServer, start: Callable[..., Payload]) -> None:
    """Rollback, a check and a fetch of deno that cannot reach their servers, the channel, and a running download."""
    from downloader import engines
    bundled = engines.bundled_version()
    # An updated engine installed ten days ago, with the bundled one kept as the previous.
    updated = (datetime.date.today() - datetime.timedelta(days=10)).strftime("%Y.%m.%d")
    start().stop()
    data = os.path.join(workdir, "data")
    folder = os.path.join(data, "engines", engine_folder(data, updated, b"never run here", previous="bundled"))
    # Nothing answers on these addresses; the server's PATH holds no JavaScript runtime.
    offline = f"http://127.0.0.1:{free_port()}/"
    bin_dir = link_tools(tempfile.mkdtemp(dir=workdir), "gpg", "gpgv", "ffmpeg", "ffprobe")
    with mock.patch.dict(os.environ, {"ZORMAK_TEST_ENGINE_RELEASES": offline, "ZORMAK_TEST_DENO_RELEASES": offline,
                                      "PATH": bin_dir}):
        server = start()
    media.slow_rate = 4000
    seen = drive("engine.mjs", server, media.url("slow/clip.mp4"), os.path.join(folder, "yt-dlp"), timeout=150)
    expected = {
        "summaryBefore": f"下载引擎 {updated}，是最新的", "channelBefore": "stable",
        "originBefore": f"更新后的版本；上一个版本 {bundled} 仍然保留，可以回退到它。",
        "rollbackQuestion": ["回退到上一个版本？", f"新的下载将改用下载引擎 {bundled}，不再使用现在的 {updated}。"
                                             "正在进行的下载继续使用原来的引擎。以后可以再检查更新。"],
        "summaryAfterNo": f"下载引擎 {updated}，是最新的", "rollbackMessage": f"已回退到下载引擎 {bundled}",
        "originAfterRollback": f"随下载器附带的版本；上一个版本 {updated} 仍然保留，可以回退到它。",
        # Offline: the check says so in the error colour, and the engine stays.
        "checkResultColour": seen.get("errorColour"), "lastCheckAfter": "上次检查：刚刚", "checkEnabledAfter": True,
        "resultLive": "polite", "runtimeButton": True, "importButton": "从文件导入…",
        "channelMessage": "已改用每日构建版，下次检查更新时生效", "checkWhyDuringDownload": "有下载正在进行，下载结束后才能检查。",
        "checkDescribedBy": "engine-check-why", "checkWhyAfterDownload": False, "refusal": "没有可以回退的上一个版本",
        "originAfterRefusal": "随下载器附带的版本。"}
    assert {k: seen.get(k) for k in expected} == expected
    for key, pattern in [
            ("lastCheckBefore", "^还没有检查过更新"),
            ("summaryAfterRollback", rf"^下载引擎 {re.escape(bundled)}，已经 \d+ 个月没更新$"),
            ("checkResult", rf"^无法连接到更新服务器.*仍在使用下载引擎 {re.escape(bundled)}"),
            # The engine here cannot be imported, so the fallback minimums hold.
            ("runtime", "没有找到这个下载引擎能用的 JavaScript 运行环境（需要 deno 2.3 或 Node.js 22 以上）"),
            ("runtimeResult", "^无法连接"), ("importRefusal", "^缺少 SHA2-256SUMS.sig：")]:
        assert re.search(pattern, seen[key]), (key, seen[key])
    assert server.request("GET", "/api/settings")[1]["engine_channel"] == "nightly"
    status = server.request("GET", "/api/engine")[1]
    assert (status["version"], status["bundled"], status["previous"]) == (bundled, True, None)
    assert "Traceback" not in server.output()
