"""An opener that runs but opens nothing: the page hears it in Chinese, the folder shows the file
instead, and the log tells what the program said, never "已打开"."""

import os

from fakeopen import only_fakes
from support import PayloadTest, wait_for

# What gio says when no program is registered for the type.
COMPLAINT = "No application is registered as handling this file"
# A stand-in gio that complains after a while, as a slow or busy desktop's does.
GIO = f"""#!/bin/sh
here="${{0%/*}}"
PATH=/usr/bin:/bin
{{ printf '%s' gio; for a in "$@"; do printf '\\t%s' "$a"; done; printf '\\n'; }} >> "$here/calls.log"
sleep "$(cat "$here/gio.delay")"
echo "gio: file://$3: {COMPLAINT}" >&2
exit 2
"""


class OpenerFailsTest(PayloadTest):
    def setUp(self) -> None:
        self.fake = only_fakes(self)
        super().setUp()
        job = self.server.finish(self.media.url("clip.mp4"))
        self.assertEqual(job["state"], "done", job["error"])
        self.url = f"/api/jobs/{job['id']}/open"
        gio = os.path.join(self.fake.bin, "gio")
        with open(gio, "w") as f:
            f.write(GIO)
        os.chmod(gio, 0o755)
        self.fake.install("xdg-open", 4)

    def shown(self) -> bool:
        return any(c[0] == "gdbus" for c in self.fake.calls())

    def test_a_failed_open_shows_the_folder_and_the_log_says_why(self):
        for delay, answer in ((0, "无法打开“clip.mp4”：系统中没有能打开这种文件的程序（xdg-open 报告失败，退出码 4）"
                                  "，已在文件夹中显示。"), (3, None)):
            with self.subTest(delay=delay):
                self.fake.forget()
                with open(os.path.join(self.fake.bin, "gio.delay"), "w") as f:
                    f.write(str(delay))
                status, body = self.server.request("POST", self.url, {})
                self.assertEqual(status, 200, body)
                self.assertEqual(body.get("message"), answer)
                # Still running when the page had its answer: the folder shows once gio gives up.
                wait_for(self.shown, 10, message="the folder to be shown")
                self.assertIn(f"{COMPLAINT}", self.server.output())
        self.assertIn("[打开] gio 在后台失败（退出码 2）", self.server.output())
        self.assertNotIn("已打开", self.server.output())
