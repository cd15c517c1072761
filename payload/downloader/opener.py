"""Opening a finished download, or showing it in its folder, with the desktop's own programs.

Callers hand over only paths the server recorded itself. Before anything is
started the path must still be a regular file: a file that was moved away or
replaced by a link (which could point anywhere, a program included) is refused.

The programs are found through PATH when they are needed, so the tests put
recording stand-ins first in PATH; nothing a request carries reaches the
choice of program or its arguments beyond the recorded path.

macOS has `open` for both: `open PATH` opens the file with its default
application and `open -R PATH` selects it in a Finder window.
"""

import os
import shutil
import stat
import subprocess
import sys
import tempfile
import threading
from typing import IO, Callable
from urllib.parse import quote

from . import errors
from .log import say
from .names import openable

# How long a request waits to learn whether the program started well. Most
# openers hand the file to a running desktop service and end at once; one
# still running after this is taken as started and left to run on its own.
SPAWN_CHECK = 2.0

_FILE_MANAGER = ("gdbus", "call", "--session", "--dest", "org.freedesktop.FileManager1",
                 "--object-path", "/org/freedesktop/FileManager1",
                 "--method", "org.freedesktop.FileManager1.ShowItems")

GONE = "找不到文件“{name}”：它已被移动、改名或删除。请在下载文件夹中查找它，或重新添加这个地址再下载一次。"
NOT_A_FILE = "“{name}”已不是下载时保存的普通文件（可能被替换成了链接或文件夹），为安全起见不会打开它。请在下载文件夹中查看。"
NOT_OPENED = "“{name}”不是视频、音频或字幕文件，为安全起见不会直接打开它，已在文件夹中显示。"
NO_PROGRAM = "系统中没有找到用来打开文件的程序（{programs}）。文件保存在：{path}"
FAILED = "无法打开“{name}”：{program} 报告失败（退出码 {code}），可能没有能打开这种文件的程序。文件保存在：{path}"
SHOWN_INSTEAD = "无法打开“{name}”：系统中没有能打开这种文件的程序（{program} 报告失败，退出码 {code}），已在文件夹中显示。"
# What of a program's complaint goes to the log.
SAID_LIMIT = 500


def file_uri(path: str) -> str:
    """The file:// URI of an absolute path, every byte outside the unreserved set percent-encoded."""
    raw = os.fsencode(path)
    return "file://" + quote(raw, safe="/")


def _check(path: str) -> None:
    """Raises UserError unless path is, itself, a regular file (a link to one is refused)."""
    name = os.path.basename(path)
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        raise errors.UserError(GONE.format(name=name), 404) from None
    except OSError as e:
        raise errors.UserError(GONE.format(name=name) + f"（{e.strerror}）", 404) from None
    if not stat.S_ISREG(st.st_mode):
        raise errors.UserError(NOT_A_FILE.format(name=name), 409)


def _said(err: IO[bytes]) -> str:
    """What a program wrote to its error output, on one line, for the log."""
    try:
        err.seek(0)
        text = err.read(SAID_LIMIT * 4).decode("utf-8", "replace")
    except (OSError, ValueError):
        return ""
    finally:
        err.close()
    return " ".join(text.split())[:SAID_LIMIT]


def _spawn(argv: list[str], late: Callable[[int, str], None]) -> tuple[int | None, str]:
    """Starts argv in a session of its own, without our input or output.

    Its error output goes to an unnamed file of its own (a pipe would hold a program that leaves a
    child behind), so that the log can tell what it said. Returns its exit status and what it said if
    it ended within SPAWN_CHECK seconds, (None, "") if it is still running; then a thread collects it,
    so that it leaves no zombie, and hands a late failure to late."""
    err = tempfile.TemporaryFile()
    try:
        process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=err, start_new_session=True, close_fds=True)
    except OSError:
        err.close()
        raise
    try:
        code = process.wait(SPAWN_CHECK)
    except subprocess.TimeoutExpired:
        def collect() -> None:
            code = process.wait()
            said = _said(err)
            if code != 0:
                late(code, said)
        threading.Thread(target=collect, name="opener-wait", daemon=True).start()
        return None, ""
    return code, _said(err)


