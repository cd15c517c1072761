#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

#include "ControllerAccess.h"
#include "ZormakError.h"

namespace zormak {
namespace {

namespace fs = std::filesystem;
using testing::ControllerFixture;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::readFile;
using testing::writeFile;
using Access = ServerControllerTestAccess;

const std::string kFirstStart = "[ZORMAK] 首次启动（或版本已更新），正在准备运行环境……";

// The log's lines without the start headers and the empty lines before them.
std::vector<std::string> logLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || (line.starts_with("===== ") && line.ends_with(" 启动 =====")))
      continue;
    lines.push_back(line);
  }
  return lines;
}

void makePayload(const fs::path& payload, const std::string& version, bool withData = false) {
  writeFile(payload / "app.py", "print('hi')\n");
  if (!version.empty())
    writeFile(payload / "PAYLOAD_VERSION", version);
  writeFile(payload / ".venv/bin/python3", "#!/bin/sh\n", fs::perms::owner_all);
  fs::create_symlink("python3", payload / ".venv/bin/python");
  if (withData)
    writeFile(payload / "data/settings.json", "{\"payload\": true}");
}

struct Prepared : ControllerFixture {
  fs::path app = support / "app";
  // Runs the preparation; returns the failure text the shell would get, or "".
  std::string start() {
    auto c = make();
    std::string failure;
    c->onFailed = [&](const std::string& m) { failure = m; };
    try {
      Access::prepareRuntime(*c);
    } catch (const ZormakError& e) {
      return "threw " + e.description();
    } catch (const FileSystemError& e) {
      return "threw " + e.description();
    }
    return failure;
  }
};

TEST(RuntimePreparation, FirstStartCopiesThePayloadWithLinksModesAndHiddenEntries) {
  Prepared f;
  makePayload(f.payload(), "1.0\n");
  writeFile(f.payload() / ".venv/lib/site.py", "x", fs::perms::owner_read | fs::perms::group_read);
  fs::create_directories(f.payload() / "empty");
  ASSERT_EQ(f.start(), "");

  EXPECT_EQ(readFile(f.app / "app.py"), "print('hi')\n");
  EXPECT_EQ(readFile(f.app / "PAYLOAD_VERSION"), "1.0\n");
  EXPECT_TRUE(fs::is_symlink(f.app / ".venv/bin/python"));
  EXPECT_EQ(fs::read_symlink(f.app / ".venv/bin/python"), "python3");
  EXPECT_EQ(fs::status(f.app / ".venv/bin/python3").permissions() & fs::perms::all,
            fs::perms::owner_all);
  EXPECT_EQ(fs::status(f.app / ".venv/lib/site.py").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::group_read);
  EXPECT_TRUE(fs::is_directory(f.app / "empty"));
  // Modification times are kept: Python trusts its byte-code caches by them.
  EXPECT_EQ(fs::last_write_time(f.app / "app.py"), fs::last_write_time(f.payload() / "app.py"));
  EXPECT_FALSE(fs::exists(f.support / "data-preserved"));

  EXPECT_THAT(logLines(f.logText()),
              ElementsAre(kFirstStart, "[ZORMAK] 运行环境就绪：" + f.app.string()));
}

