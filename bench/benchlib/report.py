"""Reporting: the text tables, the targets table, bench/out/results.json and
bench/out/chart.png. Nothing here measures."""

from __future__ import annotations

import json
from pathlib import Path

from .common import ROOT, TARGET_LEVELS


def fmt_us(s: float | None) -> str:
    return "-" if s is None else f"{s * 1e6:,.1f}"


def opt(x: float | None, f: str) -> str:
    return "-" if x is None else f.format(x)


def table(title: str, header: list[str], rows: list[list[str]]) -> str:
    widths = [max(len(str(x)) for x in col) for col in zip(header, *rows)] if rows else [len(h) for h in header]
    line = lambda r: "  ".join(str(x).rjust(w) if i else str(x).ljust(w) for i, (x, w) in enumerate(zip(r, widths)))
    out = [title, line(header), line(["-" * w for w in widths])]
    out += [line(r) for r in rows]
    return "\n".join(out)


def header(results: dict, rounds: int, sample_ms: float, notes: list[str]) -> str:
    m, e = results["machine"], results["engine"]
    ipsec = results["module_links_ipsec_mb"]
    lines = [
        f"Machine: {m['cpu']}, {m['cores']} cores; Python {m['python']}; system {m['system_openssl']}",
        f"velora engine: Keccak path '{e['keccak_path']}'; AES-256-GCM backend {e['aes_gcm_default_backend']} "
        f"(available: {', '.join(e['aes_gcm_backends'])}); Python module linked with ipsec-mb: "
        f"{'yes' if ipsec else 'no' if ipsec is False else 'unknown'}",
        "Libraries: " + "; ".join(f"{k}: {v}" for k, v in results["libraries"].items()),
        "velora.build_info(): " + ", ".join(f"{k}={v}" for k, v in results["build_info"].items()),
        f"Medians of {rounds} interleaved rounds, {sample_ms:g} ms samples.",
    ]
    lines += [f"note: {n}" for n in notes]
    return "\n".join(lines)


def targets_table(targets: list[dict]) -> str:
    rows = [[t["target"], t["goal"], t["shown"], "-" if t["met"] is None else ("yes" if t["met"] else "NO")]
            for t in targets]
    return table("Targets", ["target", "goal", "measured", "met?"], rows)


def write_json(results: dict, path: Path) -> str:
    path.write_text(json.dumps(results, indent=2))
    return f"results written to {path.relative_to(ROOT)}"


def make_chart(results: dict, path: Path) -> str:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError as e:
        return f"chart skipped: matplotlib not installed ({e})"
    fig, axes = plt.subplots(1, 3, figsize=(20, 6.5))

    # 1. KEM time per call by library (log scale).
    ax = axes[0]
    kem = results["python_kem"]
    libs = [lib for lib in ("velora", "cryptography", "pqcrypto", "kyber-py") if any(r["library"] == lib for r in kem)]
    functions = ("generate_keypair", "encapsulate", "decapsulate")
    labels = [f"{f}\n{b}" for b in TARGET_LEVELS for f in functions]
    width = 0.8 / max(1, len(libs))
    for i, lib in enumerate(libs):
        ys = []
        for b in TARGET_LEVELS:
            for f in functions:
                r = next((r for r in kem if r["library"] == lib and r["level"] == b and r["function"] == f), None)
                ys.append(r["us"] if r else 0)
        ax.bar([x + i * width for x in range(len(labels))], ys, width, label=results["libraries"].get(lib, lib))
    ax.set_yscale("log")
    ax.set_xticks([x + width * (len(libs) - 1) / 2 for x in range(len(labels))], labels, fontsize=7)
    ax.set_ylabel("µs per call (log)")
    ax.set_title("ML-KEM from Python")
    ax.legend(fontsize=7)

    # 2. Engine: own Keccak, its floor, and libcrypto's SHA-3 in the same build.
    ax = axes[1]
    eng = [r for r in results["engine"]["ops"] if r["op"] in ("keygen", "encaps", "decaps")]
    xs = range(len(eng))
    keccak_path = results["engine"]["keccak_path"]
    ax.bar([x - 0.27 for x in xs], [r["us"] for r in eng], 0.27, label=f"engine, Keccak '{keccak_path}'")
    ax.bar(list(xs), [r["floor_us"] or 0 for r in eng], 0.27, label="its Keccak floor")
    ax.bar([x + 0.27 for x in xs], [r["libcrypto_us"] or 0 for r in eng], 0.27, label="engine, libcrypto's SHA-3")
    ax.set_xticks(list(xs), [f"{r['op']}\n{r['level']}" for r in eng], fontsize=7)
    ax.set_ylabel("µs per operation")
    ax.set_title("Engine vs Keccak floor")
    ax.legend(fontsize=7)

    # 3. Bulk throughput.
    ax = axes[2]
    bulk = results["bulk"]
    short = {"encrypt_hybrid": "encrypt_hybrid", "decrypt_hybrid": "decrypt_hybrid",
             "stream encrypt": "stream enc", "stream decrypt": "stream dec"}
    names = [f"{short[r['what']]}\n{r['size_label'].replace(' chunks', ' ch.')}" for r in bulk]
    ax.bar([x - 0.2 for x in range(len(bulk))], [r["velora_gbps"] or 0 for r in bulk], 0.4, label="velora")
    ax.bar([x + 0.2 for x in range(len(bulk))], [r["aesgcm_gbps"] or 0 for r in bulk], 0.4,
           label=results["libraries"].get("cryptography", "cryptography") + " AESGCM")
    ax.set_xticks(list(range(len(bulk))), names, fontsize=7, rotation=45, ha="right")
    ax.set_ylabel("GB/s")
    ax.set_title("Bulk: hybrid packages and streams vs AESGCM")
    ax.legend(fontsize=7)

    fig.suptitle(f"velora benchmark — {results['machine']['cpu']}, {results['machine']['cores']} cores", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return f"chart written to {path.relative_to(ROOT)}"
