"""The page in a real browser engine: headless Chromium pastes an address and watches it finish."""

import json
import os
import shutil
import subprocess
import unittest

from support import PayloadTest
from test_playlist import FOLDER, SHOWN, TITLE, feed

BROWSER_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "browser")
CHROMIUM = os.environ.get("ZORMAK_CHROMIUM", "/usr/bin/chromium")


class BrowserTest(PayloadTest):
    def test_paste_download_and_look_around(self):
        node = shutil.which("node")
        assert node, "node is not installed"
        self.assertTrue(os.path.isdir(os.path.join(BROWSER_DIR, "node_modules", "playwright-core")),
                        "playwright-core is missing; the build installs it with npm ci")
        self.assertTrue(os.access(CHROMIUM, os.X_OK), f"{CHROMIUM} is not installed")
        # Slow enough that the download is still running when the page pauses it.
        self.media.slow_rate = 8000
        # A damaged database before the start: the page must say so.
        self.server.stop()
        with open(os.path.join(self.workdir, "data", "history.sqlite3"), "wb") as f:
            f.write(b"not a database" * 100)
        self.server = self.start_server()
        out_dir = os.environ.get("ZORMAK_TEST_OUTPUT") or os.path.join(self.workdir, "shots")
        os.makedirs(out_dir, exist_ok=True)
        self.media.pages["/feed"] = feed(self.media, TITLE, [f"clip.mp4?n={i}" for i in range(1, 4)])
        run = subprocess.run([node, "drive.mjs", self.server.origin + "/", self.media.url("slow/clip.mp4"), out_dir,
                              self.media.url("feed")],
                             cwd=BROWSER_DIR, capture_output=True, text=True, timeout=120,
                             env={**os.environ, "ZORMAK_CHROMIUM": CHROMIUM, "ZORMAK_SESSION": self.server.secret or ""})
        lines = [l for l in run.stdout.splitlines() if l.startswith("{")]
        self.assertTrue(lines, run.stdout + run.stderr)
        result = json.loads(lines[-1])
        self.assertEqual(result["problems"], [], run.stderr)
        seen = result["seen"]
        self.assertEqual(seen["badAddressMessage"], "这不是有效的网址：这不是网址")
        self.assertEqual(seen["firstBadge"], "下载中")
        self.assertRegex(seen["notice"], r"^数据提示：下载记录数据库 .*已损坏或无法读取.*原文件已保存为 .*history\.sqlite3\.damaged-")
        self.assertEqual(seen["beforeUnload"], "beforeunload")
        self.assertEqual(seen["pausedBadge"], "已暂停")
        self.assertIn("已暂停，点击继续从断点接着下载", seen["pausedMeta"])
        self.assertEqual(seen["pausedButtons"], ["resume", "cancel"])
        self.assertEqual((seen["doneBadge"], seen["doneTitle"]), ("已完成", "clip"))
        self.assertRegex(seen["progressMeta"], r"^最佳视频[\d.]+ (B|KB) / 77\.9 KB[\d.]+ (B|KB)/s")
        self.assertIn("已保存为 clip.mp4", seen["doneMeta"])
        self.assertEqual(seen["summary"], "已完成 1 个")
        self.assertEqual((seen["historyRows"], seen["historyFirst"]), (1, "clip"))
        self.assertEqual(seen["downloadDir"], self.server.download_dir)
        self.assertEqual(run.returncode, 0)
        self.assertEqual(self.server.files(), ["clip.mp4", FOLDER, os.path.join(FOLDER, "clip (1).mp4"),
                                               os.path.join(FOLDER, "clip.mp4")])
        self.assertEqual(seen["confirmTitle"], "清空历史记录？")
        self.assertEqual(seen["historyRowsAfterNo"], 1)
        self.assertEqual(seen["chooserTitle"], "播放列表：" + SHOWN)
        self.assertEqual(seen["chooserFolder"], f"共 3 个视频，保存到下载文件夹中的“{FOLDER}”文件夹")
        self.assertEqual(seen["chooserEntries"], [f"{i}第{i}集{i} 秒" for i in range(1, 4)])
        self.assertEqual((seen["chooserCountAll"], seen["chooserCountNone"]), ("已选 3 / 3 个", "已选 0 / 3 个"))
        self.assertTrue(seen["chooserAddDisabled"])
        self.assertEqual(seen["chooserBadRange"], "范围“3-1”的起点大于终点，请写成“1-3”")
        self.assertEqual((seen["chooserChecked"], seen["chooserCountRange"]), ([1, 3], "已选 2 / 3 个"))


if __name__ == "__main__":
    unittest.main()
