"""The C++ engine benchmark (bench/engine_bench.cpp): built once, run twice
per round, on the Keccak path the CPU gets and on libcrypto's SHA-3
(VELORA_KECCAK=libcrypto, the same build), so that both are measured side
by side. Results: time per ML-KEM operation on each, the permutation calls
of each kind per operation and the Keccak floor they make, the cost of each
kind, AES-256-GCM throughput per backend, and C++ thread scaling."""

from __future__ import annotations

import json
import os
import statistics
import subprocess
from pathlib import Path

from .common import BUILD, ROOT, size_label, tool
from .measure import Context, Section

# Lanes per call of each kind of permutation call the engine counts.
KIND_LANES = {"x1": 1, "x4": 4, "x8": 8}
OPS = ("keygen", "encaps", "decaps")


def build() -> Path:
    """Configures build/bench (benchmark on, Keccak counting on) and builds engine_bench."""
    jobs = os.environ.get("JOBS", "2")
    subprocess.run(
        [tool("cmake"), "-S", str(ROOT), "-B", str(BUILD), "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={tool('ninja')}",
         "-DCMAKE_BUILD_TYPE=Release", "-DVELORA_BUILD_MODULE=OFF", "-DVELORA_BUILD_TESTS=OFF",
         "-DVELORA_BUILD_BENCH=ON", "-DVELORA_COUNT_KECCAK=ON"],
        check=True, stdout=subprocess.DEVNULL)
    subprocess.run([tool("cmake"), "--build", str(BUILD), "-j", jobs, "--target", "engine_bench"], check=True,
                   stdout=subprocess.DEVNULL)
    return BUILD / "engine_bench"


def run_once(binary: Path, sample_ms: float, count: bool, keccak: str | None, kinds: str) -> dict:
    cmd = [str(binary), "--rounds", "1", "--sample-ms", str(sample_ms), "--count", "1" if count else "0",
           "--kinds", kinds]
    env = dict(os.environ)
    env.pop("VELORA_KECCAK", None)
    if keccak:
        env["VELORA_KECCAK"] = keccak
    return json.loads(subprocess.run(cmd, check=True, capture_output=True, text=True, env=env).stdout)


