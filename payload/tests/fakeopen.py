"""Stand-ins for the desktop's openers (gio, xdg-open, gdbus) that record how
they were called, in a folder the tests put on the server's PATH; ffmpeg is
linked in beside them, so the folder alone makes a PATH that downloads work on."""

import contextlib
import os
import shutil
import tempfile

from support import link_tools

FAKE = r"""#!/bin/sh
here="${0%/*}"
PATH=/usr/bin:/bin
{ printf '%s' "${0##*/}"; for a in "$@"; do printf '\t%s' "$a"; done; printf '\n'; } >> "$here/calls.log"
read -r _ _ _ _ _ sid _ < /proc/$$/stat
printf '%s %s %s %s %s\n' "$$" "$sid" "$(readlink /proc/$$/fd/0)" "$(readlink /proc/$$/fd/1)" \
    "$(readlink /proc/$$/fd/2)" >> "$here/procs.log"
[ -f "$0.sleep" ] && sleep "$(cat "$0.sleep")"
[ -f "$0.says" ] && cat "$0.says" >&2
exit "$(cat "$0.exit" 2>/dev/null || echo 0)"
"""
NAMES = ("gio", "xdg-open", "gdbus")


class FakeOpeners:
    def __init__(self) -> None:
        self.bin = link_tools(tempfile.mkdtemp(prefix="zormak-fakebin-"), "ffmpeg", "ffprobe")
        for name in NAMES:
            self.install(name)

    def close(self) -> None:
        shutil.rmtree(self.bin, True)

    def install(self, name: str, exit_code: int = 0, sleep: float = 0, says: str = "") -> None:
        """(Re)places the stand-in for name: it ends with exit_code after sleeping this many seconds,
        with says on its error output."""
        path = os.path.join(self.bin, name)
        # Replaced by a rename: the previous stand-in may still be starting or running (one that
        # keeps running), and writing into a file being executed fails with "Text file busy".
        with open(path + ".new", "w") as f:
            f.write(FAKE)
        os.chmod(path + ".new", 0o755)
        os.replace(path + ".new", path)
        for suffix, value in ((".exit", exit_code), (".sleep", sleep), (".says", says)):
            if value:
                with open(path + suffix, "w") as f:
                    f.write(str(value))
            elif os.path.exists(path + suffix):
                os.remove(path + suffix)

    def remove(self, name: str) -> None:
        os.remove(os.path.join(self.bin, name))

    def _log(self, name: str) -> list[str]:
        try:
            with open(os.path.join(self.bin, name), encoding="utf-8") as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def calls(self) -> list[list[str]]:
        """Each call's program name and arguments, in order."""
        return [line.split("\t") for line in self._log("calls.log")]

    def processes(self) -> list[list[str]]:
        """Each call's pid, session id and where its stdin, stdout and stderr led."""
        return [line.split() for line in self._log("procs.log")]

    def forget(self) -> None:
        for name in ("calls.log", "procs.log"):
            with contextlib.suppress(FileNotFoundError):
                os.remove(os.path.join(self.bin, name))
