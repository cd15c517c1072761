"""Video pictures for the parse result and the chooser: fetched by the server, served from our own origin.

The page's content security policy lets it load images from our origin
alone, so a site's picture reaches it through /api/thumbnails/KEY. The key
names an address the engine reported for a video the user asked about; the
page never names an address of its own. Whatever the site's data says, the
fetch takes http(s) only, through the user's proxy settings, within a time
and a size, and keeps only JPEG, PNG, GIF and WebP pictures (checked by
their first bytes: an SVG could carry script). A site on the open internet
cannot make us reach this machine or the local network: its picture
addresses must lead to public addresses, checked on the address we connect
to, so a name that changes its answer between the check and the connection
gains nothing. Only a page the user named on such an address (a media
server at home) may have its pictures there too. Pictures are kept in
data/thumbnails, the oldest removed beyond a total size.
"""

import base64
import hashlib
import http.client
import ipaddress
import os
import socket
import threading
import time
import urllib.request
from collections import OrderedDict
from typing import Any, Callable
from urllib.parse import unquote, urljoin, urlsplit

from . import errors
from .ask import Cache
from .settings import Settings

FOLDER = "thumbnails"
# A video's picture is tens of KB, a large one a few hundred.
MAX_BYTES = 2 << 20
CACHE_LIMIT = 32 << 20
# From the first connection to the last byte.
TIMEOUT = 10.0
MAX_REDIRECTS = 3
# Fetches at once; a chooser of many entries waits for a slot rather than failing.
MAX_RUNNING = 4
# Keys the server remembers the address of; a listing holds at most a few thousand entries.
REMEMBERED = 8192
# The picture width the page shows (two pixels per point on a dense screen) and looks for first.
WANTED_WIDTH = 320

_SIGNATURES: tuple[tuple[bytes, str], ...] = (
    (b"\xff\xd8\xff", "image/jpeg"), (b"\x89PNG\r\n\x1a\n", "image/png"), (b"GIF87a", "image/gif"),
    (b"GIF89a", "image/gif"))
_DECLARED = {"image/jpeg", "image/jpg", "image/pjpeg", "image/png", "image/gif", "image/webp"}
_REDIRECTS = {301, 302, 303, 307, 308}
USER_AGENT = "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/605.1.15 (KHTML, like Gecko)"


class Refused(Exception):
    """A picture that is not fetched or not kept; the reason is for the log and the tests."""


def image_type(data: bytes) -> str | None:
    """The picture's type by its first bytes, None for anything else."""
    for signature, kind in _SIGNATURES:
        if data.startswith(signature):
            return kind
    if data[:4] == b"RIFF" and data[8:12] == b"WEBP":
        return "image/webp"
    return None


def inside(ip: str) -> bool:
    """Whether an address is this machine's or a private network's, not the open internet's."""
    try:
        address = ipaddress.ip_address(ip.split("%", 1)[0])
    except ValueError:
        return True
    if isinstance(address, ipaddress.IPv6Address) and address.ipv4_mapped:
        address = address.ipv4_mapped
    return not address.is_global or address.is_multicast


def _resolve(host: str, port: int) -> list[tuple[Any, ...]]:
    try:
        return list(socket.getaddrinfo(host, port, type=socket.SOCK_STREAM))
    except (OSError, UnicodeError) as e:
        raise Refused(f"无法解析 {host}（{e}）") from None


def _host_inside(host: str, port: int) -> bool:
    """Whether host resolves to an address inside; a name that does not resolve here counts as outside."""
    try:
        return any(inside(str(info[4][0])) for info in _resolve(host, port))
    except Refused:
        return False


def named_inside(url: str) -> bool:
    """Whether the host of url is on this machine or the local network."""
    try:
        parts = urlsplit(url)
        return _host_inside(parts.hostname or "", parts.port or 80)
    except ValueError:
        return False


def pick(info: dict[str, Any]) -> str | None:
    """The address of the picture that suits the page among those the engine reported for a video:
    the smallest at least WANTED_WIDTH wide, else the engine's own choice, else its last."""
    listed = [t for t in info.get("thumbnails") or [] if isinstance(t, dict) and isinstance(t.get("url"), str)]
    wide = [t for t in listed if isinstance(t.get("width"), int) and t["width"] >= WANTED_WIDTH]
    if wide:
        return str(min(wide, key=lambda t: t["width"])["url"])
    if isinstance(info.get("thumbnail"), str):
        return str(info["thumbnail"])
    return str(listed[-1]["url"]) if listed else None


