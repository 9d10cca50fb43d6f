"""Differential checks against independent ML-KEM implementations.

ML-KEM-768 and ML-KEM-1024 against the `cryptography` package (OpenSSL / AWS-LC), ML-KEM-512 (and the
unreduced-key behaviour at every level) against the pure-Python `kyber-py` package.
"""

from __future__ import annotations

import hashlib
import random

import pytest
from cryptography.hazmat.primitives.asymmetric import mlkem
from kyber_py.ml_kem import ML_KEM_512, ML_KEM_768, ML_KEM_1024

from conftest import LEVEL_BY_VALUE, core

SEEDS_PER_LEVEL = 200

CRYPTOGRAPHY = {
    768: (mlkem.MLKEM768PrivateKey, mlkem.MLKEM768PublicKey),
    1024: (mlkem.MLKEM1024PrivateKey, mlkem.MLKEM1024PublicKey),
}
KYBER_PY = {512: ML_KEM_512, 768: ML_KEM_768, 1024: ML_KEM_1024}


def flip_random_bit(data: bytes, rng: random.Random) -> bytes:
    out = bytearray(data)
    bit = rng.randrange(8 * len(out))
    out[bit // 8] ^= 1 << (bit % 8)
    return bytes(out)


@pytest.mark.parametrize("value", [768, 1024])
def test_against_cryptography(value):
    lv = LEVEL_BY_VALUE[value]
    rng = random.Random(f"velora-cryptography-{value}")  # reproducible seeds
    private_cls, public_cls = CRYPTOGRAPHY[value]
    failures = []
    for i in range(SEEDS_PER_LEVEL):
        d, z = rng.randbytes(32), rng.randbytes(32)
        ours = core.generate_keypair_deterministic(d, z, lv.member)
        theirs = private_cls.from_seed_bytes(d + z)
        where = f"seed #{i} d={d.hex()} z={z.hex()}"
        if ours.public_key != theirs.public_key().public_bytes_raw():
            failures.append(f"{where}: public keys differ")
            continue
        # their encapsulation, our decapsulation
        their_secret, their_capsule = theirs.public_key().encapsulate()
        if core.decapsulate(their_capsule, ours.secret_key, lv.member) != their_secret:
            failures.append(f"{where}: our decapsulation of their capsule differs")
        # our encapsulation (with a key they imported), their decapsulation
        capsule, secret = core.encapsulate(ours.public_key, lv.member)
        if theirs.decapsulate(capsule) != secret:
            failures.append(f"{where}: their decapsulation of our capsule differs")
        # a key they import from our bytes encapsulates to us
        imported_secret, imported_capsule = public_cls.from_public_bytes(ours.public_key).encapsulate()
        if core.decapsulate(imported_capsule, ours.secret_key, lv.member) != imported_secret:
            failures.append(f"{where}: decapsulation of a capsule for the imported key differs")
        # implicit rejection agrees too
        tampered = flip_random_bit(capsule, rng)
        if theirs.decapsulate(tampered) != core.decapsulate(tampered, ours.secret_key, lv.member):
            failures.append(f"{where}: implicit rejection differs")
    assert not failures, "\n".join(failures[:20])


def test_against_kyber_py_512():
    lv = LEVEL_BY_VALUE[512]
    ref = KYBER_PY[512]
    rng = random.Random("velora-kyber-py-512")
    failures = []
    for i in range(SEEDS_PER_LEVEL):
        d, z, m = rng.randbytes(32), rng.randbytes(32), rng.randbytes(32)
        where = f"seed #{i} d={d.hex()} z={z.hex()} m={m.hex()}"
        ours = core.generate_keypair_deterministic(d, z, lv.member)
        ek, dk = ref._keygen_internal(d, z)
        if (ours.public_key, ours.secret_key) != (ek, dk):
            failures.append(f"{where}: key pairs differ")
            continue
        their_secret, their_capsule = ref._encaps_internal(ek, m)
        capsule, secret, _ = core.encapsulate_deterministic(ek, m, lv.member)
        if (capsule, secret) != (their_capsule, their_secret):
            failures.append(f"{where}: deterministic encapsulation differs")
        if core.decapsulate(their_capsule, dk, lv.member) != their_secret:
            failures.append(f"{where}: our decapsulation of their capsule differs")
        capsule, secret = core.encapsulate(ek, lv.member)
        if ref.decaps(dk, capsule) != secret:
            failures.append(f"{where}: their decapsulation of our capsule differs")
        tampered = flip_random_bit(capsule, rng)
        if ref.decaps(dk, tampered) != core.decapsulate(tampered, dk, lv.member):
            failures.append(f"{where}: implicit rejection differs")
    assert not failures, "\n".join(failures[:20])


def decode_12(data: bytes) -> list[int]:
    out = []
    for i in range(0, len(data), 3):
        a, b, c = data[i], data[i + 1], data[i + 2]
        out += [a | (b & 0x0F) << 8, b >> 4 | c << 4]
    return out


def encode_12(values: list[int]) -> bytes:
    out = bytearray()
    for i in range(0, len(values), 2):
        x, y = values[i], values[i + 1]
        out += bytes([x & 0xFF, (x >> 8) | (y & 0x0F) << 4, y >> 4])
    return bytes(out)


@pytest.mark.parametrize("value", [512, 768, 1024])
def test_unreduced_key_is_reduced_for_encryption_but_hashed_as_received(value):
    # FIPS 203's modulus check is not made: fields of 3329..4095 enter t-hat reduced modulo q, while
    # H(ek) is taken over the bytes as received. kyber-py checks the modulus, so it gets the reduced key.
    lv = LEVEL_BY_VALUE[value]
    ref = KYBER_PY[value]
    rng = random.Random(f"velora-unreduced-{value}")
    k = lv.index + 2
    for _ in range(5):
        ek, _ = ref._keygen_internal(rng.randbytes(32), rng.randbytes(32))
        fields = decode_12(ek[: 384 * k])
        for j in rng.sample([j for j, v in enumerate(fields) if v < 4096 - 3329], 6):
            fields[j] += 3329
        unreduced = encode_12(fields) + ek[384 * k :]
        assert encode_12([v % 3329 for v in fields]) + ek[384 * k :] == ek
        m = rng.randbytes(32)
        capsule, secret, _ = core.encapsulate_deterministic(unreduced, m, lv.member)
        g = hashlib.sha3_512(m + hashlib.sha3_256(unreduced).digest()).digest()
        assert secret == g[:32]
        assert capsule == ref._k_pke_encrypt(ek, m, g[32:])
        # and it differs from what the canonical key gives
        assert core.encapsulate_deterministic(ek, m, lv.member)[1] != secret
