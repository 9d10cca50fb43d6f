"""Concurrency soak: 8 threads call every API at once for a bounded time.

Shared key pairs are used by all threads; one stream encryptor and one stream
decryptor are shared by all threads (contended handles), and every thread also
runs private streams of its own. Checks: no crash, no deadlock (every thread
finishes within a grace period), the only errors are the documented
`RuntimeError`s of a busy handle ("Already borrowed" for exclusive methods,
"Already mutably borrowed" for getters), and every result verifies: round trips
return their input, deterministic calls return the values computed up front,
and every frame of the contended encryptor opens, under an AESGCM key derived
independently, at exactly one index, with no index used twice or skipped.

Duration: VELORA_SOAK_SECONDS (default 2; `make soak` runs longer). The figures
(operations, threads, seconds) are printed at the end (visible with -s).
"""

from __future__ import annotations

import os
import threading
import time
from collections import Counter
from dataclasses import dataclass, field

import pytest
from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

from velora import _velora_core as core
from velora import DecryptionError

pytestmark = pytest.mark.soak

THREADS = 8
SECONDS = float(os.environ.get("VELORA_SOAK_SECONDS", "2"))
GRACE = 120.0  # beyond the deadline: a thread still running then is deadlocked
L = core.SecurityLevel
LEVELS = [L.ML_KEM_512, L.ML_KEM_768, L.ML_KEM_1024]
CAPSULE = {512: 768, 768: 1088, 1024: 1568}
PASSWORD = b"soak password"
CHUNK = 256  # private streams
# Contended streams: chunks long enough that calls overlap while the lock is released.
ENC_CHUNK = 1 << 20
DEC_CHUNK = 16 * 1024


def be32(i: int) -> bytes:
    return i.to_bytes(4, "big")


def split(frame: bytes) -> tuple[bytes, bytes]:
    n = int.from_bytes(frame[:4], "big")
    assert len(frame) == n + 20
    return frame[4 : 4 + n], frame[4 + n :]


@dataclass
class Shared:
    """Everything the threads share, built before they start."""

    pairs: dict[int, object]
    det: dict[int, tuple[bytes, bytes, object]]  # d, z, expected pair
    enc_det: dict[int, tuple[bytes, bytes, bytes]]  # m, capsule, secret
    # The contended encryptor and what is known about its stream.
    encryptor: object
    stream_key: bytes
    base_nonce: bytes
    # The contended decryptor, the frames it is fed (index -> ciphertext, tag,
    # plaintext) and the encryptor that makes them.
    decryptor: object
    dec_frames: dict[int, tuple[bytes, bytes, bytes]]
    source: object
    # The highest chunk_index() any thread has read: a lower bound of the next index.
    enc_seen: int = 0
    dec_seen: int = 0
    encrypted: Counter = field(default_factory=Counter)  # index -> frames that opened there
    decrypted: Counter = field(default_factory=Counter)  # index -> times returned
    lock: threading.Lock = field(default_factory=threading.Lock)

    def more_frames(self, upto: int) -> None:
        """Frames for the contended decryptor up to index `upto`; old ones are dropped."""
        with self.lock:
            n = max(self.dec_frames) + 1 if self.dec_frames else 0
            while n <= upto:
                p = os.urandom(1 + (n * 997) % DEC_CHUNK)
                self.dec_frames[n] = (*split(self.source.encrypt_chunk(p)), p)
                n += 1
            for old in [i for i in self.dec_frames if i < upto - 100_000]:
                del self.dec_frames[old]


def build_shared() -> Shared:
    pairs = {int(lv): core.generate_keypair(lv) for lv in LEVELS}
    det = {}
    enc_det = {}
    for lv in LEVELS:
        d, z, m = os.urandom(32), os.urandom(32), os.urandom(32)
        det[int(lv)] = (d, z, core.generate_keypair_deterministic(d, z, lv))
        capsule, secret, _ = core.encapsulate_deterministic(pairs[int(lv)].public_key, m, lv)
        enc_det[int(lv)] = (m, capsule, secret)

    pair = pairs[768]
    header, encryptor = core.stream_encryptor_new(pair.public_key, ENC_CHUNK)
    # The AES key of the stream, derived independently of the handle.
    stream_key = core.decapsulate(header[: CAPSULE[768]], pair.secret_key)

    dec_header, source = core.stream_encryptor_new(pair.public_key, DEC_CHUNK)
    decryptor = core.stream_decryptor_from_header(dec_header, pair.secret_key, L.ML_KEM_768)
    shared = Shared(pairs, det, enc_det, encryptor, stream_key, encryptor.base_nonce(), decryptor, {}, source)
    shared.more_frames(500)
    return shared


# ---- operations: each returns the number of API calls it made ---------------


