"""The names the server and its page share: job states and download formats.

The page asks the server for these tables (GET /api/meta) instead of
keeping its own copies of the strings.
"""

import enum
import re
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


AUDIO_CODECS = ("m4a", "mp3", "opus")
# Format ids as sites give them; anything else could change the meaning of the engine's selector.
_FORMAT_ID = re.compile(r"[A-Za-z0-9_][A-Za-z0-9_.-]{0,79}")
_PICKED = "id:"


class Format(str):
    """What a job downloads: a preset ("best", a height such as "720p", "audio:mp3") or one format the
    site listed ("id:<format id>"). The string is what the journal, the history and the page see."""

    @property
    def value(self) -> str:
        return str(self)

    @property
    def label(self) -> str:
        if self.value.startswith(_PICKED):
            return f"指定格式 {self.format_id}"
        return _PRESET_LABELS[self.value]

    @property
    def audio_codec(self) -> str | None:
        return self.value[len("audio:"):] if self.value.startswith("audio:") else None

    @property
    def height(self) -> int | None:
        return int(self.value[:-1]) if self.value.endswith("p") and self.value[:-1].isdigit() else None

    def saved(self, height: object) -> str:
        """What was saved, said when a height preset could not be met ("1080p（没有 720p）"); else ""."""
        if not self.height or not isinstance(height, int) or isinstance(height, bool) or height <= 0:
            return ""
        return f"{height}p（没有 {self.height}p）" if height != self.height else ""

    @property
    def format_id(self) -> str | None:
        return self.value[len(_PICKED):] if self.value.startswith(_PICKED) else None

    @property
    def preset(self) -> bool:
        return self.value in _PRESET_LABELS


_PRESET_LABELS = {
    "best": "最佳",
    "1080p": "1080p",
    "720p": "720p",
    "480p": "480p",
    **{f"audio:{codec}": f"仅音频（{codec.upper()}）" for codec in AUDIO_CODECS},
}
# Jobs, history rows and settings written before the presets existed.
_EARLIER = {"video": "best", "audio": "audio:mp3"}
BEST = Format("best")


def parse_format(value: object, presets_only: bool = False) -> "Format | None":
    if not isinstance(value, str):
        return None
    text = _EARLIER.get(value, value)
    if text in _PRESET_LABELS:
        return Format(text)
    if not presets_only and text.startswith(_PICKED) and _FORMAT_ID.fullmatch(text[len(_PICKED):]):
        return Format(text)
    return None


def meta() -> dict[str, Any]:
    """The tables the page needs to show jobs."""
    return {
        "states": {s.value: {"label": s.label, "running": s.running, "open": s.open,
                           "pausable": s.pausable, "resumable": s is State.PAUSED, "retryable": s.retryable}
                   for s in State},
        "formats": {**{old: _PRESET_LABELS[new] for old, new in _EARLIER.items()}, **_PRESET_LABELS},
        "presets": list(_PRESET_LABELS),
    }
