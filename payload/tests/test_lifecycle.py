"""Start, stop and restart: what the shell relies on, and what the user keeps."""

import os
import signal
import subprocess
import time

from media import long_audio
from support import PAYLOAD_DIR, PYTHON, PayloadTest, alive, wait_for


class StartTest(PayloadTest):
    def test_names_itself_app_py_and_listens_on_loopback_only(self):
        # (Its announced address is checked where a resumed download could come first.)
        with open(f"/proc/{self.server.pid}/cmdline", "rb") as f:
            self.assertIn(b"app.py", f.read())
        with open("/proc/net/tcp") as f:
            listening = [l.split()[1] for l in f.readlines()[1:] if l.split()[3] == "0A"]
        self.assertIn("0100007F:%04X" % self.server.port, listening)
        self.assertNotIn("00000000:%04X" % self.server.port, listening)

    def test_port_in_use_is_reported_in_chinese(self):
        other = subprocess.run([PYTHON, "-u", os.path.join(PAYLOAD_DIR, "app.py"), "--port", str(self.server.port),
                                "--no-browser"], cwd=self.workdir, capture_output=True, timeout=20)
        self.assertEqual(other.returncode, 1)
        self.assertIn(f"[服务] 无法监听 127.0.0.1:{self.server.port}".encode(), other.stdout)
        self.assertNotIn(b"Traceback", other.stdout + other.stderr)


class RestartTest(PayloadTest):
    def test_settings_and_history_survive_a_restart(self):
        new_dir = os.path.join(self.workdir, "downloads", "视频")
        status, saved = self.server.request("POST", "/api/settings",
                                            {"download_dir": new_dir, "format": "audio", "concurrency": "3",
                                             "subtitles": "embed"})
        self.assertEqual(status, 200, saved)
        self.assertEqual({k: saved[k] for k in ("download_dir", "format", "concurrency", "subtitles")},
                         {"download_dir": new_dir, "format": "audio:mp3", "concurrency": 3, "subtitles": "embed"})
        job = self.server.finish(self.media.url("clip.mp4"), "video")
        self.assertEqual(job["state"], "done", job["error"])
        before = self.server.request("GET", "/api/history")[1]["entries"]
        self.assertEqual(before[0]["path"], os.path.join(new_dir, "clip.mp4"))
        self.assertEqual(self.server.stop(), 0)

        again = self.start_server()
        self.assertEqual(again.request("GET", "/api/settings")[1], saved)
        self.assertEqual(again.request("GET", "/api/history")[1]["entries"], before)
        self.assertEqual(again.jobs(), {})
        # The saved default format applies to new downloads (this one confirmed as a repeat).
        self.assertEqual(again.finish(self.media.url("clip.mp4"), force=True)["format"], "audio:mp3")
        self.assertEqual(len(again.request("GET", "/api/history")[1]["entries"]), 2)


class SigtermTest(PayloadTest):
    settings = {"concurrency": 3}

    def assert_prompt_clean_exit(self, watched):
        started = time.monotonic()
        self.server.process.send_signal(signal.SIGTERM)
        code = self.server.process.wait(3)
        elapsed = time.monotonic() - started
        self.assertEqual(code, 0, self.server.output())
        self.assertLess(elapsed, 1.0)
        wait_for(lambda: not any(alive(p) for p in watched), 1.0 - min(elapsed, 0.9), 0.01,
                 message="the server's children to end")
        out = self.server.output()
        self.assertIn("[服务] 收到信号 SIGTERM，正在停止", out)
        self.assertRegex(out, r"\[服务\] 已停止(（中断了 [1-9]\d* 个下载，下次启动时继续）)?\n")
        self.assertNotIn("\r", out)
        self.assertNotIn("Traceback", out)

    def test_sigterm_during_downloads_ends_server_and_ffmpeg(self):
        audio = os.path.basename(long_audio())
        _, body = self.server.add(self.media.url("slow/clip.mp4") + " " + self.media.url(audio), "audio")
        slow, converting = (j["id"] for j in body["added"])
        self.server.wait_job(converting, {"processing"}, timeout=30)
        ffmpeg = wait_for(lambda: [p for p in self.server.children() if _command(p).startswith("ffmpeg")],
                          10, message="ffmpeg to start")
        self.assertEqual(self.server.jobs()[slow]["state"], "downloading")
        self.assert_prompt_clean_exit(self.server.children())
        self.assertFalse(any(alive(p) for p in ffmpeg))
        self.assertIn(f"[下载 #{slow}] 已加入队列", self.server.output())
        self.assertRegex(self.server.output(), r"已停止（中断了 2 个下载，下次启动时继续）")
        # Nothing half-done appears beside the user's files; the partial data waits in hidden staging folders.
        self.assertTrue(all(f.startswith(".zormak-partial-") for f in self.server.files()), self.server.files())

    def test_sigterm_when_idle(self):
        self.assert_prompt_clean_exit([])

    def test_parent_killed_ends_server_and_ffmpeg(self):
        # A platform without a parent-death signal: the server must notice by itself.
        self.server.stop()
        orphan = self.start_server(standin_parent=True)
        _, body = orphan.add(self.media.url("slow/clip.mp4") + " " + self.media.url(os.path.basename(long_audio())),
                             "audio")
        orphan.wait_job(body["added"][1]["id"], {"processing"}, timeout=30)
        watched = [orphan.pid] + wait_for(
            lambda: [p for p in orphan.children() if _command(p).startswith("ffmpeg")], 10, message="ffmpeg")
        os.kill(orphan.process.pid, signal.SIGKILL)
        wait_for(lambda: not any(alive(p) for p in watched), 5, message="the orphaned server and ffmpeg to end")
        self.assertTrue(all(f.startswith(".zormak-partial-") for f in orphan.files()), orphan.files())


def _command(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return os.path.basename(f.read().split(b"\0")[0].decode())
    except OSError:
        return ""
