"""ML-KEM key objects that carry their level.

`PublicKey` holds an encapsulation key, `PrivateKey` a decapsulation key and,
when it was generated or loaded from one, the 64-byte seed d || z it came from.
Both accept any bytes-like input and name the expected size or level in their
errors. The raw functions of `velora._velora_core` stay available unchanged.
"""

from __future__ import annotations

import contextlib
import hashlib
import hmac
from collections.abc import Callable, Iterator
from typing import Final, NoReturn, Union

from . import _velora_core as _core
from ._velora_core import InvalidParameterError, KeyPair, SecurityLevel
from .levels import CAPSULE_SIZE, PUBLIC_KEY_SIZE, SECRET_KEY_SIZE, LevelLike, as_level, level_name

SEED_SIZE: Final = 64

#: Any bytes-like input (a buffer of bytes: bytes, bytearray, memoryview).
Buffer = Union[bytes, bytearray, memoryview]


def _as_bytes(data: Buffer, what: str) -> bytes:
    """A `bytes` copy of any bytes-like object (bytes, bytearray, memoryview, array...)."""
    if isinstance(data, bytes):
        return data
    if isinstance(data, str):
        raise TypeError(f"{what} must be a bytes-like object, not str")
    try:
        view = memoryview(data)
    except TypeError:
        raise TypeError(f"{what} must be a bytes-like object, not {type(data).__name__}") from None
    with view:
        return view.tobytes()


def _fingerprint(public_key: bytes) -> str:
    """First 8 bytes of SHA3-256 of the encapsulation key, in hex (as `KeyPair` shows it)."""
    return hashlib.sha3_256(public_key).hexdigest()[:16]


class PublicKey:
    """An ML-KEM encapsulation key and its level."""

    __slots__ = ("_key", "_level")

    _key: bytes
    _level: SecurityLevel

    def __init__(self) -> None:
        raise TypeError("use PublicKey.from_bytes, PrivateKey.public_key() or a loader")

    @classmethod
    def _make(cls, key: bytes, level: SecurityLevel) -> PublicKey:
        obj = object.__new__(cls)
        obj._key = key
        obj._level = level
        return obj

    @classmethod
    def from_bytes(cls, data: Buffer, level: LevelLike) -> PublicKey:
        """The public key `data` (the raw encapsulation key) at `level`."""
        lv = as_level(level)
        key = _as_bytes(data, "public key")
        expected = PUBLIC_KEY_SIZE[int(lv)]
        if len(key) != expected:
            raise InvalidParameterError(
                f"an {level_name(lv)} public key is {expected} bytes, got {len(key)}"
            )
        return cls._make(key, lv)

    @property
    def level(self) -> SecurityLevel:
        """The ML-KEM level of the key."""
        return self._level

    @property
    def fingerprint(self) -> str:
        """16 hex digits: the first 8 bytes of SHA3-256 of the key."""
        return _fingerprint(self._key)

    def to_bytes(self) -> bytes:
        """The raw encapsulation key (FIPS 203 ek)."""
        return self._key

    def encapsulate(self) -> tuple[bytes, bytes]:
        """A fresh (capsule, shared secret) pair for this key."""
        return _core.encapsulate(self._key, self._level)

    def encrypt(self, plaintext: Buffer) -> bytes:
        """Seals `plaintext` into a Transit Package for this key."""
        return _core.encrypt_hybrid(self._key, _as_bytes(plaintext, "plaintext"), self._level)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, PublicKey):
            return NotImplemented
        return self._level is other._level and hmac.compare_digest(self._key, other._key)

    def __hash__(self) -> int:
        return hash((int(self._level), self._key))

    def __repr__(self) -> str:
        return f"PublicKey(level={level_name(self._level)}, fp={self.fingerprint})"

    def __reduce__(self) -> tuple[Callable[[bytes, int], PublicKey], tuple[bytes, int]]:
        return (_public_key_from_state, (self._key, int(self._level)))


def _public_key_from_state(key: bytes, level: int) -> PublicKey:
    return PublicKey.from_bytes(key, level)


