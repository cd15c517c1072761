"""Start-up, stop and memory benchmark of the real zormak binary with the
real payload under Xvfb, against three baselines in the same interleaved
run: the server alone, the floor (bench/floor/floor.c) and pywebview.

Each round runs every contender once, one after the other; the first round
is a warm-up and is dropped. A run ends once the served page has loaded (or,
for the server alone, once it has announced itself); after a short settling
time the memory of the contender's process and of its whole process tree is
read, then it gets SIGTERM and the time until it has exited is taken.

The baselines start the server without the shell's launch secret and load
the one-time sign-in address it prints, as a user's browser does; every run
records what the server answered, so the report can show that all three
loaded the same application (every address answered alike), not a refusal.

With HOGS above 0, that many busy loops run through the whole benchmark,
as on a machine busy with other work.

Usage: startup_bench.py BUILD_DIR OUT_JSON [ROUNDS] [HOGS]
"""
import glob
import json
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SETTLE = 1.0

# One Xvfb and one private session bus, as the end-to-end tests run them.
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from test_shell import Display, proc_stat  # noqa: E402


def now():
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC)


def read_marks(path):
    marks = []
    try:
        with open(path) as f:
            for line in f:
                parts = line.rstrip("\n").split(" ", 2)
                if len(parts) >= 2 and parts[0].isdigit():
                    marks.append((int(parts[0]), parts[1], parts[2].strip() if len(parts) > 2 else ""))
    except FileNotFoundError:
        pass
    return marks


def first(marks, event, prefix=None):
    for t, e, d in marks:
        if e == event and (prefix is None or d.startswith(prefix)):
            return t
    return None


def page_of(marks):
    """The shell's marks with the page each load event belongs to.

    A load asked for while the starting page is still loading ends that one,
    and that one's last event already carries the new address; the engine
    does not always name the address in load-started either. So a load event
    counts for the served page from the first load-started after the served
    URL was asked for on."""
    asked = served = False
    for t, e, d in marks:
        if e == "load-request":
            asked = True
        elif e == "load-started" and asked:
            served = True
        yield t, e, d, "served" if served else "start-page"


def served_loaded(marks):
    return next((t for t, e, _, page in page_of(marks) if e == "load-finished" and page == "served"), None)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def descendants(root):
    children = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            stat = proc_stat(int(name))
            if stat:
                children.setdefault(stat[1], []).append(int(name))
    found, todo = [], [root]
    while todo:
        pid = todo.pop()
        found.append(pid)
        todo.extend(children.get(pid, []))
    return found


def proc_kb(pid, file, field):
    """A "Field: N kB" value of /proc/PID/FILE, 0 when it cannot be read."""
    try:
        with open("/proc/%d/%s" % (pid, file)) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def memory(pid):
    tree = descendants(pid)
    return {
        "rss_kb": proc_kb(pid, "status", "VmRSS"),
        "tree_rss_kb": sum(proc_kb(p, "status", "VmRSS") for p in tree),
        "tree_pss_kb": sum(proc_kb(p, "smaps_rollup", "Pss") for p in tree),
        "tree_processes": len(tree),
    }


