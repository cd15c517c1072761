// The server's output as it arrives in chunks of any size: wherever the
// chunks are cut, the repaired text is the same, the announced URL is the
// first complete line's that parseAnnouncedURL accepts, and the unfinished
// line never holds more than the bound.
//
// Input: one byte of control (low 3 bits: number of cuts; high bits: how
// many 4 KiB the rest is repeated to, so streams pass the line bound), that
// many cut bytes, then the stream.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "Output.h"

namespace {

using zormak::LineSplitter;
using zormak::parseAnnouncedURL;

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

  zormak::Utf8Repair whole, cutRepair;
  const std::string repaired = whole.feed(stream) + whole.finish();
  std::string pieces;
  LineSplitter splitter;
  std::optional<std::string> ready;
  size_t from = 0;
  for (size_t cut : cuts) {
    std::string text = cutRepair.feed(std::string_view(stream).substr(from, cut - from));
    pieces += text;
    splitter.feed(text, [&](std::string_view line) {
      if (!ready)
        ready = parseAnnouncedURL(line);
    });
    check(splitter.bufferedSize() <= LineSplitter::kMaxLineLength);
    from = cut;
  }
  pieces += cutRepair.finish();
  check(pieces == repaired);

  // A line no longer than the bound is never dropped; a longer one may be,
  // when a chunk ends inside it. So the ready URL is that of the first short
  // line that has one, or of a long line before it.
  std::set<std::string> allowed;
  bool shortLineHasURL = false;
  for (auto line : lines(repaired)) {
    if (auto url = parseAnnouncedURL(line)) {
      allowed.insert(*url);
      if (line.size() <= LineSplitter::kMaxLineLength) {
        shortLineHasURL = true;
        break;
      }
    }
  }
  check(ready ? allowed.count(*ready) == 1 : !shortLineHasURL);
  if (repaired.size() <= LineSplitter::kMaxLineLength)
    check(allowed.size() <= 1);  // so the cuts change nothing
  return 0;
}
