#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "UniqueFd.h"
#include "Worker.h"

namespace zormak {

// Reads a pipe on a thread of its own and hands each chunk on as it arrives.
// The handler runs one call at a time, in the order of the bytes, and once
// more with `end` set when the writers have closed the pipe.
//
// The reader stops when its object goes: a second pipe wakes it, and the
// object returns once the thread has left (see Worker).
class PipeReader {
 public:
  using ChunkHandler = std::function<void(std::string_view chunk, bool end)>;

  PipeReader(UniqueFd pipe, ChunkHandler onChunk);
  ~PipeReader();
  PipeReader(const PipeReader&) = delete;
  PipeReader& operator=(const PipeReader&) = delete;

  // Hands on, before it returns, everything the pipe holds at this moment.
  // Once the writer has ended, everything it wrote is in the pipe, so a
  // caller that knows it has ended sees all of it through the handler.
  void drain();

 private:
  struct State;
  std::shared_ptr<State> state_;
  Worker thread_;
};

}  // namespace zormak
