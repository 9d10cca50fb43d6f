"""A loop over every API of the module, success and error paths, for leak checks.

    python tests/leaks/api_loop.py --rounds R    every case R times (run under valgrind)
    python tests/leaks/api_loop.py --calls N     every case N times, measuring (run with PYTHONMALLOC=malloc)

In the measuring form each case is warmed up, then called N/2 and N/2 more
times. It fails when, over the whole N calls, the reference count of any object
the case passes in (arguments, key pairs, handles, the SecurityLevel members and
the exception classes) changed, or the number of gc-tracked objects grew; or
when the heap in use (glibc mallinfo2: every allocation, Python's included
under PYTHONMALLOC=malloc) grew in the second half by more than a small bound,
which a leak of even one malloc chunk per call exceeds. RSS is reported too.
"""

from __future__ import annotations

import argparse
import copy
import ctypes
import gc
import os
import pickle
import sys

from velora import _velora_core as core
from velora import _velora_native as native

L = core.SecurityLevel
LEVELS = [L.ML_KEM_512, L.ML_KEM_768, L.ML_KEM_1024]
PASSWORD = b"leak check password"
PAGE = os.sysconf("SC_PAGE_SIZE")
# Growth of the heap in use allowed over the second half of a case's calls.
# Caches and free lists settle during the warm-up and the first half; what is
# left wanders by up to a few tens of KiB on the error paths (exception and
# note allocations), whatever the number of calls. A leak of even one 32-byte
# chunk per call is 160 KiB over the 5000 calls of a half at 10^4 calls.
HEAP_SLACK = 64 * 1024
GC_SLACK = 16


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


_libc = ctypes.CDLL(None)
_libc.mallinfo2.restype = MallInfo2


def heap_in_use() -> int:
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def split(frame: bytes) -> tuple[bytes, bytes]:
    n = int.from_bytes(frame[:4], "big")
    return frame[4 : 4 + n], frame[4 + n :]


