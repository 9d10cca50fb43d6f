#!/usr/bin/env python3
"""ML-DSA key generation, signing and verification: velora against cryptography, from Python.

Each operation runs in batches on the same inputs (a 1 KiB message, an empty
context); the figure is the median over the batches of the processor time per
call (this process's CPU time, less disturbed than wall time on a shared
machine), in microseconds, with the ratio cryptography / velora (above 1:
velora faster). The two libraries' batches alternate.
Signing is hedged (the default of both). BENCH_MLDSA_SECONDS sets the time per
operation (default 1.0).
"""

from __future__ import annotations

import os
import statistics
import time
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor

from cryptography.hazmat.primitives.asymmetric import mldsa as crypto_mldsa

from velora.mldsa import MLDSAPrivateKey

SECONDS = float(os.environ.get("BENCH_MLDSA_SECONDS", "1.0"))
CLASSES = {44: crypto_mldsa.MLDSA44PrivateKey, 65: crypto_mldsa.MLDSA65PrivateKey, 87: crypto_mldsa.MLDSA87PrivateKey}


def batch_size(fn: Callable[[], object]) -> int:
    fn()
    start = time.process_time()
    n = 0
    while time.process_time() - start < 0.02:
        fn()
        n += 1
    return max(1, n)


def per_call(mine: Callable[[], object], peer: Callable[[], object]) -> tuple[float, float]:
    """Median CPU microseconds per call of each, over alternating batches filling 2 x SECONDS."""
    sizes = (batch_size(mine), batch_size(peer))
    samples: tuple[list[float], list[float]] = ([], [])
    end = time.process_time() + 2 * SECONDS
    while time.process_time() < end or len(samples[1]) < 5:
        for k, fn in enumerate((mine, peer)):
            t0 = time.process_time()
            for _ in range(sizes[k]):
                fn()
            samples[k].append((time.process_time() - t0) / sizes[k] * 1e6)
    return statistics.median(samples[0]), statistics.median(samples[1])


def main() -> int:
    message = os.urandom(1024)
    seed = os.urandom(32)
    print(f"{'operation':<22}{'velora us':>12}{'cryptography us':>18}{'ratio':>8}")
    for level, cls in CLASSES.items():
        ours = MLDSAPrivateKey.from_seed(seed, level)  # type: ignore[arg-type]
        theirs = cls.from_seed_bytes(seed)
        our_sig = ours.sign(message)
        their_sig = theirs.sign(message)
        rows = [
            ("keygen", lambda: MLDSAPrivateKey.from_seed(seed, level), lambda: cls.from_seed_bytes(seed)),  # type: ignore[arg-type]
            ("sign", lambda: ours.sign(message), lambda: theirs.sign(message)),
            ("verify", lambda: ours.public_key().verify(our_sig, message),
             lambda: theirs.public_key().verify(their_sig, message)),
        ]
        for name, mine, peer in rows:
            a, b = per_call(mine, peer)
            print(f"{f'ML-DSA-{level} {name}':<22}{a:>12.1f}{b:>18.1f}{b / a:>8.2f}")
    # Signing on two threads (the interpreter lock is released in the engine): wall time of
    # 2n signatures on one thread against n on each of two, median of 5 runs.
    key = MLDSAPrivateKey.from_seed(seed, 65)
    n = 200

    def sign_n(count: int) -> None:
        for _ in range(count):
            key.sign(message)

    def wall(fn: Callable[[], object]) -> float:
        runs = []
        for _ in range(5):
            t0 = time.perf_counter()
            fn()
            runs.append(time.perf_counter() - t0)
        return statistics.median(runs)

    with ThreadPoolExecutor(2) as pool:
        one = wall(lambda: sign_n(2 * n))
        two = wall(lambda: list(pool.map(sign_n, [n, n])))
    print(f"ML-DSA-65 sign, 2 threads: {one / two:.2f}x the signatures per second of 1 thread "
          f"({os.cpu_count()} CPUs; load average {os.getloadavg()[0]:.1f})")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