def op_keygen(s: Shared, rnd: int) -> int:
    lv = LEVELS[rnd % 3]
    pair = core.generate_keypair(lv)
    assert pair.level is lv
    capsule, secret = core.encapsulate(pair.public_key, lv)
    assert core.decapsulate(capsule, pair.secret_key, lv) == secret
    return 3


def op_deterministic(s: Shared, rnd: int) -> int:
    lv = LEVELS[rnd % 3]
    d, z, expected = s.det[int(lv)]
    pair = core.generate_keypair_deterministic(d, z, lv)
    assert pair.public_key == expected.public_key and pair.secret_key == expected.secret_key
    m, capsule, secret = s.enc_det[int(lv)]
    assert core.encapsulate_deterministic(s.pairs[int(lv)].public_key, m, lv) == (capsule, secret, m)
    assert core.decapsulate(capsule, s.pairs[int(lv)].secret_key, lv) == secret
    return 3


def op_kem_shared(s: Shared, rnd: int) -> int:
    lv = LEVELS[rnd % 3]
    pair = s.pairs[int(lv)]
    capsule, secret = core.encapsulate(pair.public_key, lv)
    assert core.decapsulate(capsule, pair.secret_key, lv) == secret
    tampered = bytes([capsule[0] ^ 1]) + capsule[1:]
    assert core.decapsulate(tampered, pair.secret_key, lv) != secret  # implicit rejection, no error
    return 3


def op_hybrid(s: Shared, rnd: int) -> int:
    lv = LEVELS[rnd % 3]
    pair = s.pairs[int(lv)]
    plaintext = os.urandom(rnd % 3000)
    package = core.encrypt_hybrid(pair.public_key, plaintext, lv)
    assert core.decrypt_hybrid(package, pair.secret_key, lv) == plaintext
    bad = package[:-1] + bytes([package[-1] ^ 1])  # the last byte of the ciphertext, or of the tag
    try:
        core.decrypt_hybrid(bad, pair.secret_key, lv)
    except DecryptionError:
        pass
    else:
        raise AssertionError("a tampered package opened")
    return 3


def op_public_text(s: Shared, rnd: int) -> int:
    lv = LEVELS[rnd % 3]
    pair = s.pairs[int(lv)]
    pk = pair.public_key
    assert core.deserialize_public_key(core.serialize_public_key(pk), lv) == pk
    assert core.deserialize_public_key(pair.public_key_b64(), lv) == pk
    assert core.load_public_key_pem(pair.public_key_pem(), lv) == pk
    key, level = core.load_public_key_json(pair.public_key_json())
    assert key == pk and level is lv
    assert repr(pair).startswith("KeyPair(level=MlKem") and pair.level is lv
    return 9


def op_secret_export(s: Shared, rnd: int) -> int:
    lv = LEVELS[rnd % 3]
    pair = s.pairs[int(lv)]
    assert core.load_secret_key_raw(pair.export_secret_key_raw(PASSWORD), PASSWORD) == (pair.secret_key, lv)
    assert core.load_secret_key_pem(pair.export_secret_key_pem(PASSWORD), PASSWORD) == (pair.secret_key, lv)
    return 4


def op_private_stream(s: Shared, rnd: int) -> int:
    lv = LEVELS[rnd % 3]
    pair = s.pairs[int(lv)]
    header, enc = core.stream_encryptor_new(pair.public_key, CHUNK, lv)
    chunks = [os.urandom(1 + (rnd + i) % CHUNK) for i in range(4)]
    frames = [enc.encrypt_chunk(c) for c in chunks]
    eof = enc.finalize()
    dec = core.stream_decryptor_from_header(header, pair.secret_key, lv)
    for frame, chunk in zip(frames, chunks):
        assert dec.decrypt_chunk(*split(frame)) == chunk
    assert dec.process_eof(eof[4:]) is None and dec.eof_seen() and dec.chunk_index() == 5
    dec.finalize()
    return 13


def busy(exc: RuntimeError, expected: str) -> None:
    """The only acceptable error on a contended handle."""
    assert exc.args == (expected,), f"unexpected RuntimeError {exc.args!r}"


def read_index(handle) -> int:
    """chunk_index() of a contended handle, retried while an exclusive call runs."""
    while True:
        try:
            return handle.chunk_index()
        except RuntimeError as exc:
            busy(exc, "Already mutably borrowed")


def index_floor(s: Shared, handle, attr: str, stats: Counter) -> int:
    """A lower bound of the handle's next index without waiting: one chunk_index()
    attempt, else the highest index any thread has read so far."""
    try:
        seen = handle.chunk_index()
    except RuntimeError as exc:
        busy(exc, "Already mutably borrowed")
        stats["busy getter"] += 1
        return getattr(s, attr)
    with s.lock:
        setattr(s, attr, max(getattr(s, attr), seen))
    return seen


