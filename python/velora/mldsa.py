"""ML-DSA (FIPS 204) signatures: ML-DSA-44, ML-DSA-65 and ML-DSA-87.

An `MLDSAPrivateKey` signs, an `MLDSAPublicKey` verifies. Signing is hedged by
default (32 fresh random bytes per signature, FIPS 204's recommended variant);
`deterministic=True` gives the deterministic variant (the same signature for
the same key, message and context). Pure ML-DSA takes a context string of 0 to
255 bytes; HashML-DSA (`sign_prehashed`) signs a digest of the message under
one of twelve hash functions; `sign_mu` / `verify_mu` work on an externally
computed message representative mu (FIPS 204's "external mu").

Keys travel as RFC 9881 SubjectPublicKeyInfo and PKCS#8 (DER or PEM) under the
OIDs 2.16.840.1.101.3.4.3.17 / .18 / .19 with absent parameters. A private key
is written in one of the three RFC 9881 forms: the 32-byte seed (the default
and the recommended one), the expanded key, or both; a key read in the "both"
form must regenerate from its seed, and an expanded key must be consistent
with its own parts, or it is refused.
"""

from __future__ import annotations

import base64
import hashlib
import hmac
import os
import re
from typing import Any, Final, Literal

from . import _velora_native as _native
from ._velora_core import InvalidParameterError, KeySerializationError
from .keys import Buffer, _as_bytes

__all__ = [
    "CONTEXT_MAX_SIZE",
    "HashAlgorithm",
    "Level",
    "MLDSAPrivateKey",
    "MLDSAPublicKey",
    "PRIVATE_KEY_SIZE",
    "PUBLIC_KEY_SIZE",
    "PrivateKeyForm",
    "SEED_SIZE",
    "SIGNATURE_SIZE",
]

#: The parameter sets, by their names' number.
Level = Literal[44, 65, 87]

#: The three RFC 9881 forms of a private key.
PrivateKeyForm = Literal["seed", "expanded", "both"]

#: The pre-hash functions of HashML-DSA.
HashAlgorithm = Literal[
    "sha224", "sha256", "sha384", "sha512", "sha512_224", "sha512_256",
    "sha3_224", "sha3_256", "sha3_384", "sha3_512", "shake128", "shake256",
]

SEED_SIZE: Final = 32
MU_SIZE: Final = 64
CONTEXT_MAX_SIZE: Final = 255
PUBLIC_KEY_SIZE: Final[dict[int, int]] = {44: 1312, 65: 1952, 87: 2592}
#: The expanded private key (FIPS 204 skEncode).
PRIVATE_KEY_SIZE: Final[dict[int, int]] = {44: 2560, 65: 4032, 87: 4896}
SIGNATURE_SIZE: Final[dict[int, int]] = {44: 2420, 65: 3309, 87: 4627}

_LEVELS: Final = (44, 65, 87)
_FORMS: Final = ("seed", "expanded", "both")
_OID_LAST: Final = {44: 0x11, 65: 0x12, 87: 0x13}


def _level(level: object) -> Level:
    if not isinstance(level, bool) and isinstance(level, int):
        if level == 44:
            return 44
        if level == 65:
            return 65
        if level == 87:
            return 87
    raise InvalidParameterError(f"ML-DSA level: 44, 65 or 87, got {level!r}")


def _level_of(size: int, table: dict[int, int], what: str) -> Level:
    for lv in _LEVELS:
        if table[lv] == size:
            return _level(lv)
    sizes = ", ".join(str(table[lv]) for lv in _LEVELS)
    raise InvalidParameterError(f"an ML-DSA {what} is {sizes} bytes, got {size}")


def _context(context: Buffer) -> bytes:
    ctx = _as_bytes(context, "context")
    if len(ctx) > CONTEXT_MAX_SIZE:
        raise InvalidParameterError(f"an ML-DSA context is at most {CONTEXT_MAX_SIZE} bytes, got {len(ctx)}")
    return ctx


def _rnd(deterministic: bool) -> bytes | None:
    if not isinstance(deterministic, bool):
        raise TypeError(f"deterministic must be a bool, not {type(deterministic).__name__}")
    return bytes(32) if deterministic else None


# ---- DER (RFC 9881): fixed sizes make every form a fixed layout ----


