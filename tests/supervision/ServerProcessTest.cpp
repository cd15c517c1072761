#include <arpa/inet.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <thread>

#include "ControllerAccess.h"

extern char** environ;

namespace zormak {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ControllerFixture;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::readFile;
using testing::writeFile;
using Access = ServerControllerTestAccess;

// The header of every fake interpreter: Python from the system, a tiny HTTP
// server on the given port whose /api/status answer and announcement the
// test chooses, and a record of what the child was given.
const std::string kServerHead = R"(#!/usr/bin/python3
import http.server, json, os, signal, sys, threading, time
port = int(sys.argv[sys.argv.index('--port') + 1])
fds = {}
for fd in os.listdir('/proc/self/fd'):
    try: fds[fd] = os.readlink('/proc/self/fd/' + fd)
    except OSError: pass
with open('launch.json', 'w') as f:
    json.dump({'argv': sys.argv[1:], 'cwd': os.getcwd(), 'env': dict(os.environ),
               'mask': open('/proc/self/status').read(), 'fds': fds}, f)
statuses = os.environ.get('FAKE_STATUSES', '200').split(',')
count = [0]
class H(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        count[0] += 1
        with open('requests.log', 'a') as f: f.write(self.path + '\n')
        code = int(statuses[min(count[0], len(statuses)) - 1])
        self.send_response(code); self.send_header('Content-Length', '0'); self.end_headers()
    def log_message(self, *a): pass
http.server.ThreadingHTTPServer.allow_reuse_address = True
)";

struct Server : ControllerFixture {
  fs::path app = support / "app";
  std::vector<std::string> events;
  std::shared_ptr<ServerController> c;

  void install(const std::string& body, ServerController::Timing timing = fastTiming()) {
    writeFile(ControllerFixture::payload() / "app.py", "# stands in for the server\n");
    writeFile(ControllerFixture::payload() / "PAYLOAD_VERSION", "1\n");
    writeFile(ControllerFixture::payload() / ".venv/bin/python", body, fs::perms::owner_all);
    c = make(timing);
    c->onReady = [this](const std::string& url) { events.push_back("ready " + url); };
    c->onFailed = [this](const std::string& m) { events.push_back("failed " + m); };
  }
  static ServerController::Timing fastTiming() {
    ServerController::Timing t;
    t.pollDelay = 20ms;
    t.grace = 1000ms;
    return t;
  }
  bool waitFor(size_t n, std::chrono::milliseconds timeout = 10s) {
    return loop->runUntil([&] { return events.size() >= n; }, timeout);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(c->port()); }
  std::string exitFailure(int status) const {
    return "failed 服务进程意外退出了（退出码 " + std::to_string(status) + "）。\n\n日志：" +
           (support / "app.log").string();
  }
  std::vector<std::string> requests() const {
    std::vector<std::string> lines;
    std::istringstream in(readFile(app / "requests.log"));
    for (std::string l; std::getline(in, l);)
      lines.push_back(l);
    return lines;
  }
};

const std::string kAnnounceAndServe = kServerHead + R"(
s = http.server.ThreadingHTTPServer(('127.0.0.1', port), H)
print('Serving on http://127.0.0.1:%d/' % port)
signal.signal(signal.SIGTERM, lambda *a: sys.exit(0))
s.serve_forever()
)";

