"""HPKE (RFC 9180) base mode, single-shot, with post-quantum KEMs.

A `Suite` names a KEM, a KDF and an AEAD by their registered identifiers:

- KEMs: DHKEM(X25519, HKDF-SHA256), ML-KEM-768, ML-KEM-1024 and
  MLKEM768-X25519 (X-Wing), the last three as draft-ietf-hpke-pq defines them
  (private keys are seeds: 64 bytes d || z for ML-KEM, 32 bytes for X-Wing);
- KDFs: HKDF-SHA256, HKDF-SHA384, HKDF-SHA512;
- AEADs: AES-128-GCM, AES-256-GCM, ChaCha20-Poly1305 and export-only.

`seal`/`open` encrypt one message to a recipient's public key with `info`
and associated data `aad`; `send_export`/`receive_export` derive a shared
secret of any length from an exporter context instead. Keys are the KEM's
serialized byte strings; X-Wing and ML-KEM key objects of this package are
accepted where their kind matches the suite's KEM. All cryptography runs in
the native engine with the interpreter lock released.
"""

from __future__ import annotations

import enum
from dataclasses import dataclass
from typing import TypeVar, Union

from . import _velora_native as _native
from ._velora_core import InvalidParameterError
from .keys import Buffer, PrivateKey, PublicKey, _as_bytes
from .xwing import XWingPrivateKey, XWingPublicKey

__all__ = [
    "AEAD",
    "KDF",
    "KEM",
    "PrivateKeyLike",
    "PublicKeyLike",
    "Suite",
    "derive_key_pair",
    "generate_key_pair",
    "public_key",
]

class KEM(enum.IntEnum):
    DHKEM_X25519_HKDF_SHA256 = 0x0020
    ML_KEM_768 = 0x0041
    ML_KEM_1024 = 0x0042
    MLKEM768_X25519 = 0x647A


class KDF(enum.IntEnum):
    HKDF_SHA256 = 0x0001
    HKDF_SHA384 = 0x0002
    HKDF_SHA512 = 0x0003


class AEAD(enum.IntEnum):
    AES_128_GCM = 0x0001
    AES_256_GCM = 0x0002
    CHACHA20_POLY1305 = 0x0003
    EXPORT_ONLY = 0xFFFF


PublicKeyLike = Union[bytes, bytearray, memoryview, XWingPublicKey, PublicKey]
PrivateKeyLike = Union[bytes, bytearray, memoryview, XWingPrivateKey, PrivateKey]

_ML_KEM_LEVEL = {KEM.ML_KEM_768: 768, KEM.ML_KEM_1024: 1024}

_E = TypeVar("_E", KEM, KDF, AEAD)


