#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zormak::text {

// True when the bytes are well-formed UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF).
bool isValidUtf8(std::string_view bytes);

// Removes white space and line breaks from both ends: U+0009...U+000D,
// U+0085 and every character of General Category Z. The text must be valid
// UTF-8.
std::string_view trimWhitespaceAndNewlines(std::string_view utf8);

// Equality of two UTF-8 texts up to canonical equivalence.
bool canonicallyEqual(std::string_view a, std::string_view b);

// The text with ASCII letters in lower case; other bytes as they are (host
// names, schemes and driver names compare this way).
std::string asciiLower(std::string_view text);

// The whole file as UTF-8 text; nothing when it is missing, unreadable or not
// valid UTF-8.
std::optional<std::string> readUtf8File(const std::string& path);

}  // namespace zormak::text