TEST(ServerProcess, AnnouncedServerIsReadyOnceWithItsCommandLineAndEnvironment) {
  Server f;
  setenv("CLAUDE_X", "1", 1);
  setenv("GENIE_", "1", 1);
  setenv("CODEBUDDY_TOKEN", "1", 1);
  setenv("MY_CLAUDE_X", "kept", 1);
  setenv("claude_x", "kept", 1);
  setenv("PYTHONUNBUFFERED", "0", 1);
  // Whatever this process ignores or blocks, the server starts without it.
  signal(SIGHUP, SIG_IGN);
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  // Descriptors the shell holds without close-on-exec, low and high, stay
  // with the shell.
  writeFile(f.dir / "held", "");
  const int held = ::open((f.dir / "held").c_str(), O_RDONLY);
  ASSERT_GE(held, 0);
  const int heldHigh = ::fcntl(held, F_DUPFD, 1500);
  ASSERT_GE(heldHigh, 1500);
  f.install(kAnnounceAndServe);
  f.c->start();
  ::close(held);
  ::close(heldHigh);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  signal(SIGHUP, SIG_DFL);
  for (auto* v : {"CLAUDE_X", "GENIE_", "CODEBUDDY_TOKEN", "MY_CLAUDE_X", "claude_x"})
    unsetenv(v);
  ASSERT_TRUE(f.waitFor(1));
  f.loop->runFor(200ms);  // the status poll also answers 200 meanwhile, or soon
  EXPECT_THAT(f.events, ElementsAre("ready " + f.url()));

  std::string launch = readFile(f.app / "launch.json");
  EXPECT_THAT(launch, HasSubstr("\"argv\": [\"-u\", \"app.py\", \"--port\", \"" +
                                std::to_string(f.c->port()) + "\", \"--no-browser\"]"));
  EXPECT_THAT(launch, HasSubstr("\"cwd\": \"" + f.app.string() + "\""));
  EXPECT_THAT(launch, HasSubstr("\"PYTHONUNBUFFERED\": \"1\""));
  EXPECT_THAT(launch, HasSubstr("\"MY_CLAUDE_X\": \"kept\""));
  EXPECT_THAT(launch, HasSubstr("\"claude_x\": \"kept\""));
  for (auto* gone : {"\"CLAUDE_X\"", "\"GENIE_\"", "\"CODEBUDDY_TOKEN\""}) {
    EXPECT_THAT(launch, ::testing::Not(HasSubstr(gone)));
  }
  EXPECT_THAT(launch, ::testing::Not(HasSubstr((f.dir / "held").string())));
  EXPECT_THAT(launch, ::testing::Not(HasSubstr("app.log")));
  EXPECT_THAT(launch, HasSubstr("\"1\": \"pipe:"));
  // Nothing blocked or ignored reaches the server.
  EXPECT_THAT(launch, HasSubstr("SigBlk:\\t0000000000000000"));
  // Python itself ignores SIGPIPE and SIGXFSZ, and nothing else.
  EXPECT_THAT(launch, HasSubstr("SigIgn:\\t0000000001001000"));

  std::string pidFile = readFile(f.support / "server.pid");
  ASSERT_TRUE(std::regex_match(pidFile, std::regex("[1-9][0-9]*\n")));
  std::string log = f.logText();
  EXPECT_EQ(std::count(log.begin(), log.end(), '\xe5') > 0, true);
  EXPECT_THAT(log, HasSubstr("[ZORMAK] 已启动 python pid=" + pidFile.substr(0, pidFile.size() - 1) +
                             "，端口 " + std::to_string(f.c->port()) + "\n"));
  EXPECT_EQ(std::regex_search(log, std::regex("界面已就绪")), true);
  size_t readyLines = 0;
  for (size_t at = log.find("界面已就绪"); at != std::string::npos;
       at = log.find("界面已就绪", at + 1)) {
    ++readyLines;
  }
  EXPECT_EQ(readyLines, 1u);

  // Stop: both lines with the exit line between them (stop() returns only
  // once the exit is reported), the pid file gone, and the server's end then
  // reported as a failure after the ready outcome.
  auto began = std::chrono::steady_clock::now();
  f.c->stop();
  EXPECT_LT(std::chrono::steady_clock::now() - began, 400ms);
  EXPECT_FALSE(fs::exists(f.support / "server.pid"));
  log = f.logText();
  size_t closing = log.find("[ZORMAK] 正在关闭服务……\n");
  ASSERT_NE(closing, std::string::npos);
  EXPECT_TRUE(log.ends_with("[ZORMAK] 服务已关闭\n"));
  size_t exitLine = log.find("[ZORMAK] 子进程退出，退出码 ", closing);
  EXPECT_NE(exitLine, std::string::npos);
  EXPECT_LT(exitLine, log.rfind("[ZORMAK] 服务已关闭\n"));
  ASSERT_TRUE(f.waitFor(2));
  EXPECT_EQ(f.events[1], f.exitFailure(0));
  EXPECT_THAT(log, HasSubstr("[ZORMAK] 子进程退出，退出码 0\n"));
  f.c->stop();  // a second stop only removes the pid file
  EXPECT_EQ(f.logText(), log);
}

