"""age recipients and identities: X25519, mlkem768x25519 (post-quantum
hybrid) and scrypt passphrases; their Bech32 text forms and files.

Text forms: `age1...` (X25519 recipient), `AGE-SECRET-KEY-1...` (X25519
identity), `age1pq1...` (hybrid recipient: the 1216-byte X-Wing public key)
and `AGE-SECRET-KEY-PQ-1...` (hybrid identity: the 32-byte X-Wing seed).
Bech32 comes from the `bech32` package (the BIP 173 reference code), whose
decoder has no length limit: a hybrid recipient is 1,959 characters, far
beyond BIP 173's 90.

A recipient wraps a file key into stanzas; an identity unwraps the stanzas
addressed to it, returns None for the others, and raises `AgeHeaderError`
for a stanza of its own type that breaks the format's rules.
"""

from __future__ import annotations

import os
import re
from collections.abc import Callable, Iterable, Sequence
from typing import Final, NamedTuple, Protocol, Union

import bech32

from . import _velora_native as _native
from ._velora_core import DecapsulationError, InvalidParameterError, KeySerializationError
from .age_b64 import decode_unpadded, encode_unpadded
from .age_errors import AgeHeaderError, AgeNoIdentityMatchError
from .keys import Buffer, _as_bytes
from .xwing import XWingPrivateKey, XWingPublicKey

BODY_SIZE: Final = 32  # every native stanza body: 16-byte file key + 16-byte tag
#: The largest scrypt work factor (log2 N) a reader accepts by default, as age itself.
DEFAULT_MAX_SCRYPT_WORK_FACTOR: Final = 22
#: The work factor written by default (about a second on a current machine, as age).
DEFAULT_SCRYPT_WORK_FACTOR: Final = 18

_DECIMAL: Final = re.compile(r"[1-9][0-9]*")


class Stanza(NamedTuple):
    """One recipient stanza: its arguments (the first is its type) and its body."""

    args: tuple[str, ...]
    body: bytes

    @property
    def type(self) -> str:
        return self.args[0]


class Recipient(Protocol):
    def wrap(self, file_key: bytes) -> list[Stanza]: ...


class Identity(Protocol):
    def unwrap(self, stanzas: Sequence[Stanza]) -> bytes | None: ...


# ---- Bech32 -----------------------------------------------------------------


def bech32_encode(hrp: str, data: bytes) -> str:
    """Bech32 (BIP 173, no length limit) of `data` under `hrp`, in lower case."""
    words = bech32.convertbits(data, 8, 5, True)
    assert words is not None  # 8-bit input always converts
    return str(bech32.bech32_encode(hrp.lower(), words))


def bech32_decode(text: str, hrp: str) -> bytes:
    """The data of a Bech32 string whose HRP is `hrp` (case-insensitive; the string is all
    upper or all lower case). KeySerializationError when it is not one."""
    if not isinstance(text, str):
        raise TypeError(f"a Bech32 string must be str, not {type(text).__name__}")
    got_hrp, words = bech32.bech32_decode(text)
    if got_hrp is None or words is None:
        raise KeySerializationError("not a valid Bech32 string (bad character, mixed case or checksum)")
    if got_hrp != hrp.lower():
        raise KeySerializationError(f"Bech32 string has the prefix {got_hrp!r}, expected {hrp.lower()!r}")
    data = bech32.convertbits(words, 5, 8, False)
    if data is None:
        raise KeySerializationError("Bech32 data has non-zero padding bits")
    return bytes(data)


def _b64_arg(value: str, size: int, what: str) -> bytes:
    try:
        raw = decode_unpadded(value.encode("ascii"))
    except (ValueError, UnicodeEncodeError):
        raise AgeHeaderError(f"{what} is not canonical unpadded Base64") from None
    if len(raw) != size:
        raise AgeHeaderError(f"{what} must be {size} bytes, got {len(raw)}")
    return raw


def _check_body(stanza: Stanza, kind: str) -> None:
    if len(stanza.body) != BODY_SIZE:
        raise AgeHeaderError(f"{kind} stanza body must be {BODY_SIZE} bytes, got {len(stanza.body)}")


def _check_arg_count(stanza: Stanza, count: int, kind: str) -> None:
    if len(stanza.args) != count:
        raise AgeHeaderError(f"{kind} stanza must have {count - 1} argument(s) after its type")


