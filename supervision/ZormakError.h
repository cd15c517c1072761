#pragma once

#include <exception>
#include <filesystem>
#include <string>
#include <string_view>

namespace zormak {

// Ends every failure text that no restart can cure because the installed
// bundle itself is incomplete; the start failure's page then suggests no
// restart.
inline constexpr std::string_view kReinstallAdvice = "重新启动也无法修复，请重新安装 ZORMAK。";

// The supervision's one error of its own making.
class ZormakError : public std::exception {
 public:
  enum class Case { payloadMissing };

  static ZormakError payloadMissing() { return ZormakError(Case::payloadMissing); }

  Case kind() const { return case_; }
  // Plain description, for log lines: the case name.
  std::string description() const;
  // User-facing description, for failure texts.
  std::string errorDescription() const;
  const char* what() const noexcept override { return "payloadMissing"; }

  // Spelled out: a defaulted one would compare the std::exception base,
  // which has no operator==, so clang deletes it.
  friend bool operator==(const ZormakError& a, const ZormakError& b) { return a.case_ == b.case_; }

 private:
  explicit ZormakError(Case c) : case_(c) {}
  Case case_;
};

// The file operations whose failure a FileSystemError reports.
enum class FileOperation { createDirectory, remove, move, copy, read, write };

// A failed file-system call while preparing the runtime. It keeps the call,
// the path and errno as they were at the failure, before any cleanup.
class FileSystemError : public std::exception {
 public:
  FileSystemError(FileOperation operation, std::filesystem::path path, int error);

  FileOperation operation() const { return operation_; }
  const std::filesystem::path& path() const { return path_; }
  int error() const { return error_; }

  // Full technical description, for the log: call, path, errno name and text.
  std::string description() const;
  // One line for the user, in Chinese.
  std::string errorDescription() const;
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  FileOperation operation_;
  std::filesystem::path path_;
  int error_;
  std::string what_;
};

// The cause of a failed system call, told in Chinese where it is a common one.
std::string errorCauseText(int error);

}  // namespace zormak
