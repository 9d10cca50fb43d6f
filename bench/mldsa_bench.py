#!/usr/bin/env python3
"""ML-DSA key generation, signing and verification: velora against cryptography, from Python.

Each operation runs in batches on the same inputs (a 1 KiB message, an empty
context); the figure is the median over the batches of the time per call, in
microseconds, with the ratio cryptography / velora (above 1: velora faster).
Signing is hedged (the default of both). BENCH_MLDSA_SECONDS sets the time per
operation (default 1.0).
"""

from __future__ import annotations

import os
import statistics
import time
from collections.abc import Callable

from cryptography.hazmat.primitives.asymmetric import mldsa as crypto_mldsa

from velora.mldsa import MLDSAPrivateKey

SECONDS = float(os.environ.get("BENCH_MLDSA_SECONDS", "1.0"))
CLASSES = {44: crypto_mldsa.MLDSA44PrivateKey, 65: crypto_mldsa.MLDSA65PrivateKey, 87: crypto_mldsa.MLDSA87PrivateKey}


def per_call(fn: Callable[[], object]) -> float:
    """Median microseconds per call over batches filling SECONDS."""
    fn()
    start = time.perf_counter()
    n = 0
    while time.perf_counter() - start < 0.05:
        fn()
        n += 1
    batch = max(1, n // 5)
    samples: list[float] = []
    end = time.perf_counter() + SECONDS
    while time.perf_counter() < end or len(samples) < 5:
        t0 = time.perf_counter()
        for _ in range(batch):
            fn()
        samples.append((time.perf_counter() - t0) / batch * 1e6)
    return statistics.median(samples)


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
            a, b = per_call(mine), per_call(peer)
            print(f"{f'ML-DSA-{level} {name}':<22}{a:>12.1f}{b:>18.1f}{b / a:>8.2f}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
