#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <system_error>

#include "ServerController.h"

namespace zormak {

std::string ServerController::timestamp() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char text[32];
  size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return std::string(text, n);
}

namespace {

// Writes all bytes or gives up on the first error; a failed write (a full
// disk) loses the message but never disturbs the caller.
void writeWhole(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace

void ServerController::rotateLog() {
  const auto path = locations_.logPath();
  std::error_code ec;
  if (std::filesystem::is_regular_file(path, ec) &&
      std::filesystem::file_size(path, ec) > kMaxLogSize && !ec) {
    auto older = path;
    older += ".1";
    std::filesystem::rename(path, older, ec);  // on failure the log keeps growing
  }
}

void ServerController::log(std::string_view message) {
  // One lock around the whole call: the file is opened once even when the
  // first messages race, and each message reaches the file in one piece.
  std::lock_guard lock(logMutex_);
  if (!logHandle_) {
    std::error_code ignored;
    std::filesystem::create_directories(locations_.appSupportDir, ignored);
    // An older install made the folder readable by everyone; nothing in it is
    // reachable by another user once the folder is ours alone.
    ::chmod(locations_.appSupportDir.c_str(), 0700);
    rotateLog();
    // Appending keeps each write at the true end of the file, even if
    // something else has written to it meanwhile.
    logHandle_.reset(
        ::open(locations_.logPath().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
    if (!logHandle_)
      return;  // dropped; the next call tries again
    ::fchmod(logHandle_.get(), 0600);
    writeWhole(logHandle_.get(), "\n===== " + timestamp() + " 启动 =====\n");
  }
  writeWhole(logHandle_.get(), message);
}

}  // namespace zormak
