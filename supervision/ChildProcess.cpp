#include "ChildProcess.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace zormak {

void startBackgroundThread(std::function<void()> body) {
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  std::thread(std::move(body)).detach();  // the new thread inherits the mask
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

namespace {

void writeErrnoAndExit(int fd, int error) {
  ssize_t ignored = ::write(fd, &error, sizeof error);
  (void)ignored;
  ::_exit(127);
}

}  // namespace

// fork and exec rather than posix_spawn: posix_spawn cannot give the child a
// parent-death signal. Between the two, the child makes only
// async-signal-safe system calls, as it must in a threaded process.
std::shared_ptr<ChildProcess> ChildProcess::spawn(const Request& request, TerminationHandler onExit,
                                                  int& outputFd, int& error) {
  int output[2], report[2];
  if (::pipe2(output, O_CLOEXEC) != 0) {
    error = errno;
    return nullptr;
  }
  if (::pipe2(report, O_CLOEXEC) != 0) {
    error = errno;
    ::close(output[0]);
    ::close(output[1]);
    return nullptr;
  }

  // Everything the child needs is prepared before the fork.
  std::vector<std::string> args;
  args.push_back(request.executable.string());
  args.insert(args.end(), request.arguments.begin(), request.arguments.end());
  std::vector<char*> argv, envp;
  for (auto& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (auto& e : request.environment)
    envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const std::string directory = request.workingDirectory.string();
  const pid_t parent = ::getpid();

  pid_t pid = ::fork();
  if (pid < 0) {
    error = errno;
    for (int fd : {output[0], output[1], report[0], report[1]})
      ::close(fd);
    return nullptr;
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
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent)
      ::_exit(127);  // the shell is already gone
    if (::dup2(output[1], STDOUT_FILENO) < 0 || ::dup2(output[1], STDERR_FILENO) < 0) {
      writeErrnoAndExit(report[1], errno);
    }
    if (::chdir(directory.c_str()) != 0)
      writeErrnoAndExit(report[1], errno);
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
    ::execve(argv[0], argv.data(), envp.data());
    writeErrnoAndExit(report[1], errno);
  }

  ::close(output[1]);
  ::close(report[1]);
  int childError = 0;
  ssize_t n;
  do {
    n = ::read(report[0], &childError, sizeof childError);
  } while (n < 0 && errno == EINTR);
  ::close(report[0]);
  if (n > 0) {
    ::waitpid(pid, nullptr, 0);
    ::close(output[0]);
    error = childError;
    return nullptr;
  }

  auto child = std::make_shared<ChildProcess>(pid);
  startBackgroundThread([child, onExit = std::move(onExit)] {
    int status = 0;
    while (::waitpid(child->pid_, &status, 0) < 0 && errno == EINTR) {
    }
    child->status_ = WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status);
    child->running_ = false;
    if (onExit)
      onExit(child->status_.load());
    std::lock_guard lock(child->exitMutex_);
    child->reported_ = true;
    child->exitReported_.notify_all();
  });
  outputFd = output[0];
  return child;
}

bool ChildProcess::waitForExit(std::chrono::microseconds timeout) {
  std::unique_lock lock(exitMutex_);
  return exitReported_.wait_for(lock, timeout, [this] { return reported_; });
}

}  // namespace zormak
