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

TEST(EngineFolders, UnusableCacheOrRuntimeFoldersAreReplacedByOnePrivateFolder) {
  using Vars = std::vector<std::string>;
  struct Case {
    const char* name;
    std::function<Environment(Folders&)> setup;
    Vars expected;
  } cases[] = {
      {"all usable, missing cache made",
       [](Folders& f) {
         fs::create_directory(f.path("home"));
         return Environment{f.path("home"), {}, {}};
       },
       {}},
      {"~/.cache a file",
       [](Folders& f) {
         fs::create_directory(f.path("home"));
         writeFile(f.path("home/.cache"), "x");
         return Environment{f.path("home"), {}, f.path("home")};
       },
       {"XDG_CACHE_HOME"}},
      {"XDG_CACHE_HOME a file",
       [](Folders& f) {
         fs::create_directory(f.path("home"));
         writeFile(f.path("cache"), "x");
         return Environment{f.path("home"), f.path("cache"), {}};
       },
       {"XDG_CACHE_HOME"}},
      {"cache also the runtime folder and too long for sockets",
       [](Folders& f) {
         return Environment{f.longFolder(120), {}, {}};
       },
       {"XDG_RUNTIME_DIR"}},
      {"runtime folder a file",
       [](Folders& f) {
         fs::create_directory(f.path("home"));
         writeFile(f.path("run"), "x");
         return Environment{f.path("home"), {}, f.path("run")};
       },
       {"XDG_RUNTIME_DIR"}},
      {"both, one folder made",
       [](Folders& f) {
         fs::create_directory(f.path("home"));
         writeFile(f.path("cache"), "x");
         return Environment{f.path("home"), f.path("cache"), "/nonexistent/run"};
       },
       {"XDG_CACHE_HOME", "XDG_RUNTIME_DIR"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Folders f;
    const Plan plan = f.planFor(c.setup(f));
    Vars variables;
    for (const auto& [variable, value] : plan.setEnvironment) {
      variables.push_back(variable);
      EXPECT_EQ(value, f.path("private"));
    }
    EXPECT_EQ(variables, c.expected);
    EXPECT_EQ(plan.logLines.size(), c.expected.size());
    for (const auto& line : plan.logLines)
      EXPECT_TRUE(line.ends_with("本次运行改用 " + f.path("private") + "\n")) << line;
    EXPECT_FALSE(plan.failure);
    EXPECT_EQ(f.made, c.expected.empty() ? 0 : 1);
  }
}

TEST(EngineFolders, AnUnusableHomeOrNoPrivateFolderIsAFailureToShow) {
  struct Case {
    const char* name;
    std::function<Environment(Folders&)> setup;
    const char* says;
  } cases[] = {
      {"home a file",
       [](Folders& f) {
         writeFile(f.path("home"), "x");
         return Environment{f.path("home"), {}, {}};
       },
       "）不是文件夹。"},
      {"home too long",
       [](Folders& f) {
         return Environment{f.longFolder(4040), {}, {}};
       },
       "）路径太长（4040 个字符）。"},
      {"home missing",
       [](Folders& f) {
         return Environment{f.path("gone"), {}, {}};
       },
       "）不存在。"},
      {"no private folder",
       [](Folders& f) {
         fs::create_directory(f.path("home"));
         writeFile(f.path("home/.cache"), "x");
         f.canMake = false;
         return Environment{f.path("home"), {}, {}};
       },
       "不是文件夹，临时文件夹也无法创建。"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Folders f;
    const Plan plan = f.planFor(c.setup(f));
    ASSERT_TRUE(plan.failure);
    EXPECT_NE(plan.failure->find(c.says), std::string::npos) << *plan.failure;
    EXPECT_NE(plan.failure->find("ZORMAK 没有启动服务，也没有改动你的任何文件。"),
              std::string::npos);
    EXPECT_TRUE(plan.setEnvironment.empty());
    ASSERT_EQ(plan.logLines.size(), 1u);
    EXPECT_TRUE(plan.logLines[0].starts_with("[ZORMAK] "));
    EXPECT_TRUE(plan.logLines[0].ends_with("\n"));
  }
}

}  // namespace
}  // namespace zormak::engine_folders
