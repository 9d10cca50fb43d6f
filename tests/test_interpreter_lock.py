"""Every call that does cryptographic work releases the interpreter lock; the
public-key text functions, the KeyPair getters and repr keep it."""

from __future__ import annotations

import sys
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass

import pytest

from conftest import core

SL = core.SecurityLevel
L = SL.ML_KEM_1024
D = bytes(range(32))
Z = bytes(range(100, 132))
M = bytes(range(200, 232))
PASSWORD = b"correct horse battery staple"
CHUNK = 16 * 1024


class Counter:
    """A thread that counts while it holds the interpreter lock, yielding it with time.sleep(0)."""

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
def counter():
    # With a huge switch interval the interpreter never forces the main thread to hand over the
    # lock, so the counter can only advance while the main thread is inside a call that released it.
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


@dataclass(frozen=True)
class Material:
    kp: object  # a KeyPair at ML-KEM-1024
    capsule: bytes
    package: bytes  # a Transit Package of CHUNK bytes
    blob: bytes
    pem: str
    header: bytes  # a stream header for kp
    frame: tuple[bytes, bytes]  # (ciphertext, tag) of chunk 0 under `header`
    eof: bytes  # the EOF marker (tag part) of an empty stream under a second header
    eof_header: bytes


@pytest.fixture(scope="module")
def material() -> Material:
    kp = core.generate_keypair_deterministic(D, Z, L)
    capsule, _ = core.encapsulate(kp.public_key, L)
    header, enc = core.stream_encryptor_new(kp.public_key, CHUNK, L)
    frame = enc.encrypt_chunk(bytes(CHUNK))
    eof_header, eof_enc = core.stream_encryptor_new(kp.public_key, CHUNK, L)
    return Material(
        kp=kp, capsule=capsule,
        package=core.encrypt_hybrid(kp.public_key, bytes(CHUNK), L),
        blob=kp.export_secret_key_raw(PASSWORD), pem=kp.export_secret_key_pem(PASSWORD),
        header=header, frame=(frame[4:-16], frame[-16:]),
        eof=eof_enc.finalize()[4:], eof_header=eof_header,
    )


# name -> prepare(material) -> the call under test. Preparation (which may
# itself release the lock) happens before the counter is read.
RELEASING: dict[str, Callable[[Material], Callable[[], object]]] = {
    "generate_keypair": lambda m: lambda: core.generate_keypair(L),
    "generate_keypair_deterministic": lambda m: lambda: core.generate_keypair_deterministic(D, Z, L),
    "encapsulate": lambda m: lambda: core.encapsulate(m.kp.public_key, L),
    "encapsulate_deterministic": lambda m: lambda: core.encapsulate_deterministic(m.kp.public_key, M, L),
    "decapsulate": lambda m: lambda: core.decapsulate(m.capsule, m.kp.secret_key, L),
    "encrypt_hybrid": lambda m: lambda: core.encrypt_hybrid(m.kp.public_key, bytes(CHUNK), L),
    "decrypt_hybrid": lambda m: lambda: core.decrypt_hybrid(m.package, m.kp.secret_key, L),
    "load_secret_key_raw": lambda m: lambda: core.load_secret_key_raw(m.blob, PASSWORD),
    "load_secret_key_pem": lambda m: lambda: core.load_secret_key_pem(m.pem, PASSWORD),
    "KeyPair.export_secret_key_raw": lambda m: lambda: m.kp.export_secret_key_raw(PASSWORD),
    "KeyPair.export_secret_key_pem": lambda m: lambda: m.kp.export_secret_key_pem(PASSWORD),
    "stream_encryptor_new": lambda m: lambda: core.stream_encryptor_new(m.kp.public_key, CHUNK, L),
    "stream_decryptor_from_header": lambda m: lambda: core.stream_decryptor_from_header(m.header, m.kp.secret_key, L),
    "StreamEncryptorHandle.encrypt_chunk":
        lambda m: (lambda enc: lambda: enc.encrypt_chunk(bytes(CHUNK)))(
            core.stream_encryptor_new(m.kp.public_key, CHUNK, L)[1]),
    "StreamEncryptorHandle.finalize":
        lambda m: core.stream_encryptor_new(m.kp.public_key, CHUNK, L)[1].finalize,
    "StreamDecryptorHandle.decrypt_chunk":
        lambda m: (lambda dec: lambda: dec.decrypt_chunk(*m.frame))(
            core.stream_decryptor_from_header(m.header, m.kp.secret_key, L)),
    "StreamDecryptorHandle.process_eof":
        lambda m: (lambda dec: lambda: dec.process_eof(m.eof))(
            core.stream_decryptor_from_header(m.eof_header, m.kp.secret_key, L)),
}
HOLDING: dict[str, Callable[[Material], Callable[[], object]]] = {
    "serialize_public_key": lambda m: lambda: core.serialize_public_key(m.kp.public_key),
    "deserialize_public_key": lambda m: lambda: core.deserialize_public_key(m.kp.public_key_b64(), L),
    "load_public_key_pem": lambda m: lambda: core.load_public_key_pem(m.kp.public_key_pem(), L),
    "load_public_key_json": lambda m: lambda: core.load_public_key_json(m.kp.public_key_json()),
    "KeyPair.public_key_b64": lambda m: m.kp.public_key_b64,
    "KeyPair.public_key_pem": lambda m: m.kp.public_key_pem,
    "KeyPair.public_key_json": lambda m: m.kp.public_key_json,
    "KeyPair.__repr__": lambda m: lambda: repr(m.kp),
    "KeyPair.secret_key": lambda m: lambda: m.kp.secret_key,
}


@pytest.mark.parametrize("name", RELEASING)
def test_engine_calls_let_other_threads_run(counter, material, name):
    prepare = RELEASING[name]
    # Calls until the other thread has run inside one of them. A short call
    # (finalize takes well under a microsecond) leaves the waiting thread a
    # small window, which a loaded machine can miss many times in a row, so
    # the calls go on for up to 20 s rather than for a fixed number of tries.
    deadline = time.monotonic() + 20.0
    while time.monotonic() < deadline:
        call = prepare(material)
        before = counter.count
        call()
        if counter.count != before:
            return
    pytest.fail(f"{name} never released the interpreter lock")


@pytest.mark.parametrize("name", HOLDING)
def test_text_functions_keep_the_lock(counter, material, name):
    # The control: a burst of calls that keep the lock leaves the counter where it was.
    call = HOLDING[name](material)
    before = counter.count
    for _ in range(200):
        call()
    assert counter.count == before