def _der_length(n: int) -> bytes:
    if n < 0x80:
        return bytes([n])
    if n < 0x100:
        return bytes([0x81, n])
    return bytes([0x82]) + n.to_bytes(2, "big")


def _tlv(tag: int, content: bytes) -> bytes:
    return bytes([tag]) + _der_length(len(content)) + content


def _algorithm(level: Level) -> bytes:
    # SEQUENCE { OID 2.16.840.1.101.3.4.3.{17,18,19} }, parameters absent.
    return _tlv(0x30, _tlv(0x06, bytes.fromhex("6086480165030403") + bytes([_OID_LAST[level]])))


def _spki(level: Level, pk: bytes) -> bytes:
    return _tlv(0x30, _algorithm(level) + _tlv(0x03, b"\x00" + pk))


def _pkcs8(level: Level, form: str, seed: bytes | None, sk: bytes) -> bytes:
    if form == "seed":
        assert seed is not None
        choice = _tlv(0x80, seed)  # seed [0] IMPLICIT OCTET STRING
    elif form == "expanded":
        choice = _tlv(0x04, sk)
    else:
        assert seed is not None
        choice = _tlv(0x30, _tlv(0x04, seed) + _tlv(0x04, sk))
    return _tlv(0x30, b"\x02\x01\x00" + _algorithm(level) + _tlv(0x04, choice))


def _parse_spki(der: bytes) -> bytes:
    for lv in _LEVELS:
        level = _level(lv)
        size = PUBLIC_KEY_SIZE[level]
        if len(der) == len(_spki(level, bytes(size))) and der[-size:] and _spki(level, der[-size:]) == der:
            return der[-size:]
    raise KeySerializationError(
        "not a DER ML-DSA SubjectPublicKeyInfo (OID 2.16.840.1.101.3.4.3.17, .18 or .19, parameters absent)"
    )


def _parse_pkcs8(der: bytes) -> tuple[Level, str, bytes | None, bytes | None]:
    """(level, form, seed, expanded key) of an RFC 9881 OneAsymmetricKey; the form by its tag."""
    for lv in _LEVELS:
        level = _level(lv)
        sk_size = PRIVATE_KEY_SIZE[level]
        seed_len = len(_pkcs8(level, "seed", bytes(SEED_SIZE), b""))
        if len(der) == seed_len and _pkcs8(level, "seed", der[-SEED_SIZE:], b"") == der:
            return level, "seed", der[-SEED_SIZE:], None
        if len(der) == len(_pkcs8(level, "expanded", None, bytes(sk_size))):
            sk = der[-sk_size:]
            if _pkcs8(level, "expanded", None, sk) == der:
                return level, "expanded", None, sk
        if len(der) == len(_pkcs8(level, "both", bytes(SEED_SIZE), bytes(sk_size))):
            sk = der[-sk_size:]
            seed = der[-sk_size - 4 - SEED_SIZE : -sk_size - 4]
            if _pkcs8(level, "both", seed, sk) == der:
                return level, "both", seed, sk
    raise KeySerializationError(
        "not a DER ML-DSA private key (RFC 9881 OneAsymmetricKey version 0 with the seed, expandedKey or both form)"
    )


def _pem(label: str, der: bytes) -> str:
    body = base64.b64encode(der).decode("ascii")
    lines = [body[i : i + 64] for i in range(0, len(body), 64)]
    return f"-----BEGIN {label}-----\n" + "\n".join(lines) + f"\n-----END {label}-----\n"


def _unpem(label: str, text: str | bytes) -> bytes:
    if isinstance(text, (bytes, bytearray, memoryview)):
        try:
            text = bytes(text).decode("ascii")
        except UnicodeDecodeError:
            raise KeySerializationError(f"not a PEM {label}: the text is not ASCII") from None
    if not isinstance(text, str):
        raise TypeError(f"PEM text must be str or bytes, not {type(text).__name__}")
    m = re.search(rf"-----BEGIN {label}-----\s*(.*?)\s*-----END {label}-----", text, re.S)
    if m is None:
        raise KeySerializationError(f"no PEM block '{label}' found")
    try:
        return base64.b64decode("".join(m.group(1).split()), validate=True)
    except ValueError:
        raise KeySerializationError(f"the PEM block '{label}' is not valid Base64") from None


# ---- keys ----


