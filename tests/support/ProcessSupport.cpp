#include "ProcessSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace zormak::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string fake(const std::string& name) {
  return "#!/bin/sh\nexec /usr/bin/python3 " + std::string(ZORMAK_FAKES_DIR) + "/fakeserver.py " +
         name + " \"$@\"\n";
}

void Server::install(const std::string& interpreter, ServerController::Timing timing) {
  writeFile(payload() / "app.py", "# stands in for the server\n");
  writeFile(payload() / "PAYLOAD_VERSION", "1\n");
  writeFile(payload() / ".venv/bin/python", interpreter, fs::perms::owner_all);
  c = make(timing);
  c->onReady = [this](const std::string& url) { events.push_back("ready " + url); };
  c->onFailed = [this](const std::string& m) { events.push_back("failed " + m); };
}

ServerController::Timing Server::fastTiming() {
  ServerController::Timing t;
  t.pollDelay = 20ms;
  t.grace = 1000ms;
  return t;
}

bool Server::waitFor(size_t count, std::chrono::milliseconds timeout) {
  return loop->runUntil([&] { return events.size() >= count; }, timeout);
}

std::string Server::exitFailure(const std::string& ended) const {
  return "failed 服务进程意外退出了（" + ended + "）。\n\n日志：" + (support / "app.log").string();
}

std::vector<std::string> Server::requests() const {
  std::vector<std::string> lines;
  std::istringstream in(readFile(app / "requests.log"));
  for (std::string l; std::getline(in, l);)
    lines.push_back(l);
  return lines;
}

int countOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++n;
  return n;
}

bool isAlive(pid_t pid) {
  if (kill(pid, 0) != 0)
    return false;
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  return close == std::string::npos || stat.compare(close, 3, ") Z") != 0;
}

long residentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:"))
      return std::stol(line.substr(6));
  }
  return -1;
}

pid_t spawn(const std::vector<std::string>& args, const SpawnOptions& options) {
  std::vector<char*> argv;
  for (auto& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  short flags = 0;
  if (options.newGroup) {
    flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(&attr, 0);
  }
  if (options.newSession)
    flags |= POSIX_SPAWN_SETSID;
  posix_spawnattr_setflags(&attr, flags);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!options.directory.empty())
    posix_spawn_file_actions_addchdir_np(&actions, options.directory.c_str());
  pid_t pid = -1;
  int error = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (error != 0)
    throw std::runtime_error("cannot start " + args[0]);
  return pid;
}

Listener::Listener(std::uint16_t port) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd_, 16) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd_);
    throw std::runtime_error("cannot listen on port " + std::to_string(port));
  }
  port_ = ntohs(address.sin_port);
}

Listener::~Listener() {
  close(fd_);
}

}  // namespace zormak::testing
