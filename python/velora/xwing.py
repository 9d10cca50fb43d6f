"""X-Wing, the hybrid post-quantum KEM of ML-KEM-768 and X25519.

Keys carry their kind: an `XWingPublicKey` is not an ML-KEM `PublicKey` and
no function takes one for the other. The private key is the 32-byte seed of
draft-connolly-cfrg-xwing-kem (also the HPKE MLKEM768-X25519 private key and
the payload of an age `AGE-SECRET-KEY-PQ-1...` identity); the public key is
1216 bytes (ML-KEM-768 encapsulation key, then the X25519 public key). Keys
also travel as X.509 SubjectPublicKeyInfo / PKCS#8 under the OID
1.3.6.1.4.1.62253.25722 with absent parameters (draft Section 5.8).
"""

from __future__ import annotations

import base64
import hashlib
import hmac
import os
import re
from typing import Any, Final

from . import _velora_native as _native
from ._velora_core import InvalidParameterError, KeySerializationError
from .keys import Buffer, _as_bytes
from .text import XWING_PREFIX, XWING_SECRET_PREFIX, decode_kind, encode

SEED_SIZE: Final = 32
PUBLIC_KEY_SIZE: Final = 1216
CIPHERTEXT_SIZE: Final = 1120
SHARED_SECRET_SIZE: Final = 32

# DER with absent parameters and fixed sizes is one fixed prefix per form:
#   SubjectPublicKeyInfo ::= SEQUENCE { SEQUENCE { OID }, BIT STRING (0 unused bits, 1216 bytes) }
#   OneAsymmetricKey ::= SEQUENCE { INTEGER 0, SEQUENCE { OID }, OCTET STRING (32 bytes) }
_OID: Final = bytes.fromhex("060b2b0601040183e62d81c87a")  # 1.3.6.1.4.1.62253.25722
_ALGORITHM: Final = bytes([0x30, len(_OID)]) + _OID
_SPKI_PREFIX: Final = (
    b"\x30\x82" + (len(_ALGORITHM) + 4 + 1 + PUBLIC_KEY_SIZE).to_bytes(2, "big")
    + _ALGORITHM
    + b"\x03\x82" + (1 + PUBLIC_KEY_SIZE).to_bytes(2, "big") + b"\x00"
)
_PKCS8_PREFIX: Final = (
    bytes([0x30, 3 + len(_ALGORITHM) + 2 + SEED_SIZE]) + b"\x02\x01\x00" + _ALGORITHM + bytes([0x04, SEED_SIZE])
)


__all__ = ["CIPHERTEXT_SIZE", "PUBLIC_KEY_SIZE", "SEED_SIZE", "SHARED_SECRET_SIZE", "XWingPrivateKey", "XWingPublicKey"]


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
    m = re.search(rf"-----BEGIN {label}-----\s*(.*?)\s*-----END {label}-----", text, re.S)
    if m is None:
        raise KeySerializationError(f"no PEM block '{label}' found")
    try:
        return base64.b64decode("".join(m.group(1).split()), validate=True)
    except ValueError:
        raise KeySerializationError(f"the PEM block '{label}' is not valid Base64") from None


def _from_der(der: bytes, prefix: bytes, size: int, what: str) -> bytes:
    if len(der) != len(prefix) + size or not der.startswith(prefix):
        raise KeySerializationError(f"not a DER X-Wing {what} (OID 1.3.6.1.4.1.62253.25722, parameters absent)")
    return der[len(prefix) :]


