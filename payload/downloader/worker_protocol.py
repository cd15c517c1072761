"""What a download's process and the server say to each other.

The process is started with the engine's sys.path entries as its argument
and imports the engine at once, so that one can be made ready ahead of the
next download. The server then writes one JSON request line to its stdin and
keeps stdin open: its end means the server is gone, and the download stops.
The process answers with JSON lines on stdout, one event each:

    {"progress": {"downloaded", "total", "speed", "eta", "title"}}
    {"retry": n}            the engine retries a broken transfer for the nth time
    {"processing": true}    the post-processing (ffmpeg) began
    {"downloading": true}   a transfer began after a step that runs before the download
    {"log": line}           a line for the server's log
    {"done": {"files", "title"}}
    {"error": message, "reason": text}
"""

import json
import threading
from typing import IO, Any, Iterator

# The process's main module, run with "python -m".
CHILD_MODULE = "downloader.download_process"
# A process made ready for the next download that nobody needed for this long ends.
IDLE_LIMIT = 600.0


class Channel:
    """The events to the server, one whole line each."""

    def __init__(self, stream: IO[str]) -> None:
        self._stream = stream
        self._lock = threading.Lock()

    def send(self, **event: Any) -> None:
        line = json.dumps(event, ensure_ascii=False) + "\n"
        with self._lock:
            try:
                self._stream.write(line)
                self._stream.flush()
            except (OSError, ValueError):
                # The server is gone; the stdin watcher ends this process.
                pass


def read(stream: IO[str]) -> Iterator[dict[str, Any]]:
    """The events in stream, until it ends; a line that is not one is skipped."""
    for line in stream:
        try:
            event = json.loads(line)
        except ValueError:
            continue
        if isinstance(event, dict):
            yield event
