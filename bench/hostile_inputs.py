#!/usr/bin/env python3
"""The hostile inputs of issue 19, timed: each should be refused or read in bounded time.

- white space before an age file: `age.decrypt(b" " * 32 MiB)` and `AgeReader` over 64 MiB;
- white space before a velora armour: `velora.decrypt_file` and the `velora decrypt` command
  over 64 MiB and 1 GiB of spaces from a pipe;
- an age header of 40,000 X25519 stanzas (3.9 MB, under the 4 MiB cap), none for the identities
  given, with one identity and with three.

Prints one line per case: the wall time, the outcome, and the machine's load average.
Run: .venv/bin/python bench/hostile_inputs.py
"""

from __future__ import annotations

import io
import os
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable

import velora
from velora import age
from velora.age.format import Stanza, encode_header


def timed(name: str, run: Callable[[], object]) -> None:
    start = time.perf_counter()
    try:
        run()
        outcome = "read"
    except Exception as exc:  # the refusals are what is measured
        outcome = f"{type(exc).__name__}: {exc}"
    print(f"{name:58s} {time.perf_counter() - start:7.3f} s  {outcome[:90]}", flush=True)


def many_stanzas(count: int) -> bytes:
    file_key = os.urandom(16)
    stanzas: list[Stanza] = []
    for _ in range(count):
        stanzas += age.X25519Identity.generate().recipient().wrap(file_key)
    return encode_header(stanzas, file_key) + os.urandom(16) + os.urandom(32)


def main() -> None:
    print(f"load average {os.getloadavg()}", flush=True)
    x = age.X25519Identity.generate()
    key = velora.PrivateKey.generate()
    timed("age.decrypt(b' ' * 32 MiB)", lambda: age.decrypt(b" " * (32 << 20), [x]))
    timed("age.AgeReader(64 MiB of spaces)", lambda: age.AgeReader(io.BytesIO(b" " * (64 << 20)), [x]))
    timed("age.AgeReader(64 MiB of spaces, armor=True)",
          lambda: age.AgeReader(io.BytesIO(b" " * (64 << 20)), [x], armor=True))
    timed("velora.decrypt_file(64 MiB of spaces)", lambda: velora.decrypt_file(io.BytesIO(b" " * (64 << 20)),
                                                                              io.BytesIO(), key))
    with tempfile.TemporaryDirectory() as tmp:
        key_file = os.path.join(tmp, "key.pem")
        with open(key_file, "w") as f:
            f.write(key.to_pem())
        for mib in (64, 1024):
            def cli(mib: int = mib) -> None:
                spaces = subprocess.Popen(["sh", "-c", f"head -c {mib << 20} /dev/zero | tr '\\0' ' '"],
                                          stdout=subprocess.PIPE)
                done = subprocess.run([sys.executable, "-m", "velora", "decrypt", "-i", key_file, "-o",
                                       os.path.join(tmp, "out")], stdin=spaces.stdout, capture_output=True,
                                      text=True)
                spaces.kill()
                spaces.wait()
                raise RuntimeError(f"exit {done.returncode}: {done.stderr.strip()}")
            timed(f"velora decrypt < {mib} MiB of spaces (command line)", cli)
    blob = many_stanzas(40_000)
    print(f"header of 40,000 X25519 stanzas: {len(blob) - 64} bytes", flush=True)
    ids = [age.X25519Identity.generate() for _ in range(3)]
    timed("age.decrypt(40,000 X25519 stanzas, 1 identity)", lambda: age.decrypt(blob, ids[:1]))
    timed("age.decrypt(40,000 X25519 stanzas, 3 identities)", lambda: age.decrypt(blob, ids))
    print(f"load average {os.getloadavg()}", flush=True)


if __name__ == "__main__":
    main()