TEST(ServerProcess, PollingAloneMakesReadyOnlyOn200) {
  Server f;
  setenv("FAKE_STATUSES", "204,404,500,301,200", 1);
  setenv("http_proxy", "http://127.0.0.1:9", 1);  // would break readiness if used
  setenv("all_proxy", "http://127.0.0.1:9", 1);
  f.install(kServerHead + R"(
s = http.server.ThreadingHTTPServer(('127.0.0.1', port), H)
signal.signal(signal.SIGTERM, lambda *a: sys.exit(0))
s.serve_forever()
)");
  f.c->start();
  unsetenv("FAKE_STATUSES");
  unsetenv("http_proxy");
  unsetenv("all_proxy");
  ASSERT_TRUE(f.waitFor(1));
  EXPECT_THAT(f.events, ElementsAre("ready " + f.url()));
  f.loop->runFor(100ms);
  auto requests = f.requests();
  EXPECT_EQ(requests.size(), 5u);
  EXPECT_EQ(requests.back(), "/api/status");
  f.c->stop();
}

// Answers every request with 404 and counts them; listening before the first
// attempt, so that no attempt is refused unseen.
class CountingEndpoint {
 public:
  CountingEndpoint() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener_, 64);
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] {
      for (;;) {
        int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
          return;  // shut down
        std::string request;
        char buffer[1024];
        ssize_t n;
        while (request.find("\r\n\r\n") == std::string::npos &&
               (n = read(connection, buffer, sizeof buffer)) > 0) {
          request.append(buffer, static_cast<size_t>(n));
        }
        if (request.starts_with("GET /api/status HTTP/1.1\r\n"))
          ++requests_;
        const char reply[] = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
        (void)!write(connection, reply, sizeof reply - 1);
        close(connection);
      }
    });
  }
  ~CountingEndpoint() {
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
    close(listener_);
  }
  int port() const { return port_; }
  int requests() const { return requests_.load(); }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::atomic<int> requests_{0};
  std::thread thread_;
};

TEST(ServerProcess, AttemptLimitSendsExactly200RequestsAndTimesOutOnce) {
  CountingEndpoint endpoint;
  ControllerFixture f;
  auto timing = Server::fastTiming();
  timing.pollDelay = 1ms;
  auto c = f.make(timing);
  std::vector<std::string> failures;
  c->onFailed = [&](const std::string& m) { failures.push_back(m); };
  c->onReady = [&](const std::string& u) { failures.push_back("ready " + u); };
  Access::pollFrom(*c, endpoint.port());
  ASSERT_TRUE(f.loop->runUntil([&] { return !failures.empty(); }, 30s));
  f.loop->runFor(100ms);
  EXPECT_THAT(failures,
              ElementsAre("服务启动超时（60 秒）。\n\n日志：" + (f.support / "app.log").string()));
  EXPECT_EQ(endpoint.requests(), 200);
}

TEST(ServerProcess, EarlyExitIsReportedWithItsStatusAndEndsPolling) {
  Server f;
  f.install("#!/bin/sh\necho starting\nexit 3\n");
  f.c->start();
  ASSERT_TRUE(f.waitFor(1));
  f.loop->runFor(150ms);
  EXPECT_THAT(f.events, ElementsAre(f.exitFailure(3)));
  EXPECT_THAT(f.logText(), HasSubstr("starting\n"));
  EXPECT_THAT(f.logText(), HasSubstr("[ZORMAK] 子进程退出，退出码 3\n"));
  EXPECT_TRUE(Access::isFinished(*f.c));
}

