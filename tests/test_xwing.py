"""X-Wing: the draft's vectors and X.509 files, key kinds, and the failure paths."""

from __future__ import annotations

import json
import pickle

import pytest

import velora
from velora import xwing
from velora.xwing import XWingPrivateKey, XWingPublicKey

from conftest import shared_vectors


@pytest.fixture(scope="module")
def draft_vectors() -> list[dict[str, str]]:
    vectors: list[dict[str, str]] = json.loads((shared_vectors("xwing") / "test-vectors.json").read_text())
    return vectors


def test_draft_vectors(draft_vectors: list[dict[str, str]]) -> None:
    assert draft_vectors
    for v in draft_vectors:
        sk = XWingPrivateKey(bytes.fromhex(v["sk"]))
        assert sk.public_key().to_bytes() == bytes.fromhex(v["pk"])
        ct, ss = sk.public_key().encapsulate_deterministic(bytes.fromhex(v["eseed"]))
        assert (ct, ss) == (bytes.fromhex(v["ct"]), bytes.fromhex(v["ss"]))
        assert sk.decapsulate(ct) == ss


def test_x509_files() -> None:
    folder = shared_vectors("xwing") / "x509"
    pub_pem = (folder / "xwing.pub").read_text()
    priv_pem = (folder / "xwing.priv").read_text()
    pk = XWingPublicKey.from_pem(pub_pem)
    sk = XWingPrivateKey.from_pem(priv_pem)
    assert sk.public_key() == pk
    assert sk.seed == bytes(range(32))  # the draft's example key
    assert (pk.to_pem(), sk.to_pem()) == (pub_pem, priv_pem)
    with pytest.raises(velora.KeySerializationError):
        XWingPublicKey.from_der(sk.to_der())  # a private key is not a public key
    with pytest.raises(velora.KeySerializationError):
        XWingPrivateKey.from_der(sk.to_der()[:-1])


def test_random_round_trip_and_implicit_rejection() -> None:
    sk = XWingPrivateKey.generate()
    ct, ss = sk.public_key().encapsulate()
    assert len(ct) == xwing.CIPHERTEXT_SIZE and sk.decapsulate(ct) == ss
    tampered = bytearray(ct)
    tampered[10] ^= 1  # the ML-KEM half: implicit rejection, an unrelated secret
    other = sk.decapsulate(tampered)
    assert len(other) == 32 and other != ss
    assert XWingPrivateKey.generate().decapsulate(ct) != ss


def test_small_order_x25519_half_is_refused() -> None:
    sk = XWingPrivateKey.generate()
    ct, _ = sk.public_key().encapsulate()
    with pytest.raises(velora.DecapsulationError, match="all zero"):
        sk.decapsulate(ct[:1088] + bytes(32))


def test_public_key_check_on_encapsulation() -> None:
    pk = bytearray(XWingPrivateKey.generate().public_key().to_bytes())
    pk[0], pk[1] = 0xFF, 0x0F  # the first 12-bit coefficient becomes 4095 >= q
    with pytest.raises(velora.InvalidParameterError, match="modulus check"):
        XWingPublicKey(pk).encapsulate()


def test_kinds_and_sizes() -> None:
    sk = XWingPrivateKey.generate()
    assert XWingPrivateKey(sk.seed) == sk and hash(XWingPrivateKey(sk.seed)) == hash(sk)
    assert not isinstance(sk.public_key(), velora.PublicKey)
    with pytest.raises(TypeError):
        velora.encapsulate(sk.public_key())  # type: ignore[arg-type]
    with pytest.raises(velora.InvalidParameterError, match="32 bytes"):
        XWingPrivateKey(bytes(31))
    with pytest.raises(velora.InvalidParameterError, match="1216 bytes"):
        XWingPublicKey(bytes(1184))
    with pytest.raises(velora.InvalidParameterError, match="1120 bytes"):
        sk.decapsulate(bytes(1119))
    with pytest.raises(TypeError):
        pickle.dumps(sk)
