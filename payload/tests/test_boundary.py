"""Who may reach the server and what it leaves readable: the socket the shell
hands over, other users closed out at accept, request heads on a clock,
private files, and a sign-in address that never shows on a command line."""

import os
import re
import socket
import stat
import subprocess
import sys
import tempfile
import time

from support import PAYLOAD_DIR, PYTHON, PayloadTest, free_port, wait_for

SLOW = 64
# Run as another user: opens SLOW connections and sends one byte of a request head to each every
# second; prints how many were closed on it within the first seconds, then holds the rest.
STRANGER = r"""
import socket, sys, time
port = int(sys.argv[1])
conns = [socket.create_connection(("127.0.0.1", port), timeout=5) for _ in range(%d)]
closed = set()
started = time.monotonic()
while time.monotonic() - started < float(sys.argv[2]):
    for i, c in enumerate(conns):
        if i in closed:
            continue
        try:
            c.sendall(b"G")
            c.settimeout(0.001)
            if c.recv(1) == b"":
                closed.add(i)
        except (socket.timeout, BlockingIOError):
            pass
        except OSError:
            closed.add(i)
    if len(closed) == len(conns):
        break
    time.sleep(1.0)
print(len(closed), flush=True)
""" % SLOW


def as_nobody(*argv: str) -> list[str]:
    return ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", *argv]


class HandoverTest(PayloadTest):
    """The server takes the socket the shell listens on, and only when the variables say it is for it."""

    def listener(self) -> socket.socket:
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        s.listen(8)
        self.addCleanup(s.close)
        return s

    def test_serves_on_the_handed_socket_and_passes_nothing_on(self):
        # The support starts every test's server so, with LISTEN_PID naming it.
        self.assertEqual(self.server.request("GET", "/api/jobs")[0], 200)
        target = os.readlink(f"/proc/{self.server.pid}/fd/3")
        self.assertRegex(target, r"^socket:\[")
        # No process the server starts inherits the socket or the variables.
        children = wait_for(self.server.children, 10, message="the ready download process")
        for child in children:
            with self.subTest(child=child):
                try:
                    with open(f"/proc/{child}/environ", "rb") as f:
                        environment = f.read()
                    fds = [os.readlink(f"/proc/{child}/fd/{fd}") for fd in os.listdir(f"/proc/{child}/fd")]
                except OSError:
                    continue  # ended meanwhile
                self.assertNotIn(b"LISTEN_", environment)
                self.assertNotIn(target, fds)

    def start_handed(self, handed: socket.socket, port: int, variables: dict[str, str]) -> subprocess.Popen:
        """app.py with handed as descriptor 3, LISTEN_FDS=1 and variables, asked to announce port."""
        code = ("import os, sys; os.dup2(int(sys.argv[1]), 3); os.environ['LISTEN_FDS'] = '1'; "
                "os.environ.update(a.split('=', 1) for a in sys.argv[4:]); "
                "os.execv(sys.executable, [sys.executable, '-u', sys.argv[3], '--port', sys.argv[2], '--no-browser'])")
        workdir = tempfile.mkdtemp(prefix="handover-", dir=self.workdir)
        return subprocess.Popen([PYTHON, "-c", code, str(handed.fileno()), str(port), os.path.join(PAYLOAD_DIR, "app.py"),
                                 *(f"{k}={v}" for k, v in variables.items())],
                                cwd=workdir, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                pass_fds=(handed.fileno(),))

    def test_which_variables_hand_the_socket_over(self):
        self.server.stop()
        # (case, variables besides LISTEN_FDS=1, announced port: the handed one or another,
        #  whether the handed socket is served, or None: the server refuses to start)
        cases = [("name without pid", {"LISTEN_FDNAMES": "zormak"}, "handed", True),
                 ("another name", {"LISTEN_FDNAMES": "other"}, "other", False),
                 ("another pid", {"LISTEN_FDNAMES": "zormak", "LISTEN_PID": "1"}, "other", False),
                 ("socket on another port", {"LISTEN_FDNAMES": "zormak"}, "other", None)]
        for name, variables, which, served in cases:
            with self.subTest(name):
                handed = self.listener()
                port = handed.getsockname()[1]
                wanted = port if which == "handed" else free_port()
                process = self.start_handed(handed, wanted, variables)
                handed.close()
                try:
                    if served is None:
                        out = process.communicate(timeout=20)[0]
                        self.assertEqual(process.returncode, 1, out)
                        self.assertIn(f"[服务] 无法监听 127.0.0.1:{wanted}", out)
                        self.assertNotIn("Traceback", out)
                        continue
                    assert process.stdout is not None
                    line = ""
                    while "已启动" not in line and process.poll() is None:
                        line = process.stdout.readline()
                    self.assertIn(f"http://127.0.0.1:{wanted}", line)
                    # The handed socket is served only when it was meant for the server.
                    with socket.create_connection(("127.0.0.1", port), timeout=1.5) as probe:
                        probe.sendall(f"GET /api/status HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n".encode())
                        try:
                            answer = probe.recv(100)
                        except socket.timeout:
                            answer = b""
                    self.assertEqual(answer.startswith(b"HTTP/1.1 200"), served, answer)
                finally:
                    if process.poll() is None:
                        process.terminate()
                        process.communicate(timeout=10)


