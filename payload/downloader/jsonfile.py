"""Files of JSON the server keeps (settings, the engine record, the update state): written whole or not
at all, and a damaged one moved aside rather than overwritten, so that nothing the user had is lost."""

import contextlib
import json
import os
import threading
import time
from typing import Any


# What load gives for a file that is not there (a file may hold null).
ABSENT: Any = object()


class Unreadable(Exception):
    """The file is there but cannot be read or is not JSON; str() says why."""


def load(path: str) -> Any:
    """The value in path; ABSENT if there is no such file."""
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except FileNotFoundError:
        return ABSENT
    except (OSError, ValueError) as e:
        raise Unreadable(e.strerror if isinstance(e, OSError) and e.strerror else str(e)) from e


def set_aside(path: str) -> str | None:
    """Renames path (and its SQLite companions) to path.damaged-TIME; returns the new name, None if it failed."""
    stamp = time.strftime("%Y%m%d-%H%M%S")
    target = f"{path}.damaged-{stamp}"
    n = 1
    while os.path.lexists(target):
        n += 1
        target = f"{path}.damaged-{stamp}-{n}"
    try:
        os.rename(path, target)
    except OSError:
        return None
    for suffix in ("-wal", "-shm", "-journal"):
        if os.path.lexists(path + suffix):
            try:
                os.rename(path + suffix, target + suffix)
            except OSError:
                pass
    return target


def write(path: str, value: Any) -> None:
    """Replaces path with value as JSON: written to a temporary file, flushed to disk, renamed."""
    tmp = f"{path}.tmp-{os.getpid()}-{threading.get_ident()}"
    try:
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump(value, f, ensure_ascii=False, indent=2)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
    with contextlib.suppress(OSError):
        fd = os.open(os.path.dirname(path), os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)
