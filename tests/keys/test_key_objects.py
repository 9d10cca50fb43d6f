"""The key objects: levels as members or integers, any bytes-like input, the public key from
the seed or dk, KeyPair conversions, equality, repr, pickling, the short-lived dk copy."""

from __future__ import annotations

import array
import pickle
import sys

import pytest

import velora
from conftest import expect_exact
from velora import InvalidParameterError, PrivateKey, PublicKey, SecurityLevel

SEED = bytes(range(64))


@pytest.mark.parametrize("level", [512, 768, 1024, SecurityLevel.ML_KEM_768])
def test_levels_as_members_or_integers(level):
    key = PrivateKey.generate(level)
    assert key.level is velora.as_level(level)
    assert PrivateKey.from_seed(SEED, level).level is key.level


def test_bad_levels_name_the_choices():
    with pytest.raises(InvalidParameterError) as e:
        PrivateKey.generate(769)
    expect_exact(e, InvalidParameterError, "unknown ML-KEM level 769: expected 512, 768 or 1024")
    with pytest.raises(TypeError):
        PrivateKey.generate("768")  # type: ignore[arg-type]


def test_sizes_are_named_in_errors():
    with pytest.raises(InvalidParameterError) as e:
        PublicKey.from_bytes(bytes(800), 768)
    expect_exact(e, InvalidParameterError, "an ML-KEM-768 public key is 1184 bytes, got 800")
    with pytest.raises(InvalidParameterError) as e:
        PrivateKey.from_bytes(bytes(10), 1024)
    expect_exact(e, InvalidParameterError, "an ML-KEM-1024 private key is 3168 bytes, got 10")
    with pytest.raises(InvalidParameterError) as e:
        PrivateKey.from_seed(bytes(63), 512)
    expect_exact(e, InvalidParameterError, "an ML-KEM seed (d || z) is 64 bytes")
    with pytest.raises(InvalidParameterError) as e:
        PrivateKey.generate(512).decapsulate(bytes(1088))
    expect_exact(e, InvalidParameterError, "an ML-KEM-512 capsule is 768 bytes, got 1088")


@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview, lambda b: array.array("B", b)])
def test_any_bytes_like_input(wrap):
    key = PrivateKey.from_seed(wrap(SEED), 768)
    assert PrivateKey.from_bytes(wrap(key.to_bytes()), 768) == key
    assert PublicKey.from_bytes(wrap(key.public_key().to_bytes()), 768) == key.public_key()
    capsule, secret = key.public_key().encapsulate()
    assert key.decapsulate(wrap(capsule)) == secret
    assert key.decrypt(wrap(key.public_key().encrypt(wrap(b"hello")))) == b"hello"
    assert PrivateKey.from_der(wrap(key.to_der("both"))) == key
    assert PrivateKey.from_der(key.to_der(password=wrap(b"pw"), scrypt_n=2**10), wrap(b"pw")) == key


def test_seed_gives_the_fips203_key_pair(level):
    pair = velora.generate_keypair_deterministic(SEED[:32], SEED[32:], level.member)
    key = PrivateKey.from_seed(SEED, level.value)
    assert key.to_bytes() == pair.secret_key and key.public_key().to_bytes() == pair.public_key
    assert key.seed == SEED and key.has_seed
    # From dk alone the public key is the one inside it.
    assert PrivateKey.from_bytes(pair.secret_key, level.value).public_key() == key.public_key()


def test_keypair_conversions(keypairs, level):
    pair = keypairs[level.value]
    key = PrivateKey.from_keypair(pair)
    assert key.to_bytes() == pair.secret_key and key.seed is None
    with pytest.raises(InvalidParameterError, match="has none"):
        key.to_keypair()
    made = PrivateKey.from_seed(SEED, level.value).to_keypair()
    assert made.public_key == PrivateKey.from_seed(SEED, level.value).public_key().to_bytes()


def test_equality_repr_and_pickling():
    a, b = PrivateKey.from_seed(SEED, 768), PrivateKey.from_seed(SEED, 768)
    other = PrivateKey.generate(768)
    assert a == b and a != other and a.public_key() == b.public_key()
    assert PrivateKey.from_seed(SEED, 512) != a
    text = repr(a)
    assert text == f"PrivateKey(level=ML-KEM-768, fp={a.public_key().fingerprint})"
    assert SEED.hex()[:16] not in text and a.to_bytes().hex()[:16] not in text
    assert pickle.loads(pickle.dumps(a.public_key())) == a.public_key()
    with pytest.raises(TypeError, match="cannot pickle a PrivateKey"):
        pickle.dumps(a)
    with pytest.raises(TypeError):
        hash(a)
    assert {a.public_key(): 1}[b.public_key()] == 1


def test_secret_key_bytes_is_wiped_when_the_block_ends():
    key = PrivateKey.from_seed(SEED, 768)
    header, _ = velora.stream_encryptor_new(key.public_key().to_bytes(), 64)
    with key._secret_key_bytes() as dk:
        assert dk == key.to_bytes()
        velora.stream_decryptor_from_header(header, dk, SecurityLevel.ML_KEM_768)
    assert dk == bytes(len(dk))  # the copy reads as zeros afterwards
    assert hash(dk) == hash(bytes(len(dk)))  # and no stale cached hash remains
    # A copy someone keeps a second reference to is left alone (and merely dropped).
    kept = []
    with key._secret_key_bytes() as dk2:
        kept.append(dk2)
    assert kept[0] == key.to_bytes()


def test_secret_key_bytes_refcount_assumption():
    # The wipe relies on the lease and the `with` target being the only two
    # references at exit; this fails loudly should an interpreter change that.
    key = PrivateKey.generate(512)
    with key._secret_key_bytes() as dk:
        assert sys.getrefcount(dk) == 3  # lease, `dk`, getrefcount's argument


def test_encapsulate_and_transit_packages(level):
    key = PrivateKey.generate(level.value)
    capsule, secret = key.public_key().encapsulate()
    assert velora.decapsulate(capsule, key.to_bytes(), level.member) == secret == key.decapsulate(capsule)
    package = key.public_key().encrypt(b"x" * 100)
    assert key.decrypt(package) == b"x" * 100 == velora.decrypt_hybrid(package, key.to_bytes(), level.member)
    with pytest.raises(velora.DecryptionError):
        key.decrypt(package[:-1] + bytes([package[-1] ^ 1]))
