"""ML-KEM key objects that carry their level.

`PublicKey` holds an encapsulation key and its level. `PrivateKey` holds a
decapsulation key and, when it was generated or loaded from one, the 64-byte
seed d || z it came from; both live in native memory of
`velora._velora_native` that is overwritten with zeros when the key is
released, and Python code sees them only as copies it asks for (`seed`,
`to_bytes`, `to_der`...).

Every method accepts any bytes-like input, a level as a `SecurityLevel` or
one of the integers 512, 768 and 1024, and names the expected size or level
in its errors. Keys imported through these objects pass the FIPS 203 input
checks by default (`check=True`): the modulus check of a public key, and the
hash and pairwise-consistency checks of an expanded private key. The raw
functions of `velora._velora_core` stay available unchanged and check lengths
only.
"""

from __future__ import annotations

import base64
import binascii
import hashlib
import hmac
import re
from collections.abc import Callable
from contextlib import AbstractContextManager
from typing import Final, Literal, NoReturn, Union

from . import _velora_core as _core
from . import _velora_native as _native
from ._velora_core import InvalidParameterError, KeyPair, KeySerializationError, SecurityLevel
from .levels import CAPSULE_SIZE, PUBLIC_KEY_SIZE, SECRET_KEY_SIZE, LevelLike, as_level, level_name
from .text import MLKEM_PREFIX, MLKEM_SECRET_PREFIX, KeyTextError, checksum_failure, decode_kind, encode, near_prefix

SEED_SIZE: Final = 64

#: Any bytes-like input (a buffer of bytes: bytes, bytearray, memoryview).
Buffer = Union[bytes, bytearray, memoryview]

#: The three RFC 9935 forms of a private key: the seed d || z (recommended,
#: the default), the expanded decapsulation key, or both.
PrivateKeyForm = Literal["seed", "expanded", "both"]

#: The key derivation of an encrypted private key.
Kdf = Literal["scrypt", "pbkdf2"]

#: scrypt cost written by default: N = 2^17, r = 8, p = 1 (128 MiB of memory).
DEFAULT_SCRYPT_N: Final = 2**17
DEFAULT_SCRYPT_R: Final = 8
DEFAULT_SCRYPT_P: Final = 1
#: PBKDF2-HMAC-SHA256 iterations written when kdf="pbkdf2".
DEFAULT_PBKDF2_ITERATIONS: Final = 600_000

_FORMS: Final = ("seed", "expanded", "both")

#: The older one-line form: ``mlkemLEVEL:`` and the key in URL-safe Base64 without padding (no checksum).
_LEGACY_TEXT: Final = re.compile(r"mlkem(512|768|1024):([A-Za-z0-9_-]*)")


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


def _check_form(form: str) -> None:
    if form not in _FORMS:
        raise InvalidParameterError(f"unknown private key form {form!r}: expected 'seed', 'expanded' or 'both'")


