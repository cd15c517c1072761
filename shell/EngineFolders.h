#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zormak::engine_folders {

// The web engine's helper processes on Linux run in a sandbox that binds
// folders below the home, cache and runtime folders, and the engine ends the
// whole program when one of those binds fails. This works out, before the
// engine or the toolkit has read them, which of those folders can be used
// and what stands in for one that cannot.

// The longest home folder that leaves room for the names the sandbox binds
// below it, and the same for the cache folder.
constexpr std::size_t kMaxHomeLength = 4032;
constexpr std::size_t kMaxCacheLength = 3840;
// The engine makes sockets below the runtime folder, and a socket's path
// must fit in 108 bytes.
constexpr std::size_t kMaxRuntimeLength = 64;

struct Environment {
  std::optional<std::string> home;        // HOME
  std::optional<std::string> cacheHome;   // XDG_CACHE_HOME
  std::optional<std::string> runtimeDir;  // XDG_RUNTIME_DIR
};

struct Plan {
  std::vector<std::pair<std::string, std::string>> setEnvironment;  // variable, value
  std::vector<std::string> logLines;
  // A user-facing text when the engine cannot run in its sandbox at all.
  std::optional<std::string> failure;
};

// Makes a new private folder with a short path, or none.
using FolderMaker = std::function<std::optional<std::string>()>;

// Creates a missing cache folder; changes nothing else on disk but what
// `makePrivateFolder` does, and calls it at most once.
Plan plan(const Environment& environment, const FolderMaker& makePrivateFolder);

}  // namespace zormak::engine_folders
