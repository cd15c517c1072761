#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zormak {

// A child process started as the leader of its own process group, with its
// standard output and standard error on one pipe, default signal
// dispositions, an empty signal mask, no descriptor of ours but the pipe and
// standard input, and SIGTERM as its parent-death signal.
class ChildProcess {
 public:
  struct Request {
    std::filesystem::path executable;
    std::vector<std::string> arguments;  // after the program name
    std::filesystem::path workingDirectory;
    std::vector<std::string> environment;  // NAME=value
  };
  // Runs once, on a thread of its own, after the child has ended, with its
  // exit code or, for a child ended by a signal, the signal's number.
  using TerminationHandler = std::function<void(int status)>;

  // Starts the child. On success returns it and the read end of its output
  // pipe (close-on-exec); on failure returns null and sets `error` (errno).
  static std::shared_ptr<ChildProcess> spawn(const Request& request, TerminationHandler onExit,
                                             int& outputFd, int& error);

  pid_t processIdentifier() const { return pid_; }
  bool isRunning() const { return running_.load(); }
  // Waits at most `timeout` for the child to end and its termination handler
  // to have run; returns whether both have happened. Lets a stop return as
  // soon as the server is gone rather than at the next poll.
  bool waitForExit(std::chrono::microseconds timeout);
  int terminationStatus() const { return status_.load(); }

  explicit ChildProcess(pid_t pid) : pid_(pid) {}

 private:
  pid_t pid_;
  std::atomic<bool> running_{true};
  std::atomic<int> status_{0};
  std::mutex exitMutex_;
  std::condition_variable exitReported_;
  bool reported_ = false;
};

// Starts a detached thread with SIGTERM, SIGINT and SIGHUP blocked, so that
// those signals reach the main loop's handling rather than a worker.
void startBackgroundThread(std::function<void()> body);

}  // namespace zormak
