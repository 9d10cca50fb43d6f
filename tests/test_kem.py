"""KeyPair and the five KEM functions, checked against hashlib where FIPS 203 fixes a value."""

from __future__ import annotations

import hashlib
import os
import re
import sys

import pytest

from conftest import LEVEL_BY_VALUE, LEVELS, core, expect_exact

SL = core.SecurityLevel
D = bytes(range(32))
Z = bytes(range(100, 132))
M = bytes(range(200, 232))


def k_of(level) -> int:
    return level.index + 2


def implicit_rejection(secret_key: bytes, capsule: bytes) -> bytes:
    """J(z || c) = SHAKE256(z || c)[:32], z the last 32 bytes of the decapsulation key."""
    return hashlib.shake_256(secret_key[-32:] + capsule).digest(32)


def flip_bit(data: bytes, bit: int) -> bytes:
    out = bytearray(data)
    out[bit // 8] ^= 1 << (bit % 8)
    return bytes(out)


# ---- KeyPair ----------------------------------------------------------------


@pytest.mark.parametrize(
    "make",
    [
        lambda: core.KeyPair(),
        lambda: core.KeyPair(b"", b"", SL.ML_KEM_768),
        lambda: core.KeyPair.__new__(core.KeyPair),
        lambda: object.__new__(core.KeyPair),
    ],
    ids=["no-args", "fields", "__new__", "object.__new__"],
)
def test_keypair_has_no_constructor(make):
    with pytest.raises(TypeError):
        make()


@pytest.mark.parametrize("attr", ["public_key", "secret_key", "level"])
def test_keypair_properties_are_read_only(keypairs, attr):
    kp = keypairs[768]
    before = getattr(kp, attr)
    with pytest.raises(AttributeError):
        setattr(kp, attr, before)
    with pytest.raises(AttributeError):
        delattr(kp, attr)
    with pytest.raises(AttributeError):
        kp.some_new_attribute = 1
    assert getattr(kp, attr) == before


def test_keypair_properties_return_new_bytes(level, keypair):
    for attr, size in (("public_key", level.ek), ("secret_key", level.dk)):
        first, second = getattr(keypair, attr), getattr(keypair, attr)
        assert type(first) is bytes
        assert len(first) == size
        assert first == second
        assert first is not second
    assert keypair.level is level.member


def test_keypair_repr_is_the_public_key_fingerprint(level, keypair):
    text = repr(keypair)
    fingerprint = hashlib.sha3_256(keypair.public_key).hexdigest()[:16]
    assert text == f"KeyPair(level={level.engine_name}, fp={fingerprint})"
    assert len(text) == (45 if level.value == 1024 else 44)
    assert re.fullmatch(r"KeyPair\(level=MlKem(512|768|1024), fp=[0-9a-f]{16}\)", text)
    assert str(keypair) == text
    assert keypair.secret_key.hex()[:16] not in text


def test_keypair_equality_is_identity():
    a = core.generate_keypair_deterministic(D, Z)
    b = core.generate_keypair_deterministic(D, Z)
    assert a == a and a != b
    assert len({a, b}) == 2  # default hashing by identity
    assert repr(a) == repr(b)


# ---- key generation ---------------------------------------------------------


def test_generate_keypair_is_random(level):
    a, b = core.generate_keypair(level.member), core.generate_keypair(level=level.member)
    assert a.level is b.level is level.member
    assert a.public_key != b.public_key and a.secret_key != b.secret_key
    assert len(a.secret_key) == level.dk


def test_secret_key_layout(level):
    kp = core.generate_keypair_deterministic(D, Z, level.member)
    ek, dk, k = kp.public_key, kp.secret_key, k_of(level)
    assert len(ek) == level.ek and len(dk) == level.dk
    assert dk[384 * k : 768 * k + 32] == ek
    assert dk[768 * k + 32 : 768 * k + 64] == hashlib.sha3_256(ek).digest()
    assert dk[-32:] == Z
    # rho, the last 32 bytes of ek, is the first half of G(d || k): the rank is the domain byte.
    assert ek[-32:] == hashlib.sha3_512(D + bytes([k])).digest()[:32]


def test_generate_keypair_deterministic_is_reproducible(level):
    a = core.generate_keypair_deterministic(D, Z, level.member)
    b = core.generate_keypair_deterministic(d=D, z=Z, level=level.member)
    assert (a.public_key, a.secret_key) == (b.public_key, b.secret_key)
    assert a.level is level.member
    other_z = core.generate_keypair_deterministic(D, M, level.member)
    assert other_z.public_key == a.public_key
    assert other_z.secret_key[:-32] == a.secret_key[:-32]
    assert other_z.secret_key[-32:] == M
    other_d = core.generate_keypair_deterministic(M, Z, level.member)
    assert other_d.public_key != a.public_key


def test_same_seed_at_two_levels_gives_unrelated_rho():
    rhos = {lv.value: core.generate_keypair_deterministic(D, Z, lv.member).public_key[-32:] for lv in LEVELS}
    assert len(set(rhos.values())) == 3


# ---- round trips and implicit rejection -----------------------------------


def test_round_trip(level, keypair):
    capsule, secret = core.encapsulate(keypair.public_key, level.member)
    assert type(capsule) is bytes and type(secret) is bytes
    assert len(capsule) == level.capsule and len(secret) == 32
    result = core.decapsulate(capsule, keypair.secret_key, level.member)
    assert type(result) is bytes
    assert result == secret
    capsule2, secret2 = core.encapsulate(public_key=keypair.public_key, level=level.member)
    assert capsule2 != capsule and secret2 != secret
    assert core.decapsulate(capsule=capsule2, secret_key=keypair.secret_key, level=level.member) == secret2


def flipped_positions(level):
    k, du = k_of(level), (11 if level.value == 1024 else 10)
    c1 = 32 * du * k
    return {"first": 0, "last-of-c1": 8 * c1 - 1, "first-of-c2": 8 * c1, "middle-of-c2": 8 * c1 + 37,
            "last": 8 * level.capsule - 1}


def test_flipped_capsule_bit_gives_implicit_rejection(level, keypair):
    capsule, secret = core.encapsulate(keypair.public_key, level.member)
    for where, bit in flipped_positions(level).items():
        tampered = flip_bit(capsule, bit)
        result = core.decapsulate(tampered, keypair.secret_key, level.member)
        assert len(result) == 32, where
        assert result != secret, where
        assert result == implicit_rejection(keypair.secret_key, tampered), where


def test_capsule_for_another_key_gives_implicit_rejection(level, keypair):
    other = core.generate_keypair(level.member)
    capsule, secret = core.encapsulate(other.public_key, level.member)
    result = core.decapsulate(capsule, keypair.secret_key, level.member)
    assert result == implicit_rejection(keypair.secret_key, capsule)
    assert result != secret


def test_altered_stored_hash_is_accepted_and_rejects_implicitly(level, keypair):
    capsule, secret = core.encapsulate(keypair.public_key, level.member)
    k = k_of(level)
    dk = bytearray(keypair.secret_key)
    dk[768 * k + 32] ^= 0x01  # first byte of the stored H(ek)
    dk = bytes(dk)
    assert core.decapsulate(capsule, dk, level.member) == implicit_rejection(dk, capsule)


def test_random_secret_key_of_right_size_does_not_raise(level):
    dk = os.urandom(level.dk)
    capsule = os.urandom(level.capsule)
    assert len(core.decapsulate(capsule, dk, level.member)) == 32


# ---- deterministic encapsulation --------------------------------------------


def test_encapsulate_deterministic(level):
    kp = core.generate_keypair_deterministic(D, Z, level.member)
    result = core.encapsulate_deterministic(kp.public_key, M, level.member)
    assert type(result) is tuple and len(result) == 3
    capsule, secret, m = result
    assert m == M and type(m) is bytes
    assert len(capsule) == level.capsule
    # (K, r) = G(m || H(ek))
    assert secret == hashlib.sha3_512(M + hashlib.sha3_256(kp.public_key).digest()).digest()[:32]
    assert core.encapsulate_deterministic(kp.public_key, M, level.member) == result
    assert core.decapsulate(capsule, kp.secret_key, level.member) == secret
    other_capsule, other_secret, _ = core.encapsulate_deterministic(kp.public_key, Z, level.member)
    assert other_capsule != capsule and other_secret != secret


# ---- the 32-byte checks -------------------------------------------------------

D_MSG = "El seed 'd' debe tener exactamente 32 bytes"
Z_MSG = "El seed 'z' debe tener exactamente 32 bytes"
M_MSG = "El mensaje 'm' debe tener exactamente 32 bytes"


@pytest.mark.parametrize(
    "d_len, z_len, message",
    [(31, 31, D_MSG), (33, 32, D_MSG), (0, 32, D_MSG), (64, 0, D_MSG), (32, 31, Z_MSG), (32, 33, Z_MSG),
     (32, 0, Z_MSG), (32, 64, Z_MSG)],
)
@pytest.mark.parametrize("lv", [LEVEL_BY_VALUE[512], LEVEL_BY_VALUE[1024]], ids=repr)
def test_generate_keypair_deterministic_seed_lengths(lv, d_len, z_len, message):
    with pytest.raises(ValueError) as excinfo:
        core.generate_keypair_deterministic(b"\x01" * d_len, b"\x02" * z_len, lv.member)
    expect_exact(excinfo, ValueError, message)


@pytest.mark.parametrize("m_len", [0, 31, 33, 64])
@pytest.mark.parametrize("pk_len", [1184, 800, 0], ids=["right-key", "wrong-key", "empty-key"])
def test_encapsulate_deterministic_checks_m_before_the_key(m_len, pk_len):
    with pytest.raises(ValueError) as excinfo:
        core.encapsulate_deterministic(b"\x00" * pk_len, b"\x03" * m_len)
    expect_exact(excinfo, ValueError, M_MSG)


# ---- failure rows ---------------------------------------------------------------

EK_MSG = "encryption key has incorrect size"
EK_DET_MSG = "encryption key publica tiene tamano incorrecto"
DK_MSG = "decapsulation key has incorrect size"
CAPSULE_MSG = "capsule has incorrect size"


def wrong_sizes(size: int, other_level_sizes: list[int]) -> list[int]:
    return sorted({0, 1, size - 1, size + 1, *other_level_sizes} - {size})


@pytest.mark.parametrize("lv", LEVELS, ids=repr)
def test_encapsulate_rejects_wrong_key_size(lv):
    for n in wrong_sizes(lv.ek, [o.ek for o in LEVELS]):
        key = b"\x00" * n
        with pytest.raises(core.InvalidParameterError) as excinfo:
            core.encapsulate(key, lv.member)
        expect_exact(excinfo, core.InvalidParameterError, EK_MSG)
        with pytest.raises(core.InvalidParameterError) as excinfo:
            core.encapsulate_deterministic(key, M, lv.member)
        expect_exact(excinfo, core.InvalidParameterError, EK_DET_MSG)


def test_800_byte_key_is_only_a_512_key(keypairs):
    key = keypairs[512].public_key
    with pytest.raises(core.InvalidParameterError):
        core.encapsulate(key)  # default ML-KEM-768
    capsule, secret = core.encapsulate(key, SL.ML_KEM_512)
    assert core.decapsulate(capsule, keypairs[512].secret_key, SL.ML_KEM_512) == secret


@pytest.mark.parametrize("lv", LEVELS, ids=repr)
def test_decapsulate_checks_key_before_capsule(lv):
    good_dk, good_c = b"\x00" * lv.dk, b"\x00" * lv.capsule
    for n in wrong_sizes(lv.dk, [o.dk for o in LEVELS]):
        for capsule in (good_c, good_c[:-1], good_c + b"\x00", b""):
            with pytest.raises(core.InvalidParameterError) as excinfo:
                core.decapsulate(capsule, b"\x00" * n, lv.member)
            expect_exact(excinfo, core.InvalidParameterError, DK_MSG)
    for n in wrong_sizes(lv.capsule, [o.capsule for o in LEVELS]):
        with pytest.raises(core.InvalidParameterError) as excinfo:
            core.decapsulate(b"\x00" * n, good_dk, lv.member)
        expect_exact(excinfo, core.InvalidParameterError, CAPSULE_MSG)


def test_capsule_and_key_of_different_levels(keypairs):
    capsule, _ = core.encapsulate(keypairs[768].public_key, SL.ML_KEM_768)
    with pytest.raises(core.InvalidParameterError) as excinfo:
        core.decapsulate(capsule, keypairs[512].secret_key, SL.ML_KEM_512)
    expect_exact(excinfo, core.InvalidParameterError, CAPSULE_MSG)
    with pytest.raises(core.InvalidParameterError) as excinfo:
        core.decapsulate(capsule, keypairs[768].secret_key, SL.ML_KEM_512)
    expect_exact(excinfo, core.InvalidParameterError, DK_MSG)


# ---- references and threads -----------------------------------------------------


def test_calls_leak_no_references(keypairs):
    kp = keypairs[768]
    pk, sk, member = kp.public_key, kp.secret_key, SL.ML_KEM_768
    capsule, _ = core.encapsulate(pk)
    watched = [pk, sk, capsule, member, D, Z, M]
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(50):
        core.encapsulate(pk, member)
        core.decapsulate(capsule, sk, member)
        core.encapsulate_deterministic(pk, M, member)
        core.generate_keypair_deterministic(D, Z, member)
        kp.level, kp.public_key, repr(kp)
        core.deserialize_public_key(core.serialize_public_key(pk), member)
        for bad in (lambda: core.encapsulate(pk, 768), lambda: core.decapsulate(capsule, pk, member),
                    lambda: core.encapsulate_deterministic(pk, D + Z, member)):
            try:
                bad()
            except (TypeError, ValueError, core.VeloraError):
                pass
    assert [sys.getrefcount(o) for o in watched] == before


def test_results_are_owned_only_by_the_caller(keypairs):
    # Counts are taken outside the assert statements, whose rewriting keeps extra references.
    kp = keypairs[1024]
    result = core.encapsulate(kp.public_key, SL.ML_KEM_1024)
    counts = [sys.getrefcount(result), sys.getrefcount(result[0]), sys.getrefcount(result[1])]
    assert counts == [2, 2, 2]  # one owner each (the name or the tuple) plus the call's argument
    counts = [sys.getrefcount(core.generate_keypair(SL.ML_KEM_512)),
              sys.getrefcount(core.decapsulate(result[0], kp.secret_key, SL.ML_KEM_1024)),
              sys.getrefcount(kp.public_key)]
    assert counts == [1, 1, 1]


def test_concurrent_calls_are_independent(keypairs):
    from concurrent.futures import ThreadPoolExecutor

    def worker(value: int) -> list[bool]:
        lv = LEVEL_BY_VALUE[value]
        kp = keypairs[value]
        ok = []
        for i in range(40):
            capsule, secret = core.encapsulate(kp.public_key, lv.member)
            ok.append(core.decapsulate(capsule, kp.secret_key, lv.member) == secret)
            seed = bytes([i]) * 32
            fresh = core.generate_keypair_deterministic(seed, Z, lv.member)
            ok.append(fresh.secret_key[-32:] == Z and fresh.public_key[-32:] ==
                      hashlib.sha3_512(seed + bytes([lv.index + 2])).digest()[:32])
        return ok

    with ThreadPoolExecutor(max_workers=6) as pool:
        results = list(pool.map(worker, [512, 768, 1024] * 2))
    assert all(all(r) for r in results)
