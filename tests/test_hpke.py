"""HPKE: the RFC 9180 and draft-ietf-hpke-pq vectors of every suite built here,
and single-shot messages across to `cryptography`'s HPKE and back."""

from __future__ import annotations

import gzip
import hashlib
import json
from typing import Any

import pytest
from cryptography.hazmat.primitives import hpke as peer
from cryptography.hazmat.primitives.asymmetric import mlkem, x25519

import velora
from velora import hpke
from velora.hpke import AEAD, KDF, KEM, Suite

from conftest import shared_vectors

BUILT_KEMS = {int(k) for k in KEM}
BUILT_KDFS = {int(k) for k in KDF}
BUILT_AEADS = {int(a) for a in AEAD}


def _check_case(v: dict[str, Any]) -> None:
    """Keys from DeriveKeyPair, the first encryption reproduced with its ikmE and opened,
    and every export."""
    h = bytes.fromhex
    suite = Suite(v["kem_id"], v["kdf_id"], v["aead_id"])
    sk, pk = hpke.derive_key_pair(v["kem_id"], h(v["ikmR"]))
    assert (sk, pk) == (h(v["skRm"]), h(v["pkRm"]))
    assert hpke.public_key(v["kem_id"], sk) == pk
    info = h(v["info"])
    if v["aead_id"] != AEAD.EXPORT_ONLY:
        e = v["encryptions"][0]  # single-shot: sequence number 0
        enc, ct = suite.seal_deterministic(pk, h(e["pt"]), h(v["ikmE"]), info=info, aad=h(e["aad"]))
        assert (enc, ct) == (h(v["enc"]), h(e["ct"]))
        assert suite.open(sk, enc, ct, info=info, aad=h(e["aad"])) == h(e["pt"])
        with pytest.raises(velora.DecryptionError):
            suite.open(sk, enc, ct, info=info, aad=h(e["aad"]) + b"!")
    else:
        with pytest.raises(velora.InvalidParameterError, match="export-only"):
            suite.seal(pk, b"x", info=info)
    for x in v["exports"]:
        context, length = h(x["exporter_context"]), x["L"]
        assert suite.receive_export(sk, h(v["enc"]), context, length, info=info) == h(x["exported_value"])
        enc, secret = suite.send_export(pk, context, length, info=info, ikm_e=h(v["ikmE"]))
        assert (enc, secret) == (h(v["enc"]), h(x["exported_value"]))


def _built(v: dict[str, Any]) -> bool:
    return v["kem_id"] in BUILT_KEMS and v["kdf_id"] in BUILT_KDFS and v["aead_id"] in BUILT_AEADS


def test_rfc9180_vectors_dhkem_x25519() -> None:
    with gzip.open(shared_vectors("hpke") / "rfc9180-test-vectors.json.gz") as f:
        cases = [v for v in json.load(f) if v["mode"] == 0 and v["kem_id"] == 0x0020 and _built(v)]
    # KDFs HKDF-SHA256 and HKDF-SHA512, each with AES-128-GCM, AES-256-GCM, ChaCha20Poly1305, export-only.
    assert sorted((v["kdf_id"], v["aead_id"]) for v in cases) == [
        (k, a) for k in (1, 3) for a in (1, 2, 3, 0xFFFF)
    ]
    for v in cases:
        _check_case(v)


def test_hpke_pq_vectors() -> None:
    cases = json.loads((shared_vectors("hpke") / "hpke-pq-test-vectors.json").read_text())
    full = [v for v in cases if _built(v)]
    assert sorted((v["kem_id"], v["kdf_id"], v["aead_id"]) for v in full) == [
        (0x0041, 1, 1), (0x0042, 2, 2), (0x647A, 1, 3)
    ]
    for v in full:
        _check_case(v)
    # The suites with single-stage KDFs: their KEMs' DeriveKeyPair (SHAKE256.LabeledDerive
    # whatever the KDF) still reproduces the keys.
    for v in cases:
        if v["kem_id"] in BUILT_KEMS and v not in full:
            assert hpke.derive_key_pair(v["kem_id"], bytes.fromhex(v["ikmR"])) == (
                bytes.fromhex(v["skRm"]),
                bytes.fromhex(v["pkRm"]),
            )


# ---- across to cryptography's HPKE (single-shot, no associated data there) ----


def _peer_private(kem: KEM, sk: bytes) -> Any:
    if kem is KEM.DHKEM_X25519_HKDF_SHA256:
        return x25519.X25519PrivateKey.from_private_bytes(sk)
    if kem is KEM.ML_KEM_768:
        return mlkem.MLKEM768PrivateKey.from_seed_bytes(sk)
    if kem is KEM.ML_KEM_1024:
        return mlkem.MLKEM1024PrivateKey.from_seed_bytes(sk)
    # X-Wing's private key is its seed; SHAKE256(seed, 96) = ML-KEM d || z, X25519 key.
    expanded = hashlib.shake_256(sk).digest(96)
    return peer.MLKEM768X25519PrivateKey(
        mlkem.MLKEM768PrivateKey.from_seed_bytes(expanded[:64]),
        x25519.X25519PrivateKey.from_private_bytes(expanded[64:]),
    )


