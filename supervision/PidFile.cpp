#include "PidFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

#include "Text.h"
#include "UniqueFd.h"

namespace zormak {

std::optional<std::int32_t> PidFile::parse(std::string_view text) {
  if (text.empty())
    return std::nullopt;
  bool negative = false;
  if (text.front() == '+' || text.front() == '-') {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty())
    return std::nullopt;
  std::int64_t value = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9')
      return std::nullopt;
    value = value * 10 + (ch - '0');
    if (value > std::int64_t{INT32_MAX} + 1)
      return std::nullopt;
  }
  if (negative)
    value = -value;
  if (value < INT32_MIN || value > INT32_MAX)
    return std::nullopt;
  return static_cast<std::int32_t>(value);
}

std::optional<std::int32_t> PidFile::read() const {
  auto content = text::readUtf8File(path_.string());
  if (!content)
    return std::nullopt;
  return parse(text::trimWhitespaceAndNewlines(*content));
}

int PidFile::write(std::int64_t value) const {
  const std::string content = std::to_string(value) + "\n";
  std::filesystem::path temporary = path_;
  temporary += ".new";
  int error = 0;
  {
    UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd)
      return errno;
    std::string_view rest = content;
    while (!rest.empty()) {
      ssize_t n = ::write(fd.get(), rest.data(), rest.size());
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0) {
        error = n < 0 ? errno : EIO;
        break;
      }
      rest.remove_prefix(static_cast<size_t>(n));
    }
    // On the disk before the rename, so that a crash right after it never
    // leaves an empty file under the real name.
    if (error == 0 && ::fsync(fd.get()) != 0)
      error = errno;
    if (error == 0 && ::close(fd.release()) != 0)
      error = errno;
  }
  if (error == 0 && ::rename(temporary.c_str(), path_.c_str()) != 0)
    error = errno;
  if (error != 0)
    ::unlink(temporary.c_str());
  return error;
}

void PidFile::remove() const {
  ::unlink(path_.c_str());
}

}  // namespace zormak
