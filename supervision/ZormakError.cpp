#include "ZormakError.h"

#include <cerrno>
#include <cstring>

namespace zormak {

std::string ZormakError::description() const {
  return "payloadMissing";
}

std::string ZormakError::errorDescription() const {
  return "应用包内缺少 Resources/payload（打包时漏了）";
}

namespace {

const char* errnoName(int error) {
  switch (error) {
    case EACCES:
      return "EACCES";
    case EPERM:
      return "EPERM";
    case ENOENT:
      return "ENOENT";
    case EEXIST:
      return "EEXIST";
    case ENOTDIR:
      return "ENOTDIR";
    case EISDIR:
      return "EISDIR";
    case ENOTEMPTY:
      return "ENOTEMPTY";
    case ENOSPC:
      return "ENOSPC";
    case EDQUOT:
      return "EDQUOT";
    case EROFS:
      return "EROFS";
    case EIO:
      return "EIO";
    case EXDEV:
      return "EXDEV";
    case ELOOP:
      return "ELOOP";
    case ENAMETOOLONG:
      return "ENAMETOOLONG";
    case EMFILE:
      return "EMFILE";
    case EBUSY:
      return "EBUSY";
    default:
      return nullptr;
  }
}

// What the user is told about the cause; the technical name goes to the log.
const char* causeInChinese(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
      return "没有权限";
    case ENOENT:
      return "文件或文件夹不存在";
    case EEXIST:
      return "目标已存在";
    case ENOTDIR:
      return "路径中有一项不是文件夹";
    case EISDIR:
      return "目标是一个文件夹";
    case ENOTEMPTY:
      return "文件夹不是空的";
    case ENOSPC:
      return "磁盘空间不足";
    case EDQUOT:
      return "超出了磁盘配额";
    case EROFS:
      return "磁盘是只读的";
    case EIO:
      return "读写磁盘时出错";
    case ELOOP:
      return "符号链接层数过多";
    case ENAMETOOLONG:
      return "路径太长";
    case EMFILE:
    case ENFILE:
      return "打开的文件太多";
    case EBUSY:
      return "文件正被占用";
    default:
      return nullptr;
  }
}

const char* operationInChinese(const std::string& operation) {
  if (operation == "createDirectory")
    return "无法创建文件夹";
  if (operation == "remove")
    return "无法删除";
  if (operation == "move")
    return "无法移动";
  if (operation == "copy")
    return "无法复制";
  if (operation == "read")
    return "无法读取";
  if (operation == "write")
    return "无法写入";
  return "无法处理";
}

}  // namespace

std::string errorCauseText(int error) {
  const char* cause = causeInChinese(error);
  return cause ? std::string(cause) : std::string(std::strerror(error));
}

FileSystemError::FileSystemError(std::string operation, std::filesystem::path path, int error)
    : operation_(std::move(operation)), path_(std::move(path)), error_(error) {
  what_ = description();
}

std::string FileSystemError::description() const {
  const char* name = errnoName(error_);
  std::string text = "FileSystemError(" + operation_ + " \"" + path_.string() + "\": errno " +
                     std::to_string(error_);
  if (name)
    text += std::string(" ") + name;
  text += ", " + std::string(std::strerror(error_)) + ")";
  return text;
}

std::string FileSystemError::errorDescription() const {
  return std::string(operationInChinese(operation_)) + "“" + path_.string() + "”（" +
         errorCauseText(error_) + "）";
}

}  // namespace zormak
