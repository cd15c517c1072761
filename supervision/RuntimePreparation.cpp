#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <set>
#include <system_error>

#include "ServerController.h"
#include "Text.h"
#include "TreeCopy.h"
#include "ZormakError.h"

namespace zormak {

namespace fs = std::filesystem;

namespace {

bool existsAt(const fs::path& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool isRegularFile(const fs::path& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Whether the interpreter at `path` can be started: a file, found through
// any link, that may be executed.
bool isRunnable(const fs::path& path) {
  return isRegularFile(path) && ::access(path.c_str(), X_OK) == 0;
}

std::optional<std::string> versionText(const fs::path& file) {
  auto content = text::readUtf8File(file.string());
  if (!content)
    return std::nullopt;
  std::string trimmed(text::trimWhitespaceAndNewlines(*content));
  if (trimmed.empty())
    return std::nullopt;
  return trimmed;
}

void removeTree(const fs::path& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
  if (ec)
    throw FileSystemError(FileOperation::remove, path, ec.value());
}

// Removes everything inside `dir` but the entry named `keep`.
void removeContentsExcept(const fs::path& dir, const std::string& keep) {
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().filename() == keep)
      continue;
    removeTree(it->path());
  }
  if (ec)
    throw FileSystemError(FileOperation::remove, dir, ec.value());
}

int renameEntry(const fs::path& from, const fs::path& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

std::string errorText(FileOperation operation, const fs::path& path, int error) {
  return FileSystemError(operation, path, error).description();
}

// A name beside the holding directory that nothing else uses.
fs::path unusedSibling(const fs::path& dir, const std::string& stem) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  fs::path candidate = dir / (stem + "-" + stamp);
  for (int n = 2; existsAt(candidate) || fs::is_symlink(candidate); ++n) {
    candidate = dir / (stem + "-" + stamp + "-" + std::to_string(n));
  }
  return candidate;
}

}  // namespace

// Installs the payload into app/ when it is missing or outdated, keeping the
// server's data/ across the reinstall.
//
// A reinstall can be cut short at any moment (the process killed, the disk
// full). Three rules make the next start repair it without losing data:
//  - PAYLOAD_VERSION is written last, after data/ is back in place, so an
//    unfinished installation never passes for a complete one;
//  - a data-preserved/ that exists holds the user's data from a reinstall
//    that did not finish: it is put back, never deleted;
//  - a payload's own data/ appears in app/ only whole (copied aside, then
//    renamed), so a half-copied one is never taken for the user's.
void ServerController::prepareRuntime() {
  const fs::path& support = locations_.appSupportDir;
  const fs::path app = locations_.runtimeAppDir();
  const fs::path data = app / "data";
  const fs::path held = support / "data-preserved";

  std::error_code ec;
  fs::create_directories(support, ec);
  if (ec)
    throw FileSystemError(FileOperation::createDirectory, support, ec.value());
  fs::create_directories(app, ec);  // a failure shows up in the steps below

  if (!resourceDir_)
    throw ZormakError::payloadMissing();
  const fs::path payload = *resourceDir_ / "payload";
  if (!existsAt(payload))
    throw ZormakError::payloadMissing();

  const std::string payloadVersion = versionText(payload / "PAYLOAD_VERSION").value_or("0");
  const std::optional<std::string> installedVersion = versionText(app / "PAYLOAD_VERSION");
  // A runtime counts as installed only when it can run: an interpreter or
  // entry script that went missing is repaired like an upgrade, data kept.
  const bool runnable = isRegularFile(app / "app.py") && isRunnable(app / ".venv/bin/python");
  const bool unfinishedRestore = existsAt(held);
  const bool current =
      installedVersion && text::canonicallyEqual(*installedVersion, payloadVersion);

  if (current && runnable && !unfinishedRestore)
    return;

  if (current && !runnable && !unfinishedRestore)
    log("[ZORMAK] 运行环境不完整（Python 解释器或 app.py "
        "缺失、无法运行），正在从安装包重新安装……\n");
  else
    log("[ZORMAK] 首次启动（或版本已更新），正在准备运行环境……\n");

  // Set the data aside.
  bool restore = false;
  bool keptInPlace = false;
  if (unfinishedRestore) {
    restore = true;
    if (existsAt(data)) {
      // Only a server that ran after a failed restore makes this; keep it
      // beside the holding directory rather than delete it.
      fs::path keep = unusedSibling(support, "data");
      if (int error = renameEntry(data, keep))
        throw FileSystemError(FileOperation::move, data, error);
      log("[ZORMAK] 另一份 data/ 已另存为：" + keep.string() + "\n");
    }
  } else if (existsAt(data)) {
    if (int error = renameEntry(data, held)) {
      log("[ZORMAK] 暂存 data/ 失败（" + errorText(FileOperation::move, data, error) +
          "），将继续但可能丢失设置\n");
      // It stays where it is, and the reinstall works around it.
      keptInPlace = true;
    } else {
      restore = true;
    }
  }

  // Remove the old installation.
  if (keptInPlace) {
    removeContentsExcept(app, "data");
  } else if (existsAt(app) || fs::is_symlink(app)) {
    removeTree(app);
  }

  // Copy the payload: the tree first, its own data/ only when the user has
  // none, the version file at the very end.
  copyTree(payload, app, {"PAYLOAD_VERSION", "data"});
  const fs::path payloadData = payload / "data";
  if (!restore && !keptInPlace && existsAt(payloadData)) {
    const fs::path incoming = app / ".data-incoming";
    removeTree(incoming);
    copyTree(payloadData, incoming);
    if (int error = renameEntry(incoming, data))
      throw FileSystemError(FileOperation::move, incoming, error);
  }

  // Put the data back.
  bool restored = true;
  if (restore) {
    if (int error = renameEntry(held, data)) {
      log("[ZORMAK] 还原 data/ 失败（" + errorText(FileOperation::move, held, error) +
          "），将使用默认配置\n");
      // Left unmarked, so the next start tries again.
      restored = false;
    }
  }
  if (restored && isRegularFile(payload / "PAYLOAD_VERSION")) {
    copyFileAtomically(payload / "PAYLOAD_VERSION", app / "PAYLOAD_VERSION");
  }

  log("[ZORMAK] 运行环境就绪：" + app.string() + "\n");
}

}  // namespace zormak
