"""velora benchmark: `make bench`.

Builds the C++ engine benchmark (bench/engine_bench.cpp, Keccak permutation
counting on), then measures in one run, interleaved round by round, one
concern per section (bench/benchlib/):

  - engine (engine.py): time per ML-KEM operation on the Keccak path of the
    CPU and on libcrypto's SHA-3 in the same build, the permutation calls of
    each kind (1, 4 or 8 states) per operation, the cost of each kind and the
    Keccak floor they make; AES-256-GCM per backend; C++ thread scaling;
  - kem (kem.py): Python time per call of the five KEM functions, next to
    cryptography, kyber-py and pqcrypto (where installed) in the same process;
  - bulk (bulk.py): encrypt_hybrid / decrypt_hybrid at 1 KiB, 1 MiB and
    64 MiB and streams in 64 KiB and 1 MiB chunks, against AESGCM;
  - threads (threads.py): encapsulate / decapsulate with 1 and 2 threads,
    with controls;
  - rss (rss.py): the peak-RSS growth of encrypt_hybrid on 256 MiB, in a
    subprocess.

Every figure is the median over the rounds. Prints the tables and the
"target / measured / met?" summary (targets.py), and writes
bench/out/results.json and bench/out/chart.png (report.py).

Usage: python bench/run.py [--rounds N] [--sample-ms MS] [--quick]
"""

from __future__ import annotations

import argparse
import sys
import time

from benchlib import engine, report, targets
from benchlib.bulk import BulkSection
from benchlib.common import OUT, machine_info, module_links_ipsec_mb, version_of
from benchlib.kem import KemSection
from benchlib.measure import Context, Section, run_rounds
from benchlib.rss import RssSection
from benchlib.threads import ThreadsSection


def sections(engine_binary) -> list[Section]:
    """The sections of one run, in the order they are sampled and printed.
    A new benchmark (file encryption, for one) is a Section added here."""
    eng = engine.EngineSection(engine_binary)
    return [RssSection(), eng, KemSection(eng), BulkSection(), ThreadsSection()]


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rounds", type=int, default=11)
    ap.add_argument("--sample-ms", type=float, default=20.0)
    ap.add_argument("--quick", action="store_true", help="3 rounds, short samples (a smoke run)")
    args = ap.parse_args()
    if args.quick:
        args.rounds, args.sample_ms = 3, 5.0
    started = time.perf_counter()
    OUT.mkdir(parents=True, exist_ok=True)

    print("building the engine benchmark ...", flush=True)
    run = sections(engine.build())
    ctx = Context(rounds=args.rounds, sample_ms=args.sample_ms)
    ctx.peers["velora"] = f"velora {version_of('velora') or ''}".strip()
    for s in run:
        s.early(ctx)  # while this process is small: before velora is imported
    for s in run:
        s.prepare(ctx)
    run_rounds(ctx, run)
    for s in run:
        s.collect(ctx)

    import velora
    import velora._velora_core as core

    results = {"machine": machine_info(), "libraries": ctx.peers, "build_info": dict(velora.build_info()),
               "module_links_ipsec_mb": module_links_ipsec_mb(core.__file__), "rounds": args.rounds,
               "sample_ms": args.sample_ms, "notes": ctx.notes, **ctx.results}
    results["targets"] = targets.evaluate(results)
    results["elapsed_s"] = time.perf_counter() - started

    print()
    print(report.header(results, args.rounds, args.sample_ms, ctx.notes))
    for s in run:
        for t in s.tables(ctx):
            print()
            print(t)
    print()
    print(report.targets_table(results["targets"]))
    print()
    print(report.write_json(results, OUT / "results.json"))
    print(report.make_chart(results, OUT / "chart.png"))
    print(f"bench took {time.perf_counter() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
