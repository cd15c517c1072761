#include <gtest/gtest.h>

#include <random>

#include "TempDir.h"
#include "TreeCopy.h"
#include "ZormakError.h"

namespace zormak {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

// Both ways of copying contents give the same tree: files of every size
// around the buffer's (empty, one byte, several buffers and a remainder),
// enough of them for the parallel workers, links kept as links, modes and
// modification times kept.
TEST(TreeCopy, KernelAndBufferCopiesGiveTheSameTree) {
  std::mt19937 random(7);
  auto bytes = [&](size_t size) {
    std::string text(size, '\0');
    for (char& c : text)
      c = static_cast<char>(random());
    return text;
  };
  TempDir dir;
  const fs::path from = dir / "from";
  const std::vector<size_t> sizes = {0, 1, 4095, 131072, 131073, 3 * 131072 + 17, 1 << 21};
  for (size_t i = 0; i < sizes.size(); ++i)
    writeFile(from / ("file" + std::to_string(i)), bytes(sizes[i]));
  for (int i = 0; i < 80; ++i)
    writeFile(from / "many" / std::to_string(i), bytes(100 + static_cast<size_t>(i)));
  writeFile(from / "bin/tool", "#!/bin/sh\n", fs::perms::owner_all | fs::perms::group_exec);
  fs::create_symlink("tool", from / "bin/link");

  for (CopyMethod method : {CopyMethod::kernel, CopyMethod::readWrite}) {
    const fs::path to = dir / (method == CopyMethod::kernel ? "kernel" : "buffer");
    SCOPED_TRACE(to.filename().string());
    copyTree(from, to, {}, method);
    for (const auto& entry : fs::recursive_directory_iterator(from)) {
      const fs::path copy = to / entry.path().lexically_relative(from);
      if (entry.is_symlink()) {
        EXPECT_EQ(fs::read_symlink(copy), fs::read_symlink(entry.path()));
      } else if (entry.is_regular_file()) {
        EXPECT_EQ(readFile(copy), readFile(entry.path())) << copy;
        EXPECT_EQ(fs::status(copy).permissions(), fs::status(entry.path()).permissions());
        EXPECT_EQ(fs::last_write_time(copy), fs::last_write_time(entry.path()));
      }
    }
  }
}

// Alone, and among enough files for the parallel workers, one of which then
// fails while the others are copying (the path the thread sanitizer build
// checks).
TEST(TreeCopy, AnEntryThatExistsInTheTargetIsAnError) {
  for (int others : {0, 100}) {
    TempDir dir;
    writeFile(dir / "from/a", "new");
    for (int i = 0; i < others; ++i)
      writeFile(dir / "from" / ("f" + std::to_string(i)), std::string(4096, 'x'));
    for (CopyMethod method : {CopyMethod::kernel, CopyMethod::readWrite}) {
      SCOPED_TRACE(std::to_string(others) + " others");
      fs::remove_all(dir / "to");
      writeFile(dir / "to/a", "old");
      try {
        copyTree(dir / "from", dir / "to", {}, method);
        ADD_FAILURE() << "copied over an existing file";
      } catch (const FileSystemError& e) {
        EXPECT_EQ(e.error(), EEXIST);
      }
      EXPECT_EQ(readFile(dir / "to/a"), "old");
    }
  }
}

}  // namespace
}  // namespace zormak
