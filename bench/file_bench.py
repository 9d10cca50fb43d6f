"""File encryption benchmark: `velora encrypt` / `velora decrypt` against age, `make bench-files`.

Encrypts and decrypts one file (1 GiB by default) from the page cache to
/dev/null with the `velora` command line and with Debian's `age`, alternating
the two tools round by round so that both see the same machine load. Every
figure is wall time of the whole process (interpreter start included) and its
peak RSS (wait4's ru_maxrss); the tables show medians over the rounds, each
round's age/velora ratio, and the machine's load average before and after.

--chunks also times velora's chunk sizes (the default was chosen from these),
--rss-sizes runs velora at other file sizes to show that peak memory does not
grow with the file. --formats compares the velora file format's versions 1
and 2 in the same run (encrypt_file / decrypt_file in a fresh process each,
the same code but for the format's writer), times the parsing of a header of
1,000 recipients, and `velora rewrap` of the file against decrypting and
encrypting it again (both writing real files in --dir).

Usage: python bench/file_bench.py [--size-mib N] [--rounds N] [--chunks] [--rss-sizes] [--formats]
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "bench" / "out"
MiB = 1024 * 1024
VELORA = [sys.executable, "-m", "velora"]


#: CPU seconds (user + system) of the last `timed` run: steadier than wall time on a loaded machine.
LAST_CPU = [0.0]


def timed(argv: list[str], stdin: int | None = None) -> tuple[float, int]:
    """(wall seconds, peak RSS in KiB) of one run of argv; output to /dev/null. Its CPU time: LAST_CPU."""
    with open(os.devnull, "wb") as null:
        start = time.perf_counter()
        proc = subprocess.Popen(argv, stdin=stdin if stdin is not None else subprocess.DEVNULL, stdout=null,
                                stderr=subprocess.PIPE)
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    LAST_CPU[0] = usage.ru_utime + usage.ru_stime
    err = proc.stderr.read() if proc.stderr else b""  # type: ignore[union-attr]
    if proc.returncode != 0:
        raise SystemExit(f"{' '.join(argv)} failed ({proc.returncode}): {err.decode(errors='replace')}")
    return wall, usage.ru_maxrss


def make_input(path: Path, size: int) -> None:
    block = os.urandom(MiB)
    with open(path, "wb") as f:
        for i in range(size // MiB):
            f.write(block[i % 7 :] + block[: i % 7])  # distinct blocks, cheap to make
        f.write(os.urandom(size % MiB))


def warm(*paths: Path) -> None:
    for p in paths:
        with open(p, "rb", buffering=0) as f:
            while f.read(8 * MiB):
                pass


def median(xs: list[float]) -> float:
    return statistics.median(xs)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size-mib", type=int, default=1024)
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--chunks", action="store_true", help="also time chunk sizes 64 KiB to 4 MiB")
    ap.add_argument("--rss-sizes", action="store_true", help="also peak RSS at 64 MiB and 4x the size")
    ap.add_argument("--formats", action="store_true",
                    help="also version 1 against version 2, a 1,000-recipient header, rewrap against re-encryption")
    ap.add_argument("--only-formats", action="store_true", help="--formats alone (no age, no chunk sweep)")
    ap.add_argument("--dir", default=None, help="where the temporary files go (default: a temporary directory)")
    args = ap.parse_args()

    if args.only_formats:
        work = Path(tempfile.mkdtemp(prefix="velora-file-bench-", dir=args.dir))
        try:
            results: dict[str, object] = {}
            formats(args, work, results)
            OUT.mkdir(parents=True, exist_ok=True)
            (OUT / "formats.json").write_text(json.dumps(results, indent=1))
            print(f"\nwrote {OUT / 'formats.json'}")
            return 0
        finally:
            shutil.rmtree(work, ignore_errors=True)
    age = shutil.which("age")
    keygen = shutil.which("age-keygen")
    if not age or not keygen:
        raise SystemExit("age is not installed (make bench-files installs Debian's age)")
    age_version = subprocess.run([age, "--version"], capture_output=True, text=True).stdout.strip()

    work = Path(tempfile.mkdtemp(prefix="velora-file-bench-", dir=args.dir))
    try:
        return run(args, work, age, keygen, age_version)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def run(args: argparse.Namespace, work: Path, age: str, keygen: str, age_version: str) -> int:
    size = args.size_mib * MiB
    plain = work / "plain.bin"
    make_input(plain, size)
    key = work / "key.pem"
    done = subprocess.run([*VELORA, "keygen", "-o", str(key)], capture_output=True, text=True, check=True)
    recipient = done.stderr.split(": ", 1)[1].strip()
    age_key = work / "age.key"
    done = subprocess.run([keygen, "-o", str(age_key)], capture_output=True, text=True, check=True)
    age_recipient = done.stderr.split(": ", 1)[1].strip()
    vlr, agef = work / "plain.vlr", work / "plain.age"
    subprocess.run([*VELORA, "encrypt", "-r", recipient, "-o", str(vlr), str(plain)], check=True)
    subprocess.run([age, "-r", age_recipient, "-o", str(agef), str(plain)], check=True)
    warm(plain, vlr, agef)

    jobs = {
        "velora encrypt": [*VELORA, "encrypt", "-q", "-r", recipient, "-o", os.devnull, str(plain)],
        "age encrypt": [age, "-r", age_recipient, "-o", os.devnull, str(plain)],
        "velora decrypt": [*VELORA, "decrypt", "-q", "-i", str(key), "-o", os.devnull, str(vlr)],
        "age decrypt": [age, "-d", "-i", str(age_key), "-o", os.devnull, str(agef)],
        "velora start (--version)": [*VELORA, "--version"],
    }
    load_before = os.getloadavg()
    times: dict[str, list[float]] = {name: [] for name in jobs}
    rss: dict[str, list[int]] = {name: [] for name in jobs}
    for _ in range(args.rounds):
        for name, argv in jobs.items():
            wall, peak = timed(argv)
            times[name].append(wall)
            rss[name].append(peak)
    load_after = os.getloadavg()

    gib = size / (1024 * MiB)
    print(f"file: {args.size_mib} MiB from the page cache to /dev/null; {args.rounds} rounds, tools alternating")
    print(f"machine: {platform.processor() or platform.machine()}, {os.cpu_count()} cores; "
          f"load average before {load_before[0]:.2f}, after {load_after[0]:.2f}; {age_version and 'age ' + age_version}")
    print()
    print(f"{'':26} {'median s':>9} {'min s':>7} {'max s':>7} {'GiB/s':>6} {'peak RSS MiB':>13}")
    for name in jobs:
        t = times[name]
        print(f"{name:26} {median(t):9.3f} {min(t):7.3f} {max(t):7.3f} "
              f"{(gib / median(t) if 'start' not in name else 0):6.2f} {max(rss[name]) / 1024:13.1f}")
    print()
    ratios = {}
    for op in ("encrypt", "decrypt"):
        per_round = [a / v for a, v in zip(times[f"age {op}"], times[f"velora {op}"])]
        ratios[op] = median(per_round)
        met = "met" if ratios[op] >= 3 else "MISSED"
        print(f"{op}: age / velora = {ratios[op]:.2f}x (median of per-round ratios; "
              f"range {min(per_round):.2f} to {max(per_round):.2f}); target >= 3x: {met}")
    peak = max(max(rss["velora encrypt"]), max(rss["velora decrypt"])) / 1024
    print(f"velora peak RSS {peak:.1f} MiB; target <= 64 MiB: {'met' if peak <= 64 else 'MISSED'}")

    results: dict[str, object] = {
        "size_mib": args.size_mib, "rounds": args.rounds, "age": age_version,
        "load_before": load_before, "load_after": load_after,
        "times": times, "rss_kib": rss, "ratio_median": ratios,
    }

    if args.chunks:
        print()
        print("chunk size sweep (velora, median wall s, the sizes alternating round by round):")
        sizes = (64 * 1024, 256 * 1024, 1024 * 1024, 4 * 1024 * 1024)
        for cs in sizes:
            path = work / f"cs{cs}.vlr"
            subprocess.run([*VELORA, "encrypt", "-r", recipient, "--chunk-size", str(cs), "-o", str(path),
                            str(plain)], check=True)
            warm(path)
        enc: dict[int, list[float]] = {cs: [] for cs in sizes}
        dec: dict[int, list[float]] = {cs: [] for cs in sizes}
        load = os.getloadavg()[0]
        for _ in range(args.rounds):
            for cs in sizes:
                enc[cs].append(timed([*VELORA, "encrypt", "-q", "-r", recipient, "--chunk-size", str(cs), "-o",
                                      os.devnull, str(plain)])[0])
                dec[cs].append(timed([*VELORA, "decrypt", "-q", "-i", str(key), "-o", os.devnull,
                                      str(work / f"cs{cs}.vlr")])[0])
        sweep: dict[str, dict[str, float]] = {}
        for cs in sizes:
            sweep[str(cs)] = {"encrypt": median(enc[cs]), "decrypt": median(dec[cs])}
            print(f"  {cs // 1024:5} KiB: encrypt {median(enc[cs]):.3f}  decrypt {median(dec[cs]):.3f}")
            (work / f"cs{cs}.vlr").unlink()
        print(f"  (load average {load:.2f} before, {os.getloadavg()[0]:.2f} after)")
        results["chunk_sweep"] = sweep

    if args.rss_sizes:
        print()
        print("velora peak RSS by file size (MiB):")
        by_size: dict[str, dict[str, float]] = {}
        for mib in (64, 4 * args.size_mib):
            p = work / f"size{mib}.bin"
            make_input(p, mib * MiB)
            c = work / f"size{mib}.vlr"
            _, enc_rss = timed([*VELORA, "encrypt", "-q", "-r", recipient, "-o", str(c), str(p)])
            p.unlink()
            _, dec_rss = timed([*VELORA, "decrypt", "-q", "-i", str(key), "-o", os.devnull, str(c)])
            c.unlink()
            by_size[str(mib)] = {"encrypt": enc_rss / 1024, "decrypt": dec_rss / 1024}
            print(f"  {mib:6} MiB: encrypt {enc_rss / 1024:.1f}  decrypt {dec_rss / 1024:.1f}")
        results["rss_by_size"] = by_size

    if args.formats:
        formats(args, work, results)

    OUT.mkdir(parents=True, exist_ok=True)
    (OUT / "files.json").write_text(json.dumps(results, indent=1))
    print(f"\nwrote {OUT / 'files.json'}")
    return 0


# One job of the format comparison, run in a fresh process: argv = op, version, source, destination.
_FORMAT_JOB = r"""
import sys, velora
from velora.files import native
from velora.files.transfer import encrypt_with
op, version, src, dst = sys.argv[1:5]
key = velora.PrivateKey.from_seed(bytes([7]) * 64, 768)
if op == "encrypt" and version == "1":
    # as encrypt_file wrote version 1: the format looked up for the recipients, then its one-recipient sealer
    from velora.files.formats import for_recipients
    for_recipients([key.public_key()])
    encrypt_with(src, dst, native.NativeSealer(key.public_key(), native.DEFAULT_CHUNK_SIZE), None, None)
