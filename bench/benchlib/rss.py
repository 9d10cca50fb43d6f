"""Peak memory: the peak-RSS growth of one encrypt_hybrid / decrypt_hybrid
(and of AESGCM.encrypt for comparison) on 256 MiB, each in a fresh
interpreter, measured before this process imports velora."""

from __future__ import annotations

import json
import subprocess
import sys
import tempfile
import textwrap

from .common import MiB, size_label
from .measure import Context, Section

RSS_PAYLOAD = 256 * MiB

RSS_CODE = textwrap.dedent("""
    import json, os, resource, sys
    n, which, scratch = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    def peak():  # bytes; ru_maxrss is in KiB on Linux
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    def hwm():  # the kernel's high-water mark of this process image, bytes
        for line in open("/proc/self/status"):
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
        return 0
    if which == "AESGCM.encrypt":
        from cryptography.hazmat.primitives.ciphers.aead import AESGCM
        payload = bytes(range(256)) * (n // 256)
        aead, nonce = AESGCM(os.urandom(32)), os.urandom(12)
        aead.encrypt(nonce, b"warm", None)
        before, hwm_before = peak(), hwm()
        out = aead.encrypt(nonce, payload, None)
    elif which == "encrypt_hybrid":
        import velora
        payload = bytes(range(256)) * (n // 256)
        kp = velora.generate_keypair()
        velora.encrypt_hybrid(kp.public_key, b"warm")
        before, hwm_before = peak(), hwm()
        out = velora.encrypt_hybrid(kp.public_key, payload)
        # The package for the decryption run, which starts in a fresh process.
        with open(os.path.join(scratch, "package"), "wb") as f:
            f.write(out)
        for name, key in (("secret_key", kp.secret_key), ("public_key", kp.public_key)):
            with open(os.path.join(scratch, name), "wb") as f:
                f.write(key)
    else:
        import velora
        def read(name):
            with open(os.path.join(scratch, name), "rb") as f:
                return f.read()
        sk, package, pk = read("secret_key"), read("package"), read("public_key")
        velora.decrypt_hybrid(velora.encrypt_hybrid(pk, b"warm"), sk)
        before, hwm_before = peak(), hwm()
        out = velora.decrypt_hybrid(package, sk)
    print(json.dumps({"before": before, "after": peak(), "hwm_growth": hwm() - hwm_before, "out_len": len(out)}))
""")


def rss_growth(which: str, n: int, scratch: str) -> dict:
    """Peak-RSS growth of one call in a fresh interpreter. Run while this
    process is still small: a child's ru_maxrss starts from its parent's."""
    r = subprocess.run([sys.executable, "-c", RSS_CODE, str(n), which, scratch], capture_output=True, text=True)
    if r.returncode != 0:
        return {"error": r.stderr.strip().splitlines()[-1] if r.stderr.strip() else f"exit {r.returncode}"}
    d = json.loads(r.stdout)
    d["growth"] = d["after"] - d["before"]
    d["ratio"] = d["growth"] / n
    return d


class RssSection(Section):
    key = "rss"
    title = "Peak RSS"

    def early(self, ctx: Context) -> None:
        print(f"peak RSS of one call on {size_label(RSS_PAYLOAD)} (subprocesses) ...", flush=True)
        with tempfile.TemporaryDirectory() as scratch:  # encrypt_hybrid leaves its package for decrypt_hybrid
            ctx.results[self.key] = {w: rss_growth(w, RSS_PAYLOAD, scratch)
                                     for w in ("encrypt_hybrid", "decrypt_hybrid", "AESGCM.encrypt")}

    def tables(self, ctx: Context) -> list[str]:
        from .report import table

        rows = []
        for w, d in ctx.results[self.key].items():
            if "error" in d:
                rows.append([w, "-", "-", d["error"]])
            else:
                rows.append([w, f"{d['growth'] / MiB:,.1f}", f"{d['ratio']:.2f}x", f"{d['hwm_growth'] / MiB:,.1f}"])
        return [table(f"Peak RSS growth of one call on {size_label(RSS_PAYLOAD)} (getrusage in a fresh subprocess)",
                      ["call", "MiB", "x payload", "VmHWM MiB (cross-check)"], rows)]
