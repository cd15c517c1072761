"""One bounded fetch over the network for the engine's and deno's files: through the user's proxy, with a
timeout, a size limit, and a failure that says what went wrong in words the page can show."""

import errno
import http.client
import http.server
import os
import socket
import urllib.error
import urllib.request
from urllib.parse import urlsplit

from .settings import Settings


class Failure(Exception):
    """A check that did not lead to a switch; reason is for the page, offline ones stay quiet."""

    def __init__(self, reason: str, offline: bool = False, status: int | None = None) -> None:
        super().__init__(reason)
        self.reason = reason
        self.offline = offline
        # The HTTP status a refused request got.
        self.status = status


class Fetching:
    """The network side of the updater."""

    settings: Settings
    timeout: float

    def _opener(self, *handlers: urllib.request.BaseHandler) -> urllib.request.OpenerDirector:
        proxy = str(self.settings.get().get("proxy") or "")
        if proxy:
            if urlsplit(proxy).scheme.lower().startswith("socks"):
                raise Failure("检查更新暂不能经过 SOCKS 代理，请在设置中改用 http:// 代理，或清空代理以使用系统的代理设置")
            return urllib.request.build_opener(urllib.request.ProxyHandler({"http": proxy, "https": proxy}), *handlers)
        # The environment's proxy (http_proxy, https_proxy, no_proxy).
        return urllib.request.build_opener(urllib.request.ProxyHandler(), *handlers)

    def _open(self, opener: urllib.request.OpenerDirector, url: str) -> http.client.HTTPResponse:
        request = urllib.request.Request(url, headers={"User-Agent": "zormak-engine-updater"})
        try:
            return opener.open(request, timeout=self.timeout)
        except urllib.error.HTTPError as e:
            e.close()
            name = os.path.basename(urlsplit(url).path)
            if e.code == 404:
                raise Failure(f"更新服务器上找不到 {name}（HTTP 404）", status=404) from None
            raise Failure(f"更新服务器拒绝了 {name} 的请求（HTTP {e.code}）", status=e.code) from None
        except urllib.error.URLError as e:
            raise self._network_failure(e.reason) from None
        except (OSError, http.client.HTTPException) as e:
            raise self._network_failure(e) from None

    def _network_failure(self, e: object) -> Failure:
        if isinstance(e, (socket.timeout, TimeoutError)):
            return Failure(f"连接更新服务器超时（{self.timeout:g} 秒没有回应）")
        if isinstance(e, (ConnectionRefusedError, socket.gaierror)) or (isinstance(e, OSError) and e.errno in (
                errno.ENETUNREACH, errno.EHOSTUNREACH, errno.ENETDOWN, errno.EHOSTDOWN)):
            return Failure("无法连接到更新服务器（可能没有联网），稍后会再试", offline=True)
        if isinstance(e, OSError) and e.errno in (errno.ENOSPC, errno.EDQUOT):
            return Failure("磁盘空间不足，无法保存新的下载引擎")
        if isinstance(e, http.client.IncompleteRead):
            return Failure("下载中断，文件不完整，已丢弃")
        if isinstance(e, ConnectionError):
            return Failure("与更新服务器的连接中断，文件不完整，已丢弃")
        return Failure(f"无法连接到更新服务器（{e}）")

    def _fetch(self, opener: urllib.request.OpenerDirector, url: str, limit: int) -> bytes:
        with self._open(opener, url) as response:
            try:
                data = response.read(limit + 1)
            except (OSError, http.client.HTTPException) as e:
                raise self._network_failure(e) from None
        if len(data) > limit:
            raise Failure(f"更新服务器上的 {os.path.basename(urlsplit(url).path)} 大得不正常，已丢弃")
        self._check_whole(response)
        return data

    @staticmethod
    def _check_whole(response: http.client.HTTPResponse) -> None:
        # A read with a size ends quietly when the connection closes before the promised length.
        if response.length:
            raise Failure("下载中断，文件不完整，已丢弃")

    def _download(self, opener: urllib.request.OpenerDirector, url: str, path: str, limit: int) -> str:
        """Writes url to path, returns the SHA-256 of what arrived."""
        import hashlib
        digest = hashlib.sha256()
        size = 0
        with self._open(opener, url) as response, open(path, "wb") as f:
            try:
                while chunk := response.read(1 << 16):
                    size += len(chunk)
                    if size > limit:
                        raise Failure(f"{os.path.basename(path)} 大得不正常，已丢弃")
                    digest.update(chunk)
                    f.write(chunk)
            except (OSError, http.client.HTTPException) as e:
                raise self._network_failure(e) from None
            self._check_whole(response)
            f.flush()
            os.fsync(f.fileno())
        return digest.hexdigest()
