#include "PipeReader.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>

#include "System.h"

namespace zormak {

struct PipeReader::State {
  UniqueFd pipe;
  UniqueFd wakeRead, wakeWrite;
  ChunkHandler onChunk;
  std::mutex mutex;  // one reader of the pipe and one handler call at a time
  bool ended = false;
  std::string buffer = std::string(64 * 1024, '\0');

  // Reads until the pipe is empty or closed; with the mutex held. Returns
  // whether the pipe is still open.
  bool readAvailable() {
    while (!ended) {
      ssize_t n = ::read(pipe.get(), buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return true;
      if (n <= 0) {
        ended = true;  // the writers closed it, or it failed
        onChunk({}, true);
        return false;
      }
      onChunk(std::string_view(buffer.data(), static_cast<size_t>(n)), false);
    }
    return false;
  }
};

PipeReader::PipeReader(UniqueFd pipe, ChunkHandler onChunk) : state_(std::make_shared<State>()) {
  state_->pipe = std::move(pipe);
  state_->onChunk = std::move(onChunk);
  // Non-blocking, so that a drain never waits for a writer that lives on.
  int flags = ::fcntl(state_->pipe.get(), F_GETFL);
  ::fcntl(state_->pipe.get(), F_SETFL, flags | O_NONBLOCK);
  sys::makePipe(state_->wakeRead, state_->wakeWrite);
  thread_ = Worker([state = state_] {
    for (;;) {
      pollfd fds[2] = {{state->pipe.get(), POLLIN, 0}, {state->wakeRead.get(), POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR)
          continue;
        return;
      }
      if (fds[1].revents != 0)
        return;  // the owner has gone
      std::lock_guard lock(state->mutex);
      if (!state->readAvailable())
        return;
    }
  });
}

PipeReader::~PipeReader() {
  char wake = 0;
  ssize_t ignored = ::write(state_->wakeWrite.get(), &wake, 1);
  (void)ignored;
  thread_.finish();
}

void PipeReader::drain() {
  std::lock_guard lock(state_->mutex);
  state_->readAvailable();
}

}  // namespace zormak