// A later start reinstalls when the versions differ or cannot be read, or
// the entry script is gone; the user's data survives every reinstall whole,
// and a repaired install is left alone from then on.
TEST(RuntimePreparation, LaterStartsReinstallOnlyWhenNeededAndKeepTheData) {
  const struct {
    const char* what;
    std::string version;
    std::function<void(Prepared&)> change;
    bool reinstalls, settles;
  } cases[] = {
      {"same version, other white space", "1.0",
       [](Prepared& f) { writeFile(f.payload() / "PAYLOAD_VERSION", " \t1.0\r\n"); }, false, true},
      {"new version", "1.0", [](Prepared& f) { writeFile(f.payload() / "PAYLOAD_VERSION", "2.0"); },
       true, true},
      {"entry script gone", "1.0", [](Prepared& f) { fs::remove(f.app / "app.py"); }, true, true},
      {"installed version is random bytes", "1.0",
       [](Prepared& f) {
         writeFile(f.app / "PAYLOAD_VERSION", std::string("\xc0\xaf\x00\xff\n", 5));
       },
       true, true},
      // Nothing to compare with: every start reinstalls.
      {"no version in the payload", "", [](Prepared&) {}, true, false},
      {"invalid UTF-8 in the payload's version", "1\xff", [](Prepared&) {}, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Prepared f;
    makePayload(f.payload(), c.version, /*withData=*/true);
    ASSERT_EQ(f.start(), "");
    EXPECT_EQ(readFile(f.app / "data/settings.json"), "{\"payload\": true}");
    // The user's data replaces the payload's own, which never comes back.
    fs::remove(f.app / "data/settings.json");
    writeFile(f.app / "data/history.sqlite", "user history");
    writeFile(f.app / "stale.py", "old");
    c.change(f);
    std::string log = f.logText();
    ASSERT_EQ(f.start(), "");
    EXPECT_EQ(fs::exists(f.app / "stale.py"), !c.reinstalls);
    EXPECT_EQ(f.logText() != log, c.reinstalls);
    EXPECT_EQ(readFile(f.app / "data/history.sqlite"), "user history");
    EXPECT_FALSE(fs::exists(f.app / "data/settings.json"));
    EXPECT_FALSE(fs::exists(f.support / "data-preserved"));
    EXPECT_EQ(readFile(f.app / "app.py"), "print('hi')\n");
    if (fs::exists(f.payload() / "PAYLOAD_VERSION") && c.reinstalls) {
      EXPECT_EQ(readFile(f.app / "PAYLOAD_VERSION"), readFile(f.payload() / "PAYLOAD_VERSION"));
    }
    log = f.logText();
    ASSERT_EQ(f.start(), "");
    EXPECT_EQ(f.logText() == log, c.settles);
  }
}

TEST(RuntimePreparation, AnInstalledZeroMatchesAPayloadWithoutAVersion) {
  Prepared f;
  makePayload(f.payload(), "");
  fs::create_directories(f.app);
  writeFile(f.app / "PAYLOAD_VERSION", "0\n");
  writeFile(f.app / "app.py", "installed");
  writeFile(f.app / ".venv/bin/python", "#!/bin/sh\n", fs::perms::owner_all);
  ASSERT_EQ(f.start(), "");
  EXPECT_EQ(readFile(f.app / "app.py"), "installed");
  EXPECT_FALSE(fs::exists(f.support / "app.log"));
}

TEST(RuntimePreparation, InterpreterThatCannotRunIsReinstalledKeepingData) {
  enum { removed, notExecutable, dangling, folder };
  for (int how : {removed, notExecutable, dangling, folder}) {
    SCOPED_TRACE(how);
    Prepared f;
    makePayload(f.payload(), "1.0");
    ASSERT_EQ(f.start(), "");
    writeFile(f.app / "data/history.sqlite3", "mine");
    const fs::path target = f.app / ".venv/bin/python3";
    if (how == notExecutable)
      fs::permissions(target, fs::perms::owner_read);
    else
      fs::remove(how == dangling ? target : f.app / ".venv/bin/python");
    if (how == folder)
      fs::create_directory(f.app / ".venv/bin/python");
    ASSERT_EQ(f.start(), "");
    EXPECT_EQ(readFile(f.app / "data/history.sqlite3"), "mine");
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(fs::read_symlink(f.app / ".venv/bin/python"), "python3");
    EXPECT_FALSE(fs::exists(f.support / "data-preserved"));
    EXPECT_EQ(
        logLines(f.logText())[2],
        "[ZORMAK] 运行环境不完整（Python 解释器或 app.py 缺失、无法运行），正在从安装包重新安装……");
  }
}

// An earlier reinstall stopped after setting the data aside: the held copy
// comes back, and a data/ that a run made without it meanwhile is kept beside.
TEST(RuntimePreparation, LeftOverHoldingDirectoryIsRestoredAndNothingDeleted) {
  for (bool madeMeanwhile : {false, true}) {
    SCOPED_TRACE(madeMeanwhile);
    Prepared f;
    makePayload(f.payload(), "2.0");
    writeFile(f.support / "data-preserved/history.sqlite", "the only copy");
    if (madeMeanwhile)
      writeFile(f.app / "data/history.sqlite", "made by a run without its data");
    ASSERT_EQ(f.start(), "");
    EXPECT_EQ(readFile(f.app / "data/history.sqlite"), "the only copy");
    std::vector<std::string> lines{kFirstStart};
    for (auto& e : fs::directory_iterator(f.support)) {
      if (e.path().filename().string().starts_with("data-")) {
        EXPECT_EQ(readFile(e.path() / "history.sqlite"), "made by a run without its data");
        lines.push_back("[ZORMAK] 另一份 data/ 已另存为：" + e.path().string());
      }
    }
    lines.push_back("[ZORMAK] 运行环境就绪：" + f.app.string());
    EXPECT_EQ(logLines(f.logText()), lines);
    EXPECT_EQ(lines.size(), madeMeanwhile ? 3u : 2u);
  }
}

TEST(RuntimePreparation, MissingPayloadThrowsAfterCreatingTheFolders) {
  {
    Prepared f;
    EXPECT_EQ(f.start(), "threw payloadMissing");
    EXPECT_TRUE(fs::is_directory(f.app));
    EXPECT_TRUE(fs::is_empty(f.app));
    EXPECT_FALSE(fs::exists(f.support / "app.log"));
  }
  {
    // A dangling link where the payload's folder belongs.
    Prepared f;
    fs::create_directories(f.resources);
    fs::create_symlink(f.dir / "nowhere", f.payload());
    EXPECT_EQ(f.start(), "threw payloadMissing");
  }
  {
    Prepared f;
    auto c =
        ServerController::init({ServerController::Locations{f.support}, std::nullopt, f.loop, {}});
    EXPECT_THROW(Access::prepareRuntime(*c), ZormakError);
  }
}

TEST(RuntimePreparation, StartReportsAMissingPayloadWithItsExactTexts) {
  Prepared f;
  auto c = f.make();
  std::vector<std::string> failures;
  c->onFailed = [&](const std::string& m) { failures.push_back(m); };
  c->start();
  EXPECT_TRUE(failures.empty());  // delivered later, on the main queue
  f.loop->runPending();
  EXPECT_THAT(failures,
              ElementsAre("无法准备运行环境：应用包内缺少 share/zormak/payload（打包时漏了）。"
                          "重新启动也无法修复，请重新安装 ZORMAK。"));
  EXPECT_EQ(f.logBody(), "准备运行环境失败：payloadMissing\n");
  EXPECT_EQ(c->port(), 0);
}

TEST(RuntimePreparation, FileSystemFailuresReachTheUserWithTheirPrefix) {
  {
    // The data folder cannot be created: a file stands where a folder must be.
    ControllerFixture f;
    writeFile(f.dir / "blocked", "a file");
    auto c = ServerController::init(
        {ServerController::Locations{f.dir / "blocked/ZORMAK"}, f.resources, f.loop, {}});
    std::string failure;
    c->onFailed = [&](const std::string& m) { failure = m; };
    c->start();
    f.loop->runPending();
    EXPECT_THAT(failure, ::testing::StartsWith("无法准备运行环境：无法创建文件夹“"));
    EXPECT_THAT(failure, HasSubstr("blocked/ZORMAK"));
  }
  {
    // A payload that is a plain file passes the existence test but cannot be copied.
    Prepared f;
    writeFile(f.payload(), "not a folder");
    auto c = f.make();
    std::string failure;
    c->onFailed = [&](const std::string& m) { failure = m; };
    c->start();
    f.loop->runPending();
    EXPECT_THAT(failure, ::testing::StartsWith("无法准备运行环境：无法复制“"));
    EXPECT_EQ(logLines(f.logText()).back(), "准备运行环境失败：FileSystemError(copy \"" +
                                                f.payload().string() +
                                                "\": errno 20 ENOTDIR, Not a directory)");
  }
}

}  // namespace
}  // namespace zormak