elif op == "encrypt":
    velora.encrypt_file(src, dst, key.public_key())
else:
    velora.decrypt_file(src, dst, key)
"""

_HEADER_JOB = r"""
import io, json, statistics, sys, time, velora
from velora.files.source import Source
from velora.files.vlr2 import header as h
from velora.files.vlr2.recipients import find_file_key
mine = velora.PrivateKey.generate(768)
others = [velora.PrivateKey.generate(768).public_key() for _ in range(999)]
buf = io.BytesIO()
velora.encrypt_file(io.BytesIO(b"x"), buf, [*others, mine.public_key()])
blob = buf.getvalue()
parse, find = [], []
for _ in range(int(sys.argv[1])):
    t = time.perf_counter(); header = h.parse(Source(io.BytesIO(blob))); parse.append(time.perf_counter() - t)
    t = time.perf_counter(); find_file_key(header, [mine]); find.append(time.perf_counter() - t)
print(json.dumps({"header_bytes": header.size, "parse_s": statistics.median(parse),
                  "parse_and_find_last_s": statistics.median(parse) + statistics.median(find)}))
"""


_SWEEP_JOB = r"""
import json, os, statistics, sys, time, velora
plain, work, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
key = velora.PrivateKey.from_seed(bytes([7]) * 64, 768)
sizes = [16 << 10, 64 << 10, 256 << 10, 1 << 20, 4 << 20]
for cs in sizes:
    velora.encrypt_file(plain, f"{work}/sweep{cs}.vlr", key.public_key(), chunk_size=cs)
