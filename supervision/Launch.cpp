#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <latch>

#include "ChildProcess.h"
#include "Output.h"
#include "PidFile.h"
#include "PipeReader.h"
#include "ServerController.h"
#include "System.h"
#include "ZormakError.h"

extern char** environ;

namespace zormak {

namespace {

constexpr std::string_view kSecretVariable = "ZORMAK_LAUNCH_SECRET";
// Names the file of the sign-in window's cookies (payload/downloader/signed_in.py).
constexpr std::string_view kSignInCookiesVariable = "ZORMAK_SIGNIN_COOKIES";
// Connections the kernel holds for the server before it accepts them.
constexpr int kBacklog = 128;

// A socket listening on 127.0.0.1:`port` (0: any), with the bound port, or
// an empty descriptor with errno set.
std::pair<UniqueFd, std::int64_t> listenLoopback(std::uint16_t port) {
  UniqueFd fd = sys::makeSocket(AF_INET, SOCK_STREAM);
  if (!fd)
    return {};
  // A port whose last connections linger after a restart (TIME_WAIT, or an
  // orphaned FIN_WAIT) is still ours to take; those connections inherit the
  // option from this socket, and both sides need it. While ours listens,
  // the option lets nobody else bind the port.
  int on = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = inet_addr("127.0.0.1");
  sockaddr_in actual{};
  socklen_t length = sizeof actual;
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd.get(), kBacklog) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&actual), &length) != 0)
    return {};
  return {std::move(fd), ntohs(actual.sin_port)};
}

std::string_view nameOf(std::string_view variable) {
  return variable.substr(0, variable.find('='));
}

bool isFiltered(std::string_view variable) {
  std::string_view name = nameOf(variable);
  // CODEBUDDY_*, CLAUDE_* and GENIE_* belong to the coding assistants a
  // developer may start the program from; they carry those tools' sessions
  // and keys, which the server has no use for and should never see.
  // ZORMAK_TEST_* point the payload's engine updater at a loopback release
  // server and key; the payload's tests set them, the product never passes
  // one on, so a test's settings cannot leak into a real run.
  for (std::string_view prefix : {"CODEBUDDY_", "CLAUDE_", "GENIE_", "ZORMAK_TEST_"}) {
    if (name.starts_with(prefix))
      return true;
  }
  // These are set anew below: the server's output must reach the log line by
  // line, an inherited secret belongs to some other launch, and so may an
  // inherited sign-in file.
  return name == "PYTHONUNBUFFERED" || name == kSecretVariable || name == kSignInCookiesVariable;
}

std::vector<std::string> serverEnvironment(const std::string& secret,
                                           const std::filesystem::path& signInCookies) {
  std::vector<std::string> environment;
  for (char** e = environ; e && *e; ++e) {
    if (!isFiltered(*e))
      environment.emplace_back(*e);
  }
  environment.emplace_back("PYTHONUNBUFFERED=1");
  environment.push_back(std::string(kSecretVariable) + "=" + secret);
  environment.push_back(std::string(kSignInCookiesVariable) + "=" + signInCookies.string());
  return environment;
}

// 32 bytes from the system's random source as 64 lowercase hex digits, or
// nothing (errno set) when the source failed.
std::optional<std::string> makeLaunchSecret() {
  unsigned char bytes[32];
  if (int error = sys::fillRandom(bytes, sizeof bytes)) {
    errno = error;
    return std::nullopt;
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string secret;
  for (unsigned char b : bytes) {
    secret += kDigits[b >> 4];
    secret += kDigits[b & 15];
  }
  return secret;
}

}  // namespace

std::pair<UniqueFd, std::int64_t> ServerController::openListener() const {
  // The origin of the served pages, and with it their site storage, stays the
  // same from one launch to the next as long as the port is free.
  auto last = PidFile(portFilePath()).read();
  if (last && *last > 0 && *last < 65536) {
    auto remembered = listenLoopback(static_cast<std::uint16_t>(*last));
    if (remembered.first)
      return remembered;
  }
  return listenLoopback(0);
}

void ServerController::rememberPort(std::int64_t port) const {
  PidFile(portFilePath()).write(port);
}

void ServerController::launchServer() {
  const auto app = locations_.runtimeAppDir();
  const auto python = app / ".venv/bin/python";
  if (::access(python.c_str(), X_OK) != 0 || std::filesystem::is_directory(python)) {
    // The start reinstalls a runtime without one, so the bundle's own copy lacks it too.
    fail("运行环境里找不到 Python 解释器。\n路径：" + python.string() +
         "\n安装包里的运行环境也不完整，" + std::string(kReinstallAdvice));
    return;
  }

  // The shell listens and the server inherits the socket: no moment passes
  // between choosing the port and holding it in which another process could
  // take it. Without a socket there is no safe port to offer.
  auto [listener, port] = openListener();
  if (!listener) {
    fail("无法启动服务进程：" + errorCauseText(errno));
    return;
  }
  port_ = port;
  auto secret = makeLaunchSecret();
  if (!secret) {
    fail("无法启动服务进程：" + errorCauseText(errno));
    return;
  }
  launchSecret_ = std::move(*secret);

  ChildProcess::Request request{
      python,
      {"-u", "app.py", "--port", std::to_string(port_), "--no-browser"},
      app,
      serverEnvironment(launchSecret_, locations_.signInCookiesPath()),
      listener.get(),
  };
  const std::uint64_t launch = currentLaunch();
  UniqueFd outputRead, outputWrite;
  if (!sys::makePipe(outputRead, outputWrite)) {
    fail("无法启动服务进程：" + errorCauseText(errno));
    return;
  }
  auto state = std::make_shared<OutputState>();
  state->expectedURL = "http://127.0.0.1:" + std::to_string(port_);
  // The socket listens before the server starts, so its announcement can
  // come at once; what it prints waits until the pid line is in the log.
  auto logged = std::make_shared<std::latch>(1);
  struct Release {
    std::shared_ptr<std::latch> latch;
    ~Release() { latch->count_down(); }
  } release{logged};
  auto reader = std::make_shared<PipeReader>(
      std::move(outputRead),
      [weak = weak_from_this(), state, launch, logged](std::string_view bytes, bool end) {
        logged->wait();
        if (auto self = weak.lock())
          self->ingest(*state, bytes, end, launch);
      });
  // The exit line follows everything the server printed: the reader hands on
  // what is still in the pipe before it is written.
  auto onExit = [weak = weak_from_this(), reader, launch](const ChildProcess::Termination& end) {
    auto self = weak.lock();
    if (!self)
      return;
    reader->drain();
    self->log("[ZORMAK] 子进程退出，" + end.description() + "\n");
    self->failUnlessFinished("服务进程意外退出了（" + end.description() + "）。\n\n日志：" +
                                 self->locations_.logPath().string(),
                             launch);
  };
  int error = 0;
  auto child = ChildProcess::spawn(request, std::move(outputWrite), std::move(onExit), error);
  // Only the server holds the socket now: when it ends, the port is free.
  listener.reset();
  if (!child) {
    fail("无法启动服务进程：" + errorCauseText(error));
    return;
  }
  reader_ = std::move(reader);
  process_ = std::move(child);

  const pid_t pid = process_->processIdentifier();
  PidFile(locations_.pidFilePath()).write(pid);
  log("[ZORMAK] 已启动 python pid=" + std::to_string(pid) + "，端口 " + std::to_string(port_) +
      "\n");
  pollStatus(0, launch);
}

}  // namespace zormak