def op_contended_encryptor(s: Shared, rnd: int, ctx: dict) -> int:
    enc = s.encryptor
    stats = ctx["stats"]
    calls = 0
    for getter, expected in ((enc.base_nonce, s.base_nonce), (enc.chunk_size, ENC_CHUNK)):
        calls += 1
        try:
            assert getter() == expected
        except RuntimeError as exc:
            busy(exc, "Already mutably borrowed")
            stats["busy getter"] += 1
    # Mostly small chunks, every eighth one of 1 MiB.
    size = ENC_CHUNK if rnd % 8 == 0 else 1 + (rnd * 997) % 4096
    plaintext = os.urandom(size)
    lo = index_floor(s, enc, "enc_seen", stats)
    calls += 2
    try:
        frame = enc.encrypt_chunk(plaintext)
    except RuntimeError as exc:
        busy(exc, "Already borrowed")
        stats["busy encrypt"] += 1
        return calls
    hi = read_index(enc)
    calls += 1
    # The frame's index i lies in [lo, hi): it must open there at exactly one i.
    ciphertext, tag = split(frame)
    opened = []
    for i in range(lo, hi):
        try:
            opened.append((i, ctx["aes"].decrypt(be32(i) + s.base_nonce[4:], ciphertext + tag, be32(i))))
        except InvalidTag:
            continue
    assert len(opened) == 1, f"a frame opens at {len(opened)} indices in [{lo}, {hi})"
    assert opened[0][1] == plaintext
    with s.lock:
        s.encrypted[opened[0][0]] += 1
    return calls


def op_contended_decryptor(s: Shared, rnd: int, ctx: dict) -> int:
    dec = s.decryptor
    stats = ctx["stats"]
    i = index_floor(s, dec, "dec_seen", stats)
    if i not in s.dec_frames:
        s.more_frames(i + 500)
    ciphertext, tag, plaintext = s.dec_frames[i]
    try:
        out = dec.decrypt_chunk(ciphertext, tag)
    except RuntimeError as exc:
        busy(exc, "Already borrowed")
        stats["busy decrypt"] += 1
        return 2
    except DecryptionError:
        # Another thread took index i first: the frame is now out of place,
        # which is exactly what the decryptor must refuse.
        assert read_index(dec) > i, "a frame at its own index failed to authenticate"
        stats["stale decrypt"] += 1
        return 3
    assert out == plaintext
    with s.lock:
        s.decrypted[i] += 1
    return 2


OPS = [op_keygen, op_deterministic, op_kem_shared, op_hybrid, op_public_text, op_secret_export, op_private_stream]
CONTENDED = [op_contended_encryptor, op_contended_decryptor]


def worker(s: Shared, n: int, deadline: float, counts: list[int], errors: list, stats: Counter) -> None:
    rnd = n
    ctx = {"stats": stats, "aes": AESGCM(s.stream_key)}
    try:
        while time.monotonic() < deadline:
            for op in OPS:
                counts[n] += op(s, rnd)
                for c in CONTENDED:  # the shared handles between every other call
                    counts[n] += c(s, rnd, ctx)
                rnd += 7
    except BaseException as exc:  # noqa: BLE001 - every failure is reported
        errors.append((n, exc))


def test_soak_threads_on_shared_keys_and_handles():
    s = build_shared()
    counts = [0] * THREADS
    errors: list = []
    stats: Counter = Counter()
    start = time.monotonic()
    deadline = start + SECONDS
    threads = [threading.Thread(target=worker, args=(s, n, deadline, counts, errors, stats), daemon=True)
               for n in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=max(0.0, deadline + GRACE - time.monotonic()))
    elapsed = time.monotonic() - start
    stuck = [t.name for t in threads if t.is_alive()]
    assert not stuck, f"threads still running {GRACE}s after the deadline (deadlock?): {stuck}"
    if errors:
        n, exc = errors[0]
        raise AssertionError(f"thread {n} failed: {exc!r} ({len(errors)} thread(s) failed)") from exc

    # Every index of each contended stream was used exactly once, none skipped.
    n = s.encryptor.chunk_index()
    assert sorted(s.encrypted) == list(range(n)) and set(s.encrypted.values()) <= {1}
    assert s.decryptor.chunk_index() == sum(s.decrypted.values())
    assert sorted(s.decrypted) == list(range(len(s.decrypted))) and set(s.decrypted.values()) <= {1}
    assert all(counts), f"a thread made no call: {counts}"

    # Both shared handles still work after the storm, and close cleanly.
    eof = s.encryptor.finalize()
    assert AESGCM(s.stream_key).decrypt(be32(n) + s.base_nonce[4:], eof[4:], be32(n)) == b""
    s.decryptor.finalize()

    total = sum(counts)
    print(f"\nsoak: {total} API calls in {elapsed:.1f}s on {THREADS} threads "
          f"({total / elapsed:.0f}/s); contended encryptor {n} frames, "
          f"decryptor {sum(s.decrypted.values())} chunks; busy/stale refusals {dict(stats)}")
