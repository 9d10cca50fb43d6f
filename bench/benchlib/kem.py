"""ML-KEM from Python: velora's five KEM functions at every level, next to
the same operations of the peers in the same process (cryptography,
kyber-py, pqcrypto where installed), and velora's call overhead over the
engine's time for the same operation in the same round."""

from __future__ import annotations

import importlib
import statistics
from typing import Callable

from .common import LEVEL_BITS, version_of
from .engine import EngineSection
from .measure import Context, Item, Section

# velora function -> engine_bench operation
ENGINE_OP = {"generate_keypair": "keygen", "generate_keypair_deterministic": "keygen_deterministic",
             "encapsulate": "encaps", "encapsulate_deterministic": "encaps_deterministic",
             "decapsulate": "decaps"}
PEERS = ("cryptography", "pqcrypto", "kyber-py")


def peer_items(library: str, bits: int, keygen: Callable[[], object], encaps: Callable[[], object],
               decaps: Callable[[], object]) -> list[Item]:
    """A peer's key generation, encapsulation and decapsulation, in the rows of our functions for them."""
    return [
        Item("kem", "generate_keypair", library, bits, keygen),
        Item("kem", "encapsulate", library, bits, encaps),
        Item("kem", "decapsulate", library, bits, decaps),
    ]


def cryptography_items(peers: dict) -> list[Item]:
    try:
        from cryptography.hazmat.backends.openssl.backend import backend
        from cryptography.hazmat.primitives.asymmetric import mlkem
    except ImportError as e:
        peers["cryptography"] = f"not available ({e})"
        return []
    peers["cryptography"] = f"cryptography {version_of('cryptography')} ({backend.openssl_version_text()})"
    items: list[Item] = []
    for bits, cls in ((768, mlkem.MLKEM768PrivateKey), (1024, mlkem.MLKEM1024PrivateKey)):
        key = cls.generate()
        pub = key.public_key()
        _, ct = pub.encapsulate()
        items += peer_items("cryptography", bits, cls.generate, pub.encapsulate, lambda k=key, c=ct: k.decapsulate(c))
    return items


def kyber_py_items(peers: dict) -> list[Item]:
    try:
        from kyber_py.ml_kem import ML_KEM_512, ML_KEM_768, ML_KEM_1024
    except ImportError as e:
        peers["kyber-py"] = f"not available ({e})"
        return []
    peers["kyber-py"] = f"kyber-py {version_of('kyber-py')} (pure Python)"
    items: list[Item] = []
    for bits, kem in ((512, ML_KEM_512), (768, ML_KEM_768), (1024, ML_KEM_1024)):
        ek, dk = kem.keygen()
        _, c = kem.encaps(ek)
        items += peer_items("kyber-py", bits, kem.keygen, lambda kem=kem, ek=ek: kem.encaps(ek),
                            lambda kem=kem, dk=dk, c=c: kem.decaps(dk, c))
    return items


def pqcrypto_items(peers: dict) -> list[Item]:
    try:
        mods = {bits: importlib.import_module(f"pqcrypto.kem.ml_kem_{bits}") for bits in LEVEL_BITS}
    except ImportError as e:
        peers["pqcrypto"] = f"not installed ({e}); `make bench` tries `pip install pqcrypto`"
        return []
    peers["pqcrypto"] = f"pqcrypto {version_of('pqcrypto')}"
    items: list[Item] = []
    for bits, mod in mods.items():
        pk, sk = mod.keygen()
        ct, _ = mod.encaps(pk)
        items += peer_items("pqcrypto", bits, mod.keygen, lambda mod=mod, pk=pk: mod.encaps(pk),
                            lambda mod=mod, sk=sk, ct=ct: mod.decaps(sk, ct))
    return items


class KemSection(Section):
    key = "python_kem"
    title = "ML-KEM from Python"

    def __init__(self, engine_section: EngineSection) -> None:
        super().__init__()
        self.engine = engine_section

    def prepare(self, ctx: Context) -> None:
        import velora

        L = velora.SecurityLevel
        levels = {512: L.ML_KEM_512, 768: L.ML_KEM_768, 1024: L.ML_KEM_1024}
        d, z, m = bytes(range(32)), bytes(range(64, 96)), bytes(range(128, 160))
        for bits, lv in levels.items():
            # The engine benchmark's key pair: SampleNTT's work depends on the key.
            kp = velora.generate_keypair_deterministic(d, z, lv)
            pk, sk = kp.public_key, kp.secret_key
            capsule, _ = velora.encapsulate(pk, lv)
            self.items += [
                Item("kem", "generate_keypair", "velora", bits, lambda lv=lv: velora.generate_keypair(lv)),
                Item("kem", "generate_keypair_deterministic", "velora", bits,
                     lambda lv=lv: velora.generate_keypair_deterministic(d, z, lv)),
                Item("kem", "encapsulate", "velora", bits, lambda pk=pk, lv=lv: velora.encapsulate(pk, lv)),
                Item("kem", "encapsulate_deterministic", "velora", bits,
                     lambda pk=pk, lv=lv: velora.encapsulate_deterministic(pk, m, lv)),
                Item("kem", "decapsulate", "velora", bits,
                     lambda c=capsule, sk=sk, lv=lv: velora.decapsulate(c, sk, lv)),
            ]
        self.items += cryptography_items(ctx.peers)
        self.items += kyber_py_items(ctx.peers)
        self.items += pqcrypto_items(ctx.peers)

    def collect(self, ctx: Context) -> None:
        rows = []
        for it in self.items:
            row = {"function": it.name, "library": it.library, "level": it.level, "us": it.seconds * 1e6,
                   "samples_us": [x * 1e6 for x in it.samples]}
            if it.library == "velora":
                op = ENGINE_OP[it.name]
                e = self.engine.row(ctx, op, it.level)
                row["engine_us"] = e["us"] if e else None
                # Median over rounds of (Python - engine) within each round.
                es = self.engine.own_samples.get(("mlkem", op, str(it.level), 0), [])
                row["overhead_us"] = (statistics.median(p * 1e6 - q / 1e3 for p, q in zip(it.samples, es))
                                      if es else None)
            rows.append(row)
        ctx.results[self.key] = rows

    @staticmethod
    def row(ctx: Context, library: str, function: str, bits: int) -> dict | None:
        return next((r for r in ctx.results["python_kem"] if r["library"] == library and r["function"] == function
                     and r["level"] == bits), None)

    def tables(self, ctx: Context) -> list[str]:
        from .report import fmt_us, table

        rows_in = ctx.results[self.key]
        peer_cols = [p for p in PEERS if any(r["library"] == p for r in rows_in)]
        rows = []
        for bits in LEVEL_BITS:
            for f in ENGINE_OP:
                v = self.row(ctx, "velora", f, bits)
                row = [str(bits), f, fmt_us(v["us"] / 1e6), fmt_us(v["engine_us"] / 1e6 if v["engine_us"] else None),
                       "-" if v["overhead_us"] is None else f"{v['overhead_us']:+.2f}"]
                for p in peer_cols:
                    c = self.row(ctx, p, f, bits)
                    row.append(fmt_us(c["us"] / 1e6) if c else "-")
                rows.append(row)
        out = [table("ML-KEM from Python, µs per call (peer columns: generate/keygen, encapsulate/encaps, "
                     "decapsulate/decaps of that library)",
                     ["level", "function", "velora", "engine", "call overhead"] + [ctx.peers[p] for p in peer_cols],
                     rows)]
        out += [f"  {p}: {ctx.peers.get(p, 'not measured')}" for p in PEERS if p not in peer_cols]
        return out
