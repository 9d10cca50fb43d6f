"""The targets of the benchmark, as a table: each row names what it
measures, its goal, and how to read the measured value from the results of
the sections (None when the run could not measure it)."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Callable

from .common import LEVEL_BITS, MiB, TARGET_LEVELS


@dataclass(frozen=True)
class Target:
    name: str
    goal: str  # as printed
    value: Callable[[dict], float | None]  # from ctx.results
    met: Callable[[float], bool]
    unit: str = "x"


def _engine(results: dict, op: str, level: int, field: str) -> float | None:
    row = next((r for r in results["engine"]["ops"] if r["op"] == op and r["level"] == level), None)
    return row[field] if row else None


def _python(results: dict, library: str, function: str, level: int, field: str = "us") -> float | None:
    row = next((r for r in results["python_kem"] if r["library"] == library and r["function"] == function
                and r["level"] == level), None)
    return row.get(field) if row else None


def _versus_cryptography(function: str, level: int) -> Callable[[dict], float | None]:
    def value(results: dict) -> float | None:
        v, c = _python(results, "velora", function, level), _python(results, "cryptography", function, level)
        return v / c if v and c else None
    return value


def _thread_scaling(function: str, level: int) -> Callable[[dict], float | None]:
    def value(results: dict) -> float | None:
        row = next((r for r in results["threads"] if r["function"] == function and r["level"] == level), None)
        return row["scaling"] if row else None
    return value


def _bulk(what: str, size: int, invert: bool = False) -> Callable[[dict], float | None]:
    def value(results: dict) -> float | None:
        row = next((r for r in results["bulk"] if r["what"] == what and r["size"] == size), None)
        if not row or not row["ratio"]:
            return None
        return 1 / row["ratio"] if invert else row["ratio"]
    return value


TARGETS: list[Target] = [
    # ML-KEM from Python against cryptography's time for the same operation.
    *[Target(f"{f} {bits} / cryptography", f"<= {goal}x", _versus_cryptography(f, bits), lambda x, g=goal: x <= g)
      for f, goal in (("generate_keypair", 0.10), ("encapsulate", 0.45), ("decapsulate", 0.32))
      for bits in TARGET_LEVELS],
    # The engine's own Keccak against libcrypto's SHA-3, same build, same run.
    *[Target(f"engine {op} {bits}: libcrypto-SHA-3 time / own Keccak time", ">= 1.8x",
             lambda r, op=op, bits=bits: _engine(r, op, bits, "libcrypto_speedup"), lambda x: x >= 1.8)
      for bits in LEVEL_BITS for op in ("keygen", "encaps", "decaps")],
    # The engine against its Keccak floor (permutation calls x cost of each kind).
    *[Target(f"engine {op} {bits} / Keccak floor", "<= 1.3x", lambda r, op=op, bits=bits: _engine(r, op, bits, "ratio"),
             lambda x: x <= 1.3)
      for bits in LEVEL_BITS for op in ("keygen", "encaps", "decaps")],
    *[Target(f"Python call overhead {f} {bits}", "<= 1.5 µs",
             lambda r, f=f, bits=bits: _python(r, "velora", f, bits, "overhead_us"), lambda x: x <= 1.5, "µs")
      for bits in TARGET_LEVELS
      for f in ("generate_keypair", "generate_keypair_deterministic", "encapsulate", "encapsulate_deterministic",
                "decapsulate")],
    *[Target(f"{f} {bits} 2 threads / 1 thread", ">= 1.8x", _thread_scaling(f, bits), lambda x: x >= 1.8)
      for f in ("encapsulate", "decapsulate") for bits in TARGET_LEVELS],
    *[Target(f"{what} 64 MiB time / AESGCM", "<= 1.1x", _bulk(what, 64 * MiB), lambda x: x <= 1.1)
      for what in ("encrypt_hybrid", "decrypt_hybrid")],
    *[Target(f"stream {d} 1 MiB chunks / AESGCM on the same chunks", ">= 0.9x", _bulk(f"stream {d}", MiB, True),
             lambda x: x >= 0.9) for d in ("encrypt", "decrypt")],
    Target("encrypt_hybrid 256 MiB peak-RSS growth / payload", "<= 2.1x",
           lambda r: r["rss"].get("encrypt_hybrid", {}).get("ratio"), lambda x: x <= 2.1),
]


def evaluate(results: dict) -> list[dict]:
    """Every target's measured value and verdict, then the machine's own
    thread-scaling controls (no goal) below them."""
    out = []
    for t in TARGETS:
        try:
            x = t.value(results)
        except KeyError:
            x = None
        shown = "-" if x is None else (f"{x:.2f}{t.unit}" if t.unit == "x" else f"{x:.2f} {t.unit}")
        out.append({"target": t.name, "goal": t.goal, "measured": x, "met": None if x is None else bool(t.met(x)),
                    "shown": shown})
    for r in results.get("threads", []):
        if r["function"].startswith("control"):
            out.append({"target": f"  ({r['function']} from Python, 2 threads / 1)", "goal": "machine",
                        "measured": r["scaling"], "met": None, "shown": f"{r['scaling']:.2f}x"})
    machine = results.get("engine", {}).get("machine_thread_scaling")
    if machine is not None:
        out.append({"target": "  (control: C++ arithmetic loop, 2 threads / 1)", "goal": "machine",
                    "measured": machine, "met": None, "shown": f"{machine:.2f}x"})
    return out