class PrivateKey:
    """An ML-KEM decapsulation key, its level and, where known, its seed d || z.

    Its `repr` shows the level and the public key's fingerprint, never secret
    bytes. It cannot be pickled: a private key does not leave a process
    silently.
    """

    __slots__ = ("_dk", "_level", "_public", "_seed", "__weakref__")

    _dk: bytes
    _level: SecurityLevel
    _public: PublicKey
    _seed: bytes | None

    def __init__(self) -> None:
        raise TypeError("use PrivateKey.generate, PrivateKey.from_seed, PrivateKey.from_bytes or a loader")

    @classmethod
    def _make(cls, dk: bytes, level: SecurityLevel, seed: bytes | None) -> PrivateKey:
        obj = object.__new__(cls)
        obj._dk = dk
        obj._level = level
        obj._seed = seed
        # FIPS 203 dk layout: dk_pke (384k) || ek (384k + 32) || H(ek) || z.
        k = int(level) // 256
        obj._public = PublicKey._make(dk[384 * k : 768 * k + 32], level)
        return obj

    @classmethod
    def generate(cls, level: LevelLike = SecurityLevel.ML_KEM_768) -> PrivateKey:
        """A fresh key pair from the operating system's random source, seed kept."""
        import secrets

        return cls.from_seed(secrets.token_bytes(SEED_SIZE), level)

    @classmethod
    def from_seed(cls, seed: Buffer, level: LevelLike) -> PrivateKey:
        """The key pair FIPS 203 ML-KEM.KeyGen_internal derives from the 64-byte seed d || z."""
        lv = as_level(level)
        s = _as_bytes(seed, "seed")
        if len(s) != SEED_SIZE:
            raise InvalidParameterError(f"an ML-KEM seed (d || z) is {SEED_SIZE} bytes, got {len(s)}")
        pair = _core.generate_keypair_deterministic(s[:32], s[32:], lv)
        return cls._make(pair.secret_key, lv, s)

    @classmethod
    def from_bytes(cls, data: Buffer, level: LevelLike) -> PrivateKey:
        """The private key from its raw decapsulation key (FIPS 203 dk) at `level`."""
        lv = as_level(level)
        dk = _as_bytes(data, "private key")
        expected = SECRET_KEY_SIZE[int(lv)]
        if len(dk) != expected:
            raise InvalidParameterError(
                f"an {level_name(lv)} private key is {expected} bytes, got {len(dk)}"
            )
        return cls._make(dk, lv, None)

    @classmethod
    def from_keypair(cls, pair: KeyPair) -> PrivateKey:
        """The private key of a `KeyPair` (its seed is not known)."""
        return cls._make(pair.secret_key, pair.level, None)

    @property
    def level(self) -> SecurityLevel:
        """The ML-KEM level of the key."""
        return self._level

    @property
    def seed(self) -> bytes | None:
        """The 64-byte seed d || z, or None for a key loaded without it."""
        return self._seed

    def public_key(self) -> PublicKey:
        """The matching public key (taken from the decapsulation key)."""
        return self._public

    def to_bytes(self) -> bytes:
        """The raw decapsulation key (FIPS 203 dk)."""
        return self._dk

    def decapsulate(self, capsule: Buffer) -> bytes:
        """The shared secret of `capsule` (implicit rejection: a wrong capsule of the right size gives a random-looking secret)."""
        c = _as_bytes(capsule, "capsule")
        expected = CAPSULE_SIZE[int(self._level)]
        if len(c) != expected:
            raise InvalidParameterError(
                f"an {level_name(self._level)} capsule is {expected} bytes, got {len(c)}"
            )
        return _core.decapsulate(c, self._dk, self._level)

    def decrypt(self, package: Buffer) -> bytes:
        """Opens a Transit Package made for this key."""
        return _core.decrypt_hybrid(_as_bytes(package, "package"), self._dk, self._level)

    @contextlib.contextmanager
    def _secret_key_bytes(self) -> Iterator[bytes]:
        """The decapsulation key as `bytes`, for the raw `_velora_core` functions."""
        yield self._dk

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, PrivateKey):
            return NotImplemented
        return self._level is other._level and hmac.compare_digest(self._dk, other._dk)

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"PrivateKey(level={level_name(self._level)}, fp={self._public.fingerprint})"

    def __reduce__(self) -> NoReturn:
        raise TypeError("cannot pickle a PrivateKey: a private key does not leave a process silently; "
                        "export it explicitly (e.g. to encrypted PKCS#8)")