def _unwrap_each(stanzas: Sequence[Stanza], one: Callable[[Stanza], bytes | None]) -> bytes | None:
    """The first file key one(stanza) gives; None when none does. An error stops the search."""
    for s in stanzas:
        key = one(s)
        if key is not None:
            return key
    return None


# ---- X25519 -----------------------------------------------------------------


class X25519Recipient:
    """An X25519 recipient, `age1...`."""

    __slots__ = ("_key",)
    _key: bytes

    def __init__(self, public_key: Buffer) -> None:
        key = _as_bytes(public_key, "X25519 recipient")
        if len(key) != 32:
            raise InvalidParameterError(f"an X25519 recipient is 32 bytes, got {len(key)}")
        self._key = key

    @classmethod
    def from_string(cls, text: str) -> X25519Recipient:
        return cls(bech32_decode(text, "age"))

    def __str__(self) -> str:
        return bech32_encode("age", self._key)

    def __repr__(self) -> str:
        return f"X25519Recipient({str(self)!r})"

    def __eq__(self, other: object) -> bool:
        return isinstance(other, X25519Recipient) and other._key == self._key

    def __hash__(self) -> int:
        return hash((X25519Recipient, self._key))

    def to_bytes(self) -> bytes:
        return self._key

    def wrap(self, file_key: bytes) -> list[Stanza]:
        share, body = _native.age_wrap_x25519(file_key, self._key)
        return [Stanza(("X25519", encode_unpadded(share).decode("ascii")), body)]


class X25519Identity:
    """An X25519 identity, `AGE-SECRET-KEY-1...`."""

    __slots__ = ("_key", "_recipient")
    _key: bytes
    _recipient: X25519Recipient

    def __init__(self, private_key: Buffer) -> None:
        key = _as_bytes(private_key, "X25519 identity")
        if len(key) != 32:
            raise InvalidParameterError(f"an X25519 identity is 32 bytes, got {len(key)}")
        self._key = key
        self._recipient = X25519Recipient(_native.age_x25519_public_key(key))

    @classmethod
    def generate(cls) -> X25519Identity:
        return cls(os.urandom(32))

    @classmethod
    def from_string(cls, text: str) -> X25519Identity:
        return cls(bech32_decode(text, "AGE-SECRET-KEY-"))

    def __str__(self) -> str:
        return bech32_encode("AGE-SECRET-KEY-", self._key).upper()

    def __repr__(self) -> str:
        return f"X25519Identity(recipient={str(self._recipient)!r})"

    def recipient(self) -> X25519Recipient:
        return self._recipient

    def unwrap(self, stanzas: Sequence[Stanza]) -> bytes | None:
        def one(s: Stanza) -> bytes | None:
            if s.type != "X25519":
                return None
            _check_arg_count(s, 2, "X25519")
            share = _b64_arg(s.args[1], 32, "X25519 ephemeral share")
            _check_body(s, "X25519")
            try:
                key: bytes | None = _native.age_unwrap_x25519(self._key, share, s.body)
            except DecapsulationError as e:
                raise AgeHeaderError(str(e)) from None
            return key

        return _unwrap_each(stanzas, one)


# ---- mlkem768x25519 (X-Wing) hybrid -----------------------------------------


class HybridRecipient:
    """A post-quantum mlkem768x25519 recipient, `age1pq1...` (an X-Wing public key)."""

    __slots__ = ("_key",)
    _key: XWingPublicKey

    def __init__(self, public_key: XWingPublicKey | Buffer) -> None:
        self._key = public_key if isinstance(public_key, XWingPublicKey) else XWingPublicKey(public_key)

    @classmethod
    def from_string(cls, text: str) -> HybridRecipient:
        return cls(bech32_decode(text, "age1pq"))

    def __str__(self) -> str:
        return bech32_encode("age1pq", self._key.to_bytes())

    def __repr__(self) -> str:
        return f"HybridRecipient(fp={self._key.fingerprint})"

    def __eq__(self, other: object) -> bool:
        return isinstance(other, HybridRecipient) and other._key == self._key

    def __hash__(self) -> int:
        return hash((HybridRecipient, self._key))

    def public_key(self) -> XWingPublicKey:
        return self._key

    def wrap(self, file_key: bytes) -> list[Stanza]:
        enc, body = _native.age_wrap_hybrid(file_key, self._key.to_bytes())
        return [Stanza(("mlkem768x25519", encode_unpadded(enc).decode("ascii")), body)]


