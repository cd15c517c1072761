// The Linux spawner: fork and exec, for the parent-death signal that
// posix_spawn cannot give. Between the two, the child makes only
// async-signal-safe system calls, as it must in a threaded process.
#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "Spawner.h"
#include "System.h"

namespace zormak::spawner {

namespace {

[[noreturn]] void writeErrnoAndExit(int fd, int error) {
  ssize_t ignored = ::write(fd, &error, sizeof error);
  (void)ignored;
  ::_exit(127);
}

// The decimal digits of `value` and a NUL at `out`; async-signal-safe.
void writeDecimal(char* out, pid_t value) {
  char digits[20];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0 && n < 20);
  while (n > 0)
    *out++ = digits[--n];
  *out = '\0';
}

}  // namespace

const bool kNamesChildPid = true;

pid_t start(const Command& command, int output, int& error) {
  UniqueFd reportRead, reportWrite;
  if (!sys::makePipe(reportRead, reportWrite)) {
    error = errno;
    return -1;
  }

  const pid_t parent = ::getpid();
  int report = reportWrite.get();

  pid_t pid = ::fork();
  if (pid < 0) {
    error = errno;
    return -1;
  }
  if (pid == 0) {
    // Default dispositions and an empty mask, whatever the shell ignores,
    // handles or blocks, so the server receives the SIGTERM meant to end it.
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int s = 1; s < NSIG; ++s)
      ::sigaction(s, &defaults, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::setsid();  // a new session and process group, never failing in a fresh child
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent)
      ::_exit(127);  // the shell is already gone
    // Descriptor 3 is the listener's: the report pipe moves out of its way,
    // and a listener among the standard three out of theirs.
    int listener = command.listener;
    if (listener >= 0 && report == 3)
      report = ::fcntl(report, F_DUPFD_CLOEXEC, 4);
    if (listener >= 0 && listener < 3)
      listener = ::fcntl(listener, F_DUPFD_CLOEXEC, 4);
    if (::dup2(output, STDOUT_FILENO) < 0 || ::dup2(output, STDERR_FILENO) < 0)
      writeErrnoAndExit(report, errno);
    if (listener >= 0 && listener != 3 && ::dup2(listener, 3) < 0)
      writeErrnoAndExit(report, errno);
    if (::chdir(command.directory) != 0)
      writeErrnoAndExit(report, errno);
    // Nothing else of ours reaches the server: every other descriptor closes
    // on exec, the report pipe among them. One call on kernels since 5.11;
    // before that, each descriptor is marked by hand.
    if (::syscall(SYS_close_range, 3u, ~0u, CLOSE_RANGE_CLOEXEC) != 0) {
      for (int fd = 3; fd < 1024; ++fd) {
        int flags = ::fcntl(fd, F_GETFD);
        if (flags >= 0)
          ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
      }
      ::syscall(SYS_close_range, 1024u, ~0u, 0u);
    }
    if (listener >= 0)
      ::fcntl(3, F_SETFD, 0);  // the one descriptor past the standard three that stays
    if (command.childPid)
      writeDecimal(command.childPid, ::getpid());
    ::execve(command.argv[0], command.argv, command.envp);
    writeErrnoAndExit(report, errno);
  }

  reportWrite.reset();
  int childError = 0;
  ssize_t n;
  do {
    n = ::read(reportRead.get(), &childError, sizeof childError);
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    ::waitpid(pid, nullptr, 0);
    error = childError;
    return -1;
  }
  return pid;
}

}  // namespace zormak::spawner
