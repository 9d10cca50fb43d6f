"""Signed against unsigned velora files: streaming decryption of one file (1 GiB by default).

Writes the plaintext, an unsigned file (ML-KEM-768) and a signed one (ML-KEM-768, signed with ML-DSA-65)
in --dir, then decrypts each in a fresh process per round to /dev/null, signed and unsigned alternating so
that both see the same machine load:

- ``file``: decrypt_file from the path (chunks read at computed offsets, two threads), the signed file with
  verify= its signer's public key (every stored chunk hashed, the signature checked at the end);
- ``pipe``: the same from a pipe (the file read front to back by `cat`), the sequential path.

Each figure is the process's wall time, its CPU time (user + system) and its peak RSS (wait4's ru_maxrss);
the table shows the medians, the unsigned/signed speed ratio (1.0: as fast), and the load average before and
after. --rss-mib N also decrypts a signed file of N MiB, to show that peak memory does not grow with the file.

Usage: python bench/signed_bench.py [--size-mib N] [--rounds N] [--dir DIR] [--rss-mib N]
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

MiB = 1024 * 1024

_DECRYPT = r"""
import sys, velora
from velora.mldsa import MLDSAPublicKey
key = velora.PrivateKey.from_seed(open(sys.argv[1], "rb").read(), 768)
verify = MLDSAPublicKey.from_pem(open(sys.argv[2], "rb").read()) if sys.argv[2] != "-" else None
src = sys.argv[3] if sys.argv[3] != "-" else sys.stdin.buffer
with open("/dev/null", "wb") as out:
    velora.decrypt_file(src, out, key, verify=verify)
"""


def timed(argv: list[str], stdin_path: Path | None) -> tuple[float, float, int]:
    """(wall s, CPU s, peak RSS KiB) of one run; stdin from `cat stdin_path` when given."""
    start = time.perf_counter()
    cat = subprocess.Popen(["cat", str(stdin_path)], stdout=subprocess.PIPE) if stdin_path else None
    proc = subprocess.Popen(argv, stdin=cat.stdout if cat else subprocess.DEVNULL, stderr=subprocess.PIPE)
    if cat and cat.stdout:
        cat.stdout.close()
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    if cat:
        cat.wait()
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"{argv} failed: {proc.stderr.read().decode() if proc.stderr else ''}")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss


def make_files(d: Path, size: int, suffix: str = "") -> tuple[Path, Path, Path, Path]:
    import velora
    from velora.mldsa import MLDSAPrivateKey

    seed = os.urandom(64)
    key = velora.PrivateKey.from_seed(seed, 768)
    signer = MLDSAPrivateKey.generate(65)
    (d / "kem.seed").write_bytes(seed)
    (d / "signer.pub").write_text(signer.public_key().to_pem())
    plain = d / f"plain{suffix}"
    block = os.urandom(MiB)
    with open(plain, "wb") as f:
        for i in range(size // MiB):
            f.write(block[i % 7 :] + block[: i % 7])
    unsigned, signed = d / f"unsigned{suffix}.vlr", d / f"signed{suffix}.vlr"
    velora.encrypt_file(plain, unsigned, key.public_key())
    velora.encrypt_file(plain, signed, key.public_key(), sign=signer)
    plain.unlink()
    return d / "kem.seed", d / "signer.pub", unsigned, signed


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size-mib", type=int, default=1024)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--dir", type=Path, default=None)
    ap.add_argument("--rss-mib", type=int, default=64)
    args = ap.parse_args()
    d = Path(tempfile.mkdtemp(prefix="velora-signed-", dir=args.dir))
    try:
        kem, pub, unsigned, signed = make_files(d, args.size_mib * MiB)
        py = [sys.executable, "-c", _DECRYPT, str(kem)]
        runs = {
            ("file", "unsigned"): (py + ["-", str(unsigned)], None),
            ("file", "signed"): (py + [str(pub), str(signed)], None),
            ("pipe", "unsigned"): (py + ["-", "-"], unsigned),
            ("pipe", "signed"): (py + [str(pub), "-"], signed),
        }
        for argv, stdin in runs.values():  # warm the page cache
            timed(argv, stdin)
        load_before = os.getloadavg()
        results: dict[tuple[str, str], list[tuple[float, float, int]]] = {k: [] for k in runs}
        for _ in range(args.rounds):
            for k, (argv, stdin) in runs.items():
                results[k].append(timed(argv, stdin))
        load_after = os.getloadavg()
        print(f"decrypt_file of {args.size_mib} MiB (1 MiB chunks) to /dev/null, {args.rounds} rounds, medians; "
              f"ML-KEM-768, signer ML-DSA-65; {os.cpu_count()} CPUs, load average "
              f"{load_before[0]:.2f} before, {load_after[0]:.2f} after")
        print(f"{'input':6} {'file':9} {'wall s':>8} {'CPU s':>8} {'MiB/s':>8} {'peak RSS MiB':>13}")
        for (mode, kind), rows in results.items():
            wall = statistics.median(r[0] for r in rows)
            cpu = statistics.median(r[1] for r in rows)
            rss = max(r[2] for r in rows) / 1024
            print(f"{mode:6} {kind:9} {wall:8.3f} {cpu:8.3f} {args.size_mib / wall:8.0f} {rss:13.1f}")
        for mode in ("file", "pipe"):
            ratio = [u[0] / s[0] for u, s in zip(results[(mode, "unsigned")], results[(mode, "signed")])]
            print(f"{mode}: speed signed / unsigned (unsigned wall / signed wall), median of rounds "
                  f"{statistics.median(ratio):.3f}; rounds {', '.join(f'{r:.3f}' for r in ratio)}")
        kem2, pub2, _, small = make_files(d, args.rss_mib * MiB, suffix="-small")
        wall, cpu, rss = timed(py + [str(pub2), str(small)], None)
        print(f"peak RSS of a signed {args.rss_mib} MiB file by path: {rss / 1024:.1f} MiB "
              f"(against {max(r[2] for r in results[('file', 'signed')]) / 1024:.1f} MiB at {args.size_mib} MiB)")
    finally:
        shutil.rmtree(d, ignore_errors=True)


if __name__ == "__main__":
    main()
