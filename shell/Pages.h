#pragma once

#include <string>
#include <string_view>

namespace zormak::pages {

// The two window titles.
extern const std::string_view kMainTitle;
extern const std::string_view kFailureTitle;

// The starting page, shown until the server is ready.
extern const std::string_view kStartingPage;

// The error page around a controller's message: head piece, the escaped
// message, tail piece.
extern const std::string_view kErrorPageHead;
extern const std::string_view kErrorPageTail;

// Makes a message safe as element content: "&", "<", ">" become entities,
// in that order so no ampersand is escaped twice, then each line feed
// becomes "<br>". Everything else passes unchanged.
std::string escapeMessage(std::string_view message);

std::string errorPage(std::string_view message);

// The error page for a message that may not name the log: its tip then
// names the log at `logPath`, or, when `logExists` is false because it
// could not be written, says where it should have been.
std::string errorPage(std::string_view message, std::string_view logPath, bool logExists);

}  // namespace zormak::pages