class PublicKey:
    """An ML-KEM encapsulation key and its level."""

    __slots__ = ("_key", "_level")

    _key: bytes
    _level: SecurityLevel

    def __init__(self) -> None:
        raise TypeError("use PublicKey.from_bytes, PublicKey.from_der, PrivateKey.public_key() or a loader")

    @classmethod
    def _make(cls, key: bytes, level: SecurityLevel) -> PublicKey:
        obj = object.__new__(cls)
        obj._key = key
        obj._level = level
        return obj

    # ---- raw bytes ------------------------------------------------------------

    @classmethod
    def from_bytes(cls, data: Buffer, level: LevelLike, *, check: bool = True) -> PublicKey:
        """The public key `data` (the raw encapsulation key) at `level`.

        With `check` (the default) the key must pass the FIPS 203 modulus
        check (section 7.2), else `KeySerializationError`.
        """
        lv = as_level(level)
        key = _as_bytes(data, "public key")
        expected = PUBLIC_KEY_SIZE[int(lv)]
        if len(key) != expected:
            raise InvalidParameterError(f"an {level_name(lv)} public key is {expected} bytes, got {len(key)}")
        if check and not _native.fips203_modulus_check(key, lv):
            raise KeySerializationError(
                f"{level_name(lv)} public key fails the FIPS 203 modulus check "
                "(a coefficient is not reduced modulo q = 3329)"
            )
        return cls._make(key, lv)

    def to_bytes(self) -> bytes:
        """The raw encapsulation key (FIPS 203 ek)."""
        return self._key

    # ---- RFC 9935 SubjectPublicKeyInfo ------------------------------------------

    @classmethod
    def from_der(cls, data: Buffer, *, check: bool = True) -> PublicKey:
        """A SubjectPublicKeyInfo in DER; the level comes from its OID."""
        key, level = _native.public_key_load(_as_bytes(data, "data"), check=check, accept="der")
        return cls._make(key, level)

    @classmethod
    def from_pem(cls, text: str | Buffer, *, check: bool = True) -> PublicKey:
        """The first "PUBLIC KEY" PEM block of `text`."""
        data = text if isinstance(text, str) else _as_bytes(text, "text")
        key, level = _native.public_key_load(data, check=check, accept="pem")
        return cls._make(key, level)

    def to_der(self) -> bytes:
        """SubjectPublicKeyInfo (RFC 9935 section 4) in DER."""
        return _native.public_key_to_spki(self._key, self._level)

    def to_pem(self) -> str:
        """SubjectPublicKeyInfo as PEM text ("PUBLIC KEY")."""
        return _native.public_key_to_spki(self._key, self._level, pem=True)

    # ---- this library's older text forms -------------------------------------

    @classmethod
    def from_b64(cls, text: str, level: LevelLike, *, check: bool = True) -> PublicKey:
        """URL-safe Base64 without padding (the level is not in the text)."""
        lv = as_level(level)
        return cls.from_bytes(_core.deserialize_public_key(text, lv), lv, check=check)

    @classmethod
    def from_legacy_pem(cls, text: str, level: LevelLike | None = None, *, check: bool = True) -> PublicKey:
        """The "ML-KEM PUBLIC KEY" armour; its level follows from the key's size when not given."""
        if level is not None:
            lv = as_level(level)
            return cls.from_bytes(_core.load_public_key_pem(text, lv), lv, check=check)
        for lv in (SecurityLevel.ML_KEM_512, SecurityLevel.ML_KEM_768, SecurityLevel.ML_KEM_1024):
            try:
                key = _core.load_public_key_pem(text, lv)
            except InvalidParameterError:
                continue
            return cls.from_bytes(key, lv, check=check)
        raise InvalidParameterError("the ML-KEM PUBLIC KEY armour holds no key of 800, 1184 or 1568 bytes")

    @classmethod
    def from_json(cls, text: str, *, check: bool = True) -> PublicKey:
        """The JSON document {"algorithm":"ML-KEM","level":...,"public_key":...}."""
        key, level = _core.load_public_key_json(text)
        return cls.from_bytes(key, level, check=check)

    def to_b64(self) -> str:
        """URL-safe Base64 without padding (the level is not recorded)."""
        return _core.serialize_public_key(self._key)

    def to_legacy_pem(self) -> str:
        """The "ML-KEM PUBLIC KEY" armour of this library (not DER)."""
        body = base64.b64encode(self._key).decode("ascii")
        lines = "\n".join(body[i : i + 64] for i in range(0, len(body), 64))
        return f"-----BEGIN ML-KEM PUBLIC KEY-----\n{lines}\n-----END ML-KEM PUBLIC KEY-----\n"

    def to_json(self) -> str:
        """The one-line JSON document that names the level."""
        return (
            f'{{"algorithm":"ML-KEM","level":"ML_KEM_{int(self._level)}","public_key":"{self.to_b64()}"}}'
        )

    # ---- the one-line recipient text -----------------------------------------------

    @classmethod
    def from_text(cls, text: str, *, check: bool = True) -> PublicKey:
        """The key of a one-line text: ``mlkem768pub1...`` (Bech32m, `velora.text`), at any level.

        A text that fails its checksum (a character changed, two swapped,
        one missing or added) raises `velora.text.KeyTextError`
        ("... fails its checksum ..."). The older ``mlkem768:<base64url>``
        form, which has no checksum, is read too (see `is_legacy_text`).
        """
        if isinstance(text, str) and is_legacy_text(text):
            try:
                return cls._from_legacy_text(text.strip(), check=check)
            except KeyTextError:
                # Not a whole older text: a checksummed one with a typo in its prefix?
                for bits, prefix in MLKEM_PREFIX.items():
                    if near_prefix(text.strip(), prefix):
                        what = f"ML-KEM-{bits} recipient"
                        raise checksum_failure(what, f"it does not start with {prefix}1") from None
                raise
        forms = {bits: (prefix, PUBLIC_KEY_SIZE[bits], f"ML-KEM-{bits} recipient")
                 for bits, prefix in MLKEM_PREFIX.items()}
        bits, raw = decode_kind(text, forms, "an ML-KEM recipient")
        return cls.from_bytes(raw, bits, check=check)

    @classmethod
    def _from_legacy_text(cls, text: str, *, check: bool) -> PublicKey:
        match = _LEGACY_TEXT.fullmatch(text)
        if match is None:
            raise KeyTextError(
                "malformed mlkem recipient: expected mlkemLEVEL: and URL-safe Base64 without padding"
            )
        bits, body = int(match.group(1)), match.group(2)
        chars = -(-PUBLIC_KEY_SIZE[bits] * 4 // 3)
        if len(body) != chars:
            raise KeyTextError(
                f"malformed mlkem{bits} recipient: expected {chars} Base64 characters, got {len(body)} "
                "(this older form has no checksum: a truncated or altered copy?)"
            )
        try:
            raw = base64.urlsafe_b64decode(body + "=" * (-len(body) % 4))
        except (binascii.Error, ValueError):
            raise KeyTextError("malformed mlkem recipient: invalid Base64") from None
        if base64.urlsafe_b64encode(raw).rstrip(b"=").decode("ascii") != body:
            raise KeyTextError(f"malformed mlkem{bits} recipient: non-canonical Base64")
        return cls.from_bytes(raw, bits, check=check)

    def to_text(self) -> str:
        """The one-line recipient text with its checksum: ``mlkem768pub1...`` (Bech32m)."""
        return encode(MLKEM_PREFIX[int(self._level)], self._key)

    def __str__(self) -> str:
        return self.to_text()

    # ---- use --------------------------------------------------------------------

    @property
    def level(self) -> SecurityLevel:
        """The ML-KEM level of the key."""
        return self._level

    @property
    def fingerprint(self) -> str:
        """16 hex digits: the first 8 bytes of SHA3-256 of the key."""
        return _fingerprint(self._key)

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


def is_legacy_text(text: str) -> bool:
    """Whether ``text`` is the older ``mlkem768:...`` one-line form, which carries no checksum."""
    return _LEGACY_TEXT.match(text.strip()) is not None


def _public_key_from_state(key: bytes, level: int) -> PublicKey:
    return PublicKey.from_bytes(key, level)


class PrivateKey:
    """An ML-KEM private key: its level, its decapsulation key and, where known, its seed d || z.

    The secrets live in native memory that is overwritten when the object is
    released. Its `repr` shows the level and the public key's fingerprint,
    never secret bytes. It cannot be pickled: a private key does not leave a
    process silently.
    """

    __slots__ = ("_secret", "_public", "__weakref__")

    _secret: _native.SecretKey
    _public: PublicKey

    def __init__(self) -> None:
        raise TypeError("use PrivateKey.generate, PrivateKey.from_seed, PrivateKey.from_bytes or a loader")

    @classmethod
    def _make(cls, secret: _native.SecretKey) -> PrivateKey:
        obj = object.__new__(cls)
        obj._secret = secret
        obj._public = PublicKey._make(secret.public_key(), secret.level)
        return obj

    # ---- creation -------------------------------------------------------------------

    @classmethod
    def generate(cls, level: LevelLike = SecurityLevel.ML_KEM_768) -> PrivateKey:
        """A fresh key pair from a random 64-byte seed, which is kept (so the seed form can be written)."""
        return cls._make(_native.secret_key_generate(as_level(level)))

    @classmethod
    def from_seed(cls, seed: Buffer, level: LevelLike) -> PrivateKey:
        """The key pair FIPS 203 ML-KEM.KeyGen_internal derives from the 64-byte seed d || z."""
        lv = as_level(level)
        if isinstance(seed, str):
            raise TypeError("seed must be a bytes-like object, not str")
        return cls._make(_native.secret_key_from_seed(seed, lv))

    @classmethod
    def from_bytes(cls, data: Buffer, level: LevelLike, *, check: bool = True) -> PrivateKey:
        """The private key from its raw decapsulation key (FIPS 203 dk) at `level`.

        With `check` (the default): the modulus check of the public key inside
        it, the FIPS 203 hash check and a pairwise-consistency check, else
        `KeySerializationError` naming the check.
        """
        lv = as_level(level)
        if isinstance(data, str):
            raise TypeError("private key must be a bytes-like object, not str")
        expected = SECRET_KEY_SIZE[int(lv)]
        size = memoryview(data).nbytes
        if size != expected:
            raise InvalidParameterError(f"an {level_name(lv)} private key is {expected} bytes, got {size}")
        return cls._make(_native.secret_key_from_expanded(data, lv, check=check))

    @classmethod
    def from_keypair(cls, pair: KeyPair, *, check: bool = True) -> PrivateKey:
        """The private key of a `KeyPair` (its seed is not known)."""
        return cls.from_bytes(pair.secret_key, pair.level, check=check)

    def to_keypair(self) -> KeyPair:
        """A `KeyPair` of this key, made from its seed (a key loaded without its seed cannot make one)."""
        seed = self._secret.seed()
        if seed is None:
            raise InvalidParameterError("a KeyPair can only be made from the seed, and this key has none")
        return _core.generate_keypair_deterministic(seed[:32], seed[32:], self._secret.level)

    # ---- RFC 9935 PKCS#8 ------------------------------------------------------------

    @classmethod
    def from_der(cls, data: Buffer, password: Buffer | None = None, *, check: bool = True) -> PrivateKey:
        """PKCS#8 in DER, or encrypted PKCS#8 (then `password` is needed); the level comes from the OID."""
        return cls._make(_native.secret_key_load(_as_bytes(data, "data"), password, check=check, accept="der"))

    @classmethod
    def from_pem(cls, text: str | Buffer, password: Buffer | None = None, *, check: bool = True) -> PrivateKey:
        """The first "PRIVATE KEY" or "ENCRYPTED PRIVATE KEY" PEM block of `text`."""
        data = text if isinstance(text, str) else _as_bytes(text, "text")
        return cls._make(_native.secret_key_load(data, password, check=check, accept="pem"))

    def to_der(
        self,
        form: PrivateKeyForm = "seed",
        password: Buffer | None = None,
        *,
        kdf: Kdf = "scrypt",
        scrypt_n: int = DEFAULT_SCRYPT_N,
        scrypt_r: int = DEFAULT_SCRYPT_R,
        scrypt_p: int = DEFAULT_SCRYPT_P,
        pbkdf2_iterations: int = DEFAULT_PBKDF2_ITERATIONS,
    ) -> bytes:
        """PKCS#8 (RFC 9935 section 6) in DER, the private key in `form`.

        With a `password`: encrypted PKCS#8, PBES2 with scrypt (N = 2^17,
        r = 8, p = 1 by default) or PBKDF2-HMAC-SHA256, and AES-256-CBC.
        """
        _check_form(form)
        return self._secret.to_pkcs8(
            form, password, pem=False, kdf=kdf, scrypt_n=scrypt_n, scrypt_r=scrypt_r, scrypt_p=scrypt_p,
            pbkdf2_iterations=pbkdf2_iterations,
        )

    def to_pem(
        self,
        form: PrivateKeyForm = "seed",
        password: Buffer | None = None,
        *,
        kdf: Kdf = "scrypt",
        scrypt_n: int = DEFAULT_SCRYPT_N,
        scrypt_r: int = DEFAULT_SCRYPT_R,
        scrypt_p: int = DEFAULT_SCRYPT_P,
        pbkdf2_iterations: int = DEFAULT_PBKDF2_ITERATIONS,
    ) -> str:
        """As `to_der`, as PEM text ("PRIVATE KEY", or "ENCRYPTED PRIVATE KEY" with a password)."""
        _check_form(form)
        return self._secret.to_pkcs8(
            form, password, pem=True, kdf=kdf, scrypt_n=scrypt_n, scrypt_r=scrypt_r, scrypt_p=scrypt_p,
            pbkdf2_iterations=pbkdf2_iterations,
        )

    # ---- this library's older password-wrapped blob ---------------------------------

    @classmethod
    def from_vlpk(cls, data: str | Buffer, password: Buffer, *, check: bool = True) -> PrivateKey:
        """The "VLPK" wrapped blob (bytes) or its "ENCRYPTED ML-KEM PRIVATE KEY" armour (str)."""
        raw = data if isinstance(data, str) else _as_bytes(data, "data")
        return cls._make(_native.secret_key_load(raw, password, check=check, accept="any"))

    def to_vlpk(self, password: Buffer) -> bytes:
        """The "VLPK" blob. Its password has no work factor: prefer `to_der(password=...)`."""
        return self._secret.to_vlpk(password, pem=False)

    def to_vlpk_pem(self, password: Buffer) -> str:
        """The blob in its "ENCRYPTED ML-KEM PRIVATE KEY" armour."""
        return self._secret.to_vlpk(password, pem=True)

    # ---- the one-line identity text ---------------------------------------------------

    @classmethod
    def from_text(cls, text: str) -> PrivateKey:
        """The key of its one-line identity text ``MLKEM768-SECRET-KEY-1...`` (Bech32m of the seed).

        A text that fails its checksum raises `velora.text.KeyTextError`
        ("... fails its checksum ...").
        """
        forms = {bits: (prefix, SEED_SIZE, f"ML-KEM-{bits} identity") for bits, prefix in MLKEM_SECRET_PREFIX.items()}
        bits, seed = decode_kind(text, forms, "an ML-KEM identity", upper=True)
        return cls.from_seed(seed, bits)

    def to_text(self) -> str:
        """The one-line identity text ``MLKEM768-SECRET-KEY-1...``: the seed d || z in Bech32m, upper case.

        It is the private key in the clear, as a Python string that cannot be
        wiped: write it only where the key file itself would go. A key loaded
        without its seed has no such text (`InvalidParameterError`).
        """
        seed = self._secret.seed()
        if seed is None:
            raise InvalidParameterError("the identity text holds the seed, and this key has none")
        return encode(MLKEM_SECRET_PREFIX[int(self._secret.level)], seed).upper()

    # ---- use ------------------------------------------------------------------------

    @property
    def level(self) -> SecurityLevel:
        """The ML-KEM level of the key."""
        return self._secret.level

    @property
    def seed(self) -> bytes | None:
        """A copy of the 64-byte seed d || z, or None for a key loaded without it."""
        return self._secret.seed()

    @property
    def has_seed(self) -> bool:
        """Whether the seed is known (then every form can be written)."""
        return self._secret.has_seed

    def public_key(self) -> PublicKey:
        """The matching public key (from the decapsulation key, which the seed expands to)."""
        return self._public

    def to_bytes(self) -> bytes:
        """A copy of the raw decapsulation key (FIPS 203 dk)."""
        return self._secret.expanded()

    def decapsulate(self, capsule: Buffer) -> bytes:
        """The shared secret of `capsule` (implicit rejection: a wrong capsule of the right size gives a random-looking secret)."""
        if isinstance(capsule, str):
            raise TypeError("capsule must be a bytes-like object, not str")
        lv = self._secret.level
        expected = CAPSULE_SIZE[int(lv)]
        size = memoryview(capsule).nbytes
        if size != expected:
            raise InvalidParameterError(f"an {level_name(lv)} capsule is {expected} bytes, got {size}")
        return self._secret.decapsulate(capsule)

    def decrypt(self, package: Buffer) -> bytes:
        """Opens a Transit Package made for this key."""
        if isinstance(package, str):
            raise TypeError("package must be a bytes-like object, not str")
        return self._secret.decrypt(package)

    def _secret_key_bytes(self) -> AbstractContextManager[bytes]:
        """The decapsulation key as `bytes` for one `with` block, for raw `_velora_core` calls.

        The copy is overwritten with zeros when the block ends, unless a
        reference to it other than the `with` target is still held then (it
        is then left alone, since changing a value in use would break its
        holder, and freed without wiping). Use it inside the block only.
        """
        return self._secret.lease()

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, PrivateKey):
            return NotImplemented
        return self._secret.equals(other._secret)

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"PrivateKey(level={level_name(self.level)}, fp={self._public.fingerprint})"

    def __reduce__(self) -> NoReturn:
        raise TypeError(
            "cannot pickle a PrivateKey: a private key does not leave a process silently; "
            "export it explicitly (e.g. to encrypted PKCS#8)"
        )

