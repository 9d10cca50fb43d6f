"""Measuring: the items sampled once per round, the sections that own them,
and the interleaved rounds that sample every item of every section in turn.

Every figure of the benchmark is the median over the rounds, so that a slow
moment of the machine hits every item alike instead of one of them.
"""

from __future__ import annotations

import statistics
import threading
import time
from dataclasses import dataclass, field
from typing import Callable


@dataclass
class Item:
    """One call measured once per round: seconds per call."""

    group: str
    name: str
    library: str
    level: int | None
    fn: Callable[[], object]
    nbytes: int = 0  # payload bytes per call, for throughput
    chunk: int = 0  # stream chunk size
    batch: int = 1
    samples: list[float] = field(default_factory=list)  # seconds per call

    @property
    def seconds(self) -> float:
        return statistics.median(self.samples)

    def calibrate(self, sample_s: float) -> None:
        self.fn()  # warm-up
        n = 1
        while True:
            t0 = time.perf_counter()
            for _ in range(n):
                self.fn()
            t = time.perf_counter() - t0
            if t >= sample_s / 4 or n >= 1 << 20:
                self.batch = max(1, int(sample_s / (t / n)))
                return
            n *= 2

    def sample(self) -> None:
        fn, n = self.fn, self.batch
        t0 = time.perf_counter()
        for _ in range(n):
            fn()
        self.samples.append((time.perf_counter() - t0) / n)


@dataclass
class ThreadItem:
    """ops/s of one function run by `threads` Python threads at once."""

    name: str
    level: int
    threads: int
    fn: Callable[[], object]
    control: bool = False  # a reference of the machine, not a velora call
    calls: int = 1  # per thread per sample
    samples: list[float] = field(default_factory=list)  # ops/s

    @property
    def ops_per_s(self) -> float:
        return statistics.median(self.samples)

    def calibrate(self, sample_s: float) -> None:
        self.fn()
        t0 = time.perf_counter()
        n = 0
        while time.perf_counter() - t0 < sample_s / 4:
            self.fn()
            n += 1
        self.calls = max(1, int(n * 4))

    def sample(self, keep: bool = True) -> None:
        start = threading.Barrier(self.threads + 1)

        def worker() -> None:
            start.wait()
            for _ in range(self.calls):
                self.fn()

        pool = [threading.Thread(target=worker) for _ in range(self.threads)]
        for t in pool:
            t.start()
        start.wait()
        t0 = time.perf_counter()
        for t in pool:
            t.join()
        if keep:
            self.samples.append(self.threads * self.calls / (time.perf_counter() - t0))


@dataclass
class Context:
    """What the sections share during one run."""

    rounds: int
    sample_ms: float
    notes: list[str] = field(default_factory=list)
    peers: dict[str, str] = field(default_factory=dict)  # library -> description
    results: dict[str, object] = field(default_factory=dict)  # section key -> its results

    @property
    def sample_s(self) -> float:
        return self.sample_ms / 1000


class Section:
    """One concern of the benchmark. A section creates its items in prepare()
    (Python calls in `items`, thread runs in `thread_items`), may do work of its
    own in each round (per_round) or before the interpreter imports velora
    (early), turns its samples into ctx.results[key] in collect(), and prints
    its tables in tables(). The targets (targets.py) read ctx.results.

    To add a benchmark, write a Section and list it in bench/run.py.
    """

    key = "section"
    title = ""

    def __init__(self) -> None:
        self.items: list[Item] = []
        self.thread_items: list[ThreadItem] = []

    def early(self, ctx: Context) -> None:
        """Work that must run while this process is still small (before velora is imported)."""

    def prepare(self, ctx: Context) -> None:
        """Creates the items."""

    def per_round(self, ctx: Context, round_index: int) -> None:
        """Work of the section's own in each round, before the items are sampled."""

    def collect(self, ctx: Context) -> None:
        """Stores the section's results in ctx.results[self.key]."""

    def tables(self, ctx: Context) -> list[str]:
        """The printed tables."""
        return []


def run_rounds(ctx: Context, sections: list[Section]) -> None:
    """Calibrates every item, then runs ctx.rounds interleaved rounds: each
    section's own work and one sample of every item, then the thread items.

    The Python items keep one core busy and the other idle. On a VM the first
    two-thread sample after such a phase runs up to a fifth slower than the
    next (the idle vCPU has to be woken and warmed), so before the thread
    items of a round, one two-thread run of a control item is made and
    discarded.
    """
    items = [it for s in sections for it in s.items]
    thread_items = [t for s in sections for t in s.thread_items]
    print(f"calibrating {len(items) + len(thread_items)} Python measurements ...", flush=True)
    for it in items:
        it.calibrate(ctx.sample_s)
    for t in thread_items:
        t.calibrate(2.5 * ctx.sample_s)
    warm_up = next((t for t in thread_items if t.control and t.threads == 2), None)
    for r in range(ctx.rounds):
        print(f"round {r + 1}/{ctx.rounds}", flush=True)
        for s in sections:
            s.per_round(ctx, r)
        for it in items:
            it.sample()
        if warm_up is not None:
            warm_up.sample(keep=False)
        for t in thread_items:
            t.sample()
