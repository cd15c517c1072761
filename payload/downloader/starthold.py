"""The wait at start while an old engine is brought up to date.

The updater begins it before the queue restores its jobs and ends it when
its first check ends, however that check ends. Downloads wait while it is
held, but never longer than its limit: after that they start with whichever
engine is active, and the check goes on beside them.
"""

import threading
from typing import Callable

TEXT = "正在更新下载引擎…"


class StartHold:
    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._held = False
        self._updating = False
        self._listeners: list[Callable[[], None]] = []

    def begin(self) -> None:
        with self._lock:
            self._held = self._updating = True

    def limit(self, seconds: float) -> None:
        """Lets the downloads go after seconds, whether or not the check has ended."""
        timer = threading.Timer(seconds, self.release)
        timer.daemon = True
        timer.start()

    def held(self) -> bool:
        with self._lock:
            return self._held

    def notice(self) -> str | None:
        """What the queue says meanwhile, None when no such check runs."""
        with self._lock:
            return TEXT if self._updating else None

    def on_release(self, listener: Callable[[], None]) -> None:
        with self._lock:
            self._listeners.append(listener)

    def release(self) -> None:
        with self._lock:
            was, self._held = self._held, False
            listeners = list(self._listeners)
        # Outside the lock: a listener (the queue) takes its own lock and asks held().
        if was:
            for listener in listeners:
                listener()

    def end(self) -> None:
        """The check has ended: the queue stops saying so and the downloads go."""
        with self._lock:
            self._updating = False
        self.release()
