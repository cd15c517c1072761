"""Who is at the other end of a loopback connection.

Linux lists every TCP socket of the machine, with its owner's uid, in
/proc/net/tcp and /proc/net/tcp6. The peer's own socket is the row whose
local address is the peer's address and port and whose remote address is
our end; its uid says which user connected. The connection is closed at
accept when that is another user, before a byte of it is read.

macOS has no such table for TCP; there the owner would be found with
proc_pidfdinfo(PROC_PIDFDSOCKETINFO) over the user's own processes (a
socket not found among them is someone else's), or the server relies on the
session cookie alone. Where no table exists every peer is taken as ours and
the cookie decides.
"""

import ipaddress
import os
import sys

TABLES = ("/proc/net/tcp", "/proc/net/tcp6")
# The prefix of an IPv4 address mapped into IPv6 (::ffff:a.b.c.d), as the tcp6 table writes it.
_MAPPED = "0000000000000000FFFF0000"


def _hex(host: str, port: int, wide: bool) -> str:
    """host:port as the kernel's tables spell it: each 32-bit word of the address in host byte order."""
    ip = ipaddress.ip_address(host)
    if wide and ip.version == 4:
        prefix, packed = _MAPPED, ip.packed
    else:
        prefix, packed = "", ip.packed
    words = "".join("%08X" % int.from_bytes(packed[i:i + 4], sys.byteorder) for i in range(0, len(packed), 4))
    return f"{prefix}{words}:{port:04X}"


def available() -> bool:
    return os.path.exists(TABLES[0])


def owner(peer: tuple[str, int], local: tuple[str, int]) -> int | None:
    """The uid owning the socket at peer that is connected to local; None when no table shows it."""
    for table in TABLES:
        wide = table.endswith("6")
        try:
            want_peer, want_local = _hex(*peer[:2], wide), _hex(*local[:2], wide)
        except ValueError:
            continue
        try:
            with open(table, encoding="ascii") as f:
                next(f, None)
                for line in f:
                    fields = line.split()
                    if len(fields) > 7 and fields[1] == want_peer and fields[2] == want_local:
                        return int(fields[7])
        except (OSError, ValueError):
            continue
    return None


def is_ours(peer: tuple[str, int], local: tuple[str, int]) -> bool:
    """True if the peer runs as our own user, or if this system cannot tell."""
    if not available():
        return True
    return owner(peer, local) == os.getuid()