class HybridIdentity:
    """A post-quantum mlkem768x25519 identity, `AGE-SECRET-KEY-PQ-1...` (an X-Wing seed)."""

    __slots__ = ("_key",)
    _key: XWingPrivateKey

    def __init__(self, private_key: XWingPrivateKey | Buffer) -> None:
        self._key = private_key if isinstance(private_key, XWingPrivateKey) else XWingPrivateKey(private_key)

    @classmethod
    def generate(cls) -> HybridIdentity:
        return cls(XWingPrivateKey.generate())

    @classmethod
    def from_string(cls, text: str) -> HybridIdentity:
        return cls(bech32_decode(text, "AGE-SECRET-KEY-PQ-"))

    def __str__(self) -> str:
        return bech32_encode("AGE-SECRET-KEY-PQ-", self._key.to_bytes()).upper()

    def __repr__(self) -> str:
        return f"HybridIdentity(fp={self._key.public_key().fingerprint})"

    def private_key(self) -> XWingPrivateKey:
        return self._key

    def recipient(self) -> HybridRecipient:
        return HybridRecipient(self._key.public_key())

    def unwrap(self, stanzas: Sequence[Stanza]) -> bytes | None:
        def one(s: Stanza) -> bytes | None:
            if s.type != "mlkem768x25519":
                return None
            _check_arg_count(s, 2, "mlkem768x25519")
            enc = _b64_arg(s.args[1], 1120, "mlkem768x25519 encapsulated key")
            _check_body(s, "mlkem768x25519")
            try:
                key: bytes | None = _native.age_unwrap_hybrid(self._key.to_bytes(), enc, s.body)
            except DecapsulationError as e:
                raise AgeHeaderError(str(e)) from None
            return key

        return _unwrap_each(stanzas, one)


# ---- scrypt passphrases -----------------------------------------------------


def _passphrase_bytes(passphrase: str | Buffer) -> bytes:
    if isinstance(passphrase, str):
        return passphrase.encode("utf-8")
    return _as_bytes(passphrase, "passphrase")


class ScryptRecipient:
    """Encryption to a passphrase. An scrypt stanza must be the only one in its file."""

    __slots__ = ("_passphrase", "_work_factor")

    def __init__(self, passphrase: str | Buffer, work_factor: int = DEFAULT_SCRYPT_WORK_FACTOR) -> None:
        if isinstance(work_factor, bool) or not isinstance(work_factor, int) or not 1 <= work_factor <= 30:
            raise InvalidParameterError("the scrypt work factor (log2 N) must be an int from 1 to 30")
        self._passphrase = _passphrase_bytes(passphrase)
        self._work_factor = work_factor

    def __repr__(self) -> str:
        return f"ScryptRecipient(work_factor={self._work_factor})"

    def wrap(self, file_key: bytes) -> list[Stanza]:
        salt, body = _native.age_wrap_scrypt(file_key, self._passphrase, self._work_factor)
        return [Stanza(("scrypt", encode_unpadded(salt).decode("ascii"), str(self._work_factor)), body)]


class ScryptIdentity:
    """Decryption with a passphrase; work factors above `max_work_factor` are refused."""

    __slots__ = ("_passphrase", "_max_work_factor")

    def __init__(self, passphrase: str | Buffer, max_work_factor: int = DEFAULT_MAX_SCRYPT_WORK_FACTOR) -> None:
        if isinstance(max_work_factor, bool) or not isinstance(max_work_factor, int) or not 1 <= max_work_factor <= 30:
            raise InvalidParameterError("the largest scrypt work factor must be an int from 1 to 30")
        self._passphrase = _passphrase_bytes(passphrase)
        self._max_work_factor = max_work_factor

    def __repr__(self) -> str:
        return f"ScryptIdentity(max_work_factor={self._max_work_factor})"

    def unwrap(self, stanzas: Sequence[Stanza]) -> bytes | None:
        for s in stanzas:
            if s.type != "scrypt":
                continue
            if len(stanzas) != 1:
                raise AgeHeaderError("an scrypt stanza must be the only stanza of the header")
            _check_arg_count(s, 3, "scrypt")
            salt = _b64_arg(s.args[1], 16, "scrypt salt")
            if not _DECIMAL.fullmatch(s.args[2]):
                raise AgeHeaderError("scrypt work factor must be a decimal number without leading zeros")
            # The length check first: a huge number is refused without converting it.
            if len(s.args[2]) > 2 or int(s.args[2]) > self._max_work_factor:
                raise AgeHeaderError(f"scrypt work factor {s.args[2]} is above the limit {self._max_work_factor}")
            _check_body(s, "scrypt")
            key: bytes | None = _native.age_unwrap_scrypt(self._passphrase, salt, int(s.args[2]), s.body)
            return key
        return None