class Bench:
    def __init__(self, build, work):
        self.work = work
        self.display = Display()
        payload = os.path.join(build, "share", "zormak", "payload")
        # The installed layout: the binary is copied (its resources are found
        # from its real path), the payload linked.
        inst = os.path.join(work, "inst")
        os.makedirs(os.path.join(inst, "bin"))
        os.makedirs(os.path.join(inst, "share", "zormak"))
        self.zormak = os.path.join(inst, "bin", "zormak")
        shutil.copy2(os.path.join(build, "bin", "zormak"), self.zormak)
        os.symlink(payload, os.path.join(inst, "share", "zormak", "payload"))
        self.floor = os.path.join(build, "bin", "bench_floor")
        # The baselines serve from a copy of the payload of their own.
        self.app = os.path.join(work, "baseline-app")
        subprocess.run(["cp", "-a", payload, self.app], check=True)
        shutil.rmtree(os.path.join(self.app, "data"), ignore_errors=True)
        self.env = {k: v for k, v in os.environ.items()
                    if not k.startswith("XDG_") and k not in ("DBUS_SESSION_BUS_ADDRESS", "WAYLAND_DISPLAY")}
        self.env.update({
            "DISPLAY": self.display.display,
            "DBUS_SESSION_BUS_ADDRESS": self.display.bus_address,
            "GDK_BACKEND": "x11",
            "LIBGL_ALWAYS_SOFTWARE": "1",
            "WEBKIT_DISABLE_COMPOSITING_MODE": "1",
            "NO_AT_BRIDGE": "1",
            "GTK_A11Y": "none",
            "PYTHONPATH": os.path.join(HERE, "trace"),
            "PYTHONDONTWRITEBYTECODE": "1",
        })
        self.count = 0

    def close(self):
        self.display.close()

    def run(self, name):
        self.count += 1
        home = os.path.join(self.work, "home-" + name)
        os.makedirs(home, exist_ok=True)
        shell_trace = os.path.join(self.work, "trace-%d-shell" % self.count)
        server_trace = os.path.join(self.work, "trace-%d-server" % self.count)
        env = dict(self.env, HOME=home, ZORMAK_TRACE=shell_trace, ZORMAK_SERVER_TRACE=server_trace)
        port = str(free_port())
        if name == "zormak":
            argv, cwd = [self.zormak], home
        elif name == "floor":
            argv, cwd = [self.floor, self.app, port], home
        elif name == "pywebview":
            argv, cwd = ["/usr/bin/python3", os.path.join(HERE, "pywebview_show.py"), self.app, port], home
        else:
            argv = [os.path.join(self.app, ".venv", "bin", "python"), "-u", "app.py", "--port", port, "--no-browser"]
            cwd = self.app
        err = open(os.path.join(self.work, "stderr-%d-%s.txt" % (self.count, name)), "wb")
        t0 = now()
        proc = subprocess.Popen(argv, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=err, start_new_session=True)
        err.close()
        done = (lambda: first(read_marks(server_trace), "announce")) if name == "server" else \
            (lambda: served_loaded(read_marks(shell_trace)))
        deadline = time.monotonic() + 60
        while not done() and time.monotonic() < deadline and proc.poll() is None:
            time.sleep(0.005)
        ok = bool(done())
        time.sleep(SETTLE if name != "server" else 0.2)
        mem = memory(proc.pid)
        server_pid = first_pid(read_marks(server_trace))
        # A pidfd wakes us the moment the process ends (Popen.wait with a
        # time-out polls in steps of up to 50 ms). A contender that ended by
        # itself is reported, not measured.
        ended = proc.poll()
        if ended is None:
            pidfd = os.pidfd_open(proc.pid)
            poller = select.poll()
            poller.register(pidfd, select.POLLIN)
            t_stop = now()
            proc.send_signal(signal.SIGTERM)
            exited = poller.poll(20000)
            t_exit = now()
            os.close(pidfd)
            if not exited:
                proc.kill()
        else:
            ok, t_stop, t_exit = False, 0, 0
            with open(err.name, "rb") as f:
                tail = f.read()[-1500:].decode("utf-8", "replace")
            print("startup_bench: %s ended by itself with status %d:\n%s" % (name, ended, tail), file=sys.stderr)
        proc.wait()
        # Nothing of a run may outlive it.
        if server_pid:
            try:
                os.killpg(server_pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
        marks = {}
        server_marks = read_marks(server_trace)
        for source, path in (("shell", shell_trace), ("server", server_trace)):
            for t, e, d, page in page_of(read_marks(path)):
                key = "%s:%s" % (source, e)
                if e.startswith("load-") and e not in ("load-html", "load-request"):
                    key += ":" + page
                elif e == "load-request":
                    key += ":served"
                if e == "request":
                    if d != "/":
                        continue
                    key += ":root"
                marks.setdefault(key, (t - t0) / 1e6)
        result = {"contender": name, "ok": ok, "marks_ms": marks, "memory": mem,
                  "stop_ms": (t_exit - t_stop) / 1e6, "answered": answered(server_marks)}
        if name == "zormak":
            result["renderer"] = renderer_line(home)
        return result


def renderer_line(home):
    """The renderer the shell chose, as its log says."""
    for log in glob.glob(os.path.join(home, ".local", "share", "ZORMAK", "*.log")):
        with open(log, encoding="utf-8", errors="replace") as f:
            lines = [line.strip() for line in f if "图形渲染" in line]
        if lines:
            return lines[-1]
    return None


def start_hogs(count):
    """Busy loops, one process each, in a process group of their own."""
    return [subprocess.Popen(["/bin/sh", "-c", "while :; do :; done"], start_new_session=True)
            for _ in range(count)]


def answered(marks):
    """Address (without its query) -> the status of its first answer."""
    found = {}
    for _, e, d in marks:
        code, _, path = d.partition(" ")
        if e == "response" and code.isdigit():
            found.setdefault(path.split("?", 1)[0], int(code))
    return found


def first_pid(marks):
    for _, e, d in marks:
        if e == "python" and d.isdigit():
            return int(d)
    return None


def main():
    build, out = os.path.abspath(sys.argv[1]), sys.argv[2]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 7
    hogs = int(sys.argv[4]) if len(sys.argv) > 4 else 0
    contenders = ["server", "floor", "zormak", "pywebview"]
    work = tempfile.mkdtemp(prefix="zormak-bench-")
    bench = Bench(build, work)
    results = []
    hog_procs = start_hogs(hogs)
    load_before = os.getloadavg()
    try:
        print("startup_bench: work in", work, file=sys.stderr)
        bench.run("zormak")  # installs the payload: every measured run is a warm start
        for round_ in range(-1, rounds):  # round -1 is the warm-up
            for name in contenders:
                r = bench.run(name)
                r["round"] = round_
                if not r["ok"]:
                    print("startup_bench: %s did not finish in round %d" % (name, round_), file=sys.stderr)
                if round_ >= 0:
                    results.append(r)
                time.sleep(0.3)
    finally:
        load_after = os.getloadavg()
        for hog in hog_procs:
            hog.kill()
            hog.wait()
        bench.close()
        if not os.environ.get("ZORMAK_BENCH_KEEP"):
            shutil.rmtree(work, ignore_errors=True)
    with open(out, "w") as f:
        json.dump({"bench": "startup", "rounds": rounds, "settle_s": SETTLE, "hogs": hogs,
                   "load_before": load_before, "load_after": load_after, "runs": results}, f, indent=1)


if __name__ == "__main__":
    main()
