"""The names the server and its page share: job states and download formats.

The page asks the server for these tables (GET /api/meta) instead of
keeping its own copies of the strings.
"""

import enum
from typing import Any


class State(str, enum.Enum):
    QUEUED = "queued"
    DOWNLOADING = "downloading"
    PROCESSING = "processing"
    PAUSED = "paused"
    DONE = "done"
    FAILED = "failed"
    CANCELLED = "cancelled"

    @property
    def label(self) -> str:
        return _STATE_LABELS[self]

    @property
    def running(self) -> bool:
        """A thread is working on the job."""
        return self in (State.DOWNLOADING, State.PROCESSING)

    @property
    def open(self) -> bool:
        """The job has not ended: it can be cancelled, not removed."""
        return self in (State.QUEUED, State.PAUSED) or self.running

    @property
    def pausable(self) -> bool:
        return self is State.QUEUED or self.running

    @property
    def retryable(self) -> bool:
        return self in (State.FAILED, State.CANCELLED)


_STATE_LABELS = {
    State.QUEUED: "排队中",
    State.DOWNLOADING: "下载中",
    State.PROCESSING: "处理中",
    State.PAUSED: "已暂停",
    State.DONE: "已完成",
    State.FAILED: "失败",
    State.CANCELLED: "已取消",
}


class Format(str, enum.Enum):
    VIDEO = "video"
    AUDIO = "audio"

    @property
    def label(self) -> str:
        return "最佳视频" if self is Format.VIDEO else "仅音频"


def parse_format(value: object) -> "Format | None":
    try:
        return Format(value)
    except ValueError:
        return None


def meta() -> dict[str, Any]:
    """The tables the page needs to show jobs."""
    return {
        "states": {s.value: {"label": s.label, "running": s.running, "open": s.open,
                           "pausable": s.pausable, "resumable": s is State.PAUSED, "retryable": s.retryable}
                   for s in State},
        "formats": {f.value: f.label for f in Format},
    }