class EngineSection(Section):
    key = "engine"
    title = "Engine"

    def __init__(self, binary: Path) -> None:
        super().__init__()
        self.binary = binary
        self.runs: dict[str, list[dict]] = {"own": [], "libcrypto": []}
        # After collect(): every round's samples on the own path, by (kind, op, detail, bytes).
        self.own_samples: dict[tuple, list[float]] = {}

    def per_round(self, ctx: Context, round_index: int) -> None:
        first = round_index == 0
        self.runs["own"].append(run_once(self.binary, ctx.sample_ms, first, None, "mlkem,keccak,aes_gcm,threads"))
        self.runs["libcrypto"].append(run_once(self.binary, ctx.sample_ms, first, "libcrypto", "mlkem,keccak"))

    @staticmethod
    def _samples(runs: list[dict]) -> dict[tuple, list[float]]:
        out: dict[tuple, list[float]] = {}
        for run in runs:
            for it in run["items"]:
                out.setdefault((it["kind"], it["op"], it["detail"], it["bytes"]), []).extend(it["samples_ns"])
        return out

    def collect(self, ctx: Context) -> None:
        own, lib = self._samples(self.runs["own"]), self._samples(self.runs["libcrypto"])
        self.own_samples = own
        first_own, first_lib = self.runs["own"][0], self.runs["libcrypto"][0]
        path = first_own["keccak_path"]
        # Cost of one call of each kind, and libcrypto's cost per permutation.
        kinds = {}
        for (kind, op, detail, _), samples in own.items():
            if kind == "keccak" and op in KIND_LANES:
                ns = statistics.median(samples)
                kinds[op] = {"ns_per_call": ns, "lanes": KIND_LANES[op], "ns_per_lane": ns / KIND_LANES[op]}
        libcrypto_ns = statistics.median(
            next(s for (kind, op, _, _), s in own.items() if kind == "keccak" and op == "libcrypto"))
        calls = {(it["op"], it["detail"]): it["calls"] for it in first_own["items"] if it["kind"] == "mlkem"}
        lib_calls = {(it["op"], it["detail"]): it["calls"] for it in first_lib["items"] if it["kind"] == "mlkem"}
        rows = []
        for (kind, op, detail, _), samples in own.items():
            if kind != "mlkem":
                continue
            ns = statistics.median(samples)
            lib_samples = lib.get((kind, op, detail, 0))
            lib_ns = statistics.median(lib_samples) if lib_samples else None
            c = calls.get((op, detail), {})
            floor = sum(c.get(k, 0) * kinds[k]["ns_per_call"] for k in kinds) if c and kinds else None
            lc = lib_calls.get((op, detail), {})
            lib_floor = lc.get("libcrypto", 0) * libcrypto_ns if lc else None
            # Paired per round: libcrypto path / own path.
            speedup = (statistics.median(b / a for a, b in zip(samples, lib_samples)) if lib_samples else None)
            rows.append({"op": op, "level": int(detail), "us": ns / 1e3, "calls": c,
                         "lane_permutations": sum(c.get(k, 0) * KIND_LANES[k] for k in KIND_LANES) if c else None,
                         "floor_us": floor / 1e3 if floor else None, "ratio": ns / floor if floor else None,
                         "libcrypto_us": lib_ns / 1e3 if lib_ns else None,
                         "libcrypto_permutations": lc.get("libcrypto") if lc else None,
                         "libcrypto_floor_us": lib_floor / 1e3 if lib_floor else None,
                         "libcrypto_speedup": speedup})
        rows.sort(key=lambda r: (r["level"], r["op"]))
        aes = []
        for (kind, op, detail, nbytes), samples in own.items():
            if kind == "aes_gcm":
                aes.append({"backend": detail, "op": op, "bytes": nbytes, "gbps": nbytes / statistics.median(samples)})
        ops_s = {(op, detail): 1e9 / statistics.median(samples)
                 for (kind, op, detail, _), samples in own.items() if kind == "threads"}
        scaling = {}  # (op, level): median over rounds of 2-thread / 1-thread ops/s
        for (kind, op, detail, nb), samples in own.items():
            if kind == "threads" and detail.endswith("/1"):
                two = own.get((kind, op, detail[:-2] + "/2", nb))
                if two:
                    scaling[(op, detail[:-2])] = statistics.median(a / b for a, b in zip(samples, two))
        ctx.results[self.key] = {
            "keccak_path": path, "kinds": kinds, "libcrypto_ns_per_permutation": libcrypto_ns, "ops": rows,
            "aes_gcm": aes, "aes_gcm_default_backend": first_own["aes_gcm_default_backend"],
            "aes_gcm_backends": first_own["aes_gcm_backends"],
            "thread_ops_s": {f"{op} {d}": v for (op, d), v in ops_s.items()},
            "thread_scaling": {f"{op} {d}": v for (op, d), v in scaling.items()},
            "machine_thread_scaling": scaling.get(("spin", "-")),
        }

    def row(self, ctx: Context, op: str, level: int) -> dict | None:
        return next((r for r in ctx.results[self.key]["ops"] if r["op"] == op and r["level"] == level), None)

    def tables(self, ctx: Context) -> list[str]:
        from .report import opt, table

        e = ctx.results[self.key]
        kinds = e["kinds"]
        cost = "; ".join(f"{k} {v['ns_per_call']:.0f} ns per call = {v['ns_per_lane']:.1f} ns per lane-permutation"
                         for k, v in sorted(kinds.items(), key=lambda kv: kv[1]["lanes"]))
        rows = []
        for r in e["ops"]:
            c = r["calls"] or {}
            rows.append([str(r["level"]), r["op"], f"{r['us']:,.2f}",
                         " ".join(f"{k}:{c.get(k, 0):g}" for k in KIND_LANES if c.get(k)) or "-",
                         opt(r["floor_us"], "{:,.2f}"), opt(r["ratio"], "{:.2f}x"),
                         opt(r["libcrypto_us"], "{:,.2f}"), opt(r["libcrypto_permutations"], "{:g}"),
                         opt(r["libcrypto_speedup"], "{:.2f}x")])
        return [
            f"Keccak-f[1600] on the '{e['keccak_path']}' path: {cost}.\n"
            f"libcrypto's SHA-3 (EVP): {e['libcrypto_ns_per_permutation']:.1f} ns per permutation.",
            table(f"Engine (C++, engine_bench), µs per operation: the '{e['keccak_path']}' path against libcrypto's "
                  "SHA-3 in the same build (VELORA_KECCAK=libcrypto)",
                  ["level", "operation", "engine µs", "calls per kind", "Keccak floor µs", "engine/floor",
                   "libcrypto-SHA-3 µs", "its permutations", "speed-up"], rows),
            table("AES-256-GCM in the engine (C++, per backend, out of place)", ["backend", "op", "size", "GB/s"],
                  [[r["backend"], r["op"], size_label(r["bytes"]), f"{r['gbps']:.2f}"] for r in e["aes_gcm"]]),
        ]