TEST(ServerProcess, MissingOrNonExecutableInterpreterIsReported) {
  for (bool present : {false, true}) {
    Server f;
    f.install("#!/bin/sh\n");
    if (present) {
      fs::permissions(f.payload() / ".venv/bin/python", fs::perms::owner_read);
    } else {
      fs::remove(f.payload() / ".venv/bin/python");
    }
    f.c->start();
    ASSERT_TRUE(f.waitFor(1));
    EXPECT_THAT(f.events, ElementsAre("failed 运行环境里找不到 Python 解释器。\n路径：" +
                                      (f.app / ".venv/bin/python").string()));
    EXPECT_EQ(f.c->port(), 0);
    EXPECT_FALSE(fs::exists(f.support / "server.pid"));
  }
}

TEST(ServerProcess, IgnoringSigtermIsKilledAfterTheGraceWithItsGroup) {
  Server f;
  // The server and a child of its own both ignore SIGTERM.
  f.install(kServerHead + R"(
import subprocess
signal.signal(signal.SIGTERM, signal.SIG_IGN)
kid = subprocess.Popen(['/usr/bin/python3', '-c',
    'import signal,time; signal.signal(signal.SIGTERM, signal.SIG_IGN); time.sleep(60)'])
open('kid.pid', 'w').write(str(kid.pid))
print('http://127.0.0.1:%d' % port, flush=True)
time.sleep(60)
)",
            ServerController::Timing{});  // the product's own 3 s grace
  f.c->start();
  ASSERT_TRUE(f.waitFor(1));
  pid_t kid = std::stoi(readFile(f.app / "kid.pid"));
  auto began = std::chrono::steady_clock::now();
  f.c->stop();
  auto took = std::chrono::steady_clock::now() - began;
  EXPECT_GE(took, 2900ms);
  EXPECT_LT(took, 3400ms);
  EXPECT_TRUE(f.logText().ends_with("[ZORMAK] 服务已关闭\n"));
  ASSERT_TRUE(f.waitFor(2));
  EXPECT_EQ(f.events[1], f.exitFailure(SIGKILL));
  // The grandchild went with the group.
  bool gone = false;
  for (int i = 0; i < 50 && !gone; ++i, std::this_thread::sleep_for(20ms)) {
    gone = kill(kid, 0) != 0 ||
           readFile("/proc/" + std::to_string(kid) + "/stat").find(" Z ") != std::string::npos;
  }
  EXPECT_TRUE(gone);
}

TEST(ServerProcess, TheSamePortIsOfferedAgainWhileItIsFree) {
  Server f;
  f.install(kAnnounceAndServe);
  f.c->start();
  ASSERT_TRUE(f.waitFor(1));
  const auto first = f.c->port();
  f.c->stop();
  EXPECT_EQ(readFile(f.support / "server.port"), std::to_string(first) + "\n");

  auto again = f.make(Server::fastTiming());
  std::vector<std::string> ready;
  again->onReady = [&](const std::string& u) { ready.push_back(u); };
  again->start();
  ASSERT_TRUE(f.loop->runUntil([&] { return !ready.empty(); }, 10s));
  EXPECT_EQ(again->port(), first);  // right after a stop, with connections in TIME_WAIT

  again->stop();

  // Taken by another program: a fresh port.
  int taken = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(first));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int on = 1;
  setsockopt(taken, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(taken, 1), 0);
  auto third = f.make(Server::fastTiming());
  third->start();
  EXPECT_NE(third->port(), first);
  EXPECT_GT(third->port(), 0);
  third->stop();
  close(taken);
}

