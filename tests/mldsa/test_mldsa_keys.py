"""ML-DSA key objects and their RFC 9881 forms, against published data.

- RFC 9881's examples (../shared/standards/mldsa/examples): every private key
  form and the public key of seed 000102..1f at each level, read here and
  written here byte for byte; the three inconsistent keys of its section C.4
  refused; its self-signed certificates verified with the key they carry.
- The cryptography-vectors DER keys (every clone).
- Wycheproof's PKCS#8 and SPKI encodings (../shared/vectors/mldsa).
- The refusals: malformed DER, wrong sizes, over-long contexts, pickling.
"""

from __future__ import annotations

import base64
import json
import os
import pathlib
import pickle

import cryptography_vectors
import pytest
from conftest import shared_vectors
from cryptography import x509
from hypothesis import given, settings
from hypothesis import strategies as st
from cryptography.hazmat.primitives import serialization

from velora import InvalidParameterError, KeySerializationError
from velora.mldsa import PRIVATE_KEY_SIZE, PUBLIC_KEY_SIZE, SIGNATURE_SIZE, MLDSAPrivateKey, MLDSAPublicKey

LEVELS = (44, 65, 87)
EXAMPLE_SEED = bytes(range(32))
KAT_DIR = pathlib.Path(cryptography_vectors.__file__).parent / "asymmetric" / "MLDSA"


def _examples() -> pathlib.Path:
    return shared_vectors("mldsa").parent.parent / "standards" / "mldsa" / "examples"


def _der_of_pem(text: str) -> bytes:
    body = "".join(line for line in text.splitlines() if line and not line.startswith("-----"))
    return base64.b64decode(body)


@pytest.mark.parametrize("level", LEVELS)
@pytest.mark.parametrize("form", ["seed", "expanded", "both"])
def test_rfc9881_private_key_examples(level: int, form: str) -> None:
    text = (_examples() / f"ML-DSA-{level}-{form}.priv").read_text()
    key = MLDSAPrivateKey.from_pem(text)
    public = MLDSAPublicKey.from_pem((_examples() / f"ML-DSA-{level}.pub").read_text())
    assert key.public_key() == public
    assert key.level == level
    assert key.seed == (None if form == "expanded" else EXAMPLE_SEED)
    # Written here: the same DER as the example, in the form read and (from
    # the seed) in every form.
    assert key.to_der(form) == _der_of_pem(text)  # type: ignore[arg-type]
    full = MLDSAPrivateKey.from_seed(EXAMPLE_SEED, level)  # type: ignore[arg-type]
    assert full.to_der(form) == _der_of_pem(text)  # type: ignore[arg-type]
    assert full.public_key().to_der() == _der_of_pem((_examples() / f"ML-DSA-{level}.pub").read_text())
    # A PEM written here reads back to the same key.
    assert MLDSAPrivateKey.from_pem(full.to_pem(form)) == full  # type: ignore[arg-type]


@pytest.mark.parametrize(
    "name, reason",
    [
        ("bad-ML-DSA-44-1.priv", "seed and the expanded key do not match"),
        ("bad-ML-DSA-44-2.priv", "tr does not match"),
        ("bad-ML-DSA-44-3.priv", "t0 does not match"),
    ],
)
def test_rfc9881_inconsistent_keys_are_refused(name: str, reason: str) -> None:
    with pytest.raises(KeySerializationError, match=reason):
        MLDSAPrivateKey.from_pem((_examples() / name).read_text())


@pytest.mark.parametrize("level", LEVELS)
def test_rfc9881_certificates_verify(level: int) -> None:
    cert = x509.load_pem_x509_certificate((_examples() / f"ML-DSA-{level}.crt").read_bytes())
    spki = cert.public_key().public_bytes(serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)
    public = MLDSAPublicKey.from_der(spki)
    assert public == MLDSAPrivateKey.from_seed(EXAMPLE_SEED, level).public_key()  # type: ignore[arg-type]
    # Pure ML-DSA over the TBSCertificate with the empty context.
    assert public.verify(cert.signature, cert.tbs_certificate_bytes)
    assert not public.verify(cert.signature, cert.tbs_certificate_bytes, b"x")


