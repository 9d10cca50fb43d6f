"""Every ML-DSA call of the native module releases the interpreter lock while the engine works.

A second thread counts while it holds the lock; with a huge switch interval it can only advance
while the main thread is inside a call that released it (as in tests/test_interpreter_lock.py).
"""

from __future__ import annotations

import sys
import threading
import time
from collections.abc import Callable, Iterator

import pytest

from velora import _velora_native as native
from velora.mldsa import MLDSAPrivateKey

KEY = MLDSAPrivateKey.from_seed(bytes(range(32)), 87)
PK = KEY.public_key().to_bytes()
SK = KEY.expanded_bytes()
MESSAGE = bytes(4096)
SIG = KEY.sign(MESSAGE)
MU = KEY.public_key().compute_mu(MESSAGE)

CALLS: dict[str, Callable[[], object]] = {
    "mldsa_keygen": lambda: native.mldsa_keygen(bytes(32), 87),
    "mldsa_public_key_of_expanded": lambda: native.mldsa_public_key_of_expanded(SK),
    "mldsa_sign": lambda: native.mldsa_sign(SK, MESSAGE, b"", None),
    "mldsa_verify": lambda: native.mldsa_verify(PK, MESSAGE, b"", SIG),
    "mldsa_hash_sign": lambda: native.mldsa_hash_sign(SK, "sha512", MESSAGE, b"", None),
    "mldsa_hash_verify": lambda: native.mldsa_hash_verify(PK, "sha512", MESSAGE, b"", SIG),
    "mldsa_mu": lambda: native.mldsa_mu(PK, MESSAGE, b""),
    "mldsa_sign_mu": lambda: native.mldsa_sign_mu(SK, MU, None),
    "mldsa_verify_mu": lambda: native.mldsa_verify_mu(PK, MU, SIG),
}


class Counter:
    def __init__(self) -> None:
        self.count = 0
        self.stop = False
        self.started = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self) -> None:
        self.started.set()
        while not self.stop:
            self.count += 1
            time.sleep(0)


@pytest.fixture
def counter() -> Iterator[Counter]:
    old = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    c = Counter()
    try:
        c.thread.start()
        c.started.wait()
        yield c
    finally:
        c.stop = True
        sys.setswitchinterval(old)
        c.thread.join()


@pytest.mark.parametrize("name", CALLS)
def test_mldsa_calls_release_the_lock(counter: Counter, name: str) -> None:
    call = CALLS[name]
    # A loaded machine may miss the window a few times: calls go on until the other thread
    # has run inside one (giving up after 20 s), not for a fixed number of tries.
    deadline = time.monotonic() + 20.0
    while time.monotonic() < deadline:
        before = counter.count
        call()
        if counter.count != before:
            return
    pytest.fail(f"{name} never released the interpreter lock")
