"""velora.mldsa against two independent ML-DSA implementations.

- `cryptography` 51 (ML-DSA-44/65/87 over its own backend): the same key pair
  from the same seed, signatures made here verify there and signatures made
  there verify here, for messages of 0 to 4096 bytes and contexts of 0 to 255
  bytes (sampled, the edges always included), the external-mu interface both
  ways, and every key form cryptography reads and writes (SPKI, PKCS#8 seed
  form, DER and PEM) both ways.
- dilithium-py (pure Python): the same key pair from the same seed and the
  same deterministic signature, byte for byte; its hedged signatures verify
  here and ours there.
"""

from __future__ import annotations

import random

import pytest
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import mldsa as crypto_mldsa
from dilithium_py import ml_dsa as dilithium

from velora.mldsa import MLDSAPrivateKey, MLDSAPublicKey

CRYPTO_CLASSES = {
    44: crypto_mldsa.MLDSA44PrivateKey,
    65: crypto_mldsa.MLDSA65PrivateKey,
    87: crypto_mldsa.MLDSA87PrivateKey,
}
DILITHIUM = {44: dilithium.ML_DSA_44, 65: dilithium.ML_DSA_65, 87: dilithium.ML_DSA_87}
LEVELS = (44, 65, 87)


def _cases(level: int, count: int) -> list[tuple[bytes, bytes]]:
    """(message, context) pairs: the length edges 0/1/4096 and 0/1/255, then random lengths."""
    rng = random.Random(f"mldsa-{level}")
    edges = [(0, 0), (1, 255), (4096, 1), (4096, 255), (0, 255)]
    lengths = edges + [(rng.randint(0, 4096), rng.randint(0, 255)) for _ in range(count)]
    return [(rng.randbytes(m), rng.randbytes(c)) for m, c in lengths]


@pytest.mark.parametrize("level", LEVELS)
def test_signatures_cross_verify_with_cryptography(level: int) -> None:
    seed = random.Random(level).randbytes(32)
    ours = MLDSAPrivateKey.from_seed(seed, level)
    theirs = CRYPTO_CLASSES[level].from_seed_bytes(seed)
    assert theirs.public_key().public_bytes_raw() == ours.public_key().to_bytes()
    for message, context in _cases(level, 12):
        for deterministic in (False, True):
            sig = ours.sign(message, context, deterministic=deterministic)
            theirs.public_key().verify(sig, message, context)
            with pytest.raises(InvalidSignature):
                theirs.public_key().verify(sig, message + b"\x00", context)
        their_sig = theirs.sign(message, context)
        assert ours.public_key().verify(their_sig, message, context)
        other_context = bytes([context[0] ^ 1]) + context[1:] if context else b"\x00"
        assert not ours.public_key().verify(their_sig, message, other_context)
        if message:
            tampered = bytes([message[0] ^ 1]) + message[1:]
            assert not ours.public_key().verify(their_sig, tampered, context)


@pytest.mark.parametrize("level", LEVELS)
def test_external_mu_matches_cryptography(level: int) -> None:
    seed = random.Random(100 + level).randbytes(32)
    ours = MLDSAPrivateKey.from_seed(seed, level)
    theirs = CRYPTO_CLASSES[level].from_seed_bytes(seed)
    for message, context in _cases(level, 3):
        hasher = crypto_mldsa.MLDSAMuHasher(theirs.public_key(), context)
        hasher.update(message)
        mu = hasher.finalize()
        assert ours.public_key().compute_mu(message, context) == mu
        theirs.public_key().verify_mu(ours.sign_mu(mu), mu)
        theirs.public_key().verify(ours.sign_mu(mu, deterministic=True), message, context)
        assert ours.public_key().verify_mu(theirs.sign_mu(mu), mu)
        assert ours.public_key().verify(theirs.sign_mu(mu), message, context)


@pytest.mark.parametrize("level", LEVELS)
def test_key_formats_both_ways_with_cryptography(level: int) -> None:
    seed = random.Random(200 + level).randbytes(32)
    ours = MLDSAPrivateKey.from_seed(seed, level)
    theirs = CRYPTO_CLASSES[level].from_seed_bytes(seed)
    der = serialization.Encoding.DER
    pem = serialization.Encoding.PEM
    pkcs8 = serialization.PrivateFormat.PKCS8
    spki = serialization.PublicFormat.SubjectPublicKeyInfo
    none = serialization.NoEncryption()
    # Theirs read here.
    assert MLDSAPrivateKey.from_der(theirs.private_bytes(der, pkcs8, none)).seed == seed
    assert MLDSAPrivateKey.from_pem(theirs.private_bytes(pem, pkcs8, none)) == ours
    assert MLDSAPublicKey.from_der(theirs.public_key().public_bytes(der, spki)) == ours.public_key()
    assert MLDSAPublicKey.from_pem(theirs.public_key().public_bytes(pem, spki).decode()) == ours.public_key()
    # Ours read there.
    loaded = serialization.load_der_private_key(ours.to_der("seed"), None)
    assert isinstance(loaded, CRYPTO_CLASSES[level])
    assert loaded.private_bytes_raw() == seed
    loaded_pem = serialization.load_pem_private_key(ours.to_pem().encode(), None)
    assert isinstance(loaded_pem, CRYPTO_CLASSES[level])
    pub = serialization.load_der_public_key(ours.public_key().to_der())
    assert pub.public_bytes_raw() == ours.public_key().to_bytes()  # type: ignore[union-attr]
    pub_pem = serialization.load_pem_public_key(ours.public_key().to_pem().encode())
    assert pub_pem.public_bytes_raw() == ours.public_key().to_bytes()  # type: ignore[union-attr]
    # The same bytes exactly, not only the same key.
    assert ours.to_der("seed") == theirs.private_bytes(der, pkcs8, none)
    assert ours.public_key().to_der() == theirs.public_key().public_bytes(der, spki)


@pytest.mark.parametrize("level", LEVELS)
def test_dilithium_py_agrees_byte_for_byte(level: int) -> None:
    impl = DILITHIUM[level]
    rng = random.Random(300 + level)
    for message, context in _cases(level, 2):
        seed = rng.randbytes(32)
        pk, sk = impl.key_derive(seed)
        ours = MLDSAPrivateKey.from_seed(seed, level)
        assert ours.public_key().to_bytes() == pk
        assert ours.expanded_bytes() == sk
        want = impl.sign(sk, message, ctx=context, deterministic=True)
        assert ours.sign(message, context, deterministic=True) == want
        assert impl.verify(pk, message, ours.sign(message, context), ctx=context)
        assert ours.public_key().verify(impl.sign(sk, message, ctx=context), message, context)