def test_cryptography_vectors_der_keys() -> None:
    seed_key = MLDSAPrivateKey.from_der((KAT_DIR / "mldsa44_priv.der").read_bytes())
    public = MLDSAPublicKey.from_der((KAT_DIR / "mldsa44_pub.der").read_bytes())
    assert seed_key.public_key() == public
    assert seed_key.to_der() == (KAT_DIR / "mldsa44_priv.der").read_bytes()
    expanded = MLDSAPrivateKey.from_der((KAT_DIR / "mldsa65_noseed_priv.der").read_bytes())
    assert expanded.seed is None and expanded.level == 65
    assert expanded.to_der("expanded") == (KAT_DIR / "mldsa65_noseed_priv.der").read_bytes()
    sig = expanded.sign(b"message", b"ctx")
    assert expanded.public_key().verify(sig, b"message", b"ctx")
    with pytest.raises(InvalidParameterError, match="without its seed"):
        expanded.to_der("seed")


def test_wycheproof_pkcs8_and_spki_encodings() -> None:
    folder = shared_vectors("mldsa")
    checked = 0
    for level in LEVELS:
        data = json.loads((folder / f"mldsa_{level}_sign_seed_test.json").read_text())
        for group in data["testGroups"]:
            if group.get("privateKeyPkcs8"):
                key = MLDSAPrivateKey.from_der(bytes.fromhex(group["privateKeyPkcs8"]))
                assert key.seed == bytes.fromhex(group["privateSeed"])
                assert key.public_key().to_bytes().hex() == group["publicKey"]
                checked += 1
        data = json.loads((folder / f"mldsa_{level}_verify_test.json").read_text())
        for group in data["testGroups"]:
            raw = bytes.fromhex(group["publicKey"])
            if len(raw) == PUBLIC_KEY_SIZE[level]:
                assert MLDSAPublicKey.from_der(bytes.fromhex(group["publicKeyDer"])).to_bytes() == raw
                checked += 1
            else:
                with pytest.raises((KeySerializationError, InvalidParameterError)):
                    MLDSAPublicKey.from_der(bytes.fromhex(group["publicKeyDer"]))
    assert checked > 0


def _mutations(der: bytes) -> list[tuple[int, bytes]]:
    """(first changed offset, bytes): truncations, an extension, and single-byte changes of the first 26 bytes."""
    out = [(len(der) - 1, der[:-1]), (len(der), der + b"\x00"), (10, der[:10]), (0, b"")]
    for i in range(min(len(der), 26)):
        out.append((i, der[:i] + bytes([der[i] ^ 0x01]) + der[i + 1 :]))
    return out


# Bytes of DER structure before the key material: the seed form's seed starts
# at 22, the expanded key at 28; in the "both" form a changed seed no longer
# matches the expanded key, so every change is refused.
@pytest.mark.parametrize("form, material_at", [("seed", 22), ("expanded", 28), ("both", 10**6)])
def test_malformed_private_keys_are_refused(form: str, material_at: int) -> None:
    key = MLDSAPrivateKey.from_seed(EXAMPLE_SEED, 44)
    der = key.to_der(form)  # type: ignore[arg-type]
    for at, bad in _mutations(der):
        if at < material_at or len(bad) != len(der):
            with pytest.raises((KeySerializationError, InvalidParameterError)):
                MLDSAPrivateKey.from_der(bad)
        else:
            assert MLDSAPrivateKey.from_der(bad) != key


def test_malformed_public_keys_are_refused() -> None:
    der = MLDSAPrivateKey.from_seed(EXAMPLE_SEED, 87).public_key().to_der()
    for at, bad in _mutations(der):
        if at < 22 or len(bad) != len(der):
            with pytest.raises((KeySerializationError, InvalidParameterError)):
                MLDSAPublicKey.from_der(bad)
        else:
            assert MLDSAPublicKey.from_der(bad).to_bytes() == bad[22:]


