// The server's output as it arrives in chunks of any size: the ready URL is
// the first complete line's that parseURL accepts, wherever the chunks are
// cut, and the unfinished line never holds more than the bound.
//
// Input: one byte of control (low 3 bits: number of cuts; high bits: how
// many 4 KiB the rest is repeated to, so streams pass the line bound), that
// many cut bytes, then the stream.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ControllerAccess.h"

namespace {

using Access = zormak::ServerControllerTestAccess;

void check(bool condition) {
  if (!condition)
    std::abort();
}

// The complete lines of the stream: a line feed ends a line unless it
// follows a carriage return.
std::vector<std::string_view> lines(std::string_view stream) {
  std::vector<std::string_view> out;
  size_t start = 0;
  for (size_t i = 0; i < stream.size(); ++i) {
    if (stream[i] == '\n' && (i == 0 || stream[i - 1] != '\r')) {
      out.push_back(stream.substr(start, i - start));
      start = i + 1;
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return 0;
  const size_t cutCount = data[0] & 7;
  if (size < 1 + cutCount)
    return 0;
  std::string_view piece(reinterpret_cast<const char*>(data + 1 + cutCount), size - 1 - cutCount);
  const size_t repeats = 1 + (data[0] >> 3) * size_t{4096} / std::max<size_t>(piece.size(), 1);
  std::string stream;
  for (size_t i = 0; i < repeats; ++i)
    stream.append(piece);

  std::set<size_t> cuts;
  for (size_t i = 0; i < cutCount; ++i)
    cuts.insert(stream.empty() ? 0 : (data[1 + i] * stream.size()) / 255);
  cuts.insert(stream.size());

  // Nothing reaches a disk: the log folder cannot be created under a device.
  auto controller = zormak::ServerController::init(zormak::ServerController::Setup{
      zormak::ServerController::Locations{"/dev/null/zormak-fuzz"}, std::nullopt, nullptr, {}});
  size_t from = 0;
  for (size_t cut : cuts) {
    Access::ingest(*controller, std::string_view(stream).substr(from, cut - from));
    check(Access::lineBufferSize(*controller) <= Access::kMaxLineLength);
    from = cut;
  }

  // A line no longer than the bound is never dropped; a longer one may be,
  // when a chunk ends inside it. So the ready URL is that of the first short
  // line that has one, or of a long line before it.
  std::set<std::string> allowed;
  bool shortLineHasURL = false;
  for (auto line : lines(stream)) {
    if (auto url = Access::parseURL(line)) {
      allowed.insert(*url);
      if (line.size() <= Access::kMaxLineLength) {
        shortLineHasURL = true;
        break;
      }
    }
  }
  auto ready = Access::readyURL(*controller);
  check(ready ? allowed.count(*ready) == 1 : !shortLineHasURL);
  if (stream.size() <= Access::kMaxLineLength)
    check(allowed.size() <= 1);  // so the cuts change nothing
  return 0;
}