PEER_KEM = {
    KEM.DHKEM_X25519_HKDF_SHA256: peer.KEM.X25519,
    KEM.ML_KEM_768: peer.KEM.MLKEM768,
    KEM.ML_KEM_1024: peer.KEM.MLKEM1024,
    KEM.MLKEM768_X25519: peer.KEM.MLKEM768_X25519,
}
PEER_KDF = {KDF.HKDF_SHA256: peer.KDF.HKDF_SHA256, KDF.HKDF_SHA384: peer.KDF.HKDF_SHA384}
PEER_AEAD = {
    AEAD.AES_128_GCM: peer.AEAD.AES_128_GCM,
    AEAD.AES_256_GCM: peer.AEAD.AES_256_GCM,
    AEAD.CHACHA20_POLY1305: peer.AEAD.CHACHA20_POLY1305,
}
ENC_SIZE = {KEM.DHKEM_X25519_HKDF_SHA256: 32, KEM.ML_KEM_768: 1088, KEM.ML_KEM_1024: 1568, KEM.MLKEM768_X25519: 1120}


@pytest.mark.parametrize("kem", list(KEM), ids=lambda k: k.name)
@pytest.mark.parametrize("kdf", list(PEER_KDF), ids=lambda k: k.name)
@pytest.mark.parametrize("aead", [AEAD.AES_256_GCM, AEAD.CHACHA20_POLY1305], ids=lambda a: a.name)
def test_seal_here_open_with_cryptography_and_back(kem: KEM, kdf: KDF, aead: AEAD) -> None:
    suite = Suite(kem, kdf, aead)
    other = peer.Suite(PEER_KEM[kem], PEER_KDF[kdf], PEER_AEAD[aead])
    sk, pk = hpke.generate_key_pair(kem)
    peer_sk = _peer_private(kem, sk)
    info = b"velora test " + kem.name.encode()
    message = bytes(range(256)) * 3

    enc, ct = suite.seal(pk, message, info=info)
    assert len(enc) == ENC_SIZE[kem]
    assert other.decrypt(enc + ct, peer_sk, info=info) == message

    blob = other.encrypt(message, peer_sk.public_key(), info=info)
    n = ENC_SIZE[kem]
    assert suite.open(sk, blob[:n], blob[n:], info=info) == message
    with pytest.raises(velora.DecryptionError):
        suite.open(sk, blob[:n], blob[n:], info=info + b"x")


def test_key_objects_of_the_right_kind() -> None:
    suite = Suite(KEM.MLKEM768_X25519, KDF.HKDF_SHA256, AEAD.CHACHA20_POLY1305)
    sk = velora.XWingPrivateKey.generate()
    enc, ct = suite.seal(sk.public_key(), b"m", aad=b"a")
    assert suite.open(sk, enc, ct, aad=b"a") == b"m"
    mlkem_key = velora.PrivateKey.generate(768)
    with pytest.raises(TypeError, match="does not fit"):
        suite.open(mlkem_key, enc, ct)
    mlkem_suite = Suite(KEM.ML_KEM_768, KDF.HKDF_SHA256, AEAD.AES_256_GCM)
    enc, ct = mlkem_suite.seal(mlkem_key.public_key(), b"m")
    assert mlkem_suite.open(mlkem_key, enc, ct) == b"m"
    with pytest.raises(TypeError, match="does not fit"):
        mlkem_suite.open(sk, enc, ct)


def test_errors() -> None:
    suite = Suite(KEM.DHKEM_X25519_HKDF_SHA256, KDF.HKDF_SHA256, AEAD.AES_256_GCM)
    sk, pk = hpke.generate_key_pair(KEM.DHKEM_X25519_HKDF_SHA256)
    with pytest.raises(velora.InvalidParameterError, match="public key has the wrong size"):
        suite.seal(pk[:31], b"")
    enc, ct = suite.seal(pk, b"")
    with pytest.raises(velora.InvalidParameterError, match="shorter than the AEAD tag"):
        suite.open(sk, enc, ct[:15])
    with pytest.raises(velora.DecapsulationError):
        suite.open(sk, bytes(32), ct)  # the all-zero point: DH must fail
    with pytest.raises(velora.InvalidParameterError, match="export length"):
        suite.send_export(pk, b"", 0)
    with pytest.raises(velora.InvalidParameterError, match="export length"):
        suite.send_export(pk, b"", 255 * 32 + 1)
    # libcrypto's HKDF takes at most 32 KiB of info: 22 bytes of label, the rest context.
    enc, secret = suite.send_export(pk, b"c" * 32746, 32)
    assert suite.receive_export(sk, enc, b"c" * 32746, 32) == secret
    with pytest.raises(velora.InvalidParameterError, match="key derivation failed"):
        suite.send_export(pk, b"c" * 32747, 32)
    with pytest.raises(velora.InvalidParameterError, match="unsupported HPKE KEM 0x0010"):
        Suite(0x0010, 1, 1)  # DHKEM(P-256) is not built
    with pytest.raises(velora.InvalidParameterError, match="unsupported KEM"):
        velora._velora_native.hpke_generate_key_pair(0x0010)


@pytest.mark.parametrize("kem", [KEM.ML_KEM_768, KEM.ML_KEM_1024])
def test_mlkem_public_key_modulus_check_on_seal(kem: KEM) -> None:
    """An ML-KEM public key with a coefficient >= q is refused before encapsulation (FIPS 203 7.2)."""
    suite = Suite(kem, KDF.HKDF_SHA256, AEAD.AES_256_GCM)
    _, pk = hpke.generate_key_pair(kem)
    bad = bytearray(pk)
    bad[0], bad[1] = 0xFF, 0x0F  # the first 12-bit coefficient becomes 4095
    with pytest.raises(velora.InvalidParameterError, match="invalid public key"):
        suite.seal(bytes(bad), b"m")
    suite.seal(pk, b"m")  # the untouched key still seals
