#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>

#include "ControllerAccess.h"
#include "ProcessSupport.h"

namespace zormak {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ControllerFixture;
using testing::readFile;
using testing::writeFile;

// Every entry under `root` but the top-level names in `skip`: a path mapped
// to its content, link target or "<dir>".
std::map<std::string, std::string> snapshot(const fs::path& root,
                                            const std::set<std::string>& skip = {}) {
  std::map<std::string, std::string> entries;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    std::string rel = fs::relative(it->path(), root).string();
    if (it.depth() == 0 && skip.count(rel)) {
      it.disable_recursion_pending();
      continue;
    }
    if (it->is_symlink()) {
      entries[rel] = "-> " + fs::read_symlink(it->path()).string();
    } else if (it->is_directory()) {
      entries[rel] = "<dir>";
    } else {
      entries[rel] = readFile(it->path());
    }
  }
  return entries;
}

// A payload of a thousand files, like a small Python environment, with a
// data/ of its own that must never replace the user's. More files only make
// the copying phase longer, whose kill moments scale with it.
void makeLargePayload(const fs::path& payload) {
  writeFile(payload / "app.py", "print('server')\n");
  for (int d = 0; d < 20; ++d) {
    fs::path dir = payload / ".venv/lib/python3/site-packages" / ("pkg" + std::to_string(d));
    for (int i = 0; i < 50; ++i) {
      writeFile(dir / ("module" + std::to_string(i) + ".py"),
                std::string(200 + 37 * i, static_cast<char>('a' + i % 26)));
    }
  }
  writeFile(payload / ".venv/bin/python3", "#!/bin/sh\n", fs::perms::owner_all);
  fs::create_symlink("python3", payload / ".venv/bin/python");
  writeFile(payload / "data/settings.json", "{\"default\": true}");
}

pid_t spawnPreparation(const ControllerFixture& f, const std::string& fileSizeLimit) {
  std::vector<std::string> args = {ZORMAK_PREPARE_PROBE, f.support.string(), f.resources.string()};
  if (!fileSizeLimit.empty())
    args.push_back(fileSizeLimit);
  return testing::spawn(args);
}

TEST(InterruptedReinstall, EveryInterruptionIsRepairedByTheNextStartWithDataIntact) {
  ControllerFixture f;
  makeLargePayload(f.payload());
  writeFile(f.payload() / "PAYLOAD_VERSION", "v0\n");
  {
    auto c = f.make();
    ServerControllerTestAccess::prepareRuntime(*c);
  }
  // The user's data, as a server would leave it.
  fs::remove_all(f.support / "app/data");
  writeFile(f.support / "app/data/history.sqlite", std::string(50000, 'h'));
  writeFile(f.support / "app/data/settings.json", "{\"folder\": \"/home/u/视频\"}");
  writeFile(f.support / "app/data/downloads/part/.hidden", "x");
  const auto userData = snapshot(f.support / "app/data");

  // How long one whole reinstall takes here, to spread the kills over it:
  // the faster of two, since the first one runs with cold caches.
  auto whole = std::chrono::steady_clock::duration::max();
  for (const char* version : {"v1a\n", "v1b\n"}) {
    writeFile(f.payload() / "PAYLOAD_VERSION", version);
    auto began = std::chrono::steady_clock::now();
    pid_t pid = spawnPreparation(f, "");
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    whole = std::min(whole, std::chrono::steady_clock::now() - began);
  }
  ASSERT_EQ(snapshot(f.support / "app/data"), userData);

  // The payload as each round must install it, but for its version file.
  auto installed = snapshot(f.payload(), {"data"});
  constexpr int kRounds = 20;
  int killedPartWay = 0;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::string version = "v" + std::to_string(round + 2);
    writeFile(f.payload() / "PAYLOAD_VERSION", version + "\n");
    installed["PAYLOAD_VERSION"] = version + "\n";

    // Every fifth round the disk "fills" instead: files cannot grow past 1000 bytes.
    const bool diskFull = round % 5 == 4;
    const auto began = std::chrono::steady_clock::now();
    pid_t pid = spawnPreparation(f, diskFull ? "1000" : "");
    int status = 0;
    bool ended = false;
    if (!diskFull) {
      // A reinstall that ends before its kill is timed, and the kills that
      // follow are spread over the shorter time: the load of the machine
      // changes while the test runs.
      const auto killAt = began + whole * round / (kRounds - 4);
      while (!ended && std::chrono::steady_clock::now() < killAt) {
        ended = waitpid(pid, &status, WNOHANG) == pid;
        if (!ended)
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      if (ended)
        whole = std::min(whole, std::chrono::steady_clock::now() - began);
      else
        kill(pid, SIGKILL);
    }
    if (!ended)
      waitpid(pid, &status, 0);
    if (WIFSIGNALED(status))
      ++killedPartWay;
    if (diskFull) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    }

    // The next, ordinary start.
    auto c = f.make();
    ASSERT_NO_THROW(ServerControllerTestAccess::prepareRuntime(*c));
    EXPECT_EQ(snapshot(f.support / "app", {"data"}), installed);
    EXPECT_EQ(snapshot(f.support / "app/data"), userData);
    EXPECT_FALSE(fs::exists(f.support / "data-preserved"));
  }
  // Most rounds must really have been cut short, or the test proves little.
  EXPECT_GE(killedPartWay, kRounds / 2);
}

}  // namespace
}  // namespace zormak