def expect(exc_type, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc_type:
        return
    raise AssertionError(f"{fn} did not raise {exc_type.__name__}")


def build_cases():
    """(name, callable, objects whose reference counts must not change)."""
    pairs = {int(lv): core.generate_keypair(lv) for lv in LEVELS}
    pair = pairs[768]
    pk, sk = pair.public_key, pair.secret_key
    d, z, m = os.urandom(32), os.urandom(32), os.urandom(32)
    capsule, _ = core.encapsulate(pk)
    package = core.encrypt_hybrid(pk, b"x" * 100)
    bad_package = package[:-1] + bytes([package[-1] ^ 1])
    b64, pem, js = pair.public_key_b64(), pair.public_key_pem(), pair.public_key_json()
    blob, spem = pair.export_secret_key_raw(PASSWORD), pair.export_secret_key_pem(PASSWORD)
    plaintext = os.urandom(1000)
    short = b"short"
    ba = bytearray(pk)

    header, long_enc = core.stream_encryptor_new(pk, 4096)
    long_dec = core.stream_decryptor_from_header(header, sk, L.ML_KEM_768)
    closed_enc = core.stream_encryptor_new(pk, 64)[1]
    closed_enc.finalize()
    closed_dec = core.stream_decryptor_from_header(header, sk, L.ML_KEM_768)
    closed_dec.finalize()

    def stream_chunk():
        frame = long_enc.encrypt_chunk(plaintext)
        assert long_dec.decrypt_chunk(*split(frame)) == plaintext

    def stream_lifecycle():
        h, enc = core.stream_encryptor_new(pk, 64, L.ML_KEM_768)
        frame = enc.encrypt_chunk(b"abc")
        eof = enc.finalize()
        dec = core.stream_decryptor_from_header(h, sk, L.ML_KEM_768)
        assert dec.decrypt_chunk(*split(frame)) == b"abc"
        dec.process_eof(eof[4:])
        assert dec.eof_seen()
        dec.finalize()

    def stream_dropped_open():
        h, enc = core.stream_encryptor_new(pk, 64)
        enc.encrypt_chunk(b"abc")
        core.stream_decryptor_from_header(h, sk, L.ML_KEM_768)  # dropped while open

    def stream_errors():
        expect(core.InvalidParameterError, long_enc.encrypt_chunk, b"x" * 4097)
        expect(core.InvalidParameterError, long_enc.encrypt_chunk, b"")
        expect(core.InvalidParameterError, long_dec.decrypt_chunk, b"x", b"short tag")
        expect(core.DecryptionError, long_dec.decrypt_chunk, b"x", bytes(16))
        expect(core.DecryptionError, long_dec.process_eof, bytes(16))
        expect(core.InvalidParameterError, closed_enc.encrypt_chunk, b"x")
        expect(core.InvalidParameterError, closed_enc.finalize)
        expect(core.InvalidParameterError, closed_dec.decrypt_chunk, b"x", bytes(16))
        expect(core.InvalidParameterError, closed_dec.finalize)
        expect(TypeError, long_enc.encrypt_chunk, ba)
        expect(TypeError, long_dec.decrypt_chunk, b"x", None)
        expect(OverflowError, core.stream_encryptor_new, pk, -1)
        expect(OverflowError, core.stream_encryptor_new, pk, 2**70)
        expect(core.InvalidParameterError, core.stream_encryptor_new, pk, 0)
        expect(core.InvalidParameterError, core.stream_decryptor_from_header, header[:100], sk, L.ML_KEM_768)
        expect(TypeError, core.stream_decryptor_from_header, header, sk, 768)

    def getters():
        long_enc.base_nonce(), long_enc.chunk_size(), long_enc.chunk_index()
        long_dec.eof_seen(), long_dec.chunk_size(), long_dec.chunk_index()
        closed_enc.base_nonce(), closed_enc.chunk_size(), closed_dec.eof_seen()

    def keypair_reads():
        pair.public_key, pair.secret_key, pair.level, repr(pair), str(pair)
        expect(AttributeError, setattr, pair, "level", L.ML_KEM_512)
        expect(TypeError, pickle.dumps, pair)

    def security_level():
        for lv in LEVELS:
            int(lv), repr(lv), lv == 768, lv != lv, lv == "x"
        expect(TypeError, lambda: L.ML_KEM_512 < L.ML_KEM_768)
        expect(TypeError, hash, L.ML_KEM_512)
        for lv in LEVELS:
            assert pickle.loads(pickle.dumps(lv)) is lv and copy.deepcopy(lv) is lv

    def kem_errors():
        expect(core.InvalidParameterError, core.encapsulate, short)
        expect(core.InvalidParameterError, core.encapsulate_deterministic, short, m)
        expect(core.InvalidParameterError, core.decapsulate, capsule, short)
        expect(core.InvalidParameterError, core.decapsulate, short, sk)
        expect(ValueError, core.generate_keypair_deterministic, short, z)
        expect(ValueError, core.encapsulate_deterministic, pk, short)
        expect(TypeError, core.encapsulate, ba)
        expect(TypeError, core.encapsulate, pk, level=None)
        expect(TypeError, core.encapsulate, pk, nope=1)
        expect(TypeError, core.decapsulate, capsule)
        expect(TypeError, core.generate_keypair, L.ML_KEM_768, L.ML_KEM_768)
        expect(TypeError, core.KeyPair)

    def hybrid_errors():
        expect(core.DecryptionError, core.decrypt_hybrid, bad_package, sk)
        expect(core.InvalidParameterError, core.decrypt_hybrid, short, sk)
        expect(core.InvalidParameterError, core.encrypt_hybrid, short, plaintext)
        expect(TypeError, core.encrypt_hybrid, pk, "text")

    def text_errors():
        expect(core.VeloraError, core.deserialize_public_key, "!!!")
        expect(core.InvalidParameterError, core.deserialize_public_key, b64, L.ML_KEM_512)
        expect(core.KeySerializationError, core.load_public_key_pem, "no armour")
        expect(core.KeySerializationError, core.load_public_key_json, '{"algorithm": 1}')
        expect(core.KeySerializationError, core.load_secret_key_raw, short, PASSWORD)
        expect(core.DecryptionError, core.load_secret_key_raw, blob, b"wrong")
        expect(core.KeySerializationError, core.load_secret_key_pem, pem, PASSWORD)
        expect(core.VeloraError, core.deserialize_public_key, "abc\ud800")
        expect(TypeError, core.load_public_key_json, b"{}")
        expect(TypeError, pair.export_secret_key_raw, "pw")

    cases = [
        ("generate_keypair", lambda: core.generate_keypair(L.ML_KEM_768), []),
        ("generate_keypair_deterministic", lambda: core.generate_keypair_deterministic(d, z), [d, z]),
        ("encapsulate", lambda: core.encapsulate(pk), [pk]),
        ("encapsulate_deterministic", lambda: core.encapsulate_deterministic(pk, m), [pk, m]),
        ("decapsulate", lambda: core.decapsulate(capsule, sk), [capsule, sk]),
        ("kem errors", kem_errors, [pk, sk, capsule, short, ba]),
        ("serialize_public_key", lambda: core.serialize_public_key(pk), [pk]),
        ("deserialize_public_key", lambda: core.deserialize_public_key(b64), [b64]),
        ("encrypt_hybrid", lambda: core.encrypt_hybrid(pk, plaintext), [pk, plaintext]),
        ("decrypt_hybrid", lambda: core.decrypt_hybrid(package, sk), [package, sk]),
        ("hybrid errors", hybrid_errors, [bad_package, sk, short]),
        ("load_public_key_pem", lambda: core.load_public_key_pem(pem), [pem]),
        ("load_public_key_json", lambda: core.load_public_key_json(js), [js]),
        ("load_secret_key_raw", lambda: core.load_secret_key_raw(blob, PASSWORD), [blob, PASSWORD]),
        ("load_secret_key_pem", lambda: core.load_secret_key_pem(spem, PASSWORD), [spem, PASSWORD]),
        ("text errors", text_errors, [b64, pem, blob]),
        ("KeyPair reads", keypair_reads, [pair]),
        ("KeyPair.public_key_b64/pem/json",
         lambda: (pair.public_key_b64(), pair.public_key_pem(), pair.public_key_json()), [pair]),
        ("KeyPair.export_secret_key_raw", lambda: pair.export_secret_key_raw(PASSWORD), [pair, PASSWORD]),
        ("KeyPair.export_secret_key_pem", lambda: pair.export_secret_key_pem(PASSWORD), [pair, PASSWORD]),
        ("SecurityLevel", security_level, []),
        ("KeyPair released", lambda: core.generate_keypair_deterministic(d, z, L.ML_KEM_1024), [d, z]),
        ("build_info", native.build_info, []),
        ("build_info errors", lambda: expect(TypeError, native.build_info, 1), []),
        ("stream chunk round trip", stream_chunk, [long_enc, long_dec, plaintext]),
        ("stream life cycle", stream_lifecycle, [pk, sk]),
        ("stream dropped open", stream_dropped_open, [pk, sk]),
        ("stream errors", stream_errors, [long_enc, long_dec, closed_enc, closed_dec, header]),
        ("stream getters", getters, [long_enc, long_dec, closed_enc, closed_dec]),
    ]
    # ---- keys: the key objects over velora._velora_native -------------------
    import velora

    kkey = velora.PrivateKey.from_seed(bytes(range(64)), L.ML_KEM_768)
    kder = kkey.to_der("both")
    kenc = kkey.to_der(password=PASSWORD, scrypt_n=16)
    kspki = kkey.public_key().to_pem()
    kcapsule, _ = kkey.public_key().encapsulate()

    def key_objects():
        fresh = velora.PrivateKey.generate(768)
        fresh.decapsulate(kcapsule) if fresh.level is kkey.level else None
        kkey.decapsulate(kcapsule)
        kkey.decrypt(kkey.public_key().encrypt(plaintext))
        assert fresh != kkey and kkey.seed is not None and len(kkey.to_bytes()) == 2400
        with kkey._secret_key_bytes() as dk:
            assert len(dk) == 2400

    def key_formats():
        velora.load_private_key(kder)
        velora.load_private_key(kenc, PASSWORD)
        velora.load_public_key(kspki)
        kkey.to_pem("expanded")
        velora.PrivateKey.from_bytes(sk, 768)
        velora.is_encrypted_private_key(kenc)

    def key_errors():
        expect(core.KeySerializationError, velora.load_private_key, kder[:-1])
        expect(core.DecryptionError, velora.load_private_key, kenc, b"wrong")
        expect(core.KeySerializationError, velora.load_private_key, kenc)
        expect(core.KeySerializationError, velora.load_public_key, kspki[:-40])
        expect(core.InvalidParameterError, velora.PrivateKey.from_seed, b"short", 768)
        expect(TypeError, velora.PrivateKey.from_der, kder, "pw")

    cases += [
        ("key objects", key_objects, [kkey, kcapsule, plaintext]),
        ("key formats", key_formats, [kkey, kder, kenc, kspki, sk]),
        ("key errors", key_errors, [kkey, kder, kenc, kspki]),
    ]
    watched_always = [*LEVELS, L, core.KeyPair, core.StreamEncryptorHandle, core.StreamDecryptorHandle,
                      core.VeloraError, core.DecapsulationError, core.DecryptionError, core.InvalidParameterError,
                      core.RngError, core.KeySerializationError]
    return [(name, fn, watched + watched_always) for name, fn, watched in cases]


def run_rounds(rounds: int) -> int:
    for _ in range(rounds):
        for _name, fn, _watched in build_cases():
            fn()
    print(f"api_loop: {rounds} round(s) of {len(build_cases())} cases done")
    return 0


def leaking_cases():
    """Cases that leak on purpose: each must be reported (the checker's self-test)."""
    kept: list = []
    token = b"kept by reference"

    def leak_reference():
        kept.append(token)  # one more reference to token per call

    def leak_objects():
        kept.append([])  # one more gc-tracked object per call

    def leak_heap():
        kept.append(os.urandom(40))  # 40 bytes more on the heap per call

    return [("leaks a reference", leak_reference, [token]), ("leaks gc objects", leak_objects, []),
            ("leaks heap", leak_heap, [])]


def measure(calls: int, cases=None) -> int:
    if os.environ.get("PYTHONMALLOC") != "malloc":
        print("api_loop: run with PYTHONMALLOC=malloc so the heap figures cover Python's allocations")
        return 2
    half = max(calls // 2, 1)
    failures = []
    print(f"{'case':34} {'calls':>7} {'heap 1st half':>14} {'heap 2nd half':>14} {'RSS':>10} {'gc objs':>8}  refs")
    for name, fn, watched in cases if cases is not None else build_cases():
        for _ in range(min(1000, half)):
            fn()
        gc.collect()
        refs0 = [sys.getrefcount(o) for o in watched]
        objs0 = len(gc.get_objects())
        heap0, rss0 = heap_in_use(), rss()
        for _ in range(half):
            fn()
        gc.collect()
        heap1 = heap_in_use()
        for _ in range(half):
            fn()
        gc.collect()
        heap2, rss2 = heap_in_use(), rss()
        objs2 = len(gc.get_objects())
        refs2 = [sys.getrefcount(o) for o in watched]
        ref_changes = [(repr(o)[:40], b - a) for o, a, b in zip(watched, refs0, refs2) if a != b]
        ok = not ref_changes and objs2 - objs0 <= GC_SLACK and heap2 - heap1 <= HEAP_SLACK
        print(f"{name:34} {2 * half:>7} {heap1 - heap0:>+14} {heap2 - heap1:>+14} {rss2 - rss0:>+10} "
              f"{objs2 - objs0:>+8}  {'flat' if not ref_changes else ref_changes}{'' if ok else '  <-- FAIL'}")
        if not ok:
            failures.append(name)
    if failures:
        print(f"api_loop: FAILED: {failures}")
        return 1
    print(f"api_loop: OK: {2 * half} calls per case; references, gc objects and heap flat")
    return 0


def main() -> int:
    ap = argparse.ArgumentParser()
    group = ap.add_mutually_exclusive_group(required=True)
    group.add_argument("--rounds", type=int)
    group.add_argument("--calls", type=int)
    group.add_argument("--self-test", action="store_true", help="run cases that leak; every one must fail")
    args = ap.parse_args()
    if args.self_test:
        failed = [measure(10_000, [case]) == 1 for case in leaking_cases()]
        return 1 if all(failed) else 0  # 1: every planted leak was reported
    return run_rounds(args.rounds) if args.rounds is not None else measure(args.calls)


if __name__ == "__main__":
    sys.exit(main())
