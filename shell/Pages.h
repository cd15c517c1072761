#pragma once

#include <string>
#include <string_view>

namespace zormak::pages {

// The window titles.
extern const std::string_view kMainTitle;
extern const std::string_view kFailureTitle;
extern const std::string_view kStoppedTitle;
extern const std::string_view kLoadFailureTitle;

// The starting page, shown until the server is ready.
extern const std::string_view kStartingPage;

// The error page around a controller's message: head piece, the escaped
// message, tail piece.
extern const std::string kErrorPageHead;
extern const std::string kErrorPageTail;

// The address the stopped page's button navigates to; the shell answers it
// and the web view never loads it.
extern const std::string_view kRestartURI;

// Makes a message safe as element content: "&", "<", ">" become entities,
// in that order so no ampersand is escaped twice, then each line feed
// becomes "<br>". Everything else passes unchanged.
std::string escapeMessage(std::string_view message);

// A start that failed.
std::string errorPage(std::string_view message);
// A server that ended after it was ready, with the button that starts it
// again.
std::string stoppedPage(std::string_view message);
// A served application that could not be loaded although its server runs.
std::string loadFailurePage(std::string_view message);

// The error page for a message that may not name the log: its tip then
// names the log at `logPath`, or, when `logExists` is false because it
// could not be written, says where it should have been.
std::string errorPage(std::string_view message, std::string_view logPath, bool logExists);

}  // namespace zormak::pages
