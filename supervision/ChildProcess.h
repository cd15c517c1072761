#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "UniqueFd.h"
#include "Worker.h"

namespace zormak {

// A child process started as the leader of its own session and process
// group, with its standard output and standard error on one pipe, default signal
// dispositions, an empty signal mask and no descriptor of ours but the pipe,
// standard input and, when one is given, a listening socket as descriptor 3.
//
// Two spawners stand behind this interface, chosen by the build: on Linux,
// fork and exec, which also give the child SIGTERM as its parent-death
// signal; elsewhere, and on Linux when selected, posix_spawn. macOS has no
// parent-death signal; there the server leaves by itself once its parent is
// gone.
//
// A session of its own: where the kernel groups processes by session for
// CPU time (Linux's autogroup, on a desktop without per-application control
// groups), the server and the downloads it runs get a share of their own
// beside the window's, so a busy machine starves neither the page nor a
// download, and a merge that takes every core leaves the window its share.
// macOS schedules no such groups; the session changes nothing there.
class ChildProcess {
 public:
  struct Request {
    std::filesystem::path executable;
    std::vector<std::string> arguments;  // after the program name
    std::filesystem::path workingDirectory;
    std::vector<std::string> environment;  // NAME=value
    // A listening socket handed over as descriptor 3 by the socket-activation
    // convention: LISTEN_FDS=1 and LISTEN_FDNAMES=zormak, and LISTEN_PID with
    // the child's pid where the spawner can name it before exec (fork and
    // exec; posix_spawn, and so macOS, cannot). -1: none. LISTEN_*
    // variables of our own environment never reach the child: they describe
    // descriptors it does not have.
    int listener = -1;
  };

  // How the child ended: with an exit code, or by a signal.
  struct Termination {
    bool bySignal = false;
    int number = 0;  // the exit code, or the signal's number

    // "退出码 N", or "被信号 N（SIGNAME）终止".
    std::string description() const;
    friend bool operator==(const Termination&, const Termination&) = default;
  };
  // Runs once, on a thread of its own, after the child has ended.
  using TerminationHandler = std::function<void(const Termination&)>;

  // Starts the child with `output` (the write end of a pipe, closed here in
  // the parent) as its standard output and standard error. On failure
  // returns null and sets `error` (errno).
  static std::unique_ptr<ChildProcess> spawn(const Request& request, UniqueFd output,
                                             TerminationHandler onExit, int& error);

  // A child that still runs goes with its object: its group is killed, and
  // the object returns once the termination handler has run.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t processIdentifier() const { return pid_; }
  bool isRunning() const;
  // Waits at most `timeout` for the child to end and its termination handler
  // to have run; returns whether both have happened. Lets a stop return as
  // soon as the server is gone rather than at the next poll.
  bool waitForExit(std::chrono::microseconds timeout);
  // Set once the child has ended.
  std::optional<Termination> termination() const;

 private:
  struct State;
  ChildProcess(pid_t pid, std::shared_ptr<State> state);

  pid_t pid_;
  std::shared_ptr<State> state_;
  Worker waiter_;
};

// The name of a signal ("SIGTERM"), or nothing for one without a usual name.
const char* signalName(int signal);

}  // namespace zormak
