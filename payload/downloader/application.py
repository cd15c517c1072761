"""The server's services, made once at start: settings, the store, the engines, the queue and the updater."""

import os

from . import engine_loader, jobs, playlists
from .thumbnails import Thumbnails
from .ask import Ask
from .engines import Engines
from .log import say
from .settings import Settings
from .store import Store
from .updater import Updater

# Where PAYLOAD_VERSION is: the folder app.py runs from.
HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class App:
    # Made by start_queue().
    manager: jobs.Manager
    updater: Updater

    def __init__(self, data_dir: str) -> None:
        try:
            os.makedirs(data_dir, exist_ok=True)
        except OSError as e:
            # The store and the settings say what this means; the server still starts.
            say(f"[数据] 无法创建数据文件夹 {data_dir}：{e.strerror or e}")
        try:
            with open(os.path.join(HERE, "PAYLOAD_VERSION"), encoding="utf-8") as f:
                self.version = f.read().strip()
        except OSError:
            self.version = "unknown"
        # What went wrong with the stored data at start, for the page to tell the user.
        self.notices: list[str] = []
        self.settings = Settings(data_dir, self.notices)
        self.store = Store(os.path.join(data_dir, "history.sqlite3"), self.notices)
        self.engines = Engines(data_dir, self.notices)
        engines = self.engines
        engine_loader.use_engine(lambda: engines.active().sys_path, engines.broken)
        self.ask = Ask(self.engines, self.settings, data_dir)
        self.listings = playlists.Listings()
        self.thumbnails = Thumbnails(self.settings, data_dir)

    def start_queue(self) -> None:
        """Restores the queue and starts its downloads. Called once the server has announced
        itself: a resumed download prints its own address, which must not come first."""
        # The engine is not updated while a download, a listing or a probe runs. The updater comes
        # first: when the engine is old, the downloads the queue restores wait for its first check.
        self.updater = Updater(self.engines, self.settings, lambda: self.manager.busy())
        self.manager = jobs.Manager(self.settings, self.store, self.engines, self.ask, self.updater.hold)