class ScryptPrompt:
    """A passphrase identity that asks for its passphrase only when a file has an scrypt
    stanza (the command line's ``decrypt -p``); ``ask()`` returns the passphrase."""

    __slots__ = ("_ask", "_max_work_factor")

    def __init__(self, ask: Callable[[], str | bytes], max_work_factor: int = DEFAULT_MAX_SCRYPT_WORK_FACTOR) -> None:
        self._ask = ask
        self._max_work_factor = max_work_factor

    def unwrap(self, stanzas: Sequence[Stanza]) -> bytes | None:
        if not any(s.type == "scrypt" for s in stanzas):
            return None
        return ScryptIdentity(self._ask(), self._max_work_factor).unwrap(stanzas)


# ---- text forms and files ---------------------------------------------------

AnyRecipient = Union[X25519Recipient, HybridRecipient, ScryptRecipient]
AnyIdentity = Union[X25519Identity, HybridIdentity, ScryptIdentity, ScryptPrompt]
#: The classes of the recipients and identities above (for the file-format registry).
RECIPIENT_TYPES = (X25519Recipient, HybridRecipient, ScryptRecipient)
IDENTITY_TYPES = (X25519Identity, HybridIdentity, ScryptIdentity, ScryptPrompt)


def parse_recipient(text: str) -> X25519Recipient | HybridRecipient:
    """A recipient from its text: `age1pq1...` or `age1...`."""
    t = text.strip()
    if t.lower().startswith("age1pq1"):
        return HybridRecipient.from_string(t)
    if t.lower().startswith("age1"):
        return X25519Recipient.from_string(t)
    raise KeySerializationError("not an age recipient: expected age1... or age1pq1...")


def parse_identity(text: str) -> X25519Identity | HybridIdentity:
    """An identity from its text: `AGE-SECRET-KEY-PQ-1...` or `AGE-SECRET-KEY-1...`."""
    t = text.strip()
    if t.upper().startswith("AGE-SECRET-KEY-PQ-1"):
        return HybridIdentity.from_string(t)
    if t.upper().startswith("AGE-SECRET-KEY-1"):
        return X25519Identity.from_string(t)
    raise KeySerializationError("not an age identity: expected AGE-SECRET-KEY-1... or AGE-SECRET-KEY-PQ-1...")


def _key_lines(text: str) -> Iterable[tuple[int, str]]:
    for number, line in enumerate(text.splitlines(), 1):
        stripped = line.strip()
        if stripped and not stripped.startswith("#"):
            yield number, stripped


def parse_recipients(text: str) -> list[X25519Recipient | HybridRecipient]:
    """The recipients of a recipients file (age -R): one per line; empty lines and lines
    starting with # are ignored. The error names the line."""
    out: list[X25519Recipient | HybridRecipient] = []
    for number, line in _key_lines(text):
        try:
            out.append(parse_recipient(line))
        except KeySerializationError as e:
            raise KeySerializationError(f"line {number}: {e}") from None
    return out


def parse_identities(text: str) -> list[X25519Identity | HybridIdentity]:
    """The identities of an identity file (age -i), with the same line rules."""
    out: list[X25519Identity | HybridIdentity] = []
    for number, line in _key_lines(text):
        try:
            out.append(parse_identity(line))
        except KeySerializationError as e:
            raise KeySerializationError(f"line {number}: {e}") from None
    return out


def read_recipients_file(path: str | os.PathLike[str]) -> list[X25519Recipient | HybridRecipient]:
    with open(path, encoding="utf-8") as f:
        return parse_recipients(f.read())


def read_identities_file(path: str | os.PathLike[str]) -> list[X25519Identity | HybridIdentity]:
    with open(path, encoding="utf-8") as f:
        return parse_identities(f.read())


def unwrap_file_key(identities: Sequence[Identity], stanzas: Sequence[Stanza]) -> bytes:
    """The file key from the first identity that opens a stanza, after the header-wide rule
    that an scrypt stanza stands alone. AgeNoIdentityMatchError when none does."""
    if len(stanzas) > 1 and any(s.type == "scrypt" for s in stanzas):
        raise AgeHeaderError("an scrypt stanza must be the only stanza of the header")
    for identity in identities:
        key = identity.unwrap(stanzas)
        if key is not None:
            return key
    raise AgeNoIdentityMatchError("no identity matches any of the file's recipient stanzas")
