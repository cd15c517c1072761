#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>

#include "PidFile.h"
#include "ServerController.h"
#include "System.h"
#include "Text.h"

extern char** environ;

namespace zormak {

namespace {

// How long a killed stale server may take to go, so that its port is free
// for the new one.
constexpr auto kSettle = std::chrono::milliseconds(500);

// Sleeps in poll intervals until the process has gone or the deadline passed.
void waitUntilGone(pid_t pid, std::chrono::steady_clock::time_point deadline,
                   std::chrono::microseconds interval) {
  while (sys::processExists(pid) && std::chrono::steady_clock::now() < deadline)
    ::usleep(static_cast<useconds_t>(interval.count()));
}

// By path, so that a server whose folder a reinstall replaced is still known.
bool sameDirectory(const std::filesystem::path& running, const std::filesystem::path& ours) {
  std::error_code ec;
  auto canonical = std::filesystem::weakly_canonical(ours, ec);
  return (ec ? ours : canonical).lexically_normal() == running.lexically_normal();
}

}  // namespace

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
  UniqueFd outRead, outWrite, errRead, errWrite;
  if (!sys::makePipe(outRead, outWrite) || !sys::makePipe(errRead, errWrite))
    return std::nullopt;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outWrite.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errWrite.get(), STDERR_FILENO);
  std::string pidText = std::to_string(pid);
  const char* argv[] = {"/bin/ps", "-p", pidText.c_str(), "-o", "command=", nullptr};
  pid_t child = -1;
  int spawned =
      posix_spawn(&child, "/bin/ps", &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  outWrite.reset();
  errWrite.reset();
  if (spawned != 0)
    return std::nullopt;
  std::string output;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(outRead.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    output.append(buffer, static_cast<size_t>(n));
  }
  while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  if (!text::isValidUtf8(output))
    return std::nullopt;
  return output;
}

bool ServerController::isOurServer(pid_t pid) const {
  auto command = commandLine(pid);
  if (!command || command->find("app.py") == std::string::npos)
    return false;
  auto directory = sys::processWorkingDirectory(pid);
  return directory && sameDirectory(*directory, locations_.runtimeAppDir());
}

void ServerController::reapStaleServer() {
  const PidFile pidFile(locations_.pidFilePath());
  auto pid = pidFile.read();
  if (!pid || *pid < 2)
    return;

  if (::kill(*pid, 0) == 0 && isOurServer(*pid)) {
    log("[ZORMAK] 发现上次遗留的服务进程 pid=" + std::to_string(*pid) + "，先收掉\n");
    const bool leadsGroup = ::getpgid(*pid) == *pid;
    signalServer(*pid, SIGTERM);
    waitUntilGone(*pid, std::chrono::steady_clock::now() + timing_.grace, timing_.pollInterval);
    if (sys::processExists(*pid)) {
      signalServer(*pid, SIGKILL);
      // Its port is free only once it has gone.
      waitUntilGone(*pid, std::chrono::steady_clock::now() + kSettle, timing_.pollInterval / 10);
    } else if (leadsGroup) {
      ::kill(-*pid, SIGKILL);  // what the server started and left behind
    }
  }
  pidFile.remove();
}

}  // namespace zormak
