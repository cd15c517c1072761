#include "ServerController.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

#include "ChildProcess.h"
#include "PipeReader.h"
#include "StatusPoller.h"
#include "ZormakError.h"

namespace zormak {

namespace {

// The XDG data home: $XDG_DATA_HOME when absolute, else $HOME/.local/share,
// else the home directory of the user's passwd entry.
std::filesystem::path dataHome() {
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && xdg[0] == '/') {
    return xdg;
  }
  std::filesystem::path home;
  if (const char* h = std::getenv("HOME"); h && h[0] != '\0') {
    home = h;
  } else if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) {
    home = pw->pw_dir;
  } else {
    home = "/";
  }
  return home / ".local" / "share";
}

}  // namespace

const ServerController::Locations& ServerController::Locations::standard() {
  // A function-local static is initialised once, thread-safely.
  static const Locations locations{dataHome() / "ZORMAK"};
  return locations;
}

const std::filesystem::path& ServerController::appSupportDir() {
  return Locations::standard().appSupportDir;
}
std::filesystem::path ServerController::runtimeAppDir() {
  return Locations::standard().runtimeAppDir();
}
std::filesystem::path ServerController::logPath() {
  return Locations::standard().logPath();
}
std::filesystem::path ServerController::pidFilePath() {
  return Locations::standard().pidFilePath();
}

namespace {

std::mutex resourceDirMutex;
std::optional<std::filesystem::path> installedResourceDir;

}  // namespace

void ServerController::installResourceDir(std::optional<std::filesystem::path> directory) {
  std::lock_guard lock(resourceDirMutex);
  installedResourceDir = std::move(directory);
}

std::shared_ptr<ServerController> ServerController::init() {
  std::optional<std::filesystem::path> resources;
  {
    std::lock_guard lock(resourceDirMutex);
    resources = installedResourceDir;
  }
  return init(Setup{Locations::standard(), std::move(resources), MainQueue::main(), Timing{}});
}

std::shared_ptr<ServerController> ServerController::init(Setup setup) {
  return std::shared_ptr<ServerController>(new ServerController(std::move(setup)));
}

ServerController::ServerController(Setup setup)
    : locations_(std::move(setup.locations)),
      resourceDir_(std::move(setup.resourceDir)),
      mainQueue_(std::move(setup.mainQueue)),
      timing_(setup.timing) {}

// The log handle is never closed while the controller lives; it goes with
// it, after the threads.
ServerController::~ServerController() = default;

void ServerController::start() {
  auto reportPreparationFailure = [this](const std::string& plain, const std::string& forUser) {
    log("准备运行环境失败：" + plain + "\n");
    fail("无法准备运行环境：" + forUser);
  };
  try {
    prepareRuntime();
  } catch (const ZormakError& e) {
    reportPreparationFailure(e.description(), e.errorDescription());
    return;
  } catch (const FileSystemError& e) {
    reportPreparationFailure(e.description(), e.errorDescription());
    return;
  }
  reapStaleServer();
  launchServer();
}

void ServerController::restart() {
  // A new launch number first: the end of a server stopped here is logged
  // but reported to nobody, and nothing of the last launch reports later.
  {
    std::lock_guard lock(outcomeMutex_);
    finished_ = false;
    readyURL_.reset();
    ++launch_;
  }
  stop();
  process_.reset();
  reader_.reset();
  start();
}

// --- Outcome delivery -------------------------------------------------------

void ServerController::markReady(const std::string& url, std::uint64_t launch) {
  std::lock_guard lock(outcomeMutex_);
  if (finished_ || readyURL_ || launch != launch_)
    return;
  readyURL_ = url;
  log("[ZORMAK] 界面已就绪：" + url + "\n");
  if (port_ > 0)
    rememberPort(port_);
  if (!mainQueue_)
    return;
  mainQueue_->post([weak = weak_from_this(), url] {
    auto self = weak.lock();
    if (!self || !self->onReady)
      return;
    // Called through a copy: the callback may replace itself while it runs.
    auto callback = self->onReady;
    callback(url);
  });
}

void ServerController::fail(std::string message) {
  if (!mainQueue_)
    return;
  mainQueue_->post([weak = weak_from_this(), message = std::move(message)] {
    auto self = weak.lock();
    if (!self || !self->onFailed)
      return;
    auto callback = self->onFailed;
    callback(message);
  });
}

bool ServerController::failUnlessFinished(std::string message, std::uint64_t launch) {
  std::lock_guard lock(outcomeMutex_);
  if (finished_ || launch != launch_)
    return false;
  finished_ = true;
  fail(std::move(message));
  return true;
}

bool ServerController::isFinished() const {
  std::lock_guard lock(outcomeMutex_);
  return finished_;
}

bool ServerController::isReady() const {
  std::lock_guard lock(outcomeMutex_);
  return readyURL_.has_value();
}

std::uint64_t ServerController::currentLaunch() const {
  std::lock_guard lock(outcomeMutex_);
  return launch_;
}

}  // namespace zormak
