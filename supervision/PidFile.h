#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

namespace zormak {

// A file that holds one number in decimal followed by a line feed: the
// server's process id in server.pid, the last ready port in server.port.
class PidFile {
 public:
  explicit PidFile(std::filesystem::path path) : path_(std::move(path)) {}

  // An optionally signed decimal number in the signed 32-bit range, and
  // nothing else; no number otherwise.
  static std::optional<std::int32_t> parse(std::string_view text);

  // The number in the file, white space and line breaks around it ignored;
  // nothing when the file is missing, unreadable, not UTF-8 or no number.
  std::optional<std::int32_t> read() const;
  // Replaces the file with `value` and a line feed: written to a temporary
  // file in the same folder, then renamed over it, so the file is always
  // either the old one or the whole new one. Returns errno, or 0.
  int write(std::int64_t value) const;
  // Removes the file; a failure is ignored.
  void remove() const;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace zormak
