#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>

#include "ServerController.h"
#include "Text.h"

extern char** environ;

namespace zormak {

std::optional<std::int32_t> ServerController::parsePid(std::string_view text) {
  if (text.empty())
    return std::nullopt;
  bool negative = false;
  if (text.front() == '+' || text.front() == '-') {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty())
    return std::nullopt;
  std::int64_t value = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9')
      return std::nullopt;
    value = value * 10 + (ch - '0');
    if (value > std::int64_t{INT32_MAX} + 1)
      return std::nullopt;
  }
  if (negative)
    value = -value;
  if (value < INT32_MIN || value > INT32_MAX)
    return std::nullopt;
  return static_cast<std::int32_t>(value);
}

void ServerController::signalServer(pid_t pid, int signal) {
  // A server leads its own process group; ending the group also ends what it
  // started (a downloader's ffmpeg).
  if (::getpgid(pid) == pid) {
    ::kill(-pid, signal);
  } else {
    ::kill(pid, signal);
  }
}

std::optional<std::string> ServerController::commandLine(pid_t pid) {
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0)
    return std::nullopt;
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return std::nullopt;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  std::string pidText = std::to_string(pid);
  const char* argv[] = {"/bin/ps", "-p", pidText.c_str(), "-o", "command=", nullptr};
  pid_t child = -1;
  int spawned =
      posix_spawn(&child, "/bin/ps", &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  std::string output;
  if (spawned == 0) {
    char buffer[4096];
    for (;;) {
      ssize_t n = ::read(out[0], buffer, sizeof buffer);
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        break;
      output.append(buffer, static_cast<size_t>(n));
    }
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  ::close(out[0]);
  ::close(err[0]);
  if (spawned != 0 || !text::isValidUtf8(output))
    return std::nullopt;
  return output;
}

void ServerController::reapStaleServer() {
  const auto pidFile = locations_.pidFileURL();
  auto content = text::readUtf8File(pidFile.string());
  if (!content)
    return;
  auto pid = parsePid(text::trimWhitespaceAndNewlines(*content));
  if (!pid || *pid < 2)
    return;

  if (::kill(*pid, 0) == 0) {
    auto command = commandLine(*pid);
    if (command && command->find("app.py") != std::string::npos) {
      log("[ZORMAK] 发现上次遗留的服务进程 pid=" + std::to_string(*pid) + "，先收掉\n");
      const bool leadsGroup = ::getpgid(*pid) == *pid;
      signalServer(*pid, SIGTERM);
      auto deadline = std::chrono::steady_clock::now() + timing_.grace;
      while (::kill(*pid, 0) == 0 && std::chrono::steady_clock::now() < deadline) {
        ::usleep(static_cast<useconds_t>(timing_.pollInterval.count()));
      }
      if (::kill(*pid, 0) == 0) {
        signalServer(*pid, SIGKILL);
      } else if (leadsGroup) {
        ::kill(-*pid, SIGKILL);  // what the server started and left behind
      }
    }
  }
  ::unlink(pidFile.c_str());
}

}  // namespace zormak