class MLDSAPublicKey:
    """An ML-DSA public key (FIPS 204 pkEncode: 1312, 1952 or 2592 bytes)."""

    __slots__ = ("_key", "_level")
    _key: bytes
    _level: Level

    def __init__(self, data: Buffer) -> None:
        key = _as_bytes(data, "ML-DSA public key")
        self._level = _level_of(len(key), PUBLIC_KEY_SIZE, "public key")
        self._key = key

    @classmethod
    def from_bytes(cls, data: Buffer) -> MLDSAPublicKey:
        return cls(data)

    def to_bytes(self) -> bytes:
        return self._key

    @property
    def level(self) -> Level:
        return self._level

    def to_der(self) -> bytes:
        """RFC 9881 SubjectPublicKeyInfo (DER)."""
        return _spki(self._level, self._key)

    def to_pem(self) -> str:
        return _pem("PUBLIC KEY", self.to_der())

    @classmethod
    def from_der(cls, data: Buffer) -> MLDSAPublicKey:
        return cls(_parse_spki(_as_bytes(data, "DER")))

    @classmethod
    def from_pem(cls, text: str | bytes) -> MLDSAPublicKey:
        return cls.from_der(_unpem("PUBLIC KEY", text))

    def verify(self, signature: Buffer, message: Buffer, context: Buffer = b"") -> bool:
        """Whether `signature` is a valid pure ML-DSA signature of `message` under `context`."""
        ok: bool = _native.mldsa_verify(self._key, message, _context(context), signature)
        return ok

    def verify_prehashed(
        self, signature: Buffer, message: Buffer, hash_algorithm: HashAlgorithm, context: Buffer = b""
    ) -> bool:
        """Whether `signature` is a valid HashML-DSA signature of `message` (hashed here with `hash_algorithm`)."""
        ok: bool = _native.mldsa_hash_verify(self._key, hash_algorithm, message, _context(context), signature)
        return ok

    def compute_mu(self, message: Buffer, context: Buffer = b"") -> bytes:
        """The 64-byte message representative mu of pure ML-DSA for this key, message and context."""
        mu: bytes = _native.mldsa_mu(self._key, message, _context(context))
        return mu

    def verify_mu(self, signature: Buffer, mu: Buffer) -> bool:
        """Whether `signature` is valid for the externally computed `mu`."""
        ok: bool = _native.mldsa_verify_mu(self._key, _as_bytes(mu, "mu"), signature)
        return ok

    @property
    def fingerprint(self) -> str:
        """First 8 bytes of SHA3-256 of the key, in hex."""
        return hashlib.sha3_256(self._key).hexdigest()[:16]

    def __eq__(self, other: object) -> bool:
        return isinstance(other, MLDSAPublicKey) and hmac.compare_digest(self._key, other._key)

    def __hash__(self) -> int:
        return hash((MLDSAPublicKey, self._key))

    def __repr__(self) -> str:
        return f"MLDSAPublicKey(ML-DSA-{self._level}, fp={self.fingerprint})"

    def __reduce__(self) -> tuple[type[MLDSAPublicKey], tuple[bytes]]:
        return (MLDSAPublicKey, (self._key,))


