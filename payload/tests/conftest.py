"""Fixtures over support.py's helpers for tests written as functions: a work folder, the loopback media
server and the payload's server, per test or shared by a module's tests that leave each other alone."""

import shutil
import tempfile
from typing import Any, Callable, Iterator

import pytest

from fakeopen import FakeOpeners
from media import MediaServer
from support import Payload


def _folder() -> Iterator[str]:
    folder = tempfile.mkdtemp(prefix="zormak-payload-")
    yield folder
    shutil.rmtree(folder, True)


def _media() -> Iterator[MediaServer]:
    server = MediaServer()
    yield server
    server.close()


def _openers() -> Iterator[FakeOpeners]:
    fake = FakeOpeners()
    yield fake
    fake.close()


workdir = pytest.fixture(_folder)
media = pytest.fixture(_media)
module_workdir = pytest.fixture(_folder, scope="module", name="module_workdir")
module_media = pytest.fixture(_media, scope="module", name="module_media")
openers = pytest.fixture(_openers)
module_openers = pytest.fixture(_openers, scope="module", name="module_openers")


@pytest.fixture
def start(workdir: str) -> Iterator[Callable[..., Payload]]:
    """Starts a server in the test's work folder (arguments as Payload's); each is stopped after the test."""
    started: list[Payload] = []

    def start(settings: dict[str, Any] | None = None, **options: Any) -> Payload:
        started.append(Payload(workdir, settings, **options))
        return started[-1]
    yield start
    for server in started:
        server.stop()


@pytest.fixture
def payload(start: Callable[..., Payload]) -> Payload:
    return start()


@pytest.fixture(scope="module")
def module_payload(module_workdir: str) -> Iterator[Payload]:
    """One server for a module whose tests change nothing the others look at."""
    server = Payload(module_workdir)
    yield server
    server.stop()


@pytest.fixture
def logged() -> Iterator[list[str]]:
    """The lines the server's modules log in this process during the test."""
    from downloader import log
    lines: list[str] = []
    log.send_to(lines.append)
    yield lines
    log.send_to(None)
