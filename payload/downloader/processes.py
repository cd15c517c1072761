"""Finding and ending the processes the server started (ffmpeg, mostly)."""

import os
import signal
import subprocess
import time


def descendants(root=None):
    """(pid, command line) of every process below root, nearest first."""
    root = os.getpid() if root is None else root
    try:
        ps = subprocess.Popen(["ps", "-A", "-o", "pid=", "-o", "ppid=", "-o", "args="],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        out, _ = ps.communicate(timeout=2)
    except (OSError, subprocess.SubprocessError):
        return []
    children = {}
    args = {}
    for line in out.splitlines():
        parts = line.split(None, 2)
        if len(parts) < 2 or not parts[0].isdigit() or not parts[1].isdigit():
            continue
        pid, ppid = int(parts[0]), int(parts[1])
        if pid == ps.pid:
            continue
        children.setdefault(ppid, []).append(pid)
        args[pid] = parts[2] if len(parts) > 2 else ""
    found = []
    todo = list(children.get(root, []))
    while todo:
        pid = todo.pop(0)
        found.append((pid, args.get(pid, "")))
        todo.extend(children.get(pid, []))
    return found


def _alive(pid):
    try:
        # A zombie still answers kill(0); reap our own children so they count as gone.
        done, _ = os.waitpid(pid, os.WNOHANG)
        if done == pid:
            return False
    except ChildProcessError:
        pass
    except OSError:
        pass
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def end(pids, grace=0.3):
    """SIGTERM, then SIGKILL for whatever is still there after grace seconds."""
    pids = [p for p in pids if p != os.getpid()]
    for pid in pids:
        try:
            os.kill(pid, signal.SIGTERM)
        except OSError:
            pass
    deadline = time.monotonic() + grace
    while time.monotonic() < deadline and any(_alive(p) for p in pids):
        time.sleep(0.02)
    for pid in pids:
        if _alive(pid):
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
