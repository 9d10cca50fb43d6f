"""Two threads taking turns: fetch item i while item i - 1 is processed.

Reading a chunk (a copy out of the page cache, a pipe or a socket) and its
AES-GCM work both run without the interpreter lock, so two threads that
alternate over the chunks keep both cores busy: while one thread seals or
opens chunk i and writes it out, the other reads chunk i + 1. Processing is
strictly in index order and one at a time (a stream handle allows one call at
a time and its frames are numbered). Fetching is in index order too unless the
source can be read at any offset (``parallel_fetch``), as a regular file can
with ``os.pread``; then both threads read at once.

With items much smaller than 1 MiB the hand-overs of the interpreter lock
cost more than they save, so callers fetch about 1 MiB per item.
"""

from __future__ import annotations

import os
import threading
from collections.abc import Callable
from typing import Generic, TypeVar

T = TypeVar("T")


def usable_cpus() -> int:
    """The CPUs this process may run on (its affinity mask), at least 1."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return max(1, os.cpu_count() or 1)


class _Turns:
    """Strict alternation between index parity 0 and 1 through two locks.

    ``take(i)`` blocks until every index below ``i`` has called ``give``;
    ``stop()`` wakes everyone for good (``take`` then answers False).
    """

    __slots__ = ("_locks", "stopped")

    def __init__(self) -> None:
        self._locks = (threading.Lock(), threading.Lock())
        self._locks[1].acquire()
        self.stopped = False

    def take(self, i: int) -> bool:
        self._locks[i & 1].acquire()
        return not self.stopped

    def give(self, i: int) -> None:
        self._release(self._locks[(i + 1) & 1])

    def stop(self) -> None:
        self.stopped = True
        for lock in self._locks:
            self._release(lock)

    @staticmethod
    def _release(lock: threading.Lock) -> None:
        # After stop() a lock may already be free; nothing waits for it then.
        try:
            lock.release()
        except RuntimeError:
            pass


class _Run(Generic[T]):
    def __init__(self, fetch: Callable[[int], T | None], process: Callable[[int, T], None],
                 parallel_fetch: bool) -> None:
        self.fetch = fetch
        self.process = process
        self.parallel_fetch = parallel_fetch
        self.reads = _Turns()
        self.steps = _Turns()
        self.end: int | None = None  # an index whose fetch returned None (the lowest, but for a race)
        self.error: BaseException | None = None
        self.error_index = -1
        self.finished = threading.Event()  # set by stop()
        self.busy = threading.Lock()  # held while process() runs

    def fail(self, i: int, exc: BaseException) -> None:
        # Only one thread holds the processing turn, and errors are raised
        # there, so the first one recorded is the one of the lowest index.
        if self.error is None:
            self.error, self.error_index = exc, i
        self.stop()

    def stop(self) -> None:
        self.reads.stop()
        self.steps.stop()
        self.finished.set()

    def worker(self, first: int) -> None:
        i = first
        while True:
            item: T | None = None
            fetch_error: BaseException | None = None
            if not self.parallel_fetch:
                if not self.reads.take(i):
                    return
            # Past an index that ended, every fetch would end too. (With parallel
            # fetches an index past the end may be fetched before a lower one.)
            if self.end is None or i < self.end:
                try:
                    item = self.fetch(i)
                except BaseException as exc:  # raised in order, at this item's processing turn
                    fetch_error = exc
                if item is None and fetch_error is None:
                    self.end = i if self.end is None else min(self.end, i)
            if not self.parallel_fetch:
                self.reads.give(i)
            if not self.steps.take(i):
                return
            if fetch_error is not None:
                self.fail(i, fetch_error)
                return
            if item is None:  # the end: everything before it is processed
                self.stop()
                return
            try:
                with self.busy:
                    if self.steps.stopped:  # stopped from outside since the turn was taken
                        return
                    self.process(i, item)
            except BaseException as exc:
                self.fail(i, exc)
                return
            self.steps.give(i)
            i += 2


def run_ordered(fetch: Callable[[int], T | None], process: Callable[[int, T], None], *,
                parallel_fetch: bool = False, threaded: bool = True) -> None:
    """Calls ``process(i, fetch(i))`` for i = 0, 1, ... until ``fetch`` returns None.

    ``process`` runs in index order, one call at a time. ``fetch`` runs in
    index order, one call at a time, unless ``parallel_fetch`` (then ``fetch(i)``
    and ``fetch(i + 1)`` may overlap, and a ``fetch`` may still be called for
    an index past the end). The first exception, in index order, is raised
    here; nothing after the failing index is processed, and no ``process``
    call runs any more when this returns or raises. ``threaded`` False runs
    the same loop in the calling thread alone (for inputs of a few items,
    where a thread costs more than it saves).
    """
    if not threaded:
        i = 0
        while (item := fetch(i)) is not None:
            process(i, item)
            i += 1
        return
    run = _Run(fetch, process, parallel_fetch)
    # Both workers are threads of their own, so that this thread returns as
    # soon as the run ends or fails (or on Ctrl-C) even while a worker is still
    # blocked reading a slow input: such a worker never processes again (its
    # turn is refused after stop()) and ends when its read returns.
    workers = [threading.Thread(target=run.worker, args=(k,), name=f"velora-file-{k}", daemon=True) for k in (0, 1)]
    for w in workers:
        w.start()
    try:
        run.finished.wait()
    except BaseException:  # KeyboardInterrupt in this thread
        run.stop()
        with run.busy:  # let a process() under way finish: it may be writing
            pass
        raise
    if run.error is not None:
        with run.busy:
            pass
        raise run.error
    for w in workers:
        w.join()
