"""The page in a real browser engine: headless Chromium pastes an address and watches it finish."""

import datetime
import filecmp
import json
import os
import re
import shutil
import subprocess
import tempfile
from typing import Any
from unittest import mock

from fakeopen import FakeOpeners
from release import engine_folder
from support import Payload, PayloadTest, free_port, link_tools, wait_for
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


class BrowserTest(PayloadTest):
    def test_paste_download_and_look_around(self):
        # Slow enough that the download is still running when the page pauses it.
        self.media.slow_rate = 8000
        # A damaged database before the start: the page must say so.
        self.server.stop()
        with open(os.path.join(self.workdir, "data", "history.sqlite3"), "wb") as f:
            f.write(b"not a database" * 100)
        # The desktop's openers are stand-ins that record what the page had opened.
        fake = FakeOpeners()
        self.addCleanup(fake.close)
        with mock.patch.dict(os.environ, {"PATH": fake.bin + os.pathsep + os.environ.get("PATH", "")}):
            self.server = self.start_server()
        downloaded = os.path.join(self.server.download_dir, "clip.mp4")
        out_dir = os.environ.get("ZORMAK_TEST_OUTPUT") or os.path.join(self.workdir, "shots")
        os.makedirs(out_dir, exist_ok=True)
        self.media.pages["/multi"] = video_page("720p", "480p", "240p")
        media_files()
        self.media.pages["/watch"] = subtitle_page([("subtitles", "en", "en.vtt"), ("subtitles", "zh-TW", "zh.vtt"),
                                                    ("subtitles", "zh-Hans", "zh.vtt")])
        self.media.pages["/feed"] = feed(self.media, TITLE, [f"clip.mp4?n={i}" for i in range(1, 4)])
        seen = drive("drive.mjs", self.server, self.media.url("slow/clip.mp4"), out_dir, downloaded,
                     self.media.url("feed"), self.media.url("multi"), self.media.url("watch"))
        self.assertEqual(seen["badAddressMessage"], "这不是有效的网址：这不是网址")
        self.assertEqual(seen["firstBadge"], "下载中")
        self.assertRegex(seen["notice"], r"^数据提示：下载记录数据库 .*已损坏或无法读取.*原文件已保存为 .*history\.sqlite3\.damaged-")
        self.assertEqual(seen["beforeUnload"], "beforeunload")
        self.assertEqual(seen["pausedBadge"], "已暂停")
        self.assertIn("已暂停，点击继续从断点接着下载", seen["pausedMeta"])
        self.assertEqual(seen["pausedButtons"], ["resume", "cancel"])
        self.assertEqual((seen["doneBadge"], seen["doneTitle"]), ("已完成", "clip"))
        self.assertRegex(seen["progressMeta"], r"^最佳[\d.]+ (B|KB) / 77\.9 KB[\d.]+ (B|KB)/s")
        self.assertIn("已保存为 clip.mp4", seen["doneMeta"])
        self.assertEqual(seen["summary"], "已完成 1 个")
        self.assertEqual((seen["historyRows"], seen["historyFirst"]), (1, "clip"))
        self.assertEqual(seen["downloadDir"], self.server.download_dir)
        # The pasted addresses lead nowhere: they fail and leave no partial files; the format
        # picked in the list is the one that arrived, and the playlist's entries are in its folder.
        wait_for(lambda: all(j["state"] in ("done", "failed") for j in self.server.jobs().values()), 20,
                 message="the pasted downloads to end")
        self.assertEqual(sorted(self.server.files()),
                         sorted(["clip.mp4", "多清晰度 (1).mp4", FOLDER, os.path.join(FOLDER, "clip (1).mp4"),
                                 os.path.join(FOLDER, "clip.mp4")]))
        self.assertEqual(seen["confirmTitle"], "清空历史记录？")
        self.assertEqual(seen["historyRowsAfterNo"], 1)
        self.assertEqual(seen["openButtons"], ["打开", "在文件夹中显示"])
        self.assertEqual((seen["openStatus"], seen["jobDoubleClickStatus"], seen["historyOpenStatus"],
                          seen["historyRevealStatus"]), (200, 200, 200, 200))
        self.assertEqual([c[:4] if c[0] == "gio" else c[:1] for c in fake.calls()],
                         [["gio", "open", "--", downloaded]] * 3 + [["gdbus"]])
        self.assertIn("找不到文件“clip.mp4”：它已被移动、改名或删除", seen["missingToast"])
        self.assertEqual((seen["toastShown"], seen["toastCoversButtons"]), (True, False))
        origin = self.media.url("")
        self.assertEqual(seen["pastedOrder"], [self.media.url("slow/clip.mp4"), origin + "gone-a.mp4",
                                               origin + "gone-b.mp4"])
        self.assertEqual(seen["keptLines"], "这一行没有网址")
        self.assertEqual(seen["pasteMessage"], "已添加 2 个下载，以下内容无法识别：这不是有效的网址：这一行没有网址")
        self.assertRegex(seen["duplicateQuestion"], r"^这个视频已经下载过（clip，.* 下载），还要再下载一次吗？$")
        self.assertEqual(seen["jobsAfterNo"], 3)
        self.assertIn("指定格式 480p", seen["pickedMeta"])
        self.assertTrue(seen["formatsHiddenAfterAdd"])
        self.assertTrue(filecmp.cmp(os.path.join(self.server.download_dir, "多清晰度 (1).mp4"),
                                    os.path.join(self.media.root, "r480p.mp4"), shallow=False))
        # Resolution, frame rate, codecs, container, size and id of each rendition, best first.
        self.assertEqual([row[0] for row in seen["formatRows"]], ["1280×720", "640×480", "320×240"])
        self.assertEqual(seen["formatRows"][0][3:5], ["mp4a", "mp4"])
        self.assertEqual([row[-1] for row in seen["formatRows"]], ["720p", "480p", "240p"])
        self.assertTrue(seen["pickedChecked"])
        self.assertEqual(seen["defaultSubtitles"], "off")
        # Chinese first; the settings' preferred languages start ticked.
        self.assertEqual(seen["subtitleLanguages"], [["简体中文zh-Hans", True], ["中文（台湾）zh-TW", True],
                                                     ["英语en", True]])
        self.assertEqual(seen["subtitleMode"], "beside")
        self.assertEqual(seen["chooserTitle"], "播放列表：" + SHOWN)
        self.assertEqual(seen["chooserFolder"], f"共 3 个视频，保存到下载文件夹中的“{FOLDER}”文件夹")
        self.assertEqual(seen["chooserEntries"], [f"{i}第{i}集{i} 秒" for i in range(1, 4)])
        self.assertEqual((seen["chooserCountAll"], seen["chooserCountNone"]), ("已选 3 / 3 个", "已选 0 / 3 个"))
        self.assertTrue(seen["chooserAddDisabled"])
        self.assertEqual(seen["chooserBadRange"], "范围“3-1”的起点大于终点，请写成“1-3”")
        self.assertEqual((seen["chooserChecked"], seen["chooserCountRange"]), ([1, 3], "已选 2 / 3 个"))
        self.assertEqual((seen["jobsAddedByList"], seen["boxAfterList"]), (0, ""))
        self.assertEqual(seen["squeezed"], [])
        self.assertEqual(seen["entryMeta"][:3], ["最佳", "保存到 " + FOLDER, "字幕另存为文件（zh-Hans、zh-CN、zh、zh-Hant、zh-TW、en）"])