class Thumbnails:
    def __init__(self, settings: Settings, data_dir: str, timeout: float = TIMEOUT, limit: int = MAX_BYTES,
                 cache_limit: int = CACHE_LIMIT) -> None:
        self.settings = settings
        self.folder = os.path.join(data_dir, FOLDER)
        self.timeout = timeout
        self.limit = limit
        self.cache_limit = cache_limit
        self._known: OrderedDict[str, tuple[str, str]] = OrderedDict()
        self._lock = threading.Lock()
        self._slots = threading.BoundedSemaphore(MAX_RUNNING)

    def link(self, picture: object, page: str) -> str | None:
        """Our own address for picture, reported for a video of page; None when it is not http(s)."""
        if not isinstance(picture, str):
            return None
        try:
            picture = errors.check_address(urljoin(page, picture.strip()))
        except (errors.UserError, ValueError):
            return None
        key = hashlib.sha256(picture.encode("utf-8")).hexdigest()[:32]
        with self._lock:
            self._known[key] = (picture, page)
            self._known.move_to_end(key)
            while len(self._known) > REMEMBERED:
                self._known.popitem(last=False)
        return f"/api/thumbnails/{key}"

    def linker(self, page: str) -> Callable[[dict[str, Any]], str | None]:
        return lambda info: self.link(pick(info), page)

    def get(self, key: str) -> tuple[bytes, str]:
        """The picture of key and its type, from the cache or the site; Refused when there is none to show."""
        path = os.path.join(self.folder, key)
        try:
            with open(path, "rb") as f:
                data = f.read(self.limit + 1)
            kind = image_type(data)
            if kind and len(data) <= self.limit:
                return data, kind
        except OSError:
            pass
        with self._lock:
            known = self._known.get(key)
        if known is None:
            raise Refused("没有这个图片")
        if not self._slots.acquire(timeout=self.timeout):
            raise Refused("同时获取的图片太多")
        try:
            data, kind = self.fetch(*known)
        finally:
            self._slots.release()
        self._keep(path, data)
        return data, kind

    def _keep(self, path: str, data: bytes) -> None:
        try:
            os.makedirs(self.folder, exist_ok=True)
            part = f"{path}.{threading.get_ident()}.part"
            with open(part, "wb") as f:
                f.write(data)
            os.replace(part, path)
            Cache(self.folder).trim(self.cache_limit)
        except OSError:
            pass  # Without the cache the picture is only fetched again.

    # ---- the fetch ----

    def fetch(self, url: str, page: str) -> tuple[bytes, str]:
        """The picture at url, following a few redirects, each checked like the first."""
        deadline = time.monotonic() + self.timeout
        may_be_inside = named_inside(page)
        for _ in range(MAX_REDIRECTS + 1):
            response, conn = self._request(url, may_be_inside, deadline)
            try:
                if response.status in _REDIRECTS and response.getheader("Location"):
                    url = errors.check_address(urljoin(url, response.getheader("Location", "")))
                    continue
                return self._body(response, conn, deadline)
            except errors.UserError as e:
                raise Refused(f"转向了不能使用的地址（{e.message}）") from None
            finally:
                conn.close()
        raise Refused("转向次数太多")

    def _body(self, response: http.client.HTTPResponse, conn: http.client.HTTPConnection,
              deadline: float) -> tuple[bytes, str]:
        if response.status != 200:
            raise Refused(f"网站回答 HTTP {response.status}")
        declared = (response.getheader("Content-Type") or "").split(";")[0].strip().lower()
        if declared not in _DECLARED:
            raise Refused(f"不是图片（{declared or '没有类型'}）")
        length = response.getheader("Content-Length") or ""
        if length.isdigit() and int(length) > self.limit:
            raise Refused(f"图片太大（{length} 字节）")
        data = bytearray()
        while chunk := self._read(response, conn, deadline):
            data += chunk
            if len(data) > self.limit:
                raise Refused("图片太大")
        kind = image_type(bytes(data))
        if kind is None:
            raise Refused("内容不是可以显示的图片")
        return bytes(data), kind

    def _read(self, response: http.client.HTTPResponse, conn: http.client.HTTPConnection, deadline: float) -> bytes:
        left = deadline - time.monotonic()
        if left <= 0:
            raise Refused("网站太慢")
        if conn.sock is not None:
            conn.sock.settimeout(left)
        try:
            # read1: one receive at a time, so that a site sending a byte now and then meets the deadline.
            return response.read1(1 << 16)
        except (OSError, http.client.HTTPException) as e:
            raise Refused("网站太慢" if isinstance(e, TimeoutError) else f"连接中断（{e}）") from None

    def _request(self, url: str, may_be_inside: bool,
                 deadline: float) -> tuple[http.client.HTTPResponse, http.client.HTTPConnection]:
        parts = urlsplit(url)
        scheme, host = parts.scheme.lower(), parts.hostname or ""
        port = parts.port or (443 if scheme == "https" else 80)
        target = parts.path or "/"
        if parts.query:
            target += "?" + parts.query
        headers = {"User-Agent": USER_AGENT, "Accept": "image/webp,image/png,image/jpeg,image/gif"}
        proxy = self._proxy(scheme, host)
        left = max(0.1, deadline - time.monotonic())
        conn: http.client.HTTPConnection
        if proxy is None:
            conn = (http.client.HTTPSConnection if scheme == "https" else http.client.HTTPConnection)(
                host, port, timeout=left)
            # Connects only to an address that passed the check, never to one looked up again.
            conn._create_connection = _vetted(may_be_inside)  # type: ignore[attr-defined]
        else:
            # The proxy reaches the site; the site's name is checked here as far as it resolves here.
            if not may_be_inside and _host_inside(host, port):
                raise Refused(f"{host} 是本机或局域网的地址")
            proxy_host, proxy_port, auth = proxy
            if auth:
                headers["Proxy-Authorization"] = auth
            if scheme == "https":
                conn = http.client.HTTPSConnection(proxy_host, proxy_port, timeout=left)
                conn.set_tunnel(host, port, headers={"Proxy-Authorization": auth} if auth else None)
                headers.pop("Proxy-Authorization", None)
            else:
                conn = http.client.HTTPConnection(proxy_host, proxy_port, timeout=left)
                target = url.split("#", 1)[0]
        try:
            conn.request("GET", target, headers={**headers, "Host": parts.netloc.rsplit("@", 1)[-1]})
            return conn.getresponse(), conn
        except Refused:
            conn.close()
            raise
        except (OSError, http.client.HTTPException) as e:
            conn.close()
            raise Refused("网站太慢" if isinstance(e, TimeoutError) else f"无法连接（{e}）") from None

    def _proxy(self, scheme: str, host: str) -> tuple[str, int, str] | None:
        """(host, port, Proxy-Authorization) of the proxy the engine would use for scheme, or None for none."""
        proxy = str(self.settings.get().get("proxy") or "")
        if not proxy:
            # As the engine does without a proxy setting: the environment's, minus its exceptions.
            if urllib.request.proxy_bypass(host):
                return None
            proxy = urllib.request.getproxies().get(scheme, "")
            if not proxy:
                return None
        if "://" not in proxy:
            proxy = "http://" + proxy
        parts = urlsplit(proxy)
        if parts.scheme.lower() != "http" or not parts.hostname:
            # A SOCKS proxy is not spoken here; going around it would tell the site what the user hid.
            raise Refused("图片不能经过这种代理获取")
        auth = ""
        if parts.username is not None:
            pair = f"{unquote(parts.username)}:{unquote(parts.password or '')}".encode("utf-8")
            auth = "Basic " + base64.b64encode(pair).decode("ascii")
        return parts.hostname, parts.port or 80, auth


def _vetted(may_be_inside: bool) -> Callable[..., socket.socket]:
    """socket.create_connection for http.client, refusing addresses inside unless may_be_inside."""
    def connect(address: tuple[str, int], timeout: float | None = None, source_address: Any = None,
                *args: Any) -> socket.socket:
        host, port = address
        found = _resolve(host, port)
        usable = [info for info in found if may_be_inside or not inside(str(info[4][0]))]
        if not usable:
            raise Refused(f"{host} 是本机或局域网的地址")
        failure: OSError | None = None
        for family, kind, proto, _, sockaddr in usable:
            sock = socket.socket(family, kind, proto)
            try:
                sock.settimeout(timeout)
                sock.connect(sockaddr)
                return sock
            except OSError as e:
                sock.close()
                failure = e
        raise failure or OSError("no address")
    return connect
