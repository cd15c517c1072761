"""The listening socket: the one the shell hands over, else one of our own.

The shell binds 127.0.0.1 and listens before it starts the server, so that
no other process can take the port between its choice and its use, and
hands the socket over by the socket-activation convention: descriptor 3,
LISTEN_FDS=1, and LISTEN_PID with our pid. A spawner that cannot know the
pid before the program runs (posix_spawn, as on macOS) leaves LISTEN_PID out
and names the descriptor "zormak" in LISTEN_FDNAMES instead; only then is a
descriptor without LISTEN_PID taken. Started by hand, without the
variables, the server binds the port itself.
"""

import os
import socket

VARIABLES = ("LISTEN_FDS", "LISTEN_PID", "LISTEN_FDNAMES")
NAME = "zormak"
FIRST = 3


class HandoverError(OSError):
    """The variables promise a socket that descriptor 3 is not."""


def handed_over(port: int) -> socket.socket | None:
    """The socket handed over for 127.0.0.1:port, or None when none was.

    The variables leave the environment either way: a download's processes
    must never take descriptor 3 for a socket of theirs."""
    count, pid, names = (os.environ.pop(name, None) for name in VARIABLES)
    if count != "1":
        return None
    if pid is not None and pid != str(os.getpid()):
        return None  # meant for the process that started us
    if pid is None and names != NAME:
        return None
    try:
        sock = socket.socket(fileno=FIRST)
    except OSError as e:
        raise HandoverError(e.errno, f"描述符 {FIRST} 不是套接字（{e.strerror or e}）") from None
    # Not passed on to anything the server starts.
    sock.set_inheritable(False)
    try:
        listening = sock.getsockopt(socket.SOL_SOCKET, socket.SO_ACCEPTCONN)
        address = sock.getsockname()
    except OSError as e:
        sock.close()
        raise HandoverError(e.errno, f"无法读取交给的套接字（{e.strerror or e}）") from None
    if sock.family != socket.AF_INET or sock.type != socket.SOCK_STREAM or not listening \
            or tuple(address) != ("127.0.0.1", port):
        sock.close()
        raise HandoverError(0, f"交给的套接字不是 127.0.0.1:{port} 上的监听套接字")
    return sock