class EngineBrowserTest(PayloadTest):
    def test_engine_panel(self):
        """Rollback, a check and a fetch of deno that cannot reach their servers, the channel, and a running download."""
        from downloader import engines
        bundled = engines.bundled_version()
        # An updated engine installed ten days ago, with the bundled one kept as the previous.
        updated = (datetime.date.today() - datetime.timedelta(days=10)).strftime("%Y.%m.%d")
        self.server.stop()
        data = os.path.join(self.workdir, "data")
        folder = os.path.join(data, "engines", engine_folder(data, updated, b"never run here", previous="bundled"))
        # Nothing answers on these addresses; the server's PATH holds no JavaScript runtime.
        offline = f"http://127.0.0.1:{free_port()}/"
        bin_dir = link_tools(tempfile.mkdtemp(dir=self.workdir), "gpg", "gpgv", "ffmpeg", "ffprobe")
        with mock.patch.dict(os.environ, {"ZORMAK_TEST_ENGINE_RELEASES": offline, "ZORMAK_TEST_DENO_RELEASES": offline,
                                          "PATH": bin_dir}):
            self.server = self.start_server()
        out_dir = os.environ.get("ZORMAK_TEST_OUTPUT") or os.path.join(self.workdir, "shots")
        os.makedirs(out_dir, exist_ok=True)
        self.media.slow_rate = 4000
        seen = drive("engine.mjs", self.server, self.media.url("slow/clip.mp4"), out_dir, os.path.join(folder, "yt-dlp"),
                     timeout=150)
        self.assertEqual(seen["summaryBefore"], f"下载引擎 {updated}，是最新的")
        self.assertEqual(seen["originBefore"], f"更新后的版本；上一个版本 {bundled} 仍然保留，可以回退到它。")
        self.assertEqual(seen["channelBefore"], "stable")
        self.assertTrue(seen["lastCheckBefore"].startswith("还没有检查过更新"), seen["lastCheckBefore"])
        self.assertEqual(seen["rollbackQuestion"], [
            "回退到上一个版本？", f"新的下载将改用下载引擎 {bundled}，不再使用现在的 {updated}。"
                              "正在进行的下载继续使用原来的引擎。以后可以再检查更新。"])
        self.assertEqual(seen["summaryAfterNo"], seen["summaryBefore"])
        self.assertEqual(seen["rollbackMessage"], f"已回退到下载引擎 {bundled}")
        self.assertRegex(seen["summaryAfterRollback"], rf"^下载引擎 {re.escape(bundled)}，已经 \d+ 个月没更新$")
        self.assertEqual(seen["originAfterRollback"], f"随下载器附带的版本；上一个版本 {updated} 仍然保留，可以回退到它。")
        # Offline: the check says so in Chinese, in the error colour, and the engine stays.
        self.assertRegex(seen["checkResult"], rf"^无法连接到更新服务器.*仍在使用下载引擎 {re.escape(bundled)}")
        self.assertEqual(seen["checkResultColour"], seen["errorColour"])
        self.assertEqual(seen["lastCheckAfter"], "上次检查：刚刚")
        self.assertTrue(seen["checkEnabledAfter"])
        self.assertEqual(seen["resultLive"], "polite")
        # The engine here cannot be imported, so the fallback minimums hold.
        self.assertIn("没有找到这个下载引擎能用的 JavaScript 运行环境（需要 deno 2.3 或 Node.js 22 以上）", seen["runtime"])
        self.assertTrue(seen["runtimeButton"])
        self.assertRegex(seen["runtimeResult"], r"^无法连接")
        self.assertEqual(seen["importButton"], "从文件导入…")
        self.assertTrue(seen["importRefusal"].startswith("缺少 SHA2-256SUMS.sig："), seen["importRefusal"])
        self.assertEqual(seen["channelMessage"], "已改用每日构建版，下次检查更新时生效")
        self.assertEqual(self.server.request("GET", "/api/settings")[1]["engine_channel"], "nightly")
        self.assertEqual(seen["checkWhyDuringDownload"], "有下载正在进行，下载结束后才能检查。")
        self.assertEqual(seen["checkDescribedBy"], "engine-check-why")
        self.assertFalse(seen["checkWhyAfterDownload"])
        self.assertEqual(seen["refusal"], "没有可以回退的上一个版本")
        self.assertEqual(seen["originAfterRefusal"], "随下载器附带的版本。")
        status = self.server.request("GET", "/api/engine")[1]
        self.assertEqual((status["version"], status["bundled"], status["previous"]), (bundled, True, None))
        self.assertNotIn("Traceback", self.server.output())

