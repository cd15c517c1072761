// Readiness latency: from the moment a child writes its announcement line to
// the moment onReady runs on the main thread, through the real controller
// (launch, output reader, URL detection, delivery) and the product's GLib
// main queue. The child also answers /api/status with 200, as the payload
// does; the status poll would only win if the announcement took longer than
// its 0.3 s retry. Prints the samples (milliseconds) as one JSON line.
//
// Usage: readiness_bench WORK_DIR [ROUNDS]
#include <glib.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "GlibMainQueue.h"

namespace fs = std::filesystem;
using zormak::bench::monotonicNs;

namespace {

// Serves on the listening socket the controller hands over (descriptor 3;
// binding the port itself would fail, the controller holds it), answers
// every GET with 200, then announces itself with the
// CLOCK_MONOTONIC time taken just before the line is written, and keeps that
// time in announced.ns for the benchmark.
constexpr const char* kServer = R"PY(import http.server, os, socket, sys, threading, time
port = int(sys.argv[sys.argv.index("--port") + 1])
class H(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200); self.send_header("Content-Length", "2"); self.end_headers()
        self.wfile.write(b"{}")
    def log_message(self, *a):
        pass
s = http.server.HTTPServer(("127.0.0.1", port), H, bind_and_activate=False)
s.socket.close()
s.socket = socket.socket(fileno=3)
threading.Thread(target=s.serve_forever, daemon=True).start()
t = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
os.write(1, ("ready http://127.0.0.1:%d at %d\n" % (port, t)).encode())
with open("announced.ns.tmp", "w") as f:
    f.write(str(t))
os.rename("announced.ns.tmp", "announced.ns")
while True:
    time.sleep(60)
)PY";

void writeFile(const fs::path& path, const std::string& text, fs::perms mode = fs::perms(0644)) {
  std::ofstream(path) << text;
  fs::permissions(path, mode);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s WORK_DIR [ROUNDS]\n", argv[0]);
    return 2;
  }
  const fs::path work = argv[1];
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 30;
  fs::remove_all(work);
  const fs::path resources = work / "resources";
  const fs::path payload = resources / "payload";
  fs::create_directories(payload / ".venv/bin");
  writeFile(payload / "app.py", kServer);
  writeFile(payload / "PAYLOAD_VERSION", "bench-1\n");
  writeFile(payload / ".venv/bin/python", "#!/bin/sh\nexec /usr/bin/python3 \"$@\"\n",
            fs::perms(0755));

  auto queue = std::make_shared<zormak::gtk::GlibMainQueue>();
  std::vector<double> latencies;
  for (int round = -1; round < rounds; ++round) {  // round -1 is the warm-up
    const fs::path support = work / "ZORMAK";
    fs::remove_all(support / "app" / "announced.ns");
    auto controller = zormak::ServerController::init(
        {zormak::ServerController::Locations{support}, resources, queue, {}});
    long long readyAt = 0;
    std::string failure;
    controller->onReady = [&](const std::string&) { readyAt = monotonicNs(); };
    controller->onFailed = [&](const std::string& message) { failure = message; };
    controller->start();
    const long long deadline = monotonicNs() + 20'000'000'000LL;
    while (readyAt == 0 && failure.empty() && monotonicNs() < deadline)
      g_main_context_iteration(nullptr, TRUE);
    if (readyAt == 0) {
      std::fprintf(stderr, "no onReady: %s\n", failure.c_str());
      return 1;
    }
    const fs::path stamp = support / "app" / "announced.ns";
    while (!fs::exists(stamp))
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    long long announcedAt = 0;
    std::ifstream(stamp) >> announcedAt;
    controller->onReady = nullptr;
    controller->onFailed = nullptr;
    controller->stop();
    // Let the exit report of this child drain before the next one starts.
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    if (round >= 0)
      latencies.push_back(static_cast<double>(readyAt - announcedAt) / 1e6);
  }
  fs::remove_all(work);
  zormak::bench::printSamples("readiness", {{"latency_ms", latencies}});
  return 0;
}
