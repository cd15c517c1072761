#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "ControllerAccess.h"
#include "ProcessSupport.h"

namespace zormak {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::countOf;
using ::testing::ElementsAre;
using testing::fake;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::readFile;
using testing::Server;
using testing::writeFile;

TEST(ServerProcess, AnnouncedServerIsReadyOnceWithItsCommandLineAndEnvironment) {
  Server f;
  const std::pair<const char*, const char*> inherited[] = {
      {"CLAUDE_X", "1"},
      {"GENIE_", "1"},
      {"CODEBUDDY_TOKEN", "1"},
      {"MY_CLAUDE_X", "kept"},
      {"claude_x", "kept"},
      {"PYTHONUNBUFFERED", "0"},
      {"ZORMAK_LAUNCH_SECRET", "inherited"},
      {"ZORMAK_SIGNIN_COOKIES", "/tmp/someone-elses.txt"},
      {"ZORMAK_TEST_ENGINE_KEY", "/tmp/other.asc"},
      // Descriptors this process may have been given itself are not the child's.
      {"LISTEN_FDS", "7"},
      {"LISTEN_PID", "1"}};
  for (auto [name, value] : inherited)
    setenv(name, value, 1);
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
  // The interpreter keeps the environment block exactly as it was given, a
  // name given twice included: the shell in front of the fake would merge
  // such a pair, and Python would take the first of it.
  std::string interpreter = fake("announce_and_serve");
  interpreter.insert(interpreter.find('\n') + 1, "cp /proc/$$/environ exec.environ\n");
  f.install(interpreter);
  f.c->start();
  ::close(held);
  ::close(heldHigh);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  signal(SIGHUP, SIG_DFL);
  for (auto [name, value] : inherited)
    unsetenv(name);
  ASSERT_TRUE(f.waitFor(1));
  f.loop->runFor(200ms);  // the status poll also answers 200 meanwhile, or soon
  EXPECT_THAT(f.events, ElementsAre("ready " + f.url()));

  std::string launch = readFile(f.app / "launch.json");
  EXPECT_THAT(launch, HasSubstr("\"argv\": [\"-u\", \"app.py\", \"--port\", \"" +
                                std::to_string(f.c->port()) + "\", \"--no-browser\"]"));
  EXPECT_THAT(launch, HasSubstr("\"cwd\": \"" + f.app.string() + "\""));
  EXPECT_THAT(launch, HasSubstr("\"MY_CLAUDE_X\": \"kept\""));
  EXPECT_THAT(launch, HasSubstr("\"claude_x\": \"kept\""));
  for (auto* gone :
       {"\"CLAUDE_X\"", "\"GENIE_\"", "\"CODEBUDDY_TOKEN\"", "inherited", "ZORMAK_TEST_ENGINE_KEY"})
    EXPECT_THAT(launch, Not(HasSubstr(gone)));
  // The launch's own secret, once: 32 random bytes in lowercase hex.
  const std::string secret = f.c->launchSecret();
  EXPECT_THAT(secret, ::testing::MatchesRegex("[0-9a-f]{64}"));
  // Every value the environment block gives a name, in order.
  const std::string block = readFile(f.app / "exec.environ");
  auto given = [&](const std::string& name) {
    std::vector<std::string> values;
    for (size_t at = 0, end; at < block.size(); at = end + 1) {
      end = std::min(block.find('\0', at), block.size());
      if (block.compare(at, name.size() + 1, name + "=") == 0)
        values.push_back(block.substr(at + name.size() + 1, end - at - name.size() - 1));
    }
    return values;
  };
  EXPECT_THAT(given("ZORMAK_LAUNCH_SECRET"), ElementsAre(secret));
  EXPECT_THAT(given("PYTHONUNBUFFERED"), ElementsAre("1"));
  // The sign-in window's cookies for the engine, in the sign-in folder of this data folder.
  EXPECT_THAT(given("ZORMAK_SIGNIN_COOKIES"),
              ElementsAre((f.app.parent_path() / "SignIn/engine-cookies.txt").string()));
  EXPECT_THAT(launch, Not(HasSubstr((f.dir / "held").string())));
  EXPECT_THAT(launch, Not(HasSubstr("app.log")));
  EXPECT_THAT(launch, HasSubstr("\"1\": \"pipe:"));
  // The listening socket is descriptor 3, announced by the socket-activation
  // variables; the fork spawner names the child's own pid.
  EXPECT_THAT(launch, HasSubstr("\"3\": \"socket:["));
  EXPECT_THAT(given("LISTEN_FDS"), ElementsAre("1"));
  EXPECT_THAT(given("LISTEN_FDNAMES"), ElementsAre("zormak"));
  const std::string serverPid = readFile(f.support / "server.pid");
#ifdef ZORMAK_POSIX_SPAWN
  EXPECT_THAT(given("LISTEN_PID"), ElementsAre());
#else
  EXPECT_THAT(given("LISTEN_PID"), ElementsAre(serverPid.substr(0, serverPid.size() - 1)));
#endif
  // Nothing blocked or ignored reaches the server.
  EXPECT_THAT(launch, HasSubstr("SigBlk:\\t0000000000000000"));
  // Python itself ignores SIGPIPE and SIGXFSZ, and nothing else. glibc's
  // posix_spawn also leaves its two internal signals (32 and 33) ignored,
  // which no program sends or handles through the C library.
#ifdef ZORMAK_POSIX_SPAWN
  EXPECT_THAT(launch, HasSubstr("SigIgn:\\t0000000181001000"));
#else
  EXPECT_THAT(launch, HasSubstr("SigIgn:\\t0000000001001000"));
#endif

  ASSERT_THAT(serverPid, ::testing::MatchesRegex("[1-9][0-9]*\n"));
  // The leader of a session of its own, and so of its own group.
  const pid_t pid = std::stoi(serverPid);
  EXPECT_EQ(::getsid(pid), pid);
  EXPECT_EQ(::getpgid(pid), pid);
  std::string log = f.logText();
  EXPECT_THAT(log,
              HasSubstr("[ZORMAK] 已启动 python pid=" + serverPid.substr(0, serverPid.size() - 1) +
                        "，端口 " + std::to_string(f.c->port()) + "\n"));
  EXPECT_EQ(countOf(log, "界面已就绪"), 1);
  EXPECT_THAT(log, Not(HasSubstr(secret)));

  // Stop: both lines with the exit line between them (stop() returns only
  // once the exit is reported), the pid file gone, and the server's end then
  // reported as a failure after the ready outcome.
  auto began = std::chrono::steady_clock::now();
  f.c->stop();
  EXPECT_LT(std::chrono::steady_clock::now() - began, 1s);
  EXPECT_FALSE(fs::exists(f.support / "server.pid"));
  log = f.logText();
  size_t closing = log.find("[ZORMAK] 正在关闭服务……\n");
  ASSERT_NE(closing, std::string::npos);
  EXPECT_TRUE(log.ends_with("[ZORMAK] 子进程退出，退出码 0\n[ZORMAK] 服务已关闭\n"));
  ASSERT_TRUE(f.waitFor(2));
  EXPECT_EQ(f.events[1], f.exitFailure("退出码 0"));
  f.c->stop();  // a second stop only removes the pid file
  EXPECT_EQ(f.logText(), log);
}

// Without an announcement the status poll alone decides, through no proxy:
// ready on the first 200, or a timeout after exactly 200 requests, reported
// and logged once.
TEST(ServerProcess, PollingAloneMakesReadyOn200OrTimesOutAfter200Requests) {
  const struct {
    const char* statuses;
    size_t requests;
    bool ready;
  } cases[] = {{"204,404,500,301,200", 5, true}, {"404", 200, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.statuses);
    Server f;
    setenv("FAKE_STATUSES", c.statuses, 1);
    setenv("http_proxy", "http://127.0.0.1:9", 1);  // would break readiness if used
    setenv("all_proxy", "http://127.0.0.1:9", 1);
    auto timing = Server::fastTiming();
    timing.pollDelay = 1ms;
    f.install(fake("serve_silently"), timing);
    f.c->start();
    for (auto* name : {"FAKE_STATUSES", "http_proxy", "all_proxy"})
      unsetenv(name);
    ASSERT_TRUE(f.waitFor(1, 60s));
    f.loop->runFor(100ms);
    EXPECT_THAT(f.events, ElementsAre(c.ready ? "ready " + f.url()
                                              : "failed 服务启动超时（60 秒）。\n\n日志：" +
                                                    (f.support / "app.log").string()));
    EXPECT_EQ(f.requests(), std::vector<std::string>(c.requests, "/api/status"));
    EXPECT_EQ(f.logText().ends_with(
                  "[ZORMAK] 服务启动超时：200 次状态请求都没有得到就绪应答，已放弃等待\n"),
              !c.ready);
    f.c->stop();
  }
}

// The log without the launch line, which the shell writes once the child
// is started and so may stand anywhere in what a quick child prints.
std::string withoutLaunchLine(std::string log) {
  const std::string opening = "[ZORMAK] 已启动 python pid=";
  for (size_t at = 0; (at = log.find(opening, at)) != std::string::npos;) {
    const size_t end = log.find('\n', at);
    if (end == std::string::npos)
      break;
    log.erase(at, end + 1 - at);
  }
  return log;
}

// However the server ends before it is ready, the log and the failure say
// how: with its exit code, or with the signal that ended it; the exit line
// follows everything the server printed, however much came just before it.
TEST(ServerProcess, EarlyEndIsReportedAsAnExitCodeOrASignalAfterTheOutput) {
  const struct {
    std::string script, printed;
    const char* ended;
    int rounds;
  } kCases[] = {
      {"#!/bin/sh\necho starting\nexit 3\n", "starting\n", "退出码 3", 1},
      {"#!/bin/sh\necho starting\nkill -9 $$\n", "starting\n", "被信号 9（SIGKILL）终止", 1},
      {"#!/bin/sh\necho starting\nkill -TERM $$\n", "starting\n", "被信号 15（SIGTERM）终止", 1},
      {fake("print_then_exit"), "line 1999\nbye\n", "退出码 0", 5},
  };
  for (const auto& c : kCases) {
    for (int round = 0; round < c.rounds; ++round) {
      SCOPED_TRACE(std::string(c.ended) + " round " + std::to_string(round));
      Server f;
      f.install(c.script);
      f.c->start();
      ASSERT_TRUE(f.waitFor(1));
      f.loop->runFor(150ms);
      EXPECT_THAT(f.events, ElementsAre(f.exitFailure(c.ended)));
      EXPECT_THAT(withoutLaunchLine(f.logText()),
                  HasSubstr(c.printed + "[ZORMAK] 子进程退出，" + c.ended + "\n"));
    }
  }
}

TEST(ServerProcess, MissingOrNonExecutableInterpreterIsReported) {
  enum { missing, notExecutable, dangling };
  for (int how : {missing, notExecutable, dangling}) {
    SCOPED_TRACE(how);
    Server f;
    f.install("#!/bin/sh\n");
    const auto python = f.payload() / ".venv/bin/python";
    if (how == notExecutable)
      fs::permissions(python, fs::perms::owner_read);
    else
      fs::remove(python);
    if (how == dangling)
      fs::create_symlink(f.dir / "no/python3", python);
    f.c->start();
    ASSERT_TRUE(f.waitFor(1));
    EXPECT_THAT(
        f.events,
        ElementsAre("failed 运行环境里找不到 Python 解释器。\n路径：" +
                    (f.app / ".venv/bin/python").string() +
                    "\n安装包里的运行环境也不完整，重新启动也无法修复，请重新安装 ZORMAK。"));
    EXPECT_EQ(f.c->port(), 0);
    EXPECT_FALSE(fs::exists(f.support / "server.pid"));
  }
}

TEST(ServerProcess, IgnoringSigtermIsKilledAfterTheGraceWithItsGroup) {
  Server f;
  f.install(fake("ignore_sigterm_with_child"), ServerController::Timing{});  // the 3 s grace
  f.c->start();
  ASSERT_TRUE(f.waitFor(1));
  pid_t kid = std::stoi(readFile(f.app / "kid.pid"));
  auto began = std::chrono::steady_clock::now();
  f.c->stop();
  auto took = std::chrono::steady_clock::now() - began;
  EXPECT_GE(took, 2900ms);
  EXPECT_LT(took, 4000ms);
  EXPECT_TRUE(
      f.logText().ends_with("[ZORMAK] 子进程退出，被信号 9（SIGKILL）终止\n[ZORMAK] 服务已关闭\n"));
  ASSERT_TRUE(f.waitFor(2));
  EXPECT_EQ(f.events[1], f.exitFailure("被信号 9（SIGKILL）终止"));
  // The grandchild went with the group.
  bool gone = false;
  for (int i = 0; i < 100 && !gone; ++i, std::this_thread::sleep_for(20ms))
    gone = !testing::isAlive(kid);
  EXPECT_TRUE(gone);
}

TEST(ServerProcess, TheSamePortIsOfferedAgainWhileItIsFree) {
  Server f;
  f.install(fake("announce_and_serve"));
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
  testing::Listener taken(static_cast<std::uint16_t>(first));
  auto third = f.make(Server::fastTiming());
  third->start();
  EXPECT_NE(third->port(), first);
  EXPECT_GT(third->port(), 0);
  third->stop();
}

// A server killed after it was ready is reported once; a restart brings up a
// new one on the same port with a new secret, reported once more.
TEST(ServerProcess, RestartAfterTheServerWasKilledIsReadyAgainOnTheSamePort) {
  Server f;
  f.install(fake("announce_and_serve"));
  f.c->start();
  ASSERT_TRUE(f.waitFor(1));
  const auto port = f.c->port();
  const std::string firstSecret = f.c->launchSecret();
  const pid_t first = std::stoi(readFile(f.support / "server.pid"));
  ASSERT_EQ(kill(first, SIGKILL), 0);
  ASSERT_TRUE(f.waitFor(2));
  EXPECT_EQ(f.events[1], f.exitFailure("被信号 9（SIGKILL）终止"));

  f.c->restart();
  ASSERT_TRUE(f.waitFor(3));
  f.loop->runFor(300ms);
  EXPECT_THAT(f.events, ElementsAre("ready " + f.url(), f.exitFailure("被信号 9（SIGKILL）终止"),
                                    "ready " + f.url()));
  EXPECT_EQ(f.c->port(), port);
  EXPECT_NE(f.c->launchSecret(), firstSecret);
  EXPECT_NE(std::stoi(readFile(f.support / "server.pid")), first);
  EXPECT_EQ(countOf(f.logText(), "界面已就绪"), 2);

  // A restart of a server that runs stops it first; that end is logged but
  // reported to nobody.
  f.c->restart();
  ASSERT_TRUE(f.waitFor(4));
  f.loop->runFor(300ms);
  EXPECT_THAT(f.events, ElementsAre("ready " + f.url(), f.exitFailure("被信号 9（SIGKILL）终止"),
                                    "ready " + f.url(), "ready " + f.url()));
  EXPECT_THAT(f.logText(), HasSubstr("[ZORMAK] 子进程退出，退出码 0\n[ZORMAK] 服务已关闭\n"));
  f.c->stop();
}

// The port is held from the moment it is chosen: a server slow to start
// still gets it, and nobody can bind it meanwhile.
TEST(ServerProcess, NobodyCanTakeThePortBeforeTheServerServes) {
  Server f;
  f.install(fake("listen_late"));
  f.c->start();
  // Not even with SO_REUSEADDR, which only makes binding easier.
  EXPECT_THROW(testing::Listener(static_cast<std::uint16_t>(f.c->port())), std::runtime_error);
  ASSERT_TRUE(f.waitFor(1));
  EXPECT_THAT(f.events, ElementsAre("ready " + f.url()));
  f.c->stop();
}

// Only the announcement of our own port counts: another loopback address
// printed before it is logged and never loaded.
TEST(ServerOutput, TheAnnouncementOfOurOwnPortIsFoundAndNoOther) {
  Server f;
  f.install(fake("announce_foreign"));
  f.c->start();
  ASSERT_TRUE(f.waitFor(1));
  f.loop->runFor(300ms);
  EXPECT_THAT(f.events, ElementsAre("ready " + f.url()));
  EXPECT_EQ(countOf(f.logText(), "界面已就绪"), 1);
  const std::string foreign = f.c->port() == 1 ? "2" : "1";
  EXPECT_THAT(f.logText(),
              HasSubstr("[ZORMAK] 输出中的地址不是本次启动的端口，不予理会：http://127.0.0.1:" +
                        foreign + "\n"));
  f.c->stop();
}

TEST(ServerProcess, ShellKilledOutrightTakesItsServerAlong) {
#ifdef ZORMAK_POSIX_SPAWN
  GTEST_SKIP() << "posix_spawn gives no parent-death signal; the payload watches its parent";
#endif
  Server f;
  f.install(fake("announce_and_serve"));
  // A stand-in shell: launches the server and waits.
  pid_t shell = testing::spawn(
      {ZORMAK_PREPARE_PROBE, f.support.string(), f.resources.string(), "", "launch"});
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

TEST(ServerOutput, InvalidBytesAreReplacedAndAFloodStaysSmall) {
  Server f;
  f.install(fake("output_flood"));
  const long before = testing::residentKiB();
  f.c->start();
  long peak = before;
  ASSERT_TRUE(f.loop->runUntil(
      [&] {
        peak = std::max(peak, testing::residentKiB());
        return !f.events.empty();
      },
      120s));
#ifndef ZORMAK_SANITIZED
  EXPECT_LT(peak - before, 8 * 1024) << "KiB";
#endif
  EXPECT_THAT(f.logText(), HasSubstr("before\nbad \xef\xbf\xbd\nafter\n"));
  EXPECT_GT(fs::file_size(f.support / "app.log"), 100u * 1000 * 1000);
}

// A server that announces itself, answers the status poll and ends at once:
// the reader thread, the HTTP completion and the process waiter all reach the
// outcome together, and now and then stop() joins them from the main thread.
// Whatever the order, at most one ready outcome, logged once, and the exit
// reported exactly once, after it.
TEST(ServerProcess, ReaderWaiterAndPollRaceToOneOutcome) {
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    Server f;
    f.install(fake("announce_and_exit"));
    setenv("RACE_ROUND", std::to_string(round).c_str(), 1);
    f.c->start();
    if (round % 5 == 4)
      f.c->stop();
    ASSERT_TRUE(f.waitFor(1));
    // An exit report follows a ready one however slow the machine is; after
    // it, a short wait shows anything that should not have come.
    if (f.events[0].starts_with("ready ")) {
      ASSERT_TRUE(f.waitFor(2));
    }
    f.loop->runFor(20ms);
    const int readyLines = countOf(f.logText(), "界面已就绪");
    // A stop may end the server before it exits by itself.
    const std::string exited =
        round % 5 == 4 && f.events.back() == f.exitFailure("被信号 15（SIGTERM）终止")
            ? f.exitFailure("被信号 15（SIGTERM）终止")
            : f.exitFailure("退出码 0");
    if (f.events.size() == 2) {
      ASSERT_THAT(f.events, ElementsAre("ready " + f.url(), exited));
      ASSERT_EQ(readyLines, 1);
    } else {
      ASSERT_THAT(f.events, ElementsAre(exited));
      ASSERT_EQ(readyLines, 0);
    }
    f.c->stop();
  }
  unsetenv("RACE_ROUND");
}

}  // namespace
}  // namespace zormak
