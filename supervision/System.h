#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <filesystem>
#include <optional>

#include "UniqueFd.h"

// The system calls whose spelling differs between Linux and macOS, each with
// its fallback, so that the rest of the supervision is plain POSIX.
namespace zormak::sys {

// A pipe whose both ends close on exec. Linux: pipe2 with O_CLOEXEC in one
// step. macOS has no pipe2: pipe, then FD_CLOEXEC on each end (a fork by
// another thread in between could leak the ends; this process forks only
// through the spawner, which closes what it does not pass on).
bool makePipe(UniqueFd& readEnd, UniqueFd& writeEnd);

// A socket that closes on exec: SOCK_CLOEXEC on Linux, fcntl on macOS.
UniqueFd makeSocket(int domain, int type);

// Fills the buffer from the system's random source: getrandom on Linux,
// arc4random_buf on macOS, /dev/urandom elsewhere. Returns errno on failure.
int fillRandom(void* buffer, size_t size);

// The path of the working directory of a process of this user, also when
// that folder has been removed since, or nothing when it cannot be read. Linux: the link
// /proc/PID/cwd. macOS: proc_pidinfo with PROC_PIDVNODEPATHINFO, whose pvi_cdir holds the path.
std::optional<std::filesystem::path> processWorkingDirectory(pid_t pid);

// Whether the process exists and has not ended: a zombie, which holds none
// of its resources any more, counts as gone. Linux reads its state in
// /proc/PID/stat; macOS would ask proc_pidinfo with PROC_PIDTBSDINFO for
// pbi_status SZOMB.
bool processExists(pid_t pid);

// Access and modification times of a stat record: st_atim/st_mtim on Linux,
// st_atimespec/st_mtimespec on macOS.
timespec accessTime(const struct stat& st);
timespec modificationTime(const struct stat& st);

// Copies up to `size` bytes from the current offsets of `in` to `out` in the
// kernel: copy_file_range on Linux; macOS has no such call for a part of a
// file (fcopyfile copies whole files), so there the caller copies by hand. Returns the bytes copied
// (0 at the end of `in`), or -1 with errno; EXDEV, EINVAL, ENOSYS and EOPNOTSUPP mean the caller
// should copy by hand. Always -1 with ENOSYS where the kernel has no such call.
ssize_t kernelCopy(int in, int out, size_t size);

}  // namespace zormak::sys
