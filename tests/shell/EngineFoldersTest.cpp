#include <gtest/gtest.h>

#include "EngineFolders.h"
#include "TempDir.h"

namespace zormak::engine_folders {
namespace {

using testing::TempDir;
using testing::writeFile;
namespace fs = std::filesystem;

struct Folders {
  TempDir dir;
  int made = 0;
  bool canMake = true;

  std::string path(const std::string& name) const { return (dir / name).string(); }
  // A home whose own path is `length` characters long.
  std::string longFolder(size_t length) {
    std::string path = dir.path().string();
    while (path.size() < length) {
      path += "/" + std::string(std::min<size_t>(200, length - path.size() - 1), 'h');
      fs::create_directory(path);
    }
    return path;
  }
  // A path for a case's folder: none when empty, absolute as it is, "@N" a
  // folder whose path is N characters long, else a name in the temporary folder.
  std::optional<std::string> resolve(const std::string& name) {
    if (name.empty())
      return std::nullopt;
    if (name[0] == '@')
      return longFolder(std::stoul(name.substr(1)));
    return name[0] == '/' ? name : path(name);
  }
  Plan planFor(const Environment& env) {
    return plan(env, [this]() -> std::optional<std::string> {
      ++made;
      if (!canMake)
        return std::nullopt;
      fs::create_directory(path("private"));
      return path("private");
    });
  }
};

// Unusable cache or runtime folders are replaced by one private folder made
// for the run; an unusable home, or no private folder, is a failure to show.
TEST(EngineFolders, UnusableFoldersAreReplacedOrShownAsAFailure) {
  struct Case {
    const char* name;
    const char* file;  // made as a plain file; "home" is a folder otherwise
    std::string home, cache, runtime;
    bool canMake;
    const char* replaced;  // the variables set, space-separated
    const char* failure;   // what the failure says, or none
  } cases[] = {
      {"all usable, missing cache made", "", "home", "", "", true, "", nullptr},
      {"~/.cache a file", "home/.cache", "home", "", "home", true, "XDG_CACHE_HOME", nullptr},
      {"XDG_CACHE_HOME a file", "cache", "home", "cache", "", true, "XDG_CACHE_HOME", nullptr},
      // The runtime folder is the cache, and too long for sockets.
      {"runtime too long", "", "@120", "", "", true, "XDG_RUNTIME_DIR", nullptr},
      {"runtime folder a file", "run", "home", "", "run", true, "XDG_RUNTIME_DIR", nullptr},
      {"both, one folder made", "cache", "home", "cache", "/nonexistent/run", true,
       "XDG_CACHE_HOME XDG_RUNTIME_DIR", nullptr},
      {"home a file", "home", "home", "", "", true, "", "）不是文件夹。"},
      {"home too long", "", "@4040", "", "", true, "", "）路径太长（4040 个字符）。"},
      {"home missing", "", "gone", "", "", true, "", "）不存在。"},
      {"no private folder", "home/.cache", "home", "", "", false, "",
       "不是文件夹，临时文件夹也无法创建。"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Folders f;
    f.canMake = c.canMake;
    if (c.home == "home" && c.file != std::string("home"))
      fs::create_directory(f.path("home"));
    if (*c.file)
      writeFile(f.path(c.file), "x");
    const Plan plan =
        f.planFor(Environment{f.resolve(c.home), f.resolve(c.cache), f.resolve(c.runtime)});
    if (c.failure) {
      ASSERT_TRUE(plan.failure);
      EXPECT_NE(plan.failure->find(c.failure), std::string::npos) << *plan.failure;
      EXPECT_NE(plan.failure->find("ZORMAK 没有启动服务，也没有改动你的任何文件。"),
                std::string::npos);
      EXPECT_TRUE(plan.setEnvironment.empty());
      ASSERT_EQ(plan.logLines.size(), 1u);
      EXPECT_TRUE(plan.logLines[0].starts_with("[ZORMAK] "));
      EXPECT_TRUE(plan.logLines[0].ends_with("\n"));
      continue;
    }
    std::string variables;
    for (const auto& [variable, value] : plan.setEnvironment) {
      variables += (variables.empty() ? "" : " ") + variable;
      EXPECT_EQ(value, f.path("private"));
    }
    EXPECT_EQ(variables, c.replaced);
    EXPECT_EQ(plan.logLines.size(), plan.setEnvironment.size());
    for (const auto& line : plan.logLines)
      EXPECT_TRUE(line.ends_with("本次运行改用 " + f.path("private") + "\n")) << line;
    EXPECT_FALSE(plan.failure);
    EXPECT_EQ(f.made, *c.replaced ? 1 : 0);
  }
}

}  // namespace
}  // namespace zormak::engine_folders