class XWingPublicKey:
    """A 1216-byte X-Wing encapsulation key."""

    __slots__ = ("_key",)
    _key: bytes

    def __init__(self, data: Buffer) -> None:
        key = _as_bytes(data, "X-Wing public key")
        if len(key) != PUBLIC_KEY_SIZE:
            raise InvalidParameterError(f"an X-Wing public key is {PUBLIC_KEY_SIZE} bytes, got {len(key)}")
        self._key = key

    @classmethod
    def from_bytes(cls, data: Buffer) -> XWingPublicKey:
        return cls(data)

    def to_bytes(self) -> bytes:
        return self._key

    def to_der(self) -> bytes:
        """SubjectPublicKeyInfo (DER)."""
        return _SPKI_PREFIX + self._key

    def to_pem(self) -> str:
        return _pem("PUBLIC KEY", self.to_der())

    @classmethod
    def from_der(cls, data: Buffer) -> XWingPublicKey:
        return cls(_from_der(_as_bytes(data, "DER"), _SPKI_PREFIX, PUBLIC_KEY_SIZE, "public key"))

    @classmethod
    def from_pem(cls, text: str | bytes) -> XWingPublicKey:
        return cls.from_der(_unpem("PUBLIC KEY", text))

    @classmethod
    def from_text(cls, text: str) -> XWingPublicKey:
        """The key of its one-line text ``xwingpub1...`` (Bech32m, `velora.text`).

        A text that fails its checksum (a character changed, two swapped, one
        missing or added) raises `velora.text.KeyTextError` ("... fails
        its checksum ...").
        """
        forms = {0: (XWING_PREFIX, PUBLIC_KEY_SIZE, "X-Wing recipient")}
        return cls(decode_kind(text, forms, "an X-Wing recipient")[1])

    def to_text(self) -> str:
        """The one-line recipient text with its checksum: ``xwingpub1...`` (Bech32m)."""
        return encode(XWING_PREFIX, self._key)

    def __str__(self) -> str:
        return self.to_text()

    def encapsulate(self) -> tuple[bytes, bytes]:
        """(ciphertext, shared secret): 1120 and 32 bytes."""
        ct, ss = _native.xwing_encapsulate(self._key)
        return ct, ss

    def encapsulate_deterministic(self, eseed: Buffer) -> tuple[bytes, bytes]:
        """Encapsulation with the given 64 bytes of randomness: for known-answer tests only."""
        ct, ss = _native.xwing_encapsulate_derand(self._key, _as_bytes(eseed, "eseed"))
        return ct, ss

    @property
    def fingerprint(self) -> str:
        """First 8 bytes of SHA3-256 of the key, in hex."""
        return hashlib.sha3_256(self._key).hexdigest()[:16]

    def __eq__(self, other: object) -> bool:
        return isinstance(other, XWingPublicKey) and hmac.compare_digest(self._key, other._key)

    def __hash__(self) -> int:
        return hash((XWingPublicKey, self._key))

    def __repr__(self) -> str:
        return f"XWingPublicKey(fp={self.fingerprint})"

    def __reduce__(self) -> tuple[type[XWingPublicKey], tuple[bytes]]:
        return (XWingPublicKey, (self._key,))


class XWingPrivateKey:
    """A 32-byte X-Wing decapsulation key (seed); its public key is derived once."""

    __slots__ = ("_seed", "_public")
    _seed: bytes
    _public: XWingPublicKey

    def __init__(self, seed: Buffer) -> None:
        key = _as_bytes(seed, "X-Wing private key")
        if len(key) != SEED_SIZE:
            raise InvalidParameterError(f"an X-Wing private key is {SEED_SIZE} bytes, got {len(key)}")
        self._seed = key
        self._public = XWingPublicKey(_native.xwing_public_key(key))

    @classmethod
    def generate(cls) -> XWingPrivateKey:
        return cls(os.urandom(SEED_SIZE))

    @classmethod
    def from_seed(cls, seed: Buffer) -> XWingPrivateKey:
        return cls(seed)

    @classmethod
    def from_bytes(cls, data: Buffer) -> XWingPrivateKey:
        return cls(data)

    @property
    def seed(self) -> bytes:
        return self._seed

    def to_bytes(self) -> bytes:
        return self._seed

    def public_key(self) -> XWingPublicKey:
        return self._public

    def decapsulate(self, ciphertext: Buffer) -> bytes:
        """The 32-byte shared secret. A wrong ciphertext of the right size gives an unrelated
        secret, except that an X25519 half of small order raises `DecapsulationError`."""
        ss: bytes = _native.xwing_decapsulate(_as_bytes(ciphertext, "ciphertext"), self._seed)
        return ss

    @classmethod
    def from_text(cls, text: str) -> XWingPrivateKey:
        """The key of its one-line identity text ``XWING-SECRET-KEY-1...`` (Bech32m of the seed).

        A text that fails its checksum raises `velora.text.KeyTextError`
        ("... fails its checksum ...").
        """
        forms = {0: (XWING_SECRET_PREFIX, SEED_SIZE, "X-Wing identity")}
        return cls(decode_kind(text, forms, "an X-Wing identity", upper=True)[1])

    def to_text(self) -> str:
        """The one-line identity text ``XWING-SECRET-KEY-1...``: the seed in Bech32m, upper case.

        It is the private key in the clear: write it only where the key file itself would go.
        """
        return encode(XWING_SECRET_PREFIX, self._seed).upper()

    def to_der(self) -> bytes:
        """PKCS#8 OneAsymmetricKey (DER): the privateKey OCTET STRING is the raw seed."""
        return _PKCS8_PREFIX + self._seed

    def to_pem(self) -> str:
        return _pem("PRIVATE KEY", self.to_der())

    @classmethod
    def from_der(cls, data: Buffer) -> XWingPrivateKey:
        return cls(_from_der(_as_bytes(data, "DER"), _PKCS8_PREFIX, SEED_SIZE, "private key"))

    @classmethod
    def from_pem(cls, text: str | bytes) -> XWingPrivateKey:
        return cls.from_der(_unpem("PRIVATE KEY", text))

    def __eq__(self, other: object) -> bool:
        return isinstance(other, XWingPrivateKey) and hmac.compare_digest(self._seed, other._seed)

    def __hash__(self) -> int:
        return hash((XWingPrivateKey, self._public.to_bytes()))

    def __repr__(self) -> str:
        return f"XWingPrivateKey(fp={self._public.fingerprint})"

    def __reduce__(self) -> str | tuple[Any, ...]:
        raise TypeError("XWingPrivateKey objects are not picklable: store to_bytes() deliberately")
