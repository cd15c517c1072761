"""Download benchmark: the payload's real download path against the engine's
command line (and, for a plain file, curl) on loopback, interleaved in one run.

Two cases, each served by a server of this process on 127.0.0.1:
- hls: a stream of FRAGMENTS segments; every request (the playlist and each
  segment) waits LATENCY seconds before it is answered, as a distant server
  would. The server notes how many segments were in flight at once.
- file: one file of FILE_BYTES random bytes, sent with sendfile().

The payload is its real server from the build, started as the payload's
tests start it (its own process group, a fresh launch secret, a work folder
of its own) and driven over its HTTP API with that secret: a job is added
and the clock stops when the job reports "done", so the time covers what a
user waits for (queueing, staging, the download, post-processing, putting
the file in place, the history record). It keeps its settings' defaults.
The engine's command line runs with its own defaults (only the target
folder given, configuration files ignored) and pays its interpreter's start
in every round, as it does for its users; the payload's server is running
already, as it is in the window.

Each round runs every contender once, each after the payload's processes
have fallen idle (the server makes the next download's process ready once a
download has ended, which is no part of anyone's time; neither may it
overlap the next contender); the first round is a warm-up and is
dropped (it also loads the engine into the payload's server). Every round
checks what arrived: the whole file byte for byte (size in every round,
content in the warm-up), every segment requested.

Usage: download_bench.py BUILD_DIR OUT_JSON ROUNDS FILE_BYTES[,FILE_BYTES...]
(one plain file case for each size, largest first)
"""
import filecmp
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
FRAGMENTS = 100
LATENCY = 0.05
POLL = 0.02
SETTLE_QUIET = 0.3
SETTLE_MOST = 10.0


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server: "Site"

    def log_message(self, format, *args):
        pass

    def do_GET(self):
        site = self.server
        name = os.path.basename(self.path.split("?", 1)[0])
        path = os.path.join(site.root, name)
        if not name or not os.path.isfile(path):
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        segment = name.endswith(".ts")
        if site.latency:
            with site.lock:
                if segment:
                    site.segments.add(name)
                    site.in_flight += 1
                    site.most = max(site.most, site.in_flight)
            time.sleep(site.latency)
            with site.lock:
                if segment:
                    site.in_flight -= 1
        size = os.path.getsize(path)
        start = 0
        m = re.match(r"bytes=(\d+)-\Z", self.headers.get("Range", ""))
        if m and int(m.group(1)) < size:
            start = int(m.group(1))
            self.send_response(206)
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, size - 1, size))
        else:
            self.send_response(200)
            self.send_header("Accept-Ranges", "bytes")
        ctype = {".ts": "video/mp2t", ".m3u8": "application/vnd.apple.mpegurl"}.get(os.path.splitext(name)[1],
                                                                                      "video/mp4")
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(size - start))
        self.end_headers()
        self.wfile.flush()
        with open(path, "rb") as f:
            try:
                self.connection.sendfile(f, start, size - start)
            except (BrokenPipeError, ConnectionResetError):
                self.close_connection = True


class Site(ThreadingHTTPServer):
    """Serves the files of root on 127.0.0.1, each request after latency seconds."""

    daemon_threads = True

    def __init__(self, root, latency=0.0):
        super().__init__(("127.0.0.1", 0), _Handler)
        self.root, self.latency = root, latency
        self.lock = threading.Lock()
        self.segments = set()
        self.in_flight = self.most = 0
        threading.Thread(target=self.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True).start()

    def url(self, name):
        return "http://127.0.0.1:%d/%s" % (self.server_address[1], name)

    def reset(self):
        with self.lock:
            self.segments = set()
            self.most = 0


def make_stream(folder):
    """FRAGMENTS segments of 0.2 s each (a key frame starts every one) and their playlist v.m3u8."""
    os.makedirs(folder)
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=25",
                    "-f", "lavfi", "-i", "sine=frequency=440", "-t", str(FRAGMENTS * 0.2 + 1),
                    "-c:v", "libx264", "-preset", "ultrafast", "-g", "5", "-keyint_min", "5", "-sc_threshold", "0",
                    "-pix_fmt", "yuv420p", "-c:a", "aac", "-f", "hls", "-hls_time", "0.2", "-hls_list_size", "0",
                    "-hls_segment_filename", os.path.join(folder, "s%03d.ts"), os.path.join(folder, "full.m3u8")],
                   check=True)
    with open(os.path.join(folder, "full.m3u8")) as f:
        entries = re.findall(r"(#EXTINF:[^\n]*\n[^\n#]+\n)", f.read())
    if len(entries) < FRAGMENTS:
        raise SystemExit("download_bench: ffmpeg made %d segments, not %d" % (len(entries), FRAGMENTS))
    with open(os.path.join(folder, "v.m3u8"), "w") as f:
        f.write("#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:1\n#EXT-X-MEDIA-SEQUENCE:0\n")
        f.write("".join(entries[:FRAGMENTS]) + "#EXT-X-ENDLIST\n")