def _run_first(candidates: list[list[str]], path: str,
               late: Callable[[str, int], None] | None = None) -> tuple[str, int | None] | None:
    """Runs the first candidate whose program exists, falling back to the next when it fails.

    Returns None if none of the programs exists, else the program that took it and None for its exit
    status if it is still running (late then hears of a failure later); raises Failed if all that exist
    failed."""
    failure: tuple[str, int] | None = None
    for argv in candidates:
        program = shutil.which(argv[0])
        if program is None:
            continue
        name = argv[0]

        def failed_later(code: int, said: str, name: str = name) -> None:
            say(f"[打开] {name} 在后台失败（退出码 {code}）：{path}" + (f"；它说：{said}" if said else ""))
            if late is not None:
                late(name, code)
        try:
            code, said = _spawn([program, *argv[1:]], failed_later)
        except OSError as e:
            say(f"[打开] 无法启动 {name}：{e}")
            failure = (name, -1)
            continue
        if code is None:
            say(f"[打开] 已交给 {name}，它仍在运行：{path}")
            return name, None
        if code == 0:
            return name, 0
        say(f"[打开] {name} 失败（退出码 {code}）：{path}" + (f"；它说：{said}" if said else ""))
        failure = (name, code)
    if failure is None:
        return None
    raise Failed(*failure)


class Failed(Exception):
    def __init__(self, program: str, code: int) -> None:
        super().__init__(program, code)
        self.program = program
        self.code = code


def _openers(target: str) -> list[list[str]]:
    if sys.platform == "darwin":
        return [["open", target]]
    # xdg-open takes no "--"; the absolute path can never read as an option.
    return [["gio", "open", "--", target], ["xdg-open", target]]


def open_file(path: str) -> str | None:
    """Opens the recorded file with the desktop's default application, if it is media or subtitles.

    Anything else (a cover, metadata, a file saved with ".download" appended) could be a program or a
    page that the default application would run: it is shown in its folder instead, and the message
    that says so is returned. So is a file no program would open."""
    _check(path)
    name = os.path.basename(path)
    if not openable(path):
        reveal(path)
        return NOT_OPENED.format(name=name)

    def shown_late(program: str, code: int) -> None:
        # The page has had its answer; the folder at least shows the file.
        try:
            reveal(path)
        except errors.UserError as e:
            say(f"[打开] 也无法在文件夹中显示：{e.message}")
    try:
        started = _run_first(_openers(path), path, shown_late)
    except Failed as e:
        try:
            reveal(path)
        except errors.UserError:
            raise errors.UserError(FAILED.format(name=name, program=e.program, code=e.code,
                                                 path=os.path.dirname(path)), 502) from None
        return SHOWN_INSTEAD.format(name=name, program=e.program, code=e.code)
    if started is None:
        raise errors.UserError(NO_PROGRAM.format(programs="open" if sys.platform == "darwin" else "gio、xdg-open",
                                                 path=os.path.dirname(path)), 503)
    if started[1] == 0:
        say(f"[打开] {started[0]} 已打开：{path}")
    return None


def reveal(path: str) -> None:
    """Shows the recorded file selected in the file manager, or at least opens its folder."""
    _check(path)
    if sys.platform == "darwin":
        candidates = [["open", "-R", path]]
    else:
        # Only a file manager that implements this interface selects the file;
        # otherwise the folder is opened as it is.
        candidates = [[*_FILE_MANAGER, f"['{file_uri(path)}']", ""], *_openers(os.path.dirname(path))]
    try:
        started = _run_first(candidates, path)
    except Failed as e:
        raise errors.UserError(FAILED.format(name=os.path.basename(path), program=e.program, code=e.code,
                                             path=os.path.dirname(path)), 502) from None
    if started is None:
        raise errors.UserError(NO_PROGRAM.format(programs="open" if sys.platform == "darwin" else "gdbus、gio、xdg-open",
                                                 path=os.path.dirname(path)), 503)
    if started[1] == 0:
        say(f"[打开] {started[0]} 已在文件夹中显示：{path}")
