#include "EngineFolders.h"

#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace zormak::engine_folders {

namespace {

bool isAbsolute(const std::optional<std::string>& path) {
  return path && !path->empty() && path->front() == '/';
}

// Why the folder cannot be used, or none when it can. `create` makes a
// missing folder first, as the toolkit would.
std::optional<std::string> problemWith(const std::string& path, std::size_t maxLength,
                                       bool create) {
  if (path.size() > maxLength)
    return "路径太长（" + std::to_string(path.size()) + " 个字符）";
  std::error_code ec;
  if (create)
    std::filesystem::create_directories(path, ec);
  const auto status = std::filesystem::status(path, ec);
  if (status.type() == std::filesystem::file_type::not_found)
    return std::string("不存在");
  if (status.type() != std::filesystem::file_type::directory)
    return std::string("不是文件夹");
  if (::access(path.c_str(), W_OK | X_OK) != 0)
    return std::string("无法写入");
  return std::nullopt;
}

const std::string kNothingChanged = "\n\nZORMAK 没有启动服务，也没有改动你的任何文件。";

}  // namespace

Plan plan(const Environment& environment, const FolderMaker& makePrivateFolder) {
  Plan result;

  if (isAbsolute(environment.home)) {
    const std::string& home = *environment.home;
    if (auto problem = problemWith(home, kMaxHomeLength, false)) {
      result.logLines.push_back("[ZORMAK] 主文件夹无法使用（" + *problem + "）：" + home +
                                "，网页引擎不能在沙盒中运行，只显示出错页面\n");
      result.failure = "网页引擎需要主文件夹，但 HOME（" + home + "）" + *problem + "。" +
                       kNothingChanged +
                       "请把 HOME 设为一个存在、可以写入、路径不太长的文件夹，再打开 ZORMAK。";
      return result;
    }
  }

  std::optional<std::string> privateFolder;
  bool privateFolderTried = false;
  // Replaces an unusable folder with the private one; false when there is
  // none to be had.
  auto replace = [&](const char* variable, const std::string& what, const std::string& path,
                     const std::string& problem) {
    if (!privateFolderTried) {
      privateFolderTried = true;
      privateFolder = makePrivateFolder();
    }
    if (!privateFolder) {
      result.logLines.push_back("[ZORMAK] " + what + "无法使用（" + problem + "）：" + path +
                                "，也无法创建临时文件夹\n");
      result.failure = "网页引擎需要一个可以写入的" + what + "，但 " + path + " " + problem +
                       "，临时文件夹也无法创建。" + kNothingChanged +
                       "请检查 XDG_CACHE_HOME、XDG_RUNTIME_DIR 和 /tmp，再打开 ZORMAK。";
      return false;
    }
    result.setEnvironment.emplace_back(variable, *privateFolder);
    result.logLines.push_back("[ZORMAK] " + what + "无法使用（" + problem + "）：" + path +
                              "，本次运行改用 " + *privateFolder + "\n");
    return true;
  };

  std::optional<std::string> cache;
  if (isAbsolute(environment.cacheHome))
    cache = environment.cacheHome;
  else if (isAbsolute(environment.home))
    cache = *environment.home + "/.cache";
  if (cache) {
    if (auto problem = problemWith(*cache, kMaxCacheLength, true)) {
      if (!replace("XDG_CACHE_HOME", "缓存文件夹", *cache, *problem))
        return result;
      cache = privateFolder;
    }
  }

  // Without a runtime folder of its own the toolkit uses the cache folder.
  const std::optional<std::string> runtime =
      isAbsolute(environment.runtimeDir) ? environment.runtimeDir : cache;
  if (runtime) {
    if (auto problem = problemWith(*runtime, kMaxRuntimeLength, false)) {
      if (!replace("XDG_RUNTIME_DIR", "运行时文件夹", *runtime, *problem))
        return result;
    }
  }
  return result;
}

}  // namespace zormak::engine_folders
