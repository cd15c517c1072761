"""The cookies file: checked when the settings are saved, and a file that went bad later is
named in words, never by the private copy the engine reads."""

import os
import tempfile
import unittest

from support import PayloadTest

from downloader.errors import UserError
from downloader.settings import Settings

HEADER = "# Netscape HTTP Cookie File\n"
ENTRY = "127.0.0.1\tFALSE\t/\tFALSE\t4102444800\tsession\tvalue\n"
HOW = "请用浏览器扩展以 Netscape 格式重新导出 cookies.txt。"


class CheckedWhenSavedTest(unittest.TestCase):
    def test_formats(self) -> None:
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        path = os.path.join(folder.name, "导出.txt")
        settings = Settings(folder.name)
        table = [
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
            (HEADER + ENTRY.replace("4102444800", "明天"), "“导出.txt”里没有一条可用的 cookie"),
        ]
        for text, refused in table:
            with self.subTest(text=text):
                with open(path, "w", encoding="utf-8", newline="") as f:
                    f.write(text)
                if refused is None:
                    self.assertEqual(settings.update({"cookies_file": path})["cookies_file"], path)
                    continue
                settings.update({"cookies_file": ""})
                with self.assertRaises(UserError) as caught:
                    settings.update({"cookies_file": path})
                self.assertTrue(caught.exception.message.startswith(refused), caught.exception.message)
                self.assertTrue(caught.exception.message.endswith(HOW))
                self.assertEqual(settings.get()["cookies_file"], "")


class SpoiledLaterTest(PayloadTest):
    def test_a_file_changed_after_saving_fails_in_words(self) -> None:
        path = os.path.join(self.workdir, "cookies.txt")
        with open(path, "w", encoding="utf-8") as f:
            f.write(HEADER + ENTRY)
        status, body = self.server.request("POST", "/api/settings", {"cookies_file": path})
        self.assertEqual(status, 200, body)
        with open(path, "w", encoding="utf-8") as f:
            f.write('[{"name": "session"}]')
        job = self.server.finish(self.media.url("clip.mp4"))
        self.assertEqual(job["state"], "failed")
        self.assertTrue(job["error"].startswith("下载引擎无法读取设置中的 Cookies 文件"), job["error"])
        self.assertNotIn("zormak-cookies-", job["error"])
