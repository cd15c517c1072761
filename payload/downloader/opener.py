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
import threading
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


def _spawn(argv: list[str]) -> int | None:
    """Starts argv in a session of its own, without our input or output.

    Returns its exit status if it ended within SPAWN_CHECK seconds, None if it
    is still running; then a thread collects it so that it leaves no zombie."""
    process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, start_new_session=True, close_fds=True)
    try:
        return process.wait(SPAWN_CHECK)
    except subprocess.TimeoutExpired:
        threading.Thread(target=process.wait, name="opener-wait", daemon=True).start()
        return None


def _run_first(candidates: list[list[str]], path: str) -> bool:
    """Runs the first candidate whose program exists, falling back to the next when it fails.

    Returns False if none of the programs exists; raises UserError if all that exist failed."""
    failure: tuple[str, int] | None = None
    for argv in candidates:
        program = shutil.which(argv[0])
        if program is None:
            continue
        try:
            code = _spawn([program, *argv[1:]])
        except OSError as e:
            say(f"[打开] 无法启动 {argv[0]}：{e}")
            failure = (argv[0], -1)
            continue
        if code is None or code == 0:
            return True
        say(f"[打开] {argv[0]} 退出码 {code}：{path}")
        failure = (argv[0], code)
    if failure is None:
        return False
    raise errors.UserError(FAILED.format(name=os.path.basename(path), program=failure[0], code=failure[1],
                                         path=os.path.dirname(path)), 502)


def _openers(target: str) -> list[list[str]]:
    if sys.platform == "darwin":
        return [["open", target]]
    # xdg-open takes no "--"; the absolute path can never read as an option.
    return [["gio", "open", "--", target], ["xdg-open", target]]


def open_file(path: str) -> str | None:
    """Opens the recorded file with the desktop's default application, if it is media or subtitles.

    Anything else (a cover, metadata, a file saved with ".download" appended) could be a program or a
    page that the default application would run: it is shown in its folder instead, and the message
    that says so is returned."""
    _check(path)
    if not openable(path):
        reveal(path)
        return NOT_OPENED.format(name=os.path.basename(path))
    if not _run_first(_openers(path), path):
        raise errors.UserError(NO_PROGRAM.format(programs="open" if sys.platform == "darwin" else "gio、xdg-open",
                                                 path=os.path.dirname(path)), 503)
    say(f"[打开] 已打开：{path}")
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
    if not _run_first(candidates, path):
        raise errors.UserError(NO_PROGRAM.format(programs="open" if sys.platform == "darwin" else "gdbus、gio、xdg-open",
                                                 path=os.path.dirname(path)), 503)
    say(f"[打开] 已在文件夹中显示：{path}")
