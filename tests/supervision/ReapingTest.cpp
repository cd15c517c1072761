#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "ControllerAccess.h"
#include "PidFile.h"
#include "ProcessSupport.h"

namespace zormak {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::fake;
using ::testing::HasSubstr;
using testing::isAlive;
using testing::readFile;
using testing::Server;
using testing::writeFile;
using Access = ServerControllerTestAccess;

// A stand-in for a process named in the pid file: `python3 -c SCRIPT app.py
// ARGS...` in the given folder, leading its own group (or session). A thread
// reaps it the moment it ends, as init would for a real leftover.
struct Stale {
  pid_t pid;
  std::thread reaper;
  Stale(const std::string& script, const fs::path& directory, bool newSession = false,
        const std::vector<std::string>& args = {}) {
    std::vector<std::string> argv = {"/usr/bin/python3", "-c", script, "app.py"};
    argv.insert(argv.end(), args.begin(), args.end());
    pid = testing::spawn(argv, {directory, !newSession, newSession});
    reaper = std::thread([p = pid] { waitpid(p, nullptr, 0); });
  }
  ~Stale() {
    kill(pid, SIGKILL);
    reaper.join();
  }
};

// Writes "ready" once its handlers are in place, then sleeps.
std::string sleeper(const std::string& setup = "") {
  return "import signal, subprocess, sys, time\n" + setup +
         "\nopen('ready', 'w').close()\ntime.sleep(60)\n";
}

void waitForFile(const fs::path& path) {
  for (int i = 0; i < 500 && !fs::exists(path); ++i)
    std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(fs::exists(path)) << path;
}

// An installed runtime, and a controller that has logged nothing yet.
struct Reaping : Server {
  explicit Reaping(const std::string& interpreter = "#!/bin/sh\n",
                   ServerController::Timing timing = fastTiming()) {
    install(interpreter, timing);
    Access::prepareRuntime(*c);
    fs::remove(support / "app.log");
    install(interpreter, timing);
  }
  std::chrono::steady_clock::duration reap(const std::string& pidText) {
    writeFile(support / "server.pid", pidText);
    auto began = std::chrono::steady_clock::now();
    Access::reapStaleServer(*c);
    return std::chrono::steady_clock::now() - began;
  }
};

// Our leftover is ended, after the grace when it ignores SIGTERM, with what
// it started; the pid file goes and the log says so.
TEST(StaleServer, OurLeftoverServerIsEndedWithItsGroupAndThePidFileRemoved) {
  for (bool ignoresTerm : {false, true}) {
    SCOPED_TRACE(ignoresTerm);
    auto timing = Server::fastTiming();
    timing.grace = 500ms;
    Reaping f("#!/bin/sh\n", timing);
    Stale stale(
        sleeper(std::string(ignoresTerm ? "signal.signal(signal.SIGTERM, signal.SIG_IGN)\n" : "") +
                "kid = subprocess.Popen(['/bin/sleep', '60'])\n"
                "open('kid.pid', 'w').write(str(kid.pid))"),
        f.app);
    waitForFile(f.app / "ready");
    const pid_t kid = std::stoi(readFile(f.app / "kid.pid"));
    const auto took = f.reap(" +" + std::to_string(stale.pid) + " \r\n");
    if (ignoresTerm) {
      EXPECT_GE(took, 450ms);
    }
    EXPECT_FALSE(isAlive(stale.pid));
    EXPECT_FALSE(fs::exists(f.support / "server.pid"));
    EXPECT_EQ(f.logBody(),
              "[ZORMAK] 发现上次遗留的服务进程 pid=" + std::to_string(stale.pid) + "，先收掉\n");
    for (int i = 0; i < 200 && isAlive(kid); ++i)
      std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(isAlive(kid));
  }
}

// Only a process that is provably ours is signalled: a recycled pid, or
// someone else's app.py with its own child, is left alone, at once.
TEST(StaleServer, AnythingNotProvablyOursSurvivesWithoutDelay) {
  Reaping f("#!/bin/sh\n", ServerController::Timing{});  // the product's 3 s grace
  fs::create_directories(f.dir / "elsewhere");
  Stale stranger(sleeper("kid = subprocess.Popen(['/bin/sleep', '60'])\n"
                         "open('kid.pid', 'w').write(str(kid.pid))"),
                 f.dir / "elsewhere", /*newSession=*/true);
  waitForFile(f.dir / "elsewhere/ready");
  const pid_t kid = std::stoi(readFile(f.dir / "elsewhere/kid.pid"));
  for (pid_t pid : {stranger.pid, getpid()}) {
    EXPECT_LT(f.reap(std::to_string(pid) + "\n"), 500ms);
    EXPECT_FALSE(fs::exists(f.support / "server.pid"));
  }
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(isAlive(stranger.pid));
  EXPECT_TRUE(isAlive(kid));
  EXPECT_FALSE(fs::exists(f.support / "app.log"));
  kill(kid, SIGKILL);
}

TEST(StaleServer, UnparsableOrSmallPidsLeaveTheFileAndNoLog) {
  for (std::string text : {"", " \n", "abc", "12a", "1", "0", "-44", "4294967296"}) {
    Reaping f;
    f.reap(text);
    EXPECT_TRUE(fs::exists(f.support / "server.pid")) << text;
    EXPECT_FALSE(fs::exists(f.support / "app.log")) << text;
  }
}

// A killed leftover frees its port before the new server starts, so the
// served origin stays the same.
TEST(StaleServer, TheRememberedPortIsReusedAfterAStaleServerWasKilled) {
  auto timing = Server::fastTiming();
  timing.grace = 200ms;
  Reaping f(fake("announce_and_serve"), timing);
  std::uint16_t port = testing::Listener().port();
  writeFile(f.support / "server.port", std::to_string(port) + "\n");
  Stale stale(sleeper("import socket\n"
                      "signal.signal(signal.SIGTERM, signal.SIG_IGN)\n"
                      "s = socket.socket()\n"
                      "s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
                      "s.bind(('127.0.0.1', int(sys.argv[2])))\n"
                      "s.listen()"),
              f.app, false, {std::to_string(port)});
  waitForFile(f.app / "ready");
  writeFile(f.support / "server.pid", std::to_string(stale.pid) + "\n");
  f.c->start();
  ASSERT_TRUE(f.waitFor(1));
  EXPECT_EQ(f.events[0], "ready http://127.0.0.1:" + std::to_string(port));
  EXPECT_THAT(f.logText(), HasSubstr("先收掉\n"));
  f.c->stop();
}

TEST(PidFile, ParsesSignedDecimalIn32Bits) {
  const struct {
    std::string_view text;
    std::optional<std::int32_t> value;
  } kCases[] = {
      {"731", 731},
      {"+731", 731},
      {"-5", -5},
      {"2147483647", 2147483647},
      {"-2147483648", std::numeric_limits<std::int32_t>::min()},
  };
  for (auto [text, value] : kCases)
    EXPECT_EQ(PidFile::parse(text), value) << text;
  for (std::string_view bad : {"", "+", "-", "2147483648", "-2147483649", "99999999999999999999",
                               "7 31", "731a", "0x1f", "7.0", "++7", " 731"}) {
    EXPECT_EQ(PidFile::parse(bad), std::nullopt) << bad;
  }
}

// A write that fails part-way (here: a file size limit, as a full disk)
// leaves the old file whole and no temporary file beside it.
TEST(PidFile, AFailedWriteLeavesTheOldFileWhole) {
  testing::TempDir dir;
  PidFile file(dir / "server.pid");
  ASSERT_EQ(file.write(731), 0);
  EXPECT_EQ(readFile(dir / "server.pid"), "731\n");

  auto previousHandler = signal(SIGXFSZ, SIG_IGN);
  rlimit previous{};
  getrlimit(RLIMIT_FSIZE, &previous);
  rlimit small = previous;
  small.rlim_cur = 3;
  setrlimit(RLIMIT_FSIZE, &small);
  const int error = file.write(123456);
  setrlimit(RLIMIT_FSIZE, &previous);
  signal(SIGXFSZ, previousHandler);

  EXPECT_EQ(error, EFBIG);
  EXPECT_EQ(readFile(dir / "server.pid"), "731\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace zormak