def make_file(path, size):
    with open(path, "wb") as f:
        left = size
        while left:
            chunk = os.urandom(min(left, 16 << 20))
            f.write(chunk)
            left -= len(chunk)


class Contenders:
    def __init__(self, build, work):
        payload_dir = os.path.join(build, "share", "zormak", "payload")
        os.environ["ZORMAK_PAYLOAD_DIR"] = payload_dir
        sys.path.insert(0, os.path.join(ROOT, "payload", "tests"))
        from support import Payload  # noqa: E402  (needs ZORMAK_PAYLOAD_DIR)
        venv_engine = os.path.join(payload_dir, ".venv", "bin", "yt-dlp")
        self.engine = venv_engine if os.access(venv_engine, os.X_OK) else shutil.which("yt-dlp") or "/usr/bin/yt-dlp"
        self.engine_version = subprocess.run([self.engine, "--version"], capture_output=True, text=True,
                                             check=True).stdout.strip()
        ours = subprocess.run([os.path.join(payload_dir, ".venv", "bin", "python"), "-c",
                               "import yt_dlp.version as v; print(v.__version__)"],
                              capture_output=True, text=True, check=True).stdout.strip()
        if ours != self.engine_version:
            # Two versions would measure the engines' difference as well as ours.
            raise SystemExit("download_bench: the payload has engine %s, the command line %s"
                             % (ours, self.engine_version))
        self.work = work
        self.count = 0
        # The payload's settings keep their defaults; only the download folder is its own.
        self.server = Payload(os.path.join(work, "payload"), {"format": "best"})
        self.env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
        self.env["HOME"] = os.path.join(work, "cli-home")
        os.makedirs(self.env["HOME"], exist_ok=True)

    def close(self):
        self.server.stop()

    def _group_cpu(self):
        """CPU seconds used so far by the processes of the server's group (it, its download
        processes and the one it keeps ready)."""
        total = 0
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open("/proc/%s/stat" % pid) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[2]) == self.server.pid:  # the process group
                total += int(fields[11]) + int(fields[12])
        return total / os.sysconf("SC_CLK_TCK")

    def settle(self):
        """Waits until the payload's processes have been idle for SETTLE_QUIET seconds (at most
        SETTLE_MOST), so that what the server does after a job (making the next download's
        process ready) falls in no contender's time, its own or the next one's."""
        deadline = time.monotonic() + SETTLE_MOST
        last = self._group_cpu()
        while time.monotonic() < deadline:
            time.sleep(SETTLE_QUIET)
            now = self._group_cpu()
            if now - last < 0.02:
                return
            last = now

    def _folder(self, name):
        self.count += 1
        folder = os.path.join(self.work, "%s-%d" % (name, self.count))
        os.makedirs(folder)
        return folder

    def payload(self, url):
        """Seconds from adding the job to its being done, and the files it produced."""
        t0 = time.monotonic()
        status, body = self.server.add(url, force=True)
        if status != 200 or not body.get("added"):
            raise SystemExit("download_bench: the payload refused %s: %s" % (url, body))
        job_id = body["added"][0]["id"]
        while True:
            job = self.server.jobs()[job_id]
            if job["state"] in ("done", "failed"):
                break
            time.sleep(POLL)
        elapsed = time.monotonic() - t0
        if job["state"] != "done":
            raise SystemExit("download_bench: the payload failed on %s: %s" % (url, job["error"]))
        files = [os.path.join(self.server.download_dir, f) for f in job["files"]]
        self.server.request("POST", "/api/jobs/clear")
        return elapsed, files

    def _command(self, name, argv, folder):
        t0 = time.monotonic()
        done = subprocess.run(argv, cwd=folder, env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE)
        elapsed = time.monotonic() - t0
        if done.returncode:
            raise SystemExit("download_bench: %s failed (%d): %s" % (name, done.returncode,
                                                                     done.stderr.decode(errors="replace")[-2000:]))
        return elapsed, [os.path.join(folder, f) for f in os.listdir(folder)]

    def engine_cli(self, url):
        folder = self._folder("engine")
        return self._command("the engine's command line", [self.engine, "--ignore-config", "-P", folder, url], folder)

    def curl(self, url):
        folder = self._folder("curl")
        return self._command("curl", ["curl", "-sS", "-o", os.path.join(folder, "big.mp4"), url], folder)


