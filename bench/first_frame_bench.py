"""Exec to the first non-blank frame of zormak's window, on an idle machine
and with two CPU hogs, in one interleaved run (idle, loaded, idle, ...).

The runner watches the screen itself: every few milliseconds it reads the
middle of the window (where the start-up cover and the starting page put
their spinner and text) from Xvfb and counts its distinct colours. A window
not yet drawn shows the black root (Xvfb -br), a drawn but empty one its
background; either is one colour, anything drawn there many. The shell's
trace adds when a page had painted and the cover was lifted, which is when
the window would first have shown something without the cover.

The payload is the end-to-end tests' stand-in server (tests/e2e), so that
the benchmark needs no assembled payload; its start competes for the CPU as
the real server's does, and what is measured happens before either answers.

Usage: first_frame_bench.py BUILD_DIR OUT_JSON [ROUNDS] [--report REPORT_MD]
"""
import ctypes
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
E2E = os.path.join(ROOT, "tests", "e2e")
BEGIN, END = "<!-- first-frame:begin -->", "<!-- first-frame:end -->"
DRAWN = 4  # distinct colours that mean something is drawn
BLACK = b"\0\0\0"


class XImage(ctypes.Structure):
    _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int), ("xoffset", ctypes.c_int),
                ("format", ctypes.c_int), ("data", ctypes.POINTER(ctypes.c_uint8)),
                ("byte_order", ctypes.c_int), ("bitmap_unit", ctypes.c_int),
                ("bitmap_bit_order", ctypes.c_int), ("bitmap_pad", ctypes.c_int),
                ("depth", ctypes.c_int), ("bytes_per_line", ctypes.c_int),
                ("bits_per_pixel", ctypes.c_int)]


class Screen:
    """Reads what the display shows through Xlib."""

    def __init__(self, display):
        x = ctypes.CDLL("libX11.so.6")
        x.XOpenDisplay.restype = ctypes.c_void_p
        x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x.XDefaultRootWindow.restype = ctypes.c_ulong
        x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        x.XGetImage.restype = ctypes.POINTER(XImage)
        x.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                                ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
        x.XDestroyImage = None
        x.XFree.argtypes = [ctypes.c_void_p]
        self.x = x
        self.d = x.XOpenDisplay(display.encode())
        self.root = x.XDefaultRootWindow(self.d)

    def colours(self, left, top, width, height):
        """The distinct pixel values of the root's rectangle (the whole screen,
        so a window not yet mapped shows as the black root)."""
        image = self.x.XGetImage(self.d, self.root, left, top, width, height, 0xFFFFFFFF, 2)
        if not image:
            return set()
        im = image.contents
        seen = set()
        row_bytes = im.bytes_per_line
        raw = ctypes.string_at(im.data, row_bytes * im.height)
        for y in range(0, im.height, 2):
            row = raw[y * row_bytes:y * row_bytes + im.width * 4]
            seen.update(row[i:i + 3] for i in range(0, len(row), 8))
        # XDestroyImage is a macro; the image's own destroy function frees it.
        self.x.XFree(im.data)
        self.x.XFree(image)
        return seen


