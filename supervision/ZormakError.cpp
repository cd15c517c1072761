#include "ZormakError.h"

#include <cerrno>
#include <cstring>

namespace zormak {

std::string ZormakError::description() const {
  return "payloadMissing";
}

std::string ZormakError::errorDescription() const {
  // The folder as the installed program lays it out, so the user and the
  // packager look where it should be.
#ifdef __APPLE__
  return "应用包内缺少 Resources/payload（打包时漏了）。" + std::string(kReinstallAdvice);
#else
  return "应用包内缺少 share/zormak/payload（打包时漏了）。" + std::string(kReinstallAdvice);
#endif
}

namespace {

// The common causes of a failed call: the errno's name for the log and what
// the user is told. Others are logged by number and told in the system's
// words.
struct Cause {
  int error;
  const char* name;
  const char* chinese;
};
constexpr Cause kCauses[] = {
    {EACCES, "EACCES", "没有权限"},
    {EPERM, "EPERM", "没有权限"},
    {ENOENT, "ENOENT", "文件或文件夹不存在"},
    {EEXIST, "EEXIST", "目标已存在"},
    {ENOTDIR, "ENOTDIR", "路径中有一项不是文件夹"},
    {EISDIR, "EISDIR", "目标是一个文件夹"},
    {ENOTEMPTY, "ENOTEMPTY", "文件夹不是空的"},
    {ENOSPC, "ENOSPC", "磁盘空间不足"},
    {EDQUOT, "EDQUOT", "超出了磁盘配额"},
    {EROFS, "EROFS", "磁盘是只读的"},
    {EIO, "EIO", "读写磁盘时出错"},
    {EXDEV, "EXDEV", nullptr},
    {ELOOP, "ELOOP", "符号链接层数过多"},
    {ENAMETOOLONG, "ENAMETOOLONG", "路径太长"},
    {EMFILE, "EMFILE", "打开的文件太多"},
    {ENFILE, "ENFILE", "打开的文件太多"},
    {EBUSY, "EBUSY", "文件正被占用"},
};

const Cause* causeOf(int error) {
  for (const Cause& cause : kCauses) {
    if (cause.error == error)
      return &cause;
  }
  return nullptr;
}

struct Operation {
  const char* name;     // in the log
  const char* chinese;  // what could not be done, for the user
};
constexpr Operation kOperations[] = {
    {"createDirectory", "无法创建文件夹"},
    {"remove", "无法删除"},
    {"move", "无法移动"},
    {"copy", "无法复制"},
    {"read", "无法读取"},
    {"write", "无法写入"},
};

const Operation& operationOf(FileOperation operation) {
  return kOperations[static_cast<size_t>(operation)];
}

}  // namespace

std::string errorCauseText(int error) {
  const Cause* cause = causeOf(error);
  return cause && cause->chinese ? std::string(cause->chinese) : std::string(std::strerror(error));
}

FileSystemError::FileSystemError(FileOperation operation, std::filesystem::path path, int error)
    : operation_(operation), path_(std::move(path)), error_(error) {
  what_ = description();
}

std::string FileSystemError::description() const {
  const Cause* cause = causeOf(error_);
  std::string text = "FileSystemError(" + std::string(operationOf(operation_).name) + " \"" +
                     path_.string() + "\": errno " + std::to_string(error_);
  if (cause)
    text += std::string(" ") + cause->name;
  text += ", " + std::string(std::strerror(error_)) + ")";
  return text;
}

std::string FileSystemError::errorDescription() const {
  return std::string(operationOf(operation_).chinese) + "“" + path_.string() + "”（" +
         errorCauseText(error_) + "）";
}

}  // namespace zormak
