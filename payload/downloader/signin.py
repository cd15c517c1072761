"""The sign-in page of a server started by hand.

The one-time sign-in address must not reach a browser on its command line:
every user of the machine can read command lines in /proc. It goes into a
small page in a folder only this user can enter ($XDG_RUNTIME_DIR, else a
private temporary folder), and the browser is given that file's path.
"""

import html
import os
import stat
import tempfile

from .opener import file_uri

NAME = "zormak-signin.html"


def _private_runtime_dir() -> str | None:
    """$XDG_RUNTIME_DIR when it is an absolute folder of ours that nobody else may enter."""
    folder = os.environ.get("XDG_RUNTIME_DIR", "")
    if not os.path.isabs(folder):
        return None
    try:
        st = os.stat(folder)
    except OSError:
        return None
    if not stat.S_ISDIR(st.st_mode) or st.st_uid != os.getuid() or st.st_mode & 0o077:
        return None
    return folder


def write_page(address: str) -> str:
    """Writes a page that moves on to address, readable by this user alone; returns its path."""
    folder = _private_runtime_dir() or tempfile.mkdtemp(prefix="zormak-")
    path = os.path.join(folder, NAME)
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
    escaped = html.escape(address, quote=True)
    page = (f'<!doctype html><meta charset="utf-8"><meta name="referrer" content="no-referrer">'
            f'<meta http-equiv="refresh" content="0; url={escaped}"><title>ZORMAK 登录</title>'
            f'<p>正在登录 ZORMAK……如果没有自动跳转，请打开：<a href="{escaped}">{escaped}</a></p>\n')
    # O_EXCL: a file or link someone placed there meanwhile is never written through.
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600)
    with os.fdopen(fd, "w", encoding="utf-8") as f:
        f.write(page)
    return path


def page_uri(path: str) -> str:
    return file_uri(path)


def remove_page(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass
    folder = os.path.dirname(path)
    if os.path.basename(folder).startswith("zormak-") and folder != _private_runtime_dir():
        try:
            os.rmdir(folder)
        except OSError:
            pass
