#include "System.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>

#if defined(__linux__)
#include <sys/random.h>
#elif defined(__APPLE__)
#include <libproc.h>
#include <stdlib.h>
#include <sys/proc_info.h>
#endif

namespace zormak::sys {

namespace {

[[maybe_unused]] bool setCloseOnExec(int fd) {
  int flags = ::fcntl(fd, F_GETFD);
  return flags >= 0 && ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0;
}

}  // namespace

bool makePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
  int fds[2];
#if defined(__linux__)
  if (::pipe2(fds, O_CLOEXEC) != 0)
    return false;
  readEnd.reset(fds[0]);
  writeEnd.reset(fds[1]);
  return true;
#else
  if (::pipe(fds) != 0)
    return false;
  readEnd.reset(fds[0]);
  writeEnd.reset(fds[1]);
  if (setCloseOnExec(fds[0]) && setCloseOnExec(fds[1]))
    return true;
  int error = errno;
  readEnd.reset();
  writeEnd.reset();
  errno = error;
  return false;
#endif
}

UniqueFd makeSocket(int domain, int type) {
#if defined(SOCK_CLOEXEC)
  return UniqueFd(::socket(domain, type | SOCK_CLOEXEC, 0));
#else
  UniqueFd fd(::socket(domain, type, 0));
  if (fd && !setCloseOnExec(fd.get()))
    fd.reset();
  return fd;
#endif
}

int fillRandom(void* buffer, size_t size) {
#if defined(__APPLE__)
  ::arc4random_buf(buffer, size);
  return 0;
#else
  auto* bytes = static_cast<std::uint8_t*>(buffer);
#if defined(__linux__)
  while (size > 0) {
    ssize_t n = ::getrandom(bytes, size, 0);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      break;  // a kernel before 3.17: the device below
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  if (size == 0)
    return 0;
#endif
  UniqueFd device(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
  if (!device)
    return errno;
  while (size > 0) {
    ssize_t n = ::read(device.get(), bytes, size);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return n < 0 ? errno : EIO;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
#endif
}

std::optional<std::filesystem::path> processWorkingDirectory(pid_t pid) {
#if defined(__APPLE__)
  proc_vnodepathinfo info{};
  if (::proc_pidinfo(pid, PROC_PIDVNODEPATHINFO, 0, &info, sizeof info) != sizeof info)
    return std::nullopt;
  return std::filesystem::path(info.pvi_cdir.vip_path);
#else
  std::error_code ec;
  std::string cwd =
      std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/cwd", ec).string();
  if (ec)
    return std::nullopt;
  // A folder removed since (a reinstall replaced it) keeps its path here.
  constexpr std::string_view kDeleted = " (deleted)";
  if (cwd.ends_with(kDeleted))
    cwd.resize(cwd.size() - kDeleted.size());
  return std::filesystem::path(cwd);
#endif
}

bool processExists(pid_t pid) {
  if (::kill(pid, 0) != 0)
    return errno == EPERM;
#if defined(__APPLE__)
  proc_bsdinfo info{};
  if (::proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &info, sizeof info) == sizeof info)
    return info.pbi_status != SZOMB;
  return true;
#else
  // The state follows the command name in parentheses, which may itself hold
  // blanks and parentheses: it is the first field after the last ')'.
  UniqueFd fd(::open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC));
  char buffer[512];
  ssize_t n = fd ? ::read(fd.get(), buffer, sizeof buffer - 1) : -1;
  if (n <= 0)
    return true;
  std::string_view stat(buffer, static_cast<size_t>(n));
  size_t close = stat.rfind(')');
  return close == std::string_view::npos || close + 2 >= stat.size() || stat[close + 2] != 'Z';
#endif
}

timespec accessTime(const struct stat& st) {
#if defined(__APPLE__)
  return st.st_atimespec;
#else
  return st.st_atim;
#endif
}

timespec modificationTime(const struct stat& st) {
#if defined(__APPLE__)
  return st.st_mtimespec;
#else
  return st.st_mtim;
#endif
}

ssize_t kernelCopy(int in, int out, size_t size) {
#if defined(__linux__)
  return ::copy_file_range(in, nullptr, out, nullptr, size, 0);
#else
  (void)in;
  (void)out;
  (void)size;
  errno = ENOSYS;
  return -1;
#endif
}

}  // namespace zormak::sys
