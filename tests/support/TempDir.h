#pragma once

#include <filesystem>
#include <string>

namespace zormak::testing {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it,
// read-only parts included, when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Small file helpers for tests.
void writeFile(const std::filesystem::path& path, const std::string& content,
               std::filesystem::perms perms = std::filesystem::perms::owner_read |
                                              std::filesystem::perms::owner_write);
std::string readFile(const std::filesystem::path& path);

}  // namespace zormak::testing