def test_argument_refusals() -> None:
    key = MLDSAPrivateKey.from_seed(EXAMPLE_SEED, 65)
    public = key.public_key()
    with pytest.raises(InvalidParameterError, match="255"):
        key.sign(b"m", bytes(256))
    with pytest.raises(InvalidParameterError, match="255"):
        public.verify(bytes(SIGNATURE_SIZE[65]), b"m", bytes(256))
    with pytest.raises(InvalidParameterError):
        MLDSAPrivateKey.from_seed(bytes(31), 65)
    with pytest.raises(InvalidParameterError):
        MLDSAPrivateKey.from_seed(bytes(32), 66)  # type: ignore[arg-type]
    with pytest.raises(InvalidParameterError):
        MLDSAPublicKey(bytes(PUBLIC_KEY_SIZE[65] + 1))
    with pytest.raises(InvalidParameterError):
        MLDSAPrivateKey.from_expanded(bytes(PRIVATE_KEY_SIZE[44] - 1))
    with pytest.raises(InvalidParameterError, match="hash_algorithm"):
        key.sign_prehashed(b"m", "md5")  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        key.sign("text")  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        MLDSAPrivateKey()
    # A signature of the wrong length, or of another level, is just invalid.
    sig = key.sign(b"m")
    assert not public.verify(sig[:-1], b"m")
    assert not MLDSAPrivateKey.from_seed(EXAMPLE_SEED, 44).public_key().verify(sig, b"m")


def test_private_keys_refuse_pickling_public_keys_do_not() -> None:
    key = MLDSAPrivateKey.generate(44)
    with pytest.raises(TypeError, match="MLDSAPrivateKey"):
        pickle.dumps(key)
    assert pickle.loads(pickle.dumps(key.public_key())) == key.public_key()


def test_hedged_deterministic_prehashed_and_mu_signatures() -> None:
    key = MLDSAPrivateKey.from_seed(os.urandom(32), 87)
    public = key.public_key()
    hedged = {key.sign(b"m", b"c") for _ in range(3)}
    assert len(hedged) == 3 and all(public.verify(s, b"m", b"c") for s in hedged)
    assert key.sign(b"m", b"c", deterministic=True) == key.sign(b"m", b"c", deterministic=True)
    for alg in ("sha256", "sha512", "shake128", "sha3_256", "sha224", "shake256"):
        sig = key.sign_prehashed(b"m", alg, b"c")  # type: ignore[arg-type]
        assert public.verify_prehashed(sig, b"m", alg, b"c")  # type: ignore[arg-type]
        # HashML-DSA and pure ML-DSA are separated by the domain byte of M'.
        assert not public.verify(sig, b"m", b"c")
        assert not public.verify_prehashed(sig, b"n", alg, b"c")  # type: ignore[arg-type]
    mu = public.compute_mu(b"m", b"c")
    assert public.verify(key.sign_mu(mu), b"m", b"c")
    assert key.sign_mu(mu, deterministic=True) == key.sign(b"m", b"c", deterministic=True)


_SEED_DER = {lv: MLDSAPrivateKey.from_seed(EXAMPLE_SEED, lv).to_der("seed") for lv in LEVELS}  # type: ignore[arg-type]


@settings(max_examples=300, deadline=None)
@given(
    level=st.sampled_from(LEVELS),
    cut=st.integers(min_value=0, max_value=60),
    junk=st.binary(max_size=80),
    flip=st.integers(min_value=0, max_value=53),
)
def test_der_parsers_refuse_or_read_exactly(level: int, cut: int, junk: bytes, flip: int) -> None:
    """Hostile DER: either a typed refusal or a key that writes back to the same bytes."""
    base = _SEED_DER[level]
    candidates = [base[:cut] + junk, junk, base[:flip] + bytes([base[flip] ^ 0x80]) + base[flip + 1 :]]
    for data in candidates:
        try:
            key = MLDSAPrivateKey.from_der(data)
        except (KeySerializationError, InvalidParameterError):
            pass
        else:
            assert key.to_der("seed") == data
        try:
            pub = MLDSAPublicKey.from_der(data)
        except (KeySerializationError, InvalidParameterError):
            pass
        else:
            assert pub.to_der() == data
