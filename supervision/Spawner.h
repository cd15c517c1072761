#pragma once

#include <sys/types.h>

namespace zormak::spawner {

// A request in the form exec takes, prepared before anything is started.
struct Command {
  char* const* argv;  // the executable's path first; null-terminated
  char* const* envp;  // null-terminated
  const char* directory;
};

// Starts the command with `output` as its standard output and standard
// error; returns its pid, or -1 with `error` set (errno) when it could not be
// started or could not execute. Made in SpawnFork.cpp (Linux) or
// SpawnPosix.cpp (every POSIX system); the build links exactly one.
pid_t start(const Command& command, int output, int& error);

}  // namespace zormak::spawner
