#include "WindowState.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <sstream>

namespace zormak::windowstate {

namespace {

constexpr std::string_view kGroup = "window";
// Larger than any screen; a size beyond it is damage, not a screen.
constexpr int kLargestSide = 32767;

std::string_view trimmed(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string_view::npos)
    return {};
  const auto last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

template <typename T>
std::optional<T> number(std::string_view text) {
  T value{};
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end)
    return std::nullopt;
  return value;
}

std::optional<int> side(std::string_view text) {
  auto value = number<int>(text);
  if (!value || *value < 1 || *value > kLargestSide)
    return std::nullopt;
  return value;
}

std::optional<bool> flag(std::string_view text) {
  if (text == "true")
    return true;
  if (text == "false")
    return false;
  return std::nullopt;
}

std::optional<double> zoomLevel(std::string_view text) {
  auto value = number<double>(text);
  if (!value || !std::isfinite(*value) || *value < zoom::kMinimum || *value > zoom::kMaximum)
    return std::nullopt;
  return value;
}

std::string timeStamp(std::time_t now) {
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
  return text;
}

}  // namespace

std::string format(const WindowState& state) {
  char zoomText[32];
  auto result = std::to_chars(zoomText, zoomText + sizeof zoomText, state.zoom);
  std::ostringstream out;
  out << "[window]\n"
      << "width=" << state.width << "\n"
      << "height=" << state.height << "\n"
      << "maximized=" << (state.maximized ? "true" : "false") << "\n"
      << "zoom=" << std::string_view(zoomText, static_cast<size_t>(result.ptr - zoomText)) << "\n";
  return out.str();
}

Parsed parse(std::string_view text, const WindowState& defaults) {
  Parsed parsed{defaults, false};
  std::optional<std::string_view> group;
  while (!text.empty()) {
    const auto end = text.find('\n');
    const std::string_view line = trimmed(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (line.empty() || line.front() == '#')
      continue;
    if (line.front() == '[' && line.back() == ']') {
      group = line.substr(1, line.size() - 2);
      continue;
    }
    const auto equals = line.find('=');
    if (!group || equals == std::string_view::npos) {
      parsed.damaged = true;
      continue;
    }
    if (*group != kGroup)
      continue;
    const std::string_view key = trimmed(line.substr(0, equals));
    const std::string_view value = trimmed(line.substr(equals + 1));
    // A value that is not understood keeps the field as it was.
    auto take = [](auto read, auto& field) {
      if (read)
        field = *read;
      return read.has_value();
    };
    bool understood = true;
    if (key == "width")
      understood = take(side(value), parsed.state.width);
    else if (key == "height")
      understood = take(side(value), parsed.state.height);
    else if (key == "maximized")
      understood = take(flag(value), parsed.state.maximized);
    else if (key == "zoom")
      understood = take(zoomLevel(value), parsed.state.zoom);
    parsed.damaged = parsed.damaged || !understood;
  }
  return parsed;
}

WindowState fitted(WindowState state, std::optional<ScreenSize> screen, int minWidth,
                   int minHeight) {
  if (screen && screen->width > 0 && screen->height > 0) {
    state.width = std::min(state.width, screen->width);
    state.height = std::min(state.height, screen->height);
  }
  state.width = std::max(state.width, minWidth);
  state.height = std::max(state.height, minHeight);
  return state;
}

std::optional<WindowState> load(const std::filesystem::path& file, const WindowState& defaults,
                                std::time_t now) {
  std::ifstream in(file, std::ios::binary);
  if (!in)
    return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad())
    return std::nullopt;
  Parsed parsed = parse(text.str(), defaults);
  if (parsed.damaged) {
    // Kept for whoever wants to see what went wrong; the next save writes a
    // sound file in its place.
    std::filesystem::path aside = file;
    aside += ".damaged-" + timeStamp(now);
    std::error_code ec;
    std::filesystem::rename(file, aside, ec);
  }
  return parsed.state;
}

bool save(const std::filesystem::path& file, const WindowState& state) {
  const std::string text = format(state);
  std::filesystem::path temporary = file;
  temporary += ".partial";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0)
    return false;
  bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  written = ::fsync(fd) == 0 && written;
  written = ::close(fd) == 0 && written;
  if (!written || ::rename(temporary.c_str(), file.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace zormak::windowstate
