#!/usr/bin/env python3
"""age-format encryption and decryption: velora against age 1.1.1 on the same file.

A file of BENCH_AGE_MIB MiB (default 1024) of random bytes is written once and
read once so that it sits in the page cache; then, in interleaved rounds,
each tool encrypts it to an X25519 recipient and decrypts its own output, to
/dev/null: velora through `velora.age.encrypt_file` / `decrypt_file` (the
library) and through the `velora` command line (both run velora.files'
encrypt_file / decrypt_file; the command line adds its own start), and age
1.1.1. Every figure is the wall time of a fresh process (interpreter start and
import included for velora) and its peak RSS (GNU time); the median over the
rounds is reported, with the machine's load average before and after, the
speed-up (age's median over velora's) and the targets (>= 1.5x faster than
age, peak RSS <= 64 MiB).
"""

from __future__ import annotations

import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SIZE_MIB = int(os.environ.get("BENCH_AGE_MIB", "1024"))
ROUNDS = int(os.environ.get("BENCH_AGE_ROUNDS", "3"))
TARGET_SPEEDUP = 1.5
TARGET_RSS_MIB = 64


def run(argv: list[str], rss_file: Path) -> tuple[float, float]:
    """Wall seconds and peak RSS (MiB) of one process. The RSS comes from GNU time, a
    small parent: a child's peak RSS starts from its parent's at exec, so this
    script's own would otherwise show through."""
    start = time.perf_counter()
    proc = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", str(rss_file), *argv],
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    wall = time.perf_counter() - start
    if proc.returncode != 0:
        raise SystemExit(f"failed ({proc.returncode}): {' '.join(argv)}\n{proc.stderr.decode(errors='replace')}")
    return wall, int(rss_file.read_text().split()[-1]) / 1024


def main() -> int:
    if not Path("/usr/bin/time").exists():
        raise SystemExit("GNU time is not installed (make bench-age installs Debian's time)")
    age = shutil.which("age")
    if age is None:
        raise SystemExit("age is not installed (make system installs Debian's age 1.1.1)")
    version = subprocess.run([age, "--version"], capture_output=True, text=True).stdout.strip()
    with tempfile.TemporaryDirectory(prefix="age-bench-") as tmp:
        d = Path(tmp)
        plain = d / "plain"
        with open(plain, "wb") as f:
            for _ in range(SIZE_MIB):
                f.write(os.urandom(1 << 20))
        with open(plain, "rb") as f:  # into the page cache
            while f.read(1 << 20):
                pass
        key = d / "key.txt"
        subprocess.run([age + "-keygen", "-o", str(key)], check=True, capture_output=True)
        recipient = next(line.split(": ")[1] for line in key.read_text().splitlines() if "public key" in line)
        ours_ct, theirs_ct = d / "ours.age", d / "theirs.age"
        py = sys.executable
        velora_enc = (
            "import sys; from velora import age; "
            "age.encrypt_file(sys.argv[1], sys.argv[2], [age.parse_recipient(sys.argv[3])])"
        )
        velora_dec = (
            "import sys; from velora import age; "
            "age.decrypt_file(sys.argv[1], sys.argv[2], age.read_identities_file(sys.argv[3]))"
        )
        # The ciphertexts that the decryption rounds read (also put in the page cache).
        subprocess.run([py, "-c", velora_enc, str(plain), str(ours_ct), recipient], check=True)
        subprocess.run([age, "-r", recipient, "-o", str(theirs_ct), str(plain)], check=True)
        for p in (ours_ct, theirs_ct):
            with open(p, "rb") as f:
                while f.read(1 << 20):
                    pass
        commands = {
            ("encrypt", "velora"): [py, "-c", velora_enc, str(plain), "/dev/null", recipient],
            ("encrypt", "cli"): [py, "-m", "velora", "encrypt", "-q", "-r", recipient, "-o", "/dev/null", str(plain)],
            ("encrypt", "age"): [age, "-r", recipient, "-o", "/dev/null", str(plain)],
            ("decrypt", "velora"): [py, "-c", velora_dec, str(ours_ct), "/dev/null", str(key)],
            ("decrypt", "cli"): [py, "-m", "velora", "decrypt", "-q", "-i", str(key), "-o", "/dev/null", str(ours_ct)],
            ("decrypt", "age"): [age, "-d", "-i", str(key), "-o", "/dev/null", str(theirs_ct)],
        }
        results: dict[tuple[str, str], list[tuple[float, float]]] = {k: [] for k in commands}
        load_before = os.getloadavg()
        for _ in range(ROUNDS):
            for k, argv in commands.items():
                results[k].append(run(argv, d / "rss"))

        load_after = os.getloadavg()

    print(f"age-format benchmark: {SIZE_MIB} MiB from the page cache to /dev/null, X25519 recipient, "
          f"{ROUNDS} interleaved rounds (median), {version or 'age'} vs velora")
    print(f"machine: {os.cpu_count()} cores; load average before {load_before[0]:.2f}, after {load_after[0]:.2f}")
    print("velora = velora.age.encrypt_file / decrypt_file, cli = the velora command line")
    print(f"{'operation':<10} {'tool':<8} {'wall s':>8} {'MiB/s':>8} {'peak RSS MiB':>13}")
    summary: dict[str, dict[str, float]] = {}
    ok = True
    for op in ("encrypt", "decrypt"):
        for tool in ("velora", "cli", "age"):
            walls = [w for w, _ in results[(op, tool)]]
            rss = max(r for _, r in results[(op, tool)])
            wall = statistics.median(walls)
            summary[f"{op}/{tool}"] = {"wall_s": wall, "peak_rss_mib": rss}
            print(f"{op:<10} {tool:<8} {wall:8.3f} {SIZE_MIB / wall:8.0f} {rss:13.1f}")
        for tool in ("velora", "cli"):
            speedup = summary[f"{op}/age"]["wall_s"] / summary[f"{op}/{tool}"]["wall_s"]
            rss = summary[f"{op}/{tool}"]["peak_rss_mib"]
            hit = speedup >= TARGET_SPEEDUP and rss <= TARGET_RSS_MIB
            ok = ok and hit
            summary[f"{op}/{tool}/speedup"] = {"x": speedup}
            print(f"{op}: {tool} is {speedup:.2f}x as fast as age (target >= {TARGET_SPEEDUP}x), "
                  f"peak RSS {rss:.1f} MiB (target <= {TARGET_RSS_MIB} MiB): {'met' if hit else 'MISSED'}")
    out = Path(__file__).resolve().parent / "out"
    out.mkdir(exist_ok=True)
    (out / "age_bench.json").write_text(json.dumps({"size_mib": SIZE_MIB, "rounds": ROUNDS, "load_before": load_before,
                                                    "load_after": load_after, **summary}, indent=2))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
