"""The queue's commands on the partial downloads found at start that no job owned: resume or delete."""

import threading
import time
from typing import Any

from . import errors, extras
from .leftovers import Leftover, discard, notice
from .job import Job
from .log import say
from .model import State, parse_format
from .names import safe_folder_name
from .settings import Settings
from .store import StorageError, Store


class LeftoverCommands:
    leftovers: list[Leftover]
    settings: Settings
    store: Store
    _lock: threading.Lock
    _command: threading.RLock
    _jobs: dict[int, Job]

    def _pump(self) -> None:
        raise NotImplementedError

    def leftover_list(self) -> dict[str, Any]:
        with self._lock:
            found = list(self.leftovers)
        return {"leftovers": [x.public() for x in found], "notice": notice(found)}

    def _take_leftovers(self, ids: object) -> list[Leftover]:
        if not isinstance(ids, list) or not all(isinstance(i, str) for i in ids):
            raise errors.UserError("请选择要处理的未完成下载")
        with self._lock:
            taken = [x for x in self.leftovers if x.id in ids]
            self.leftovers = [x for x in self.leftovers if x not in taken]
        return taken

    def resume_leftovers(self, ids: object) -> dict[str, Any]:
        """Queues each chosen leftover again from its recorded address, continuing its partial data."""
        added: list[dict[str, Any]] = []
        with self._command:
            for x in self._take_leftovers(ids):
                chosen = parse_format(x.format) or parse_format(self.settings.get()["format"])
                # The record is a file in the download folder: its sub-folder is checked as a pasted one would be.
                bad_folder = bool(x.folder) and (x.folder != safe_folder_name(x.folder) or x.folder in (".", ".."))
                if not x.url or chosen is None or bad_folder:
                    with self._lock:
                        self.leftovers.append(x)
                    raise errors.UserError("这个未完成的下载没有记录可用的网址，只能删除")
                job_extras = extras.from_journal(x.extras)
                created = time.time()
                try:
                    errors.check_address(x.url)
                    job_id = self.store.add_job(x.url, chosen.value, State.QUEUED.value, created, job_extras, x.title,
                                                x.folder)
                    self.store.update_job(job_id, staging=x.path, downloaded=x.size)
                except (errors.UserError, StorageError) as e:
                    with self._lock:
                        self.leftovers.append(x)
                    raise errors.UserError(str(e), 503) if isinstance(e, StorageError) else e
                with self._lock:
                    job = Job(job_id, x.url, chosen, title=x.title, created=created, extras=job_extras,
                              folder=x.folder, staging=x.path, downloaded=x.size)
                    self._jobs[job_id] = job
                    added.append(job.public())
                say(f"[下载 #{job_id}] 从未完成的下载 {x.path} 继续：{x.url}")
        self._pump()
        return {"added": added, **self.leftover_list()}

    def delete_leftovers(self, ids: object) -> dict[str, Any]:
        for x in self._take_leftovers(ids):
            discard(x.path)
            say(f"[下载] 已删除未完成的下载 {x.path}")
        return self.leftover_list()
