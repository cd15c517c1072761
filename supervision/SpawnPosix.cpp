// The portable spawner: posix_spawn, which macOS uses and Linux can. The
// attributes give the child its own process group, default dispositions for
// every signal and an empty mask; the file actions give it the output pipe,
// its working directory and nothing else of ours. There is no parent-death
// signal here: the server watches for its parent's end itself.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "Spawner.h"

namespace zormak::spawner {

namespace {

// The attribute and file-action records, destroyed however start() leaves.
struct SpawnSetup {
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
  SpawnSetup() {
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_init(&actions);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

}  // namespace

// The child's pid is known only after posix_spawn returns, too late for its
// environment; the caller names the descriptor by LISTEN_FDNAMES instead.
const bool kNamesChildPid = false;

pid_t start(const Command& command, int output, int& error) {
  SpawnSetup setup;
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
#if defined(POSIX_SPAWN_SETSID)
  flags |= POSIX_SPAWN_SETSID;  // a new session, and with it a new group
#else
  flags |= POSIX_SPAWN_SETPGROUP;
#endif
#if defined(__APPLE__)
  // Every descriptor not named in a file action closes in the child.
  flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#endif
  int result = posix_spawnattr_setflags(&setup.attributes, flags);
#if !defined(POSIX_SPAWN_SETSID)
  if (result == 0)
    result = posix_spawnattr_setpgroup(&setup.attributes, 0);
#endif
  if (result == 0)
    result = posix_spawnattr_setsigdefault(&setup.attributes, &all);
  if (result == 0)
    result = posix_spawnattr_setsigmask(&setup.attributes, &none);
  if (result == 0)
    result = posix_spawn_file_actions_adddup2(&setup.actions, output, STDOUT_FILENO);
  if (result == 0)
    result = posix_spawn_file_actions_adddup2(&setup.actions, output, STDERR_FILENO);
  // The listener becomes descriptor 3 after the output has its two: an
  // output pipe that happens to be descriptor 3 is no longer needed there.
  // A dup2 onto itself clears close-on-exec (POSIX 2024; glibc, macOS).
  if (result == 0 && command.listener >= 0)
    result = posix_spawn_file_actions_adddup2(&setup.actions, command.listener, 3);
  if (result == 0) {
    result = posix_spawn_file_actions_addchdir_np(&setup.actions, command.directory);
  }
#if defined(__APPLE__)
  // With POSIX_SPAWN_CLOEXEC_DEFAULT the targets of adddup2 stay open, the
  // listener's descriptor 3 among them; standard input is named here.
  if (result == 0)
    result = posix_spawn_file_actions_addinherit_np(&setup.actions, STDIN_FILENO);
#else
  if (result == 0)
    result =
        posix_spawn_file_actions_addclosefrom_np(&setup.actions, command.listener >= 0 ? 4 : 3);
#endif
  if (result != 0) {
    error = result;
    return -1;
  }
  pid_t pid = -1;
  // Fails with the errno of a chdir or exec that failed in the child.
  result = ::posix_spawn(&pid, command.argv[0], &setup.actions, &setup.attributes, command.argv,
                         command.envp);
  if (result != 0) {
    error = result;
    return -1;
  }
  return pid;
}

}  // namespace zormak::spawner