def start_display(work):
    r, w = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1400x1000x24", "-br",
                             "-nolisten", "tcp"], pass_fds=(w,), stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    os.close(w)
    with os.fdopen(r) as f:
        display = ":" + f.readline().strip()
    bus = subprocess.Popen(["dbus-daemon", "--config-file=" + os.path.join(E2E, "session-bus.conf"),
                            "--nofork", "--nopidfile", "--print-address=1"],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    return xvfb, bus, display, bus.stdout.readline().strip()


def install(build, work):
    """The installed layout with the stand-in payload, as the e2e tests lay it out."""
    os.makedirs(os.path.join(work, "bin"))
    shutil.copy2(os.path.join(build, "bin", "zormak"), os.path.join(work, "bin", "zormak"))
    p = os.path.join(work, "share", "zormak", "payload")
    os.makedirs(os.path.join(p, ".venv", "bin"))
    shutil.copy(os.path.join(E2E, "fake_server.py"), os.path.join(p, "app.py"))
    with open(os.path.join(p, "PAYLOAD_VERSION"), "w") as f:
        f.write("bench-1\n")
    with open(os.path.join(p, "behaviour.json"), "w") as f:
        json.dump({"mode": "serve", "record": os.path.join(work, "requests.log")}, f)
    python = os.path.join(p, ".venv", "bin", "python")
    with open(python, "w") as f:
        f.write('#!/bin/sh\nexec /usr/bin/python3 "$@"\n')
    os.chmod(python, 0o755)
    return os.path.join(work, "bin", "zormak")


def trace_ms(path, event, t0):
    try:
        with open(path) as f:
            for line in f:
                parts = line.split()
                if len(parts) >= 2 and parts[1] == event:
                    return (int(parts[0]) - t0) / 1e6
    except FileNotFoundError:
        pass
    return None


def one_run(binary, env, screen, work, n):
    home = os.path.join(work, "home")  # one home: every run after the first is a warm start
    os.makedirs(home, exist_ok=True)
    trace = os.path.join(work, "trace-%d" % n)
    t0 = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
    proc = subprocess.Popen([binary], env=dict(env, HOME=home, ZORMAK_TRACE=trace),
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    first = mapped = None
    deadline = time.monotonic() + 60
    # The window opens at 1180×840 in the top left corner (no window manager);
    # its middle holds the cover's spinner and text.
    while first is None and time.monotonic() < deadline and proc.poll() is None:
        seen = screen.colours(390, 330, 400, 220)
        at = (time.clock_gettime_ns(time.CLOCK_MONOTONIC) - t0) / 1e6
        if mapped is None and seen and seen != {BLACK}:
            mapped = at
        if len(seen) >= DRAWN:
            first = at
        else:
            time.sleep(0.004)
    while trace_ms(trace, "cover-lifted", t0) is None and time.monotonic() < deadline:
        time.sleep(0.02)
    result = {"first_frame_ms": first, "mapped_ms": mapped, "page_painted_ms": trace_ms(trace, "cover-lifted", t0),
              "present_ms": trace_ms(trace, "present", t0)}
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(20)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
    time.sleep(0.3)
    return result


def median(values):
    v = sorted(x for x in values if x is not None)
    if not v:
        return None
    return v[len(v) // 2] if len(v) % 2 else (v[len(v) // 2 - 1] + v[len(v) // 2]) / 2


def summary(runs, key):
    v = [r[key] for r in runs if r[key] is not None]
    return {"median": median(v), "min": min(v) if v else None, "max": max(v) if v else None,
            "n": len(v)}


def write_report(path, data):
    idle = [r for r in data["runs"] if not r["loaded"]]
    loaded = [r for r in data["runs"] if r["loaded"]]

    def cell(runs, key):
        s = summary(runs, key)
        return "%.0f ms (min %.0f, max %.0f)" % (s["median"], s["min"], s["max"]) if s["n"] else "n/a"

    def ratio(key):
        a, b = summary(loaded, key)["median"], summary(idle, key)["median"]
        return "%.2f" % (a / b) if a and b else "n/a"

    lines = [BEGIN,
             "_Generated by `bench/first_frame_bench.py` on %s, %d rounds, with %d busy loops "
             "as the load; load average before the run %.1f._" % (
                 data["date"], data["rounds"], data["hogs"], data["loadavg"]),
             "",
             "| exec → | idle | two CPU hogs | loaded / idle (medians) |",
             "|---|---|---|---|",
             "| first non-blank frame (the cover) | %s | %s | **%s** |" % (
                 cell(idle, "first_frame_ms"), cell(loaded, "first_frame_ms"), ratio("first_frame_ms")),
             "| the window's first colour other than the root's black | %s | %s | %s |" % (
                 cell(idle, "mapped_ms"), cell(loaded, "mapped_ms"), ratio("mapped_ms")),
             "| window presented (shell's trace) | %s | %s | %s |" % (
                 cell(idle, "present_ms"), cell(loaded, "present_ms"), ratio("present_ms")),
             "| a page painted, the cover lifted | %s | %s | %s |" % (
                 cell(idle, "page_painted_ms"), cell(loaded, "page_painted_ms"), ratio("page_painted_ms")),
             END]
    with open(path, encoding="utf-8") as f:
        text = f.read()
    if BEGIN in text:
        text = text[:text.index(BEGIN)] + "\n".join(lines) + text[text.index(END) + len(END):]
    else:
        text = text.rstrip("\n") + "\n\n" + "\n".join(lines) + "\n"
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def main():
    args = sys.argv[1:]
    report = None
    if "--report" in args:
        report = args[args.index("--report") + 1]
        del args[args.index("--report"):args.index("--report") + 2]
    build, out = os.path.abspath(args[0]), args[1]
    rounds = int(args[2]) if len(args) > 2 else 5
    work = tempfile.mkdtemp(prefix="zormak-first-frame-")
    xvfb, bus, display, bus_address = start_display(work)
    hogs = []
    runs = []
    loadavg = os.getloadavg()[0]
    try:
        binary = install(build, os.path.join(work, "inst"))
        env = {k: v for k, v in os.environ.items()
               if not k.startswith("XDG_") and k not in ("DBUS_SESSION_BUS_ADDRESS", "WAYLAND_DISPLAY")}
        env.update({"DISPLAY": display, "DBUS_SESSION_BUS_ADDRESS": bus_address, "GDK_BACKEND": "x11",
                    "LIBGL_ALWAYS_SOFTWARE": "1", "WEBKIT_DISABLE_COMPOSITING_MODE": "1",
                    "NO_AT_BRIDGE": "1", "GTK_A11Y": "none", "PYTHONDONTWRITEBYTECODE": "1"})
        screen = Screen(display)
        one_run(binary, env, screen, work, 0)  # warm-up: installs the payload, fills caches
        n = 0
        for _ in range(rounds):
            for loaded in (False, True):
                if loaded:
                    hogs = [subprocess.Popen(["/bin/sh", "-c", "while :; do :; done"]) for _ in range(2)]
                    time.sleep(0.5)
                n += 1
                r = one_run(binary, env, screen, work, n)
                r["loaded"] = loaded
                runs.append(r)
                for h in hogs:
                    h.kill()
                    h.wait()
                hogs = []
                print("first_frame_bench: %s %s" % ("loaded" if loaded else "idle", r), file=sys.stderr)
    finally:
        for h in hogs:
            h.kill()
            h.wait()
        for p in (bus, xvfb):
            p.terminate()
            p.wait(10)
        shutil.rmtree(work, ignore_errors=True)
    data = {"bench": "first-frame", "rounds": rounds, "hogs": 2, "loadavg": loadavg,
            "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), "runs": runs}
    with open(out, "w") as f:
        json.dump(data, f, indent=1)
    if report:
        write_report(report, data)


if __name__ == "__main__":
    main()
