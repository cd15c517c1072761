#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ControllerAccess.h"

namespace zormak::testing {

// A fake interpreter that runs one behaviour of tests/supervision/fakes/fakeserver.py.
std::string fake(const std::string& name);

// A controller over a fake payload whose interpreter the test chooses, with
// its outcomes recorded in order.
struct Server : ControllerFixture {
  std::filesystem::path app = support / "app";
  std::vector<std::string> events;
  std::shared_ptr<ServerController> c;

  void install(const std::string& interpreter, ServerController::Timing timing = fastTiming());
  static ServerController::Timing fastTiming();
  bool waitFor(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(20));
  std::string url() const { return "http://127.0.0.1:" + std::to_string(c->port()); }
  // The failure event of a server that ended as `ended` says.
  std::string exitFailure(const std::string& ended) const;
  // The paths the fake server was asked for, in order.
  std::vector<std::string> requests() const;
};

int countOf(const std::string& text, const std::string& what);
// Alive and not a zombie.
bool isAlive(pid_t pid);
long residentKiB();

// Starts a program with this process's environment; `directory` empty means
// ours, `newGroup` makes it lead a process group, `newSession` a session.
struct SpawnOptions {
  std::filesystem::path directory;
  bool newGroup = false;
  bool newSession = false;
};
pid_t spawn(const std::vector<std::string>& args, const SpawnOptions& options = {});

// A loopback socket listening on a port (0: any) for as long as it lives.
class Listener {
 public:
  explicit Listener(std::uint16_t port = 0);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  std::uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace zormak::testing
