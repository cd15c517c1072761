#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "MainQueue.h"

namespace zormak {

class ChildProcess;

// Supervises the one Python server of a run: installs the payload, ends a
// server left behind by an earlier run, launches the server, watches its
// output and status endpoint, reports the outcome to the shell through two
// callbacks on the main queue, and stops the server.
//
// The controller is always held by a shared_ptr (see init()); its background
// handlers and posted tasks hold it weakly, so a destroyed controller's
// handlers do nothing.
class ServerController : public std::enable_shared_from_this<ServerController> {
 public:
  // Where a controller keeps its files. The product uses standard(); tests
  // point it at a temporary folder.
  struct Locations {
    std::filesystem::path appSupportDir;

    std::filesystem::path runtimeAppDir() const { return appSupportDir / "app"; }
    std::filesystem::path logURL() const { return appSupportDir / "app.log"; }
    std::filesystem::path pidFileURL() const { return appSupportDir / "server.pid"; }

    // The user's data folder plus "ZORMAK", worked out once per process.
    static const Locations& standard();
  };

  // The product's fixed time constants. Tests shorten them; the product has
  // no way to change them.
  struct Timing {
    std::chrono::milliseconds pollDelay{300};
    std::int64_t lastAttempt = 199;  // attempts 0...lastAttempt send a request
    std::chrono::milliseconds requestTimeout{2000};
    std::chrono::milliseconds grace{3000};
    std::chrono::microseconds pollInterval{100000};
  };

  // Everything a test may supply instead of the product's defaults.
  struct Setup {
    Locations locations;
    // Directory that holds "payload"; absent means the bundle has none.
    std::optional<std::filesystem::path> resourceDir;
    std::shared_ptr<MainQueue> mainQueue;
    Timing timing;
  };

  using ReadyCallback = std::function<void(const std::string& url)>;
  using FailedCallback = std::function<void(const std::string& message)>;

  // The plain initialiser: standard locations, the bundle's resources, the
  // installed main queue, the product's timing. Creates nothing on disk.
  static std::shared_ptr<ServerController> init();
  static std::shared_ptr<ServerController> init(Setup setup);

  ~ServerController();
  ServerController(const ServerController&) = delete;
  ServerController& operator=(const ServerController&) = delete;

  // Type-level locations of the product.
  static const std::filesystem::path& appSupportDir();
  static std::filesystem::path runtimeAppDir();
  static std::filesystem::path logURL();
  static std::filesystem::path pidFileURL();

  // The directory next to the executable's that holds "payload"
  // (<prefix>/share/zormak for <prefix>/bin/zormak), or none.
  static std::optional<std::filesystem::path> bundleResourceDir();

  // Main thread only. Prepares the runtime, reaps a stale server and launches
  // a new one; every failure goes to onFailed, never to the caller.
  void start();
  // Main thread only. Ends the server (by force after the grace period) and
  // removes the pid file; safe in every state.
  void stop();

  std::int64_t port() const { return port_; }
  const Locations& locations() const { return locations_; }

  // Set by the shell before start(); called only on the main thread.
  ReadyCallback onReady;
  FailedCallback onFailed;

 private:
  friend class ServerControllerTestAccess;

  explicit ServerController(Setup setup);

  // Runtime preparation. Throws ZormakError or FileSystemError.
  void prepareRuntime();

  // Service log: appends the text unchanged; never fails to the caller.
  void log(std::string_view message);
  static std::string timestamp();

  void reapStaleServer();
  static std::optional<std::string> commandLine(pid_t pid);
  // The pid file's text as a signed 32-bit decimal number, or nothing.
  static std::optional<std::int32_t> parsePid(std::string_view text);
  // Sends `signal` to the process, or to its whole group when it leads one.
  static void signalServer(pid_t pid, int signal);

  void launchServer();
  // The port for this launch: the last ready one when it is free, else one
  // the system picks, else 8765.
  std::int64_t choosePort() const;
  void rememberPort(std::int64_t port) const;
  std::filesystem::path portFileURL() const { return locations_.appSupportDir / "server.port"; }

  void ingest(std::string_view chunk);
  static std::optional<std::string> parseURL(std::string_view line);

  void pollStatus(std::int64_t attempt);

  // Outcome delivery.
  void markReady(const std::string& url);
  void fail(std::string message);
  // The guarded failure paths (child ended, attempts used up): sets
  // `finished` and reports, as one step, unless `finished` is already set.
  bool failUnlessFinished(std::string message);
  bool isFinished() const;
  bool isReady() const;

  Locations locations_;
  std::optional<std::filesystem::path> resourceDir_;
  std::shared_ptr<MainQueue> mainQueue_;
  Timing timing_;

  std::int64_t port_ = 0;
  std::shared_ptr<ChildProcess> process_;

  std::mutex logMutex_;
  int logHandle_ = -1;

  // Output watcher state, touched only by the reader thread.
  std::string lineBuffer_;
  bool discardingLine_ = false;  // the unfinished line grew too long
  bool lastByteWasCR_ = false;
  static constexpr size_t kMaxLineLength = 64 * 1024;

  // `finished` and `readyURL` are tested and set together under this lock,
  // and the outcome task is posted inside it, so the order of the posted
  // callbacks is the order of the decisions.
  mutable std::mutex outcomeMutex_;
  bool finished_ = false;
  std::optional<std::string> readyURL_;
};

}  // namespace zormak
