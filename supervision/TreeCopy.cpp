#include "TreeCopy.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "System.h"
#include "ZormakError.h"

namespace zormak {

namespace {

struct FileJob {
  std::string from;
  std::string to;
  mode_t mode;
  timespec times[2];
};

struct DirectoryJob {
  std::string to;
  mode_t mode;
  timespec times[2];
};

[[noreturn]] void fail(FileOperation operation, const std::string& path, int error) {
  throw FileSystemError(operation, path, error);
}

// Copies the bytes of an open file. The kernel path avoids copying through
// user space; read/write is the fallback where it is not supported.
void copyContents(int in, int out, off_t size, const std::string& fromPath,
                  const std::string& toPath, CopyMethod method) {
  off_t done = 0;
  bool kernelCopy = method == CopyMethod::kernel;
  while (kernelCopy && done < size) {
    ssize_t n = sys::kernelCopy(in, out, static_cast<size_t>(size - done));
    if (n > 0) {
      done += n;
    } else if (n == 0) {
      break;  // the file shrank meanwhile
    } else if (errno == EINTR) {
      continue;
    } else if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
      kernelCopy = false;
    } else {
      fail(FileOperation::copy,
           errno == ENOSPC || errno == EDQUOT || errno == EIO ? toPath : fromPath, errno);
    }
  }
  if (kernelCopy) {
    // Also catches a file that grew after the stat.
    char probe;
    ssize_t more = ::pread(in, &probe, 1, done);
    if (more <= 0)
      return;
  }
  if (::lseek(in, done, SEEK_SET) < 0 || ::lseek(out, done, SEEK_SET) < 0) {
    fail(FileOperation::copy, fromPath, errno);
  }
  std::vector<char> buffer(1 << 17);
  for (;;) {
    ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n == 0)
      return;
    if (n < 0) {
      if (errno == EINTR)
        continue;
      fail(FileOperation::copy, fromPath, errno);
    }
    const char* p = buffer.data();
    while (n > 0) {
      ssize_t w = ::write(out, p, static_cast<size_t>(n));
      if (w < 0) {
        if (errno == EINTR)
          continue;
        fail(FileOperation::copy, toPath, errno);
      }
      p += w;
      n -= w;
    }
  }
}

