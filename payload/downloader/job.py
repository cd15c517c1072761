"""A download job as the queue holds it in memory, and as it comes back from the journal."""

import os
import threading
import time
from dataclasses import dataclass, field
from typing import Any, ClassVar

from . import extras, processes
from .model import BEST, Format, State, parse_format
from .names import visible
from .store import JobRow, iter_pairs

# A download that got no bytes for this long shows as waiting, not at its last speed.
STALL_AFTER = 3.0


@dataclass(eq=False)
class Job:
    id: int
    url: str
    format: Format
    title: str = ""
    state: State = State.QUEUED
    error: str = ""
    files: list[str] = field(default_factory=list)
    attempt: int = 0
    created: float = field(default_factory=time.time)
    downloaded: int = 0
    total: int | None = None
    speed: float | None = None
    eta: float | None = None
    progress: float | None = None
    # The engine's retries of a broken connection in the current attempt.
    retries: int = 0
    extras: dict[str, Any] = field(default_factory=lambda: dict(extras.NONE))
    # The sub-folder of the download folder the files go to (a playlist's), "" for the folder itself.
    folder: str = ""
    # What a height preset the source could not meet saved instead ("1080p（没有 720p）"); "" otherwise.
    got: str = ""
    # What only the server needs: the staging folder, the live attempt's
    # thread, its cancel signal and what it holds.
    staging: str | None = None
    # The files being put in place, as (staging file, destination) pairs.
    placing: list[tuple[str, str]] = field(default_factory=list)
    # A thread works on the job; a new attempt waits for it to end.
    live: bool = False
    reported: int = 0
    saved_at: float = 0.0
    cancel_event: threading.Event = field(default_factory=threading.Event)
    thread: threading.Thread | None = None
    holdings: processes.Holdings = field(default_factory=processes.Holdings)
    # When the current attempt last received bytes (time.monotonic()).
    last_data: float = 0.0
    # (site, video id), worked out when first needed.
    key: tuple[str, str] | None = None

    PUBLIC: ClassVar[tuple[str, ...]] = ("id", "url", "format", "title", "state", "error", "downloaded", "total",
                                         "speed", "eta", "progress", "created", "retries", "extras", "folder", "got")

    def reset_progress(self) -> None:
        self.downloaded = 0
        self.total = None
        self.speed = None
        self.eta = None
        self.progress = None
        self.reported = 0

    def public(self) -> dict[str, Any]:
        result = {name: getattr(self, name) for name in self.PUBLIC}
        result["title"] = visible(self.title)
        result["files"] = [os.path.basename(f) for f in self.files]
        # yt-dlp reports only when bytes arrive; without them its last speed and
        # time left would stand still, as if the download were still moving.
        result["waiting"] = self.state is State.DOWNLOADING and time.monotonic() - self.last_data >= STALL_AFTER
        if result["waiting"]:
            result["speed"] = 0
            result["eta"] = None
        return result


def job_from_row(row: JobRow) -> Job:
    try:
        state = State(row.state)
    except ValueError:
        state = State.QUEUED
    if state.running or state is State.DONE:
        # Interrupted by the stop: it continues.
        state = State.QUEUED
    job = Job(row.id, row.url, parse_format(row.format) or BEST, title=row.title, state=state,
              error=row.error if state is State.FAILED else "", created=row.created, downloaded=row.downloaded,
              total=row.total, staging=row.staging, extras=extras.from_journal(row.extras),
              folder=row.folder or "", got=row.got or "")
    job.placing = list(iter_pairs(row.placing))
    if row.total:
        job.progress = min(1.0, row.downloaded / row.total)
    return job