def one_file(name, files):
    files = [f for f in files if not os.path.basename(f).startswith(".")]
    if len(files) != 1:
        raise SystemExit("download_bench: %s left %r, not one file" % (name, files))
    return files[0]


def remove(files):
    for f in files:
        os.unlink(f)
        folder = os.path.dirname(f)
        if os.path.basename(folder).startswith(("engine-", "curl-")):
            shutil.rmtree(folder, ignore_errors=True)


def run_hls(c, site, rounds):
    runs = []
    for round_ in range(-1, rounds):
        for name in ("payload", "engine"):
            site.reset()
            c.settle()
            url = site.url("v.m3u8?%s%d" % (name, round_))
            elapsed, files = c.payload(url) if name == "payload" else c.engine_cli(url)
            out = one_file(name, files)
            if len(site.segments) != FRAGMENTS or os.path.getsize(out) == 0:
                raise SystemExit("download_bench: %s fetched %d of %d segments into %d bytes"
                                 % (name, len(site.segments), FRAGMENTS, os.path.getsize(out)))
            print("download_bench: hls round %d %s %.2f s, %d at once" % (round_, name, elapsed, site.most),
                  file=sys.stderr)
            if round_ >= 0:
                runs.append({"contender": name, "round": round_, "s": elapsed, "in_flight": site.most,
                             "bytes": os.path.getsize(out)})
            remove(files)
    return runs


def run_file(c, site, source, rounds):
    size = os.path.getsize(source)
    runs = []
    for round_ in range(-1, rounds):
        for name in ("payload", "curl", "engine"):
            url = site.url("big.mp4?%s%d" % (name, round_))
            run = {"payload": c.payload, "curl": c.curl, "engine": c.engine_cli}[name]
            c.settle()
            elapsed, files = run(url)
            out = one_file(name, files)
            if os.path.getsize(out) != size or (round_ < 0 and not filecmp.cmp(out, source, shallow=False)):
                raise SystemExit("download_bench: %s did not get the file intact" % name)
            print("download_bench: file round %d %s %.2f s" % (round_, name, elapsed), file=sys.stderr)
            if round_ >= 0:
                runs.append({"contender": name, "round": round_, "s": elapsed})
            remove(files)
    return runs


def main():
    build, out = os.path.abspath(sys.argv[1]), sys.argv[2]
    rounds = int(sys.argv[3])
    sizes = sorted((int(b) for b in sys.argv[4].split(",")), reverse=True)
    # On the file system of the home folder, as a user's downloads are.
    base = os.path.join(os.environ.get("HOME", "/tmp"), ".cache")
    os.makedirs(base, exist_ok=True)
    work = tempfile.mkdtemp(prefix="zormak-download-bench-", dir=base)
    sites = []
    contenders = None
    try:
        make_stream(os.path.join(work, "hls"))
        os.makedirs(os.path.join(work, "files"))
        source = os.path.join(work, "files", "big.mp4")
        sites = [Site(os.path.join(work, "hls"), LATENCY), Site(os.path.join(work, "files"))]
        contenders = Contenders(build, work)
        hls = run_hls(contenders, sites[0], rounds)
        plain = []
        for size in sizes:
            make_file(source, size)
            plain.append({"bytes": size, "runs": run_file(contenders, sites[1], source, rounds)})
            os.unlink(source)
        result = {"bench": "download", "rounds": rounds, "engine": contenders.engine,
                  "engine_version": contenders.engine_version,
                  "hls": {"fragments": FRAGMENTS, "latency_s": LATENCY, "runs": hls},
                  "file": plain[0], "files": plain}
    finally:
        if contenders:
            contenders.close()
        for s in sites:
            s.shutdown()
            s.server_close()
        if not os.environ.get("ZORMAK_BENCH_KEEP"):
            shutil.rmtree(work, ignore_errors=True)
    with open(out, "w") as f:
        json.dump(result, f, indent=1)


if __name__ == "__main__":
    main()
