"""Threads: ops/s of encapsulate and decapsulate with 1 and 2 Python threads
(the median of each round's 2-thread / 1-thread ratio, the two samples taken
back to back), next to the engine's C++ threads and controls of what the
machine itself allows: hashlib.sha256 from Python, on 64 KiB (a call of
about 35 µs) and on 8 KiB (about 5 µs, as short as a KEM call, where the
interpreter lock's hand-over between the threads weighs more), and a C++
arithmetic loop."""

from __future__ import annotations

import hashlib
import os
import statistics

from .common import KiB, TARGET_LEVELS
from .measure import Context, Section, ThreadItem

CONTROLS = {"control: hashlib.sha256 of 64 KiB": 64 * KiB, "control: hashlib.sha256 of 8 KiB": 8 * KiB}
ENGINE_OP = {"encapsulate": "encaps", "decapsulate": "decaps"}


class ThreadsSection(Section):
    key = "threads"
    title = "Threads"

    def prepare(self, ctx: Context) -> None:
        import velora

        L = velora.SecurityLevel
        for bits, lv in ((768, L.ML_KEM_768), (1024, L.ML_KEM_1024)):
            kp = velora.generate_keypair(lv)
            pk, sk = kp.public_key, kp.secret_key
            capsule, _ = velora.encapsulate(pk, lv)
            for n in (1, 2):  # 1 and 2 threads sampled back to back
                self.thread_items.append(ThreadItem("encapsulate", bits, n,
                                                    lambda pk=pk, lv=lv: velora.encapsulate(pk, lv)))
            for n in (1, 2):
                self.thread_items.append(ThreadItem("decapsulate", bits, n,
                                                    lambda c=capsule, sk=sk, lv=lv: velora.decapsulate(c, sk, lv)))
        # Controls: standard-library calls that also release the interpreter
        # lock (hashlib hashes inputs over 2 KiB without it).
        for name, size in CONTROLS.items():
            block = os.urandom(size)
            for n in (1, 2):
                self.thread_items.append(ThreadItem(name, 0, n, lambda b=block: hashlib.sha256(b).digest(),
                                                    control=True))

    def collect(self, ctx: Context) -> None:
        engine = ctx.results["engine"]
        rows = []
        for name, bits in [(n, b) for n in ENGINE_OP for b in TARGET_LEVELS] + [(c, 0) for c in CONTROLS]:
            one = next((t for t in self.thread_items if t.name == name and t.level == bits and t.threads == 1), None)
            two = next((t for t in self.thread_items if t.name == name and t.level == bits and t.threads == 2), None)
            if not (one and two):
                continue
            op = ENGINE_OP.get(name)
            rows.append({"function": name, "level": bits or "-", "ops_1": one.ops_per_s, "ops_2": two.ops_per_s,
                         "scaling": statistics.median(b / a for a, b in zip(one.samples, two.samples)),
                         "engine_ops_1": engine["thread_ops_s"].get(f"{op} {bits}/1"),
                         "engine_ops_2": engine["thread_ops_s"].get(f"{op} {bits}/2"),
                         "engine_scaling": engine["thread_scaling"].get(f"{op} {bits}")})
        ctx.results[self.key] = rows

    def tables(self, ctx: Context) -> list[str]:
        from .report import opt, table

        rows = [[r["function"], str(r["level"]), f"{r['ops_1']:,.0f}", f"{r['ops_2']:,.0f}", f"{r['scaling']:.2f}x",
                 opt(r["engine_ops_1"], "{:,.0f}"), opt(r["engine_ops_2"], "{:,.0f}"),
                 opt(r["engine_scaling"], "{:.2f}x")] for r in ctx.results[self.key]]
        out = [table("Threads (ops/s over all threads; Python threads calling velora, and C++ threads calling the "
                     "engine)", ["function", "level", "Python 1", "Python 2", "scaling", "engine 1", "engine 2",
                                 "scaling"], rows)]
        machine = ctx.results["engine"]["machine_thread_scaling"]
        if machine is not None:
            out.append(f"  machine control: a pure arithmetic loop runs {machine:.2f}x as fast on 2 threads as on 1 "
                       "(2.00x on two idle cores)")
        return out
