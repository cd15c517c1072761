"""The server's log: everything it prints reaches the shell's log file.

Each line is written whole, in one write under a lock, so that concurrent
downloads never run together on one line. Control characters and lone
surrogates coming from addresses or titles are escaped, so that one line of
text stays one line of log.
"""

import re
import sys
import threading
from typing import Callable, Iterable

_lock = threading.Lock()
# Where lines go instead of stdout: a download's own process hands them to the server.
_sink: Callable[[str], None] | None = None
# C0 and C1 controls, the line and paragraph separators, bidirectional
# controls that would reorder the rest of the line, and lone surrogates.
_UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\u202a-\u202e\u2066-\u2069\ud800-\udfff]")


def escape(text: str) -> str:
    """text with every unsafe character written as \\xNN or \\uNNNN."""
    def code(m: re.Match[str]) -> str:
        c = ord(m.group())
        return f"\\x{c:02x}" if c < 0x100 else f"\\u{c:04x}"
    return _UNSAFE.sub(code, text)


def send_to(sink: Callable[[str], None] | None) -> None:
    """Sends every later line to sink (one whole line each) instead of stdout; None: to stdout again."""
    global _sink
    _sink = sink


def _write(text: str) -> None:
    with _lock:
        if _sink is not None:
            _sink(text)
            return
        try:
            sys.stdout.write(text)
            sys.stdout.flush()
        except (OSError, ValueError):
            # The reader is gone (the shell ended); the server still stops in order.
            pass


def say(text: str) -> None:
    """Writes text as one log line."""
    _write(escape(text) + "\n")


def say_lines(lines: Iterable[str]) -> None:
    """Writes several lines (a traceback) in one piece."""
    _write("".join(escape(line) + "\n" for line in lines))


class EngineLogger:
    """yt-dlp's messages as single log lines; its chatter is dropped."""

    def __init__(self, tag: str) -> None:
        self.tag = tag

    def debug(self, msg: str) -> None:
        pass

    def info(self, msg: str) -> None:
        pass

    def warning(self, msg: str) -> None:
        say(f"{self.tag} 提示：{msg.splitlines()[0] if msg else ''}")

    def error(self, msg: str) -> None:
        # yt-dlp raises what it reports here, and the failure's log line gives
        # the same reason; writing it now as well would say it twice.
        pass
