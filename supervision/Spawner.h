#pragma once

#include <sys/types.h>

namespace zormak::spawner {

// A request in the form exec takes, prepared before anything is started.
struct Command {
  char* const* argv;  // the executable's path first; null-terminated
  char* const* envp;  // null-terminated
  const char* directory;
  // A descriptor the child receives as descriptor 3 (a listening socket, by
  // the socket-activation convention), or -1 for none.
  int listener = -1;
  // Where a spawner that can learn the child's pid before exec writes it,
  // in decimal digits and a terminating NUL: the value part of an
  // environment entry in envp with room for 20 characters. Null when not
  // asked for, and ignored by a spawner that cannot (see kNamesChildPid).
  char* childPid = nullptr;
};

// Whether start() fills in Command::childPid. fork and exec can: the child
// writes its own pid into its copy of the environment between the two, with
// async-signal-safe calls only. posix_spawn cannot, the pid being known only
// once the new program runs; the caller then leaves LISTEN_PID out and says
// by LISTEN_FDNAMES that the descriptor is the shell's (the server accepts
// descriptor 3 without LISTEN_PID only under that name).
extern const bool kNamesChildPid;

// Starts the command with `output` as its standard output and standard
// error, `command.listener` (if any) as descriptor 3, and no other
// descriptor of ours besides standard input; returns its pid, or -1 with
// `error` set (errno) when it could not be started or could not execute.
// Made in SpawnFork.cpp (Linux) or SpawnPosix.cpp (every POSIX system); the
// build links exactly one.
pid_t start(const Command& command, int output, int& error);

}  // namespace zormak::spawner
