"""Data benchmark (`make bench-data`, part of `make bench`): velora files read the way data tools read them.

1. A Parquet column read through ``velora::file://`` against the same read of
   the plaintext file through ``file://`` (both through fsspec and pyarrow,
   the rounds alternating): medians and the ratio of speeds.
2. 4 KiB reads at random offsets of a 1 GiB velora file (DecryptedReader,
   seek + read): the median time per read, beside the same reads of the
   plaintext file.
3. decrypt_file of the 1 GiB file to /dev/null on 1 and on 2 threads: medians
   and the ratio (and encrypt_file the same way).
4. Peak RSS of a process that reads velora files of growing sizes front to
   back and at random offsets: flat in the file size.

Every figure is a median over --rounds rounds; the machine's load average is
printed before and after, since the 2-core development machine is shared.

Usage: python bench/data_bench.py [--size-mib N] [--rounds N]
"""

from __future__ import annotations

import argparse
import io
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "bench" / "out"
MiB = 1024 * 1024


def load() -> str:
    return " ".join(Path("/proc/loadavg").read_text().split()[:3])


def make_plaintext(path: Path, size: int) -> None:
    block = os.urandom(MiB)
    with open(path, "wb") as f:
        for i in range(size // MiB):
            f.write(block[i % 7 :] + block[: i % 7])
        f.write(os.urandom(size % MiB))


def median_time(fn, rounds: int) -> float:
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def parquet_column(work: Path, key_dir: Path, rounds: int) -> dict[str, float]:
    import fsspec
    import numpy as np
    import pyarrow as pa
    import pyarrow.parquet as pq

    rows = 4_000_000
    rng = np.random.default_rng(1)
    table = pa.table({"id": np.arange(rows), "a": rng.random(rows), "b": rng.integers(0, 1 << 40, rows),
                      "c": rng.random(rows)})
    plain = work / "table.parquet"
    pq.write_table(table, plain, row_group_size=500_000)
    options = {"identity": str(key_dir / "id.pem"), "recipients": str(key_dir / "pub.pem")}
    with fsspec.open(f"velora::file://{work}/table.vel.parquet", "wb", **options) as f:
        f.write(plain.read_bytes())
    local = fsspec.filesystem("file")
    velora_fs, vpath = fsspec.core.url_to_fs(f"velora::file://{work}/table.vel.parquet", **options)

    def read_plain() -> None:
        pq.read_table(str(plain), columns=["a"], filesystem=local)

    def read_velora() -> None:
        pq.read_table(vpath, columns=["a"], filesystem=velora_fs)

    assert pq.read_table(vpath, columns=["a"], filesystem=velora_fs).equals(table.select(["a"]))
    plain_t, velora_t = [], []
    for _ in range(rounds):
        plain_t.append(median_time(read_plain, 1))
        velora_t.append(median_time(read_velora, 1))
    p, v = statistics.median(plain_t), statistics.median(velora_t)
    return {"file_size_mib": plain.stat().st_size / MiB, "column_mib": rows * 8 / MiB,
            "file_s": p, "velora_s": v, "speed_ratio": p / v}


def random_reads(plain: Path, enc: Path, key, reads: int) -> dict[str, float]:
    from velora.files import DecryptedReader

    size = plain.stat().st_size
    rng = random.Random(4)
    offsets = [rng.randrange(0, size - 4096) for _ in range(reads)]
    out: dict[str, float] = {}
    with open(plain, "rb", buffering=0) as f:
        times = []
        for off in offsets:
            start = time.perf_counter()
            f.seek(off)
            f.read(4096)
            times.append(time.perf_counter() - start)
        out["plain_median_us"] = statistics.median(times) * 1e6
    with DecryptedReader(enc, key) as r:
        r.seek(0, io.SEEK_END)  # the end authenticates once
        times = []
        for off in offsets:
            start = time.perf_counter()
            r.seek(off)
            data = r.read(4096)
            times.append(time.perf_counter() - start)
        assert len(data) == 4096
        out["velora_median_us"] = statistics.median(times) * 1e6
        out["velora_p90_us"] = sorted(times)[int(0.9 * len(times))] * 1e6
    out["reads"] = reads
    return out


def whole_file(plain: Path, enc: Path, key, rounds: int) -> dict[str, float]:
    import velora

    out: dict[str, float] = {}
    for threads in (1, 2):
        dec, encr = [], []
        for _ in range(rounds):
            dec.append(median_time(lambda: velora.decrypt_file(enc, os.devnull, key, threads=threads), 1))
            encr.append(median_time(
                lambda: velora.encrypt_file(plain, os.devnull, key.public_key(), threads=threads), 1))
        out[f"decrypt_{threads}_s"] = statistics.median(dec)
        out[f"encrypt_{threads}_s"] = statistics.median(encr)
    out["decrypt_ratio"] = out["decrypt_1_s"] / out["decrypt_2_s"]
    out["encrypt_ratio"] = out["encrypt_1_s"] / out["encrypt_2_s"]
    return out


_RSS_CHILD = r"""
import io, random, sys
import velora
from velora.files import DecryptedReader
key = velora.load_private_key(open(sys.argv[2]).read())
with DecryptedReader(sys.argv[1], key) as r:
    size = r.seek(0, io.SEEK_END)
    r.seek(0)
    while r.read(1024 * 1024):
        pass
    rng = random.Random(1)
    for _ in range(2000):
        r.seek(rng.randrange(0, size))
        r.read(4096)
# VmHWM: this process's own peak (ru_maxrss would carry the parent's from the fork)
print(next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmHWM:")))
"""


def reader_rss(work: Path, key_dir: Path, key, sizes_mib: list[int]) -> dict[str, int]:
    import velora

    out: dict[str, int] = {}
    for mib in sizes_mib:
        plain, enc = work / f"rss{mib}", work / f"rss{mib}.vel"
        make_plaintext(plain, mib * MiB)
        velora.encrypt_file(plain, enc, key.public_key())
        plain.unlink()
        got = subprocess.run([sys.executable, "-c", _RSS_CHILD, str(enc), str(key_dir / "id.pem")],
                             capture_output=True, text=True, check=True)
        out[f"{mib} MiB"] = int(got.stdout.strip())
        enc.unlink()
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--reads", type=int, default=2000)
    args = parser.parse_args()

    import velora

    OUT.mkdir(parents=True, exist_ok=True)
    print(f"load average before: {load()}")
    results: dict[str, object] = {"cpus": len(os.sched_getaffinity(0)), "load_before": load()}
    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_TMP")) as tmp:
        work = Path(tmp)
        key = velora.PrivateKey.generate(768)
        key_dir = work / "keys"
        key_dir.mkdir()
        (key_dir / "id.pem").write_text(key.to_pem())
        (key_dir / "pub.pem").write_text(key.public_key().to_pem())

        pq = parquet_column(work, key_dir, args.rounds)
        results["parquet_column"] = pq
        print(f"\nParquet column read ({pq['column_mib']:.0f} MiB column of a {pq['file_size_mib']:.0f} MiB file, "
              "pyarrow through fsspec, medians)")
        print(f"  file://          {pq['file_s'] * 1000:8.1f} ms")
        print(f"  velora::file://  {pq['velora_s'] * 1000:8.1f} ms   speed ratio {pq['speed_ratio']:.2f}x")

        plain, enc = work / "big", work / "big.vel"
        make_plaintext(plain, args.size_mib * MiB)
        velora.encrypt_file(plain, enc, key.public_key())
        rr = random_reads(plain, enc, key, args.reads)
        results["random_reads"] = rr
        print(f"\n4 KiB reads at random offsets of a {args.size_mib} MiB file ({args.reads} reads, 1 MiB chunks)")
        print(f"  plaintext file   median {rr['plain_median_us']:8.1f} us")
        print(f"  velora reader    median {rr['velora_median_us']:8.1f} us   (90th percentile "
              f"{rr['velora_p90_us']:.1f} us)")

        wf = whole_file(plain, enc, key, args.rounds)
        results["whole_file"] = wf
        print(f"\nWhole file, {args.size_mib} MiB to /dev/null (medians)")
        print(f"  decrypt_file  1 thread {wf['decrypt_1_s']:.3f} s   2 threads {wf['decrypt_2_s']:.3f} s   "
              f"ratio {wf['decrypt_ratio']:.2f}x")
        print(f"  encrypt_file  1 thread {wf['encrypt_1_s']:.3f} s   2 threads {wf['encrypt_2_s']:.3f} s   "
              f"ratio {wf['encrypt_ratio']:.2f}x")
        plain.unlink()
        enc.unlink()

        sizes = sorted({16, 128, args.size_mib})
        rss = reader_rss(work, key_dir, key, sizes)
        results["reader_peak_rss_kib"] = rss
        print("\nPeak RSS of a reader (front to back in 1 MiB reads, then 2000 random 4 KiB reads)")
        for name, kib in rss.items():
            print(f"  {name:>9}: {kib / 1024:7.1f} MiB")
    results["load_after"] = load()
    print(f"\nload average after: {load()}")
    (OUT / "data_bench.json").write_text(json.dumps(results, indent=2))


if __name__ == "__main__":
    main()
