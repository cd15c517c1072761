#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zormak::links {

// Addresses reach the window from outside it: the command line, a `zormak:`
// address a browser opened, a drop, the clipboard. Whatever comes is only
// ever offered to the user; these functions find the web addresses in it
// and drop everything else, so no other scheme (file:, a desktop entry, our
// own built-in addresses) is ever put in front of the page.

// More than this many addresses in one hand-over are dropped, and so is one
// address longer than kMaxLength bytes: nobody pastes such a thing, and the
// page should not be flooded by a caller on the session bus.
inline constexpr std::size_t kMaxAddresses = 50;
inline constexpr std::size_t kMaxLength = 4096;

// The scheme the launcher entry registers.
inline constexpr std::string_view kScheme = "zormak";

// True for an absolute http or https URL with a host that parses, given
// whole (no white space or control characters anywhere).
bool isWebAddress(std::string_view text);

// The web addresses in free text (share text, a paragraph, several lines),
// in order and each once. An address ends at white space, at quotes and
// angle brackets, and at the first non-ASCII character (share texts put
// Chinese words right after it); a trailing full stop, comma or closing
// bracket without its opening one is punctuation, not part of it.
std::vector<std::string> fromText(std::string_view text);

// The web addresses of a text/uri-list (RFC 2483: one per line, CR LF or LF,
// "#" lines are comments).
std::vector<std::string> fromUriList(std::string_view list);

// The web address a `zormak:` address carries: "zormak:https://…",
// "zormak:https%3A%2F%2F…" (what a bookmarklet's encodeURIComponent gives)
// or "zormak://add?url=…" with the address percent-encoded. None for
// anything else, our built-in "zormak:restart-server" among them.
std::optional<std::string> fromSchemeAddress(std::string_view address);

// What a launch hands over: its arguments that are web addresses or
// `zormak:` addresses carrying one, in order and each once; every other
// argument is ignored.
std::vector<std::string> fromArguments(const std::vector<std::string>& arguments);

// `text` as a JSON string literal, or none when it is not valid UTF-8 (a
// folder's name on Linux may be any bytes). Line and paragraph separators
// are escaped too, so the literal is also a valid JavaScript expression.
std::optional<std::string> jsonString(std::string_view text);

}  // namespace zormak::links
