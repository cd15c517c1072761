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
from typing import Callable

import pytest

from media import MediaServer
from support import HERE, PAYLOAD_DIR, PYTHON, Payload, command_line, free_port, wait_for

SLOW = 64
# Run as another user: opens SLOW connections and prints how many of them the server closed within
# argv[2] seconds, less than the clock a request head has, sending nothing.
STRANGER = r"""
import socket, sys, time
conns = [socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=5) for _ in range(%d)]
deadline, closed = time.monotonic() + float(sys.argv[2]), 0
for c in conns:
    c.settimeout(max(0.01, deadline - time.monotonic()))
    try:
        closed += c.recv(1) == b""
    except socket.timeout:
        pass
    except OSError:
        closed += 1
print(closed, flush=True)
""" % SLOW


def test_serves_on_the_handed_socket_and_passes_nothing_on(payload: Payload) -> None:
    # The support starts every test's server so, with LISTEN_PID naming it.
    assert payload.request("GET", "/api/jobs")[0] == 200
    target = os.readlink(f"/proc/{payload.pid}/fd/3")
    assert target.startswith("socket:["), target
    # No process the server starts inherits the socket or the variables.
    for child in wait_for(payload.children, 10, message="the ready download process"):
        try:
            with open(f"/proc/{child}/environ", "rb") as f:
                environment = f.read()
            fds = [os.readlink(f"/proc/{child}/fd/{fd}") for fd in os.listdir(f"/proc/{child}/fd")]
        except OSError:
            continue  # ended meanwhile
        assert b"LISTEN_" not in environment and target not in fds, (child, fds)


# (variables besides LISTEN_FDS=1, announced port: the handed one or another,
#  whether the handed socket is served, or None: the server refuses to start)
@pytest.mark.parametrize("variables, which, served", [
    ({"LISTEN_FDNAMES": "zormak"}, "handed", True),
    ({"LISTEN_FDNAMES": "other"}, "other", False),
    ({"LISTEN_FDNAMES": "zormak", "LISTEN_PID": "1"}, "other", False),
    ({"LISTEN_FDNAMES": "zormak"}, "other", None),
], ids=["name without pid", "another name", "another pid", "socket on another port"])
def test_which_variables_hand_the_socket_over(variables: dict[str, str], which: str, served: bool | None,
                                              workdir: str) -> None:
    with socket.socket() as handed:
        handed.bind(("127.0.0.1", 0))
        handed.listen(8)
        port = handed.getsockname()[1]
        wanted = port if which == "handed" else free_port()
        # app.py with handed as descriptor 3, LISTEN_FDS=1 and variables, asked to announce wanted.
        process = subprocess.Popen([sys.executable, os.path.join(HERE, "handover.py"), str(handed.fileno()), "--no-pid",
                                    PYTHON, "-u", os.path.join(PAYLOAD_DIR, "app.py"), "--port", str(wanted), "--no-browser"],
                                   env={**os.environ, "LISTEN_FDS": "1", **variables}, cwd=workdir, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, text=True, pass_fds=(handed.fileno(),))
    try:
        if served is None:
            out = process.communicate(timeout=20)[0]
            assert process.returncode == 1 and f"[服务] 无法监听 127.0.0.1:{wanted}" in out, out
            assert "Traceback" not in out, out
            return
        assert process.stdout is not None
        line = ""
        while "已启动" not in line and process.poll() is None:
            line = process.stdout.readline()
        assert f"http://127.0.0.1:{wanted}" in line
        # The handed socket is served only when it was meant for the server.
        with socket.create_connection(("127.0.0.1", port), timeout=1.5) as probe:
            probe.sendall(f"GET /api/status HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n".encode())
            try:
                answer = probe.recv(100)
            except socket.timeout:
                answer = b""
        assert answer.startswith(b"HTTP/1.1 200") == served, answer
    finally:
        if process.poll() is None:
            process.terminate()
            process.communicate(timeout=10)


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to run connections as the user nobody")
def test_another_users_slow_connections_are_closed_and_the_window_is_answered(payload: Payload) -> None:
    stranger = subprocess.Popen(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", sys.executable,
                                 "-c", STRANGER, str(payload.port), "3"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd="/")
    try:
        time.sleep(1.5)
        # The window's requests meanwhile are answered at once.
        times = []
        for _ in range(15):
            started = time.monotonic()
            assert payload.request("GET", "/api/jobs")[0] == 200
            times.append(time.monotonic() - started)
            time.sleep(0.2)
        assert max(times) < 1.0, times
        out, err = stranger.communicate(timeout=30)
    finally:
        stranger.kill()
        stranger.wait()
    # Every one of them was closed on it at once, not by the clock on request heads.
    assert out.strip() == str(SLOW), err
    assert "个来自其他用户的连接" in payload.output()