class AnnouncementTest(PayloadTest):
    def test_the_server_names_itself_before_the_downloads_it_resumes(self):
        # The shell takes the first loopback address it reads; a resumed download's must not come first.
        _, body = self.server.add(self.media.url("slow/clip.mp4"))
        self.server.wait_job(body["added"][0]["id"], {"downloading"})
        wait_for(lambda: self.server.jobs()[body["added"][0]["id"]]["downloaded"] > 0, 20, message="bytes")
        self.server.stop()
        server = self.start_server()
        wait_for(lambda: "继续：" in server.output(), 20, message="the resumed download")
        first = re.search(r"http://127\.0\.0\.1:\d+", server.output())
        assert first is not None
        self.assertEqual(first.group(0), f"http://127.0.0.1:{server.port}", server.output())
        # Not by luck of the threads: the queue is restored only after the announcement.
        output = server.output()
        self.assertLess(output.index("已启动："), output.index("从上次运行恢复了"), output)


class StrangersTest(PayloadTest):
    def test_another_users_slow_connections_are_closed_and_the_window_is_answered(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to run connections as the user nobody")
        stranger = subprocess.Popen(as_nobody(sys.executable, "-c", STRANGER, str(self.server.port), "12"),
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd="/")
        self.addCleanup(stranger.kill)
        time.sleep(1.5)
        # The window's requests meanwhile are answered at once.
        times = []
        for _ in range(15):
            started = time.monotonic()
            self.assertEqual(self.server.request("GET", "/api/jobs")[0], 200)
            times.append(time.monotonic() - started)
            time.sleep(0.2)
        self.assertLess(max(times), 1.0, times)
        out, err = stranger.communicate(timeout=30)
        # Every one of them was closed on it, before it sent a whole head.
        self.assertEqual(out.strip(), str(SLOW), err)
        self.assertIn("个来自其他用户的连接", self.server.output())

    def test_a_request_head_must_arrive_within_five_seconds(self):
        slow = socket.create_connection(("127.0.0.1", self.server.port), timeout=10)
        self.addCleanup(slow.close)
        started = time.monotonic()
        closed_after = None
        for byte in b"GET /api/jobs HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + b"a" * 30:
            try:
                slow.sendall(bytes([byte]))
            except OSError:
                closed_after = time.monotonic() - started
                break
            slow.settimeout(0.5)
            try:
                if slow.recv(4096) == b"":
                    closed_after = time.monotonic() - started
                    break
            except socket.timeout:
                pass
        self.assertIsNotNone(closed_after, "the slow head was never cut off")
        assert closed_after is not None
        self.assertLess(closed_after, 7.0)
        self.assertGreater(closed_after, 4.0)

    def test_a_refused_request_closes_its_connection(self):
        conn = socket.create_connection(("127.0.0.1", self.server.port), timeout=5)
        self.addCleanup(conn.close)
        conn.sendall(f"GET /api/jobs HTTP/1.1\r\nHost: 127.0.0.1:{self.server.port}\r\n\r\n".encode())
        answer = b""
        while chunk := conn.recv(4096):
            answer += chunk
        head = answer.split(b"\r\n\r\n", 1)[0].decode()
        self.assertTrue(head.startswith("HTTP/1.1 403"), head)
        self.assertIn("\r\nConnection: close", head)


class PrivateFilesTest(PayloadTest):
    def test_data_is_the_users_alone_also_after_an_older_install(self):
        data = os.path.join(self.workdir, "data")
        self.server.stop()
        # What an older server left: readable by everyone.
        os.chmod(data, 0o755)
        for name in os.listdir(data):
            os.chmod(os.path.join(data, name), 0o644)
        self.server = self.start_server()
        job = self.server.finish(self.media.url("clip.mp4"))
        self.assertEqual(job["state"], "done", job["error"])
        self.assertEqual(self.server.request("POST", "/api/settings", {"concurrency": 3})[0], 200)
        loose = []
        for root, dirs, files in os.walk(data):
            for path in [root, *(os.path.join(root, f) for f in files)]:
                if not os.path.islink(path) and os.lstat(path).st_mode & 0o077:
                    loose.append((path, oct(os.lstat(path).st_mode)))
        self.assertEqual(loose, [])
        self.assertTrue(os.path.exists(os.path.join(data, "history.sqlite3")))
        saved = os.path.join(self.server.download_dir, "clip.mp4")
        self.assertEqual(stat.S_IMODE(os.stat(saved).st_mode) & 0o077, 0)


class SigninPageTest(PayloadTest):
    def test_the_sign_in_address_reaches_the_browser_in_a_private_file(self):
        self.server.stop()
        runtime = tempfile.mkdtemp(prefix="runtime-", dir=self.workdir)
        os.chmod(runtime, 0o700)
        record = os.path.join(self.workdir, "browser.txt")
        browser = os.path.join(self.workdir, "browser.sh")
        with open(browser, "w") as f:
            # Records its command line, and what the page it was given says, with the page's mode.
            f.write('#!/bin/sh\nprintf "%s\\n" "$*" > "{0}.tmp"\np="${{1#file://}}"\n'
                    'stat -c %a "$p" >> "{0}.tmp"\ncat "$p" >> "{0}.tmp"\nmv "{0}.tmp" "{0}"\n'.format(record))
        os.chmod(browser, 0o755)
        server = self.start_server(secret=None, browser=True,
                                   env={"BROWSER": browser, "XDG_RUNTIME_DIR": runtime})
        found = wait_for(lambda: re.search(r"http://127\.0\.0\.1:\d+/signin\?token=([\w-]+)", server.output()), 10,
                         message="the printed sign-in address")
        token = found.group(1)
        wait_for(lambda: os.path.exists(record), 10, message="the browser to be started")
        with open(record, encoding="utf-8") as f:
            command, mode, page = f.read().split("\n", 2)
        page_path = os.path.join(runtime, "zormak-signin.html")
        self.assertEqual(command, "file://" + page_path)
        self.assertEqual(mode, "600")
        self.assertIn(found.group(0).replace("&", "&amp;"), page)
        # Not on any process's command line.
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    self.assertNotIn(token.encode(), f.read(), pid)
            except OSError:
                pass
        # The address signs in once, and only whole; whoever comes second is refused.
        self.assertEqual(server.request("GET", "/api/jobs")[0], 403)
        self.assertEqual(server.request("GET", "/signin?token=" + token[:-1])[0], 403)
        status, _ = server.request("GET", "/signin?token=" + token)
        self.assertEqual((status, server.last_headers["Location"]), (303, "/"))
        cookie = server.last_headers["Set-Cookie"]
        self.assertRegex(cookie, r"^zormak_session=[0-9a-f]{64}; Path=/; HttpOnly; SameSite=Strict$")
        session = {"Cookie": cookie.split(";")[0]}
        self.assertEqual(server.request("GET", "/api/jobs", headers=session), (200, {"jobs": [], "engine_update": None}))
        self.assertEqual(server.request("GET", "/", headers=session)[0], 200)
        self.assertEqual(server.request("GET", "/signin?token=" + token)[0], 403)
        server.stop()
        self.assertFalse(os.path.exists(page_path))