class MLDSAPrivateKey:
    """An ML-DSA private key: its 32-byte seed (when known) and its expanded form."""

    __slots__ = ("_seed", "_expanded", "_public")
    _seed: bytes | None
    _expanded: bytes
    _public: MLDSAPublicKey

    def __init__(self) -> None:
        raise TypeError("use MLDSAPrivateKey.generate, from_seed, from_expanded, from_der or from_pem")

    @classmethod
    def _make(cls, seed: bytes | None, expanded: bytes, public: bytes) -> MLDSAPrivateKey:
        key = object.__new__(cls)
        key._seed = seed
        key._expanded = expanded
        key._public = MLDSAPublicKey(public)
        return key

    @classmethod
    def generate(cls, level: Level = 65) -> MLDSAPrivateKey:
        """A new key pair from 32 random bytes."""
        return cls.from_seed(os.urandom(SEED_SIZE), level)

    @classmethod
    def from_seed(cls, seed: Buffer, level: Level = 65) -> MLDSAPrivateKey:
        """The key pair FIPS 204 derives from the 32-byte seed xi."""
        raw = _as_bytes(seed, "seed")
        if len(raw) != SEED_SIZE:
            raise InvalidParameterError(f"an ML-DSA seed is {SEED_SIZE} bytes, got {len(raw)}")
        pk, sk = _native.mldsa_keygen(raw, _level(level))
        return cls._make(raw, sk, pk)

    @classmethod
    def from_expanded(cls, data: Buffer) -> MLDSAPrivateKey:
        """A key from its expanded form (FIPS 204 skEncode), refused unless consistent with its own parts."""
        sk = _as_bytes(data, "expanded private key")
        _level_of(len(sk), PRIVATE_KEY_SIZE, "expanded private key")
        pk = _native.mldsa_public_key_of_expanded(sk)
        return cls._make(None, sk, pk)

    @property
    def level(self) -> Level:
        return self._public.level

    @property
    def seed(self) -> bytes | None:
        """The 32-byte seed; None for a key read from its expanded form alone."""
        return self._seed

    def expanded_bytes(self) -> bytes:
        """The expanded private key (FIPS 204 skEncode)."""
        return self._expanded

    def public_key(self) -> MLDSAPublicKey:
        return self._public

    def sign(self, message: Buffer, context: Buffer = b"", deterministic: bool = False) -> bytes:
        """A pure ML-DSA signature of `message` under `context` (0 to 255 bytes)."""
        rnd = _rnd(deterministic)
        sig: bytes = _native.mldsa_sign(self._expanded, message, _context(context), rnd)
        return sig

    def sign_prehashed(
        self, message: Buffer, hash_algorithm: HashAlgorithm, context: Buffer = b"", deterministic: bool = False
    ) -> bytes:
        """A HashML-DSA signature of `message`, hashed here with `hash_algorithm`."""
        rnd = _rnd(deterministic)
        sig: bytes = _native.mldsa_hash_sign(self._expanded, hash_algorithm, message, _context(context), rnd)
        return sig

    def sign_mu(self, mu: Buffer, deterministic: bool = False) -> bytes:
        """A signature of an externally computed mu (see `MLDSAPublicKey.compute_mu`)."""
        rnd = _rnd(deterministic)
        sig: bytes = _native.mldsa_sign_mu(self._expanded, _as_bytes(mu, "mu"), rnd)
        return sig

    def to_der(self, form: PrivateKeyForm = "seed") -> bytes:
        """RFC 9881 PKCS#8 OneAsymmetricKey (DER) in the given form."""
        if form not in _FORMS:
            raise InvalidParameterError(f"private key form: 'seed', 'expanded' or 'both', got {form!r}")
        if form != "expanded" and self._seed is None:
            raise InvalidParameterError("this key was read without its seed: only the 'expanded' form can be written")
        return _pkcs8(self.level, form, self._seed, self._expanded)

    def to_pem(self, form: PrivateKeyForm = "seed") -> str:
        return _pem("PRIVATE KEY", self.to_der(form))

    @classmethod
    def from_der(cls, data: Buffer) -> MLDSAPrivateKey:
        """Reads any RFC 9881 form; "both" must regenerate from its seed, "expanded" must be consistent."""
        level, form, seed, sk = _parse_pkcs8(_as_bytes(data, "DER"))
        if form == "seed":
            assert seed is not None
            return cls.from_seed(seed, level)
        assert sk is not None
        if form == "expanded":
            return cls.from_expanded(sk)
        assert seed is not None
        key = cls.from_seed(seed, level)
        if not hmac.compare_digest(key._expanded, sk):
            raise KeySerializationError("ML-DSA private key: the seed and the expanded key do not match")
        return key

    @classmethod
    def from_pem(cls, text: str | bytes) -> MLDSAPrivateKey:
        return cls.from_der(_unpem("PRIVATE KEY", text))

    def __eq__(self, other: object) -> bool:
        return isinstance(other, MLDSAPrivateKey) and hmac.compare_digest(self._expanded, other._expanded)

    def __hash__(self) -> int:
        return hash((MLDSAPrivateKey, self._public.to_bytes()))

    def __repr__(self) -> str:
        return f"MLDSAPrivateKey(ML-DSA-{self.level}, fp={self._public.fingerprint})"

    def __reduce__(self) -> str | tuple[Any, ...]:
        raise TypeError("MLDSAPrivateKey objects are not picklable: store to_der() deliberately")