def test_a_request_head_must_arrive_within_five_seconds_and_a_refused_one_closes(payload: Payload) -> None:
    with socket.create_connection(("127.0.0.1", payload.port), timeout=10) as slow:
        started = time.monotonic()
        closed_after = None
        for byte in b"GET /api/jobs HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + b"a" * 30:
            try:
                slow.sendall(bytes([byte]))
                slow.settimeout(0.5)
                if slow.recv(4096) == b"":
                    closed_after = time.monotonic() - started
                    break
            except socket.timeout:
                pass
            except OSError:
                closed_after = time.monotonic() - started
                break
    assert closed_after is not None, "the slow head was never cut off"
    assert 4.0 < closed_after < 7.0, closed_after
    # A refused request (here: no session cookie) ends its connection.
    with socket.create_connection(("127.0.0.1", payload.port), timeout=5) as conn:
        conn.sendall(f"GET /api/jobs HTTP/1.1\r\nHost: 127.0.0.1:{payload.port}\r\n\r\n".encode())
        answer = b""
        while chunk := conn.recv(4096):
            answer += chunk
    head = answer.split(b"\r\n\r\n", 1)[0].decode()
    assert head.startswith("HTTP/1.1 403") and "\r\nConnection: close" in head, head


def test_data_is_the_users_alone_also_after_an_older_install(payload: Payload, media: MediaServer,
                                                             start: Callable[..., Payload]) -> None:
    data = os.path.join(payload.workdir, "data")
    payload.stop()
    # What an older server left: readable by everyone.
    os.chmod(data, 0o755)
    for name in os.listdir(data):
        os.chmod(os.path.join(data, name), 0o644)
    server = start()
    job = server.finish(media.url("clip.mp4"))
    assert job["state"] == "done", job["error"]
    assert server.request("POST", "/api/settings", {"concurrency": 3})[0] == 200
    assert os.path.exists(os.path.join(data, "history.sqlite3"))
    loose = [(path, oct(os.lstat(path).st_mode)) for root, _, files in os.walk(data)
             for path in [root, *(os.path.join(root, f) for f in files)]
             if not os.path.islink(path) and os.lstat(path).st_mode & 0o077]
    assert loose == []
    assert stat.S_IMODE(os.stat(os.path.join(server.download_dir, "clip.mp4")).st_mode) & 0o077 == 0


def test_the_sign_in_address_reaches_the_browser_in_a_private_file(workdir: str,
                                                                    start: Callable[..., Payload]) -> None:
    runtime = tempfile.mkdtemp(prefix="runtime-", dir=workdir)
    os.chmod(runtime, 0o700)
    record = os.path.join(workdir, "browser.txt")
    browser = os.path.join(workdir, "browser.sh")
    with open(browser, "w") as f:
        # Records its command line, and what the page it was given says, with the page's mode.
        f.write('#!/bin/sh\nprintf "%s\\n" "$*" > "{0}.tmp"\np="${{1#file://}}"\n'
                'stat -c %a "$p" >> "{0}.tmp"\ncat "$p" >> "{0}.tmp"\nmv "{0}.tmp" "{0}"\n'.format(record))
    os.chmod(browser, 0o755)
    server = start(secret=None, browser=True, env={"BROWSER": browser, "XDG_RUNTIME_DIR": runtime})
    found = wait_for(lambda: re.search(r"http://127\.0\.0\.1:\d+/signin\?token=([\w-]+)", server.output()), 10,
                     message="the printed sign-in address")
    token = found.group(1)
    wait_for(lambda: os.path.exists(record), 10, message="the browser to be started")
    with open(record, encoding="utf-8") as f:
        command, mode, page = f.read().split("\n", 2)
    page_path = os.path.join(runtime, "zormak-signin.html")
    assert (command, mode) == ("file://" + page_path, "600")
    assert found.group(0).replace("&", "&amp;") in page
    # Not on any process's command line.
    for pid in filter(str.isdigit, os.listdir("/proc")):
        assert token not in " ".join(command_line(int(pid))), pid
    # The address signs in once, and only whole; whoever comes second is refused.
    assert server.request("GET", "/api/jobs")[0] == 403
    assert server.request("GET", "/signin?token=" + token[:-1])[0] == 403
    assert server.request("GET", "/signin?token=" + token)[0] == 303
    assert server.last_headers["Location"] == "/"
    cookie = server.last_headers["Set-Cookie"]
    assert re.fullmatch(r"zormak_session=[0-9a-f]{64}; Path=/; HttpOnly; SameSite=Strict", cookie), cookie
    session = {"Cookie": cookie.split(";")[0]}
    assert server.request("GET", "/api/jobs", headers=session) == (200, {"jobs": [], "engine_update": None})
    assert server.request("GET", "/", headers=session)[0] == 200
    assert server.request("GET", "/signin?token=" + token)[0] == 403
    server.stop()
    assert not os.path.exists(page_path)
