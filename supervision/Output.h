#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace zormak {

// Cuts a server's output into lines as it arrives in chunks of any size.
// Only the bytes each chunk adds are scanned, and an unfinished line longer
// than kMaxLineLength is dropped up to its line end: a progress display
// redrawn with carriage returns for hours would otherwise grow the buffer
// without bound.
//
// A line end is a line feed that is a character of its own: one directly
// after a carriage return forms a single CR LF character with it, also when
// the two arrive in different chunks.
class LineSplitter {
 public:
  static constexpr size_t kMaxLineLength = 64 * 1024;
  using LineHandler = std::function<void(std::string_view line)>;

  // Calls `onLine` for each line the chunk completes, in order, except lines
  // that outgrew the bound.
  void feed(std::string_view chunk, const LineHandler& onLine);
  // Bytes of the unfinished line held for the next chunk.
  size_t bufferedSize() const { return buffer_.size(); }

 private:
  std::string buffer_;
  bool discarding_ = false;  // the unfinished line grew too long
  bool lastByteWasCR_ = false;
};

// Turns a byte stream into valid UTF-8, chunk by chunk. A character whose
// bytes a read boundary cut in two is held back until its rest arrives;
// bytes that can never form a character become U+FFFD, so nothing the
// server printed is lost from the log.
class Utf8Repair {
 public:
  // The valid text of `chunk`, with the unfinished character of the previous
  // chunk in front and an unfinished one at its end held back.
  std::string feed(std::string_view chunk);
  // At the end of the stream: a held-back unfinished character as U+FFFD.
  std::string finish();

 private:
  std::string pending_;  // at most three bytes of a character begun
};

// What the output watcher keeps of one launch between reads.
struct OutputState {
  Utf8Repair utf8;
  LineSplitter lines;
  // The address of the socket the shell gave the server. Only an
  // announcement of it counts: another address in the output (a download
  // from a loopback site, another server's line) is someone else's, and the
  // window would load it and send it the session cookie, which is scoped to
  // the host and so good for every port.
  std::string expectedURL;
};

// The loopback URL a line announces: "http://127.0.0.1:" followed by the run
// of numeric user-perceived characters after its first occurrence, when that
// parses as a URL. Digits of any script count as numeric, so a run that only
// looks like a port may still fail to parse.
std::optional<std::string> parseAnnouncedURL(std::string_view line);

}  // namespace zormak