TEST(ServerProcess, ShellKilledOutrightTakesItsServerAlong) {
  Server f;
  f.install(kAnnounceAndServe);
  // A stand-in shell: launches the server and waits.
  std::vector<std::string> args = {ZORMAK_PREPARE_PROBE, f.support.string(), f.resources.string(),
                                   "", "launch"};
  std::vector<char*> argv;
  for (auto& a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t shell = -1;
  ASSERT_EQ(posix_spawn(&shell, argv[0], nullptr, nullptr, argv.data(), environ), 0);
  pid_t server = 0;
  for (int i = 0; i < 200 && !server; ++i, std::this_thread::sleep_for(20ms)) {
    std::string text = readFile(f.support / "server.pid");
    if (!text.empty() && fs::exists(f.app / "launch.json"))
      server = std::stoi(text);
  }
  ASSERT_GT(server, 0);
  kill(shell, SIGKILL);
  waitpid(shell, nullptr, 0);
  bool gone = false;
  for (int i = 0; i < 100 && !gone; ++i, std::this_thread::sleep_for(20ms))
    gone = kill(server, 0) != 0;
  EXPECT_TRUE(gone);
}

// A child of this test that shows "app.py" in its command line; a thread
// reaps it the moment it ends, as init would for a real leftover.
pid_t startStale(const std::string& script, std::thread& reaper) {
  std::vector<std::string> args = {"/usr/bin/python3", "-c", script, "app.py"};
  std::vector<char*> argv;
  for (auto& a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);
  EXPECT_EQ(posix_spawn(&pid, argv[0], nullptr, &attr, argv.data(), environ), 0);
  posix_spawnattr_destroy(&attr);
  reaper = std::thread([pid] { waitpid(pid, nullptr, 0); });
  std::this_thread::sleep_for(300ms);  // let it install its handlers
  return pid;
}

TEST(StaleServer, LeftoverAppPyIsEndedAndOthersLeftAlone) {
  {
    Server f;
    f.install("#!/bin/sh\n");
    std::thread reaper;
    pid_t stale = startStale("import time; time.sleep(30)", reaper);
    writeFile(f.support / "server.pid", " +" + std::to_string(stale) + " \r\n");
    Access::reapStaleServer(*f.c);
    reaper.join();
    EXPECT_NE(kill(stale, 0), 0);
    EXPECT_FALSE(fs::exists(f.support / "server.pid"));
    EXPECT_THAT(
        f.logText(),
        HasSubstr("[ZORMAK] 发现上次遗留的服务进程 pid=" + std::to_string(stale) + "，先收掉\n"));
  }
  {
    // An unrelated live process: this test itself.
    Server f;
    f.install("#!/bin/sh\n");
    writeFile(f.support / "server.pid", std::to_string(getpid()) + "\n");
    Access::reapStaleServer(*f.c);
    EXPECT_FALSE(fs::exists(f.support / "server.pid"));
    EXPECT_FALSE(fs::exists(f.support / "app.log"));
  }
  {
    // Unparsable or too small pids leave the file in place, and no log.
    for (std::string text : {"", " \n", "abc", "12a", "1", "0", "-44", "4294967296"}) {
      Server f;
      f.install("#!/bin/sh\n");
      writeFile(f.support / "server.pid", text);
      Access::reapStaleServer(*f.c);
      EXPECT_TRUE(fs::exists(f.support / "server.pid")) << text;
      EXPECT_FALSE(fs::exists(f.support / "app.log")) << text;
    }
  }
}

TEST(StaleServer, OneIgnoringSigtermIsKilledAfterTheGrace) {
  Server f;
  auto timing = Server::fastTiming();
  timing.grace = 500ms;
  f.install("#!/bin/sh\n", timing);
  std::thread reaper;
  pid_t stale = startStale(
      "import signal,time; signal.signal(signal.SIGTERM, signal.SIG_IGN); "
      "time.sleep(30)",
      reaper);
  writeFile(f.support / "server.pid", std::to_string(stale) + "\n");
  auto began = std::chrono::steady_clock::now();
  Access::reapStaleServer(*f.c);
  EXPECT_GE(std::chrono::steady_clock::now() - began, 450ms);
  reaper.join();
  EXPECT_NE(kill(stale, 0), 0);
}

TEST(ServerOutput, InvalidChunksAreDroppedAndAFloodStaysSmall) {
  Server f;
  f.install(R"(#!/usr/bin/python3
import os, sys, time
out = sys.stdout.buffer
out.write(b'before\n'); out.flush(); time.sleep(0.1)
out.write(b'bad \xff\n'); out.flush(); time.sleep(0.1)
out.write(b'after\n'); out.flush(); time.sleep(0.1)
block = b'\r 42%' * 13107  # 64 KiB of progress redraws, no line feed
for _ in range(int(os.environ.get('FLOOD_MB', '100')) * 16):
    out.write(block)
out.flush()
time.sleep(0.3)
)");
  std::string status = readFile("/proc/self/status");
  auto rssKiB = [](const std::string& s) {
    std::smatch m;
    std::regex_search(s, m, std::regex("VmRSS:\\s+(\\d+)"));
    return std::stol(m[1]);
  };
  const long before = rssKiB(status);
  f.c->start();
  long peak = before;
  ASSERT_TRUE(f.loop->runUntil(
      [&] {
        peak = std::max(peak, rssKiB(readFile("/proc/self/status")));
        return !f.events.empty();
      },
      120s));
#ifndef ZORMAK_SANITIZED
  EXPECT_LT(peak - before, 8 * 1024) << "KiB";
#endif
  std::string log = f.logText();
  EXPECT_THAT(log, HasSubstr("before\n"));
  EXPECT_THAT(log, HasSubstr("after\n"));
  EXPECT_THAT(log, ::testing::Not(HasSubstr("bad")));
  EXPECT_GT(fs::file_size(f.support / "app.log"), 100u * 1000 * 1000);
}

// A server that announces itself, answers the status poll and ends at once:
// the reader thread, the HTTP completion and the process waiter all reach the
// outcome together, and now and then stop() joins them from the main thread.
// Whatever the order, at most one ready outcome, logged once, and the exit
// reported exactly once, after it.
TEST(ServerProcess, ReaderWaiterAndPollRaceToOneOutcome) {
  constexpr int kRounds = 40;
  int readyFirst = 0;
  for (int round = 0; round < kRounds; ++round) {
    Server f;
    f.install(kServerHead + R"(
s = http.server.ThreadingHTTPServer(('127.0.0.1', port), H)
threading.Thread(target=s.serve_forever, daemon=True).start()
print('http://127.0.0.1:%d' % port, flush=True)
time.sleep(int(os.environ['RACE_ROUND']) % 4 * 0.002)
os._exit(0)
)");
    setenv("RACE_ROUND", std::to_string(round).c_str(), 1);
    f.c->start();
    if (round % 5 == 4)
      f.c->stop();
    ASSERT_TRUE(f.waitFor(1)) << "round " << round;
    // An exit report follows a ready one however slow the machine is; after
    // it, a short wait shows anything that should not have come.
    if (f.events[0].rfind("ready ", 0) == 0) {
      ASSERT_TRUE(f.waitFor(2)) << "round " << round;
    }
    f.loop->runFor(20ms);
    const std::string log = f.logText();
    int readyLines = 0;
    for (size_t at = log.find("界面已就绪"); at != std::string::npos;
         at = log.find("界面已就绪", at + 1)) {
      ++readyLines;
    }
    ASSERT_LE(readyLines, 1) << "round " << round;
    // A stop may end the server before it exits by itself.
    const std::string exited = round % 5 == 4 && f.events.back() == f.exitFailure(SIGTERM)
                                   ? f.exitFailure(SIGTERM)
                                   : f.exitFailure(0);
    if (f.events.size() == 2) {
      ++readyFirst;
      ASSERT_EQ(f.events[0], "ready " + f.url()) << "round " << round;
      ASSERT_EQ(f.events[1], exited) << "round " << round;
      ASSERT_EQ(readyLines, 1);
    } else {
      ASSERT_THAT(f.events, ElementsAre(exited)) << "round " << round;
      ASSERT_EQ(readyLines, 0);
    }
    f.c->stop();
  }
  unsetenv("RACE_ROUND");
  RecordProperty("readyFirst", readyFirst);
}

}  // namespace
}  // namespace zormak
