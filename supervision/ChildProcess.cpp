#include "ChildProcess.h"

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <string_view>

#include "Spawner.h"

namespace zormak {

struct ChildProcess::State {
  std::mutex mutex;
  std::condition_variable reported;
  std::optional<Termination> termination;  // set when the child has ended
  bool handled = false;                    // and the handler has run
};

const char* signalName(int signal) {
  static constexpr std::pair<int, const char*> kNames[] = {
      {SIGHUP, "SIGHUP"},   {SIGINT, "SIGINT"},   {SIGQUIT, "SIGQUIT"},     {SIGILL, "SIGILL"},
      {SIGTRAP, "SIGTRAP"}, {SIGABRT, "SIGABRT"}, {SIGBUS, "SIGBUS"},       {SIGFPE, "SIGFPE"},
      {SIGKILL, "SIGKILL"}, {SIGUSR1, "SIGUSR1"}, {SIGSEGV, "SIGSEGV"},     {SIGUSR2, "SIGUSR2"},
      {SIGPIPE, "SIGPIPE"}, {SIGALRM, "SIGALRM"}, {SIGTERM, "SIGTERM"},     {SIGXCPU, "SIGXCPU"},
      {SIGXFSZ, "SIGXFSZ"}, {SIGSYS, "SIGSYS"},   {SIGVTALRM, "SIGVTALRM"}, {SIGPROF, "SIGPROF"},
      {SIGIO, "SIGIO"},
  };
  for (auto [number, name] : kNames) {
    if (number == signal)
      return name;
  }
  return nullptr;
}

std::string ChildProcess::Termination::description() const {
  if (!bySignal)
    return "退出码 " + std::to_string(number);
  const char* name = signalName(number);
  return "被信号 " + std::to_string(number) + (name ? std::string("（") + name + "）" : "") +
         "终止";
}

ChildProcess::ChildProcess(pid_t pid, std::shared_ptr<State> state)
    : pid_(pid), state_(std::move(state)) {}

std::unique_ptr<ChildProcess> ChildProcess::spawn(const Request& request, UniqueFd output,
                                                  TerminationHandler onExit, int& error) {
  // Everything the child needs is prepared before it is started.
  std::vector<std::string> args;
  args.push_back(request.executable.string());
  args.insert(args.end(), request.arguments.begin(), request.arguments.end());
  std::vector<char*> argv, envp;
  for (auto& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> environment;
  for (auto& e : request.environment) {
    if (!e.starts_with("LISTEN_FDS=") && !e.starts_with("LISTEN_PID=") &&
        !e.starts_with("LISTEN_FDNAMES="))
      environment.push_back(e);
  }
  const bool namesPid = request.listener >= 0 && spawner::kNamesChildPid;
  if (request.listener >= 0) {
    environment.push_back("LISTEN_FDS=1");
    environment.push_back("LISTEN_FDNAMES=zormak");
  }
  if (namesPid)  // room for the digits the spawner writes in the child
    environment.push_back("LISTEN_PID=" + std::string(20, '0'));
  for (auto& e : environment)
    envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string directory = request.workingDirectory.string();
  spawner::Command command{argv.data(), envp.data(), directory.c_str()};
  command.listener = request.listener;
  if (namesPid)
    command.childPid = environment.back().data() + std::string_view("LISTEN_PID=").size();
  const pid_t pid = spawner::start(command, output.get(), error);
  if (pid < 0)
    return nullptr;

  auto state = std::make_shared<State>();
  std::unique_ptr<ChildProcess> child(new ChildProcess(pid, state));
  child->waiter_ = Worker([pid, state, onExit = std::move(onExit)] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    Termination ended = WIFSIGNALED(status) ? Termination{true, WTERMSIG(status)}
                                            : Termination{false, WEXITSTATUS(status)};
    {
      std::lock_guard lock(state->mutex);
      state->termination = ended;
    }
    if (onExit)
      onExit(ended);
    std::lock_guard lock(state->mutex);
    state->handled = true;
    state->reported.notify_all();
  });
  return child;
}

ChildProcess::~ChildProcess() {
  if (isRunning())
    ::kill(-pid_, SIGKILL);
  waiter_.finish();
}

bool ChildProcess::isRunning() const {
  std::lock_guard lock(state_->mutex);
  return !state_->termination;
}

std::optional<ChildProcess::Termination> ChildProcess::termination() const {
  std::lock_guard lock(state_->mutex);
  return state_->termination;
}

bool ChildProcess::waitForExit(std::chrono::microseconds timeout) {
  std::unique_lock lock(state_->mutex);
  return state_->reported.wait_for(lock, timeout, [this] { return state_->handled; });
}

}  // namespace zormak
