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
#include <utility>

#include "MainQueue.h"
#include "UniqueFd.h"

namespace zormak {

class ChildProcess;
class PipeReader;
class StatusPoller;
struct OutputState;

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
    std::filesystem::path logPath() const { return appSupportDir / "app.log"; }
    std::filesystem::path pidFilePath() const { return appSupportDir / "server.pid"; }
    // The sign-in window's site data, and the file its cookies are written
    // to for the server's engine calls.
    std::filesystem::path signInDir() const { return appSupportDir / "SignIn"; }
    std::filesystem::path signInCookiesPath() const { return signInDir() / "engine-cookies.txt"; }

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
  static std::filesystem::path logPath();
  static std::filesystem::path pidFilePath();

  // The bundle's resource directory, which holds "payload", as the platform
  // layer finds it (Linux: <prefix>/share/zormak beside <prefix>/bin/zormak;
  // macOS: the main bundle's Contents/Resources). Installed once by the
  // program's entry before the first controller is created with the plain
  // initialiser; without it the bundle has no payload.
  static void installResourceDir(std::optional<std::filesystem::path> directory);

  // Main thread only. Prepares the runtime, reaps a stale server and launches
  // a new one; every failure goes to onFailed, never to the caller.
  void start();
  // Main thread only. Ends the server (by force after the grace period) and
  // removes the pid file; safe in every state.
  void stop();
  // Main thread only. Stops a server that still runs, forgets the outcome of
  // the last launch and runs the start sequence again with the same
  // callbacks. The remembered port gives the new server the same origin; the
  // launch secret is new.
  void restart();

  // Service log: appends the text unchanged; never fails to the caller. The
  // one writer of app.log, for the shell's own lines as well.
  void log(std::string_view message);

  std::int64_t port() const { return port_; }
  const Locations& locations() const { return locations_; }
  // The secret of the current launch, given to the server in its
  // environment; empty before the first launch. Main thread only.
  const std::string& launchSecret() const { return launchSecret_; }

  // Set by the shell before start(); called only on the main thread.
  ReadyCallback onReady;
  FailedCallback onFailed;

 private:
  friend class ServerControllerTestAccess;

  explicit ServerController(Setup setup);

  // Runtime preparation. Throws ZormakError or FileSystemError.
  void prepareRuntime();

  static std::string timestamp();
  // Before the first message of a process: a log over kMaxLogSize becomes
  // app.log.1, so that each run's log stays whole and the file stays bounded.
  void rotateLog();
  static constexpr std::uintmax_t kMaxLogSize = 10 * 1024 * 1024;

  void reapStaleServer();
  static std::optional<std::string> commandLine(pid_t pid);
  // Whether the process is a server of ours: its command line names
  // "app.py" and it runs in runtimeAppDir. A recycled pid, or someone
  // else's app.py, is never signalled.
  bool isOurServer(pid_t pid) const;
  // Sends `signal` to the verified server, or to its whole group when it
  // leads one.
  static void signalServer(pid_t pid, int signal);

  void launchServer();
  // A socket listening on 127.0.0.1 for this launch's server, and its port:
  // the last ready one when it is free, else one the system picks. Empty,
  // with errno set, when no socket could listen.
  std::pair<UniqueFd, std::int64_t> openListener() const;
  void rememberPort(std::int64_t port) const;
  std::filesystem::path portFilePath() const { return locations_.appSupportDir / "server.port"; }

  // The output of one launch, as the reader delivers it: repaired to valid
  // UTF-8, logged, cut into lines, each line looked at for the announced URL.
  void ingest(OutputState& output, std::string_view bytes, bool end, std::uint64_t launch);
  static std::optional<std::string> parseURL(std::string_view line);

  void pollStatus(std::int64_t attempt, std::uint64_t launch);

  // Outcome delivery. Each launch has a number; what reports on a launch
  // that is no longer the current one (after a restart) is ignored.
  void markReady(const std::string& url, std::uint64_t launch);
  void fail(std::string message);
  // The guarded failure paths (child ended, attempts used up): sets
  // `finished` and reports, as one step, unless `finished` is already set.
  bool failUnlessFinished(std::string message, std::uint64_t launch);
  bool isFinished() const;
  bool isReady() const;
  std::uint64_t currentLaunch() const;

  Locations locations_;
  std::optional<std::filesystem::path> resourceDir_;
  std::shared_ptr<MainQueue> mainQueue_;
  Timing timing_;

  std::int64_t port_ = 0;
  std::string launchSecret_;

  std::mutex logMutex_;
  UniqueFd logHandle_;

  // `finished`, `readyURL` and the launch number are tested and set together
  // under this lock, and the outcome task is posted inside it, so the order
  // of the posted callbacks is the order of the decisions.
  mutable std::mutex outcomeMutex_;
  bool finished_ = false;
  std::optional<std::string> readyURL_;
  std::uint64_t launch_ = 0;

  // The threads of the current launch; each is stopped and joined when the
  // controller goes. Declared last, so they go first.
  std::unique_ptr<StatusPoller> poller_;
  std::shared_ptr<PipeReader> reader_;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace zormak
