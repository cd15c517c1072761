"""Memory of the payload's processes: the server, the process it keeps ready
for the next download and each download's process, at four moments of one
server's life:

- idle: started, nothing asked of it for a few seconds (the page's loads
  need no engine);
- after one download: a small file fetched on loopback, one second later;
- three running: three slow downloads at once (the server allows three);
- queue idle: once the queue has been empty for longer than the server
  keeps its ready process.

The server is the build's real one, started as the payload's tests start it
(support.Payload). Each process is read from /proc: RSS and PSS (shared
pages divided among the processes that map them). A download's process is
told from the ready one by its connection to the site.

Usage: payload_memory_bench.py BUILD_DIR OUT_JSON
"""
import json
import os
import shutil
import sys
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
from download_bench import Site, make_file  # noqa: E402
from startup_bench import descendants, proc_kb  # noqa: E402

SMALL = 20 * 1000 * 1000
SLOW_BYTES = 200 << 20
SLOW_CHUNK, SLOW_PAUSE = 256 << 10, 0.05  # about 5 MB/s per download
# Longer than the server keeps its ready process once the queue is idle.
QUEUE_IDLE_WAIT = 70.0


class _Slow(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, format, *args):
        pass

    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Type", "video/mp4")
        self.send_header("Content-Length", str(SLOW_BYTES))
        self.end_headers()
        chunk = b"\0" * SLOW_CHUNK
        try:
            for _ in range(SLOW_BYTES // SLOW_CHUNK):
                self.wfile.write(chunk)
                time.sleep(SLOW_PAUSE)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True


def cmdline(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return f.read().split(b"\0")
    except OSError:
        return []


def has_socket(pid):
    try:
        return any(os.readlink("/proc/%d/fd/%s" % (pid, fd)).startswith("socket:")
                   for fd in os.listdir("/proc/%d/fd" % pid))
    except OSError:
        return False


def processes(server_pid):
    """[(role, rss_kb, pss_kb)] of the server and what it started."""
    found = []
    for pid in descendants(server_pid):
        argv = cmdline(pid)
        if pid == server_pid:
            role = "server"
        elif b"downloader.download_process" in argv:
            role = "download" if has_socket(pid) else "ready"
        else:
            role = os.path.basename(argv[0].decode(errors="replace")) if argv else "?"
        found.append({"role": role, "pid": pid, "rss_kb": proc_kb(pid, "status", "VmRSS"),
                      "pss_kb": proc_kb(pid, "smaps_rollup", "Pss")})
    return found


def main():
    build, out = os.path.abspath(sys.argv[1]), sys.argv[2]
    payload_dir = os.path.join(build, "share", "zormak", "payload")
    os.environ["ZORMAK_PAYLOAD_DIR"] = payload_dir
    sys.path.insert(0, os.path.join(ROOT, "payload", "tests"))
    from support import Payload, wait_for  # noqa: E402  (needs ZORMAK_PAYLOAD_DIR)

    base = os.path.join(os.environ.get("HOME", "/tmp"), ".cache")
    os.makedirs(base, exist_ok=True)
    work = tempfile.mkdtemp(prefix="zormak-memory-bench-", dir=base)
    files = os.path.join(work, "files")
    os.makedirs(files)
    make_file(os.path.join(files, "small.mp4"), SMALL)
    site = Site(files)
    slow = ThreadingHTTPServer(("127.0.0.1", 0), _Slow)
    slow.daemon_threads = True
    threading.Thread(target=slow.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True).start()
    moments = []
    server = None
    try:
        server = Payload(os.path.join(work, "payload"), {"format": "best", "concurrency": 3})

        def moment(name):
            moments.append({"moment": name, "at_s": round(time.monotonic() - started, 1),
                            "processes": processes(server.pid)})
            print("payload_memory_bench: %s: %s" % (name, ", ".join(
                "%s %d MiB" % (p["role"], p["pss_kb"] // 1024) for p in moments[-1]["processes"])),
                file=sys.stderr)

        started = time.monotonic()
        # The page's own first requests, as the window makes them.
        for path in ("/", "/api/meta", "/api/settings", "/api/jobs", "/api/notices"):
            server.request("GET", path)
        time.sleep(5)
        moment("idle")

        job = server.finish(site.url("small.mp4"), force=True, timeout=120)
        if job["state"] != "done":
            raise SystemExit("payload_memory_bench: the download failed: %s" % job.get("error"))
        time.sleep(1)
        moment("after one download")

        base_url = "http://127.0.0.1:%d/" % slow.server_address[1]
        ids = []
        for n in range(3):
            status, body = server.add(base_url + "slow%d.mp4" % n, force=True)
            if status != 200 or len(body.get("added", [])) != 1:
                raise SystemExit("payload_memory_bench: adding a download answered %s: %s" % (status, body))
            ids.append(body["added"][0]["id"])
        wait_for(lambda: all(server.jobs()[i]["state"] == "downloading" and server.jobs()[i]["downloaded"] > (4 << 20)
                             for i in ids), 120, message="three downloads to run")
        moment("three running")
        for i in ids:
            status, body = server.request("POST", "/api/jobs/%d/cancel" % i, {})
            if status != 200:
                raise SystemExit("payload_memory_bench: cancelling answered %s: %s" % (status, body))
        wait_for(lambda: not any(p["role"] == "download" for p in processes(server.pid)), 30,
                 message="the downloads' processes to end")
        time.sleep(QUEUE_IDLE_WAIT)
        moment("queue idle for %.0f s" % QUEUE_IDLE_WAIT)
    finally:
        if server:
            server.stop()
        site.shutdown()
        site.server_close()
        slow.shutdown()
        slow.server_close()
        if not os.environ.get("ZORMAK_BENCH_KEEP"):
            shutil.rmtree(work, ignore_errors=True)
    with open(out, "w") as f:
        json.dump({"bench": "payload-memory", "moments": moments}, f, indent=1)


if __name__ == "__main__":
    main()