times = {}
for _ in range(rounds):
    for cs in sizes:
        for op, run in (("encrypt", lambda: velora.encrypt_file(plain, os.devnull, key.public_key(), chunk_size=cs)),
                        ("decrypt", lambda: velora.decrypt_file(f"{work}/sweep{cs}.vlr", os.devnull, key))):
            c, t = time.process_time(), time.perf_counter()
            run()
            times.setdefault(f"{cs} {op}", []).append((time.process_time() - c, time.perf_counter() - t))
for cs in sizes:
    os.unlink(f"{work}/sweep{cs}.vlr")
print(json.dumps({k: [statistics.median(c for c, _ in v), statistics.median(w for _, w in v)] for k, v in times.items()}))
"""


def formats(args: argparse.Namespace, work: Path, results: dict[str, object]) -> None:
    """Version 1 against version 2 in the same run; a 1,000-recipient header; rewrap against re-encryption."""
    size = args.size_mib * MiB
    plain = work / "plain.bin"
    if not plain.exists():
        make_input(plain, size)
    gib = size / (1024 * MiB)
    files = {v: work / f"v{v}.vlr" for v in ("1", "2")}
    for v, path in files.items():
        subprocess.run([sys.executable, "-c", _FORMAT_JOB, "encrypt", v, str(plain), str(path)], check=True)
    warm(plain, *files.values())
    jobs = {}
    for v in ("1", "2"):
        jobs[f"v{v} encrypt"] = [sys.executable, "-c", _FORMAT_JOB, "encrypt", v, str(plain), os.devnull]
        jobs[f"v{v} decrypt"] = [sys.executable, "-c", _FORMAT_JOB, "decrypt", v, str(files[v]), os.devnull]
    load_before = os.getloadavg()
    times: dict[str, list[float]] = {name: [] for name in jobs}
    cpu: dict[str, list[float]] = {name: [] for name in jobs}
    for _ in range(args.rounds):
        for name, argv in jobs.items():
            times[name].append(timed(argv)[0])
            cpu[name].append(LAST_CPU[0])
    print()
    print(f"velora file format, version 1 against version 2 ({args.size_mib} MiB, page cache to /dev/null, "
          f"{args.rounds} rounds alternating; load average {load_before[0]:.2f} before, {os.getloadavg()[0]:.2f} after):")
    ratios = {}
    for op in ("encrypt", "decrypt"):
        t1, t2 = times[f"v1 {op}"], times[f"v2 {op}"]
        per_round = [a / b for a, b in zip(t1, t2)]
        ratios[op] = median(per_round)
        print(f"  {op}: v1 {median(t1):.3f} s ({gib / median(t1):.2f} GiB/s), v2 {median(t2):.3f} s "
              f"({gib / median(t2):.2f} GiB/s); v2 speed / v1 = {ratios[op]:.2f}x (per-round range "
              f"{min(per_round):.2f} to {max(per_round):.2f}); target >= 0.95x: {'met' if ratios[op] >= 0.95 else 'MISSED'}")
        print(f"    CPU seconds (user + system, medians): v1 {median(cpu[f'v1 {op}']):.3f}, "
              f"v2 {median(cpu[f'v2 {op}']):.3f}")
    results["formats"] = {"times": times, "cpu": cpu, "v2_over_v1": ratios}

    done = subprocess.run([sys.executable, "-c", _SWEEP_JOB, str(plain), str(work), str(args.rounds)],
                          capture_output=True, text=True, check=True)
    sweep = json.loads(done.stdout)
    print("  version 2 chunk sizes (encrypt_file / decrypt_file in one process; medians of CPU and wall s):")
    for cs in (16 << 10, 64 << 10, 256 << 10, 1 << 20, 4 << 20):
        e, d = sweep[f"{cs} encrypt"], sweep[f"{cs} decrypt"]
        print(f"    {cs >> 10:5} KiB: encrypt cpu {e[0]:.3f} wall {e[1]:.3f}   decrypt cpu {d[0]:.3f} wall {d[1]:.3f}")
    results["v2_chunk_sweep"] = sweep

    done = subprocess.run([sys.executable, "-c", _HEADER_JOB, "9"], capture_output=True, text=True, check=True)
    header = json.loads(done.stdout)
    print(f"  header of 1,000 ML-KEM-768 recipients ({header['header_bytes']} bytes): parsed in "
          f"{header['parse_s'] * 1000:.1f} ms (target < 50 ms: {'met' if header['parse_s'] < 0.05 else 'MISSED'}); "
          f"parsed and the last entry's key found (1,000 decapsulations) in "
          f"{header['parse_and_find_last_s'] * 1000:.1f} ms")
    results["header_1000"] = header

    key = work / "rw-key.pem"
    subprocess.run([*VELORA, "keygen", "-q", "-o", str(key)], check=True)
    recipient = subprocess.run([*VELORA, "pubkey", str(key)], capture_output=True, text=True, check=True).stdout.strip()
    other = work / "rw-other.pem"
    subprocess.run([*VELORA, "keygen", "-q", "-o", str(other)], check=True)
    other_r = subprocess.run([*VELORA, "pubkey", str(other)], capture_output=True, text=True, check=True).stdout.strip()
    src = work / "rw.vlr"
    subprocess.run([*VELORA, "encrypt", "-q", "-r", recipient, "-o", str(src), str(plain)], check=True)
    warm(src)
    rewrap_t, again_t = [], []
    for _ in range(max(3, args.rounds // 2)):
        out = work / "rw-out.vlr"
        rewrap_t.append(timed([*VELORA, "rewrap", "-q", "-i", str(key), "-r", other_r, "-o", str(out), str(src)])[0])
        out.unlink()
        mid = work / "rw-plain.bin"
        a = timed([*VELORA, "decrypt", "-q", "-i", str(key), "-o", str(mid), str(src)])[0]
        b = timed([*VELORA, "encrypt", "-q", "-r", recipient, "-r", other_r, "-o", str(out), str(mid)])[0]
        again_t.append(a + b)
        out.unlink()
        mid.unlink()
    ratio = median(again_t) / median(rewrap_t)
    print(f"  rewrap of {args.size_mib} MiB (adding a recipient, written to a new file in {work.parent}, synced): "
          f"{median(rewrap_t):.3f} s; decrypt + encrypt to files: {median(again_t):.3f} s; "
          f"{ratio:.2f}x faster (target >= 3x: {'met' if ratio >= 3 else 'MISSED'})")
    results["rewrap"] = {"rewrap_s": rewrap_t, "decrypt_encrypt_s": again_t, "ratio": ratio}


if __name__ == "__main__":
    sys.exit(main())
