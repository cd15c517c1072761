#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ChildProcess.h"
#include "ServerController.h"
#include "Text.h"
#include "ZormakError.h"

extern char** environ;

namespace zormak {

namespace {

constexpr std::int64_t kFallbackPort = 8765;

// Binds a loopback socket to `port` (0: any) and returns the bound port, or 0.
std::int64_t bindLoopback(std::uint16_t port, bool reuseAddress) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return 0;
  if (reuseAddress) {
    // As the server itself binds: a port whose last connections linger in
    // TIME_WAIT after a restart is still free for it.
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = inet_addr("127.0.0.1");
  std::int64_t bound = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    sockaddr_in actual{};
    socklen_t length = sizeof actual;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&actual), &length) == 0) {
      bound = ntohs(actual.sin_port);
    }
  }
  ::close(fd);
  return bound;
}

bool writeWholeFile(const std::filesystem::path& path, const std::string& content) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0)
    return false;
  ssize_t n = ::write(fd, content.data(), content.size());
  ::close(fd);
  return n == static_cast<ssize_t>(content.size());
}

bool hasFilteredPrefix(std::string_view variable) {
  std::string_view name = variable.substr(0, variable.find('='));
  for (std::string_view prefix : {"CODEBUDDY_", "CLAUDE_", "GENIE_"}) {
    if (name.substr(0, prefix.size()) == prefix)
      return true;
  }
  return false;
}

std::vector<std::string> serverEnvironment() {
  std::vector<std::string> environment;
  for (char** e = environ; e && *e; ++e) {
    std::string_view variable = *e;
    if (hasFilteredPrefix(variable))
      continue;
    if (variable.substr(0, variable.find('=')) == "PYTHONUNBUFFERED")
      continue;
    environment.emplace_back(variable);
  }
  environment.emplace_back("PYTHONUNBUFFERED=1");
  return environment;
}

}  // namespace

std::int64_t ServerController::choosePort() const {
  // The origin of the served pages, and with it their site storage, stays the
  // same from one launch to the next as long as the port is free.
  if (auto text = text::readUtf8File(portFileURL().string())) {
    std::string_view value = text::trimWhitespaceAndNewlines(*text);
    auto last = parsePid(value);
    if (last && *last > 0 && *last < 65536 &&
        bindLoopback(static_cast<std::uint16_t>(*last), true) == *last) {
      return *last;
    }
  }
  std::int64_t probed = bindLoopback(0, false);
  return probed > 0 ? probed : kFallbackPort;
}

void ServerController::rememberPort(std::int64_t port) const {
  writeWholeFile(portFileURL(), std::to_string(port) + "\n");
}

void ServerController::launchServer() {
  const auto app = locations_.runtimeAppDir();
  const auto python = app / ".venv/bin/python";
  if (::access(python.c_str(), X_OK) != 0 || std::filesystem::is_directory(python)) {
    fail("运行环境里找不到 Python 解释器。\n路径：" + python.string());
    return;
  }

  port_ = choosePort();

  ChildProcess::Request request{
      python,
      {"-u", "app.py", "--port", std::to_string(port_), "--no-browser"},
      app,
      serverEnvironment(),
  };
  auto onExit = [weak = weak_from_this()](int status) {
    auto self = weak.lock();
    if (!self)
      return;
    self->log("[ZORMAK] 子进程退出，退出码 " + std::to_string(status) + "\n");
    self->failUnlessFinished("服务进程意外退出了（退出码 " + std::to_string(status) +
                             "）。\n\n日志：" + self->locations_.logURL().string());
  };
  int outputFd = -1, error = 0;
  auto child = ChildProcess::spawn(request, std::move(onExit), outputFd, error);
  if (!child) {
    fail("无法启动服务进程：" + errorCauseText(error));
    return;
  }
  process_ = child;

  startBackgroundThread([weak = weak_from_this(), outputFd] {
    std::string chunk(64 * 1024, '\0');
    for (;;) {
      ssize_t n = ::read(outputFd, chunk.data(), chunk.size());
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        break;  // the child closed its output
      std::string_view data(chunk.data(), static_cast<size_t>(n));
      if (!text::isValidUtf8(data))
        continue;
      auto self = weak.lock();
      if (!self)
        break;
      self->ingest(data);
    }
    ::close(outputFd);
  });

  writeWholeFile(locations_.pidFileURL(), std::to_string(child->processIdentifier()) + "\n");
  log("[ZORMAK] 已启动 python pid=" + std::to_string(child->processIdentifier()) + "，端口 " +
      std::to_string(port_) + "\n");
  pollStatus(0);
}

}  // namespace zormak