def _member(kind: type[_E], value: _E | int) -> _E:
    """The member of ``kind`` for an identifier: `TypeError` for a non-integer, `InvalidParameterError` for an
    identifier not built here."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"an HPKE {kind.__name__} identifier must be an int, not {type(value).__name__}")
    try:
        return kind(value)
    except ValueError:
        names = ", ".join(f"{m.name} (0x{int(m):04x})" for m in kind)
        raise InvalidParameterError(f"unsupported HPKE {kind.__name__} 0x{value:04x}: expected {names}") from None


def _key_bytes(kem: KEM, key: PublicKeyLike | PrivateKeyLike, role: str) -> bytes:
    """The serialized key of a byte string or of a key object whose kind fits `kem`."""
    if isinstance(key, (XWingPublicKey, XWingPrivateKey)):
        if kem is not KEM.MLKEM768_X25519:
            raise TypeError(f"an X-Wing {role} key does not fit the KEM {kem.name}")
        return key.to_bytes()
    if isinstance(key, (PublicKey, PrivateKey)):
        if _ML_KEM_LEVEL.get(kem) != int(key.level):
            raise TypeError(f"an ML-KEM-{int(key.level)} {role} key does not fit the KEM {kem.name}")
        if isinstance(key, PublicKey):
            return key.to_bytes()
        if key.seed is None:
            raise TypeError("HPKE ML-KEM private keys are 64-byte seeds: this key was loaded without its seed")
        return key.seed
    return _as_bytes(key, f"{role} key")


def _public_bytes(kem: KEM, key: PublicKeyLike) -> bytes:
    if isinstance(key, (XWingPrivateKey, PrivateKey)):
        raise TypeError("a private key where a public key is expected")
    return _key_bytes(kem, key, "public")


def _private_bytes(kem: KEM, key: PrivateKeyLike) -> bytes:
    if isinstance(key, (XWingPublicKey, PublicKey)):
        raise TypeError("a public key where a private key is expected")
    return _key_bytes(kem, key, "private")


def generate_key_pair(kem: KEM | int) -> tuple[bytes, bytes]:
    """A fresh (private key, public key) for `kem`, serialized."""
    sk, pk = _native.hpke_generate_key_pair(_member(KEM, kem))
    return sk, pk


def derive_key_pair(kem: KEM | int, ikm: Buffer) -> tuple[bytes, bytes]:
    """DeriveKeyPair(ikm): (private key, public key), deterministic."""
    sk, pk = _native.hpke_derive_key_pair(_member(KEM, kem), _as_bytes(ikm, "ikm"))
    return sk, pk


def public_key(kem: KEM | int, private_key: Buffer) -> bytes:
    """The serialized public key of a serialized private key."""
    pk: bytes = _native.hpke_public_key(_member(KEM, kem), _as_bytes(private_key, "private key"))
    return pk


@dataclass(frozen=True)
class Suite:
    """One HPKE ciphersuite: KEM, KDF and AEAD."""

    kem: KEM
    kdf: KDF
    aead: AEAD

    def __init__(self, kem: KEM | int, kdf: KDF | int, aead: AEAD | int) -> None:
        object.__setattr__(self, "kem", _member(KEM, kem))
        object.__setattr__(self, "kdf", _member(KDF, kdf))
        object.__setattr__(self, "aead", _member(AEAD, aead))

    def _ids(self) -> tuple[int, int, int]:
        return int(self.kem), int(self.kdf), int(self.aead)

    def seal(
        self, public_key: PublicKeyLike, plaintext: Buffer, *, info: Buffer = b"", aad: Buffer = b""
    ) -> tuple[bytes, bytes]:
        """SealBase: (enc, ciphertext), the ciphertext ending with the AEAD tag."""
        return self._seal(public_key, plaintext, info, aad, None)

    def seal_deterministic(
        self, public_key: PublicKeyLike, plaintext: Buffer, ikm_e: Buffer, *, info: Buffer = b"", aad: Buffer = b""
    ) -> tuple[bytes, bytes]:
        """SealBase with the encapsulation randomness given: for known-answer tests only.
        `ikm_e` is the DHKEM ephemeral DeriveKeyPair input, ML-KEM's 32-byte m or X-Wing's 64-byte eseed."""
        return self._seal(public_key, plaintext, info, aad, _as_bytes(ikm_e, "ikm_e"))

    def _seal(
        self, public_key: PublicKeyLike, plaintext: Buffer, info: Buffer, aad: Buffer, ikm_e: bytes | None
    ) -> tuple[bytes, bytes]:
        enc, ct = _native.hpke_seal(
            *self._ids(),
            _public_bytes(self.kem, public_key),
            _as_bytes(info, "info"),
            _as_bytes(aad, "aad"),
            _as_bytes(plaintext, "plaintext"),
            ikm_e,
        )
        return enc, ct

    def open(
        self, private_key: PrivateKeyLike, enc: Buffer, ciphertext: Buffer, *, info: Buffer = b"", aad: Buffer = b""
    ) -> bytes:
        """OpenBase: the plaintext. `DecryptionError` when the ciphertext does not authenticate."""
        pt: bytes = _native.hpke_open(
            *self._ids(),
            _private_bytes(self.kem, private_key),
            _as_bytes(enc, "enc"),
            _as_bytes(info, "info"),
            _as_bytes(aad, "aad"),
            _as_bytes(ciphertext, "ciphertext"),
        )
        return pt

    def send_export(
        self,
        public_key: PublicKeyLike,
        exporter_context: Buffer,
        length: int,
        *,
        info: Buffer = b"",
        ikm_e: Buffer | None = None,
    ) -> tuple[bytes, bytes]:
        """SendExportBase: (enc, secret of `length` bytes). `ikm_e` is for known-answer tests only."""
        enc, secret = _native.hpke_send_export(
            *self._ids(),
            _public_bytes(self.kem, public_key),
            _as_bytes(info, "info"),
            _as_bytes(exporter_context, "exporter_context"),
            length,
            None if ikm_e is None else _as_bytes(ikm_e, "ikm_e"),
        )
        return enc, secret

    def receive_export(
        self, private_key: PrivateKeyLike, enc: Buffer, exporter_context: Buffer, length: int, *, info: Buffer = b""
    ) -> bytes:
        """ReceiveExportBase: the secret of `length` bytes."""
        secret: bytes = _native.hpke_receive_export(
            *self._ids(),
            _private_bytes(self.kem, private_key),
            _as_bytes(enc, "enc"),
            _as_bytes(info, "info"),
            _as_bytes(exporter_context, "exporter_context"),
            length,
        )
        return secret