void copyFile(const FileJob& job, CopyMethod method) {
  UniqueFd in(::open(job.from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!in)
    fail(FileOperation::copy, job.from, errno);
  struct stat st;
  if (::fstat(in.get(), &st) != 0)
    fail(FileOperation::copy, job.from, errno);
  // Created owner-writable so the copy can be filled even for a read-only
  // source; the exact mode is set afterwards, independent of the umask.
  UniqueFd out(::open(job.to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR));
  if (!out)
    fail(FileOperation::copy, job.to, errno);
  copyContents(in.get(), out.get(), st.st_size, job.from, job.to, method);
  if (::fchmod(out.get(), job.mode) != 0)
    fail(FileOperation::copy, job.to, errno);
  if (::futimens(out.get(), job.times) != 0)
    fail(FileOperation::copy, job.to, errno);
}

class TreeWalker {
 public:
  TreeWalker(const std::set<std::string>& skipTopLevel) : skip_(skipTopLevel) {}

  void walk(const std::string& from, const std::string& to, bool topLevel) {
    DIR* dir = ::opendir(from.c_str());
    if (!dir)
      fail(FileOperation::copy, from, errno);
    std::vector<std::string> names;
    errno = 0;
    while (dirent* entry = ::readdir(dir)) {
      std::string_view name = entry->d_name;
      if (name == "." || name == "..")
        continue;
      if (topLevel && skip_.count(std::string(name)))
        continue;
      names.emplace_back(name);
    }
    int readError = errno;
    ::closedir(dir);
    if (readError != 0)
      fail(FileOperation::copy, from, readError);

    for (const auto& name : names) {
      std::string source = from + "/" + name;
      std::string target = to + "/" + name;
      struct stat st;
      if (::lstat(source.c_str(), &st) != 0)
        fail(FileOperation::copy, source, errno);
      timespec times[2] = {sys::accessTime(st), sys::modificationTime(st)};
      if (S_ISDIR(st.st_mode)) {
        if (::mkdir(target.c_str(), S_IRWXU) != 0)
          fail(FileOperation::copy, target, errno);
        walk(source, target, false);
        directories.push_back({target, st.st_mode & 07777, {times[0], times[1]}});
      } else if (S_ISREG(st.st_mode)) {
        files.push_back({source, target, st.st_mode & 07777, {times[0], times[1]}});
        bytes += static_cast<std::uint64_t>(st.st_size);
      } else if (S_ISLNK(st.st_mode)) {
        std::string link(static_cast<size_t>(st.st_size) + 1, '\0');
        ssize_t n = ::readlink(source.c_str(), link.data(), link.size());
        if (n < 0)
          fail(FileOperation::copy, source, errno);
        link.resize(static_cast<size_t>(n));
        if (::symlink(link.c_str(), target.c_str()) != 0)
          fail(FileOperation::copy, target, errno);
        ::utimensat(AT_FDCWD, target.c_str(), times, AT_SYMLINK_NOFOLLOW);
      } else if (S_ISFIFO(st.st_mode)) {
        if (::mkfifo(target.c_str(), st.st_mode & 07777) != 0)
          fail(FileOperation::copy, target, errno);
      }
      // Sockets and device nodes have no place in a payload; they are left out.
    }
  }

  std::vector<FileJob> files;
  std::vector<DirectoryJob> directories;  // deepest first, as finished
  std::uint64_t bytes = 0;

 private:
  const std::set<std::string>& skip_;
};

void copyFilesInParallel(const std::vector<FileJob>& files, CopyMethod method) {
  unsigned workers = std::clamp(std::thread::hardware_concurrency(), 2u, 8u);
  if (files.size() < 64)
    workers = 1;
  std::atomic<size_t> next{0};
  std::atomic<bool> stop{false};
  std::mutex errorMutex;
  std::optional<FileSystemError> firstError;

  auto work = [&] {
    while (!stop.load(std::memory_order_relaxed)) {
      size_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= files.size())
        return;
      try {
        copyFile(files[i], method);
      } catch (const FileSystemError& e) {
        std::lock_guard lock(errorMutex);
        if (!firstError)
          firstError = e;
        stop = true;
      }
    }
  };
  std::vector<std::thread> threads;
  for (unsigned i = 1; i < workers; ++i)
    threads.emplace_back(work);
  work();
  for (auto& t : threads)
    t.join();
  if (firstError)
    throw *firstError;
}

}  // namespace

void copyTree(const std::filesystem::path& from, const std::filesystem::path& to,
              const std::set<std::string>& skipTopLevel, CopyMethod method) {
  struct stat st;
  if (::stat(from.c_str(), &st) != 0)
    fail(FileOperation::copy, from.string(), errno);
  if (!S_ISDIR(st.st_mode))
    fail(FileOperation::copy, from.string(), ENOTDIR);
  if (::mkdir(to.c_str(), S_IRWXU) != 0 && errno != EEXIST)
    fail(FileOperation::copy, to.string(), errno);

  TreeWalker walker(skipTopLevel);
  walker.walk(from.string(), to.string(), true);
  copyFilesInParallel(walker.files, method);
  // Directory modes and times last: filling a directory changes its time,
  // and a read-only directory could not be filled.
  for (const auto& dir : walker.directories) {
    if (::chmod(dir.to.c_str(), dir.mode) != 0)
      fail(FileOperation::copy, dir.to, errno);
    ::utimensat(AT_FDCWD, dir.to.c_str(), dir.times, 0);
  }
  if (::chmod(to.c_str(), st.st_mode & 07777) != 0)
    fail(FileOperation::copy, to.string(), errno);
}

void copyFileAtomically(const std::filesystem::path& from, const std::filesystem::path& to) {
  std::filesystem::path temporary = to;
  temporary += ".partial";
  ::unlink(temporary.c_str());
  struct stat st;
  if (::stat(from.c_str(), &st) != 0)
    fail(FileOperation::copy, from.string(), errno);
  FileJob job{from.string(),
              temporary.string(),
              st.st_mode & 07777,
              {sys::accessTime(st), sys::modificationTime(st)}};
  try {
    copyFile(job, CopyMethod::kernel);
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
  if (::rename(temporary.c_str(), to.c_str()) != 0) {
    int error = errno;
    ::unlink(temporary.c_str());
    fail(FileOperation::copy, to.string(), error);
  }
}

}  // namespace zormak
