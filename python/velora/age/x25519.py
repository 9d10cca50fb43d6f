"""X25519 recipients and identities: `age1...` and `AGE-SECRET-KEY-1...`."""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import ClassVar, Final

from .. import _velora_native as _native
from ..errors import AgeHeaderError, DecapsulationError, InvalidParameterError
from ..keys import Buffer, _as_bytes
from .format import Stanza, encode_unpadded
from .recipients import KeyType, SecretHolder, b64_arg, bech32_decode, bech32_encode, check_arg_count, check_body

STANZA_TYPE: Final = "X25519"


class X25519Recipient:
    """An X25519 recipient, `age1...`."""

    __slots__ = ("_key",)
    _key: bytes
    #: The text form's prefix (`parse_recipient`) and Bech32 HRP.
    prefix: ClassVar[str] = "age1"
    hrp: ClassVar[str] = "age"
    labels: ClassVar[frozenset[str]] = frozenset()

    def __init__(self, public_key: Buffer) -> None:
        key = _as_bytes(public_key, "X25519 recipient")
        if len(key) != 32:
            raise InvalidParameterError(f"an X25519 recipient is 32 bytes, got {len(key)}")
        self._key = key

    @classmethod
    def from_string(cls, text: str) -> X25519Recipient:
        return cls(bech32_decode(text, cls.hrp))

    def __str__(self) -> str:
        return bech32_encode(self.hrp, self._key)

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
        return [Stanza((STANZA_TYPE, encode_unpadded(share).decode("ascii")), body)]


class X25519Identity(SecretHolder):
    """An X25519 identity, `AGE-SECRET-KEY-1...`.

    Its public key is computed once, here, and unwrapping a header of many
    stanzas makes its key object once: one X25519 per X25519 stanza.
    """

    __slots__ = ("_key", "_recipient")
    _key: bytes
    _recipient: X25519Recipient
    prefix: ClassVar[str] = "AGE-SECRET-KEY-1"
    hrp: ClassVar[str] = "AGE-SECRET-KEY-"

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
        return cls(bech32_decode(text, cls.hrp))

    def __str__(self) -> str:
        return bech32_encode(self.hrp, self._key).upper()

    def __repr__(self) -> str:
        return f"X25519Identity(recipient={str(self._recipient)!r})"

    def recipient(self) -> X25519Recipient:
        return self._recipient

    def unwrap(self, stanzas: Sequence[Stanza]) -> bytes | None:
        # The X25519 stanzas in order, up to the first malformed one: the engine tries them
        # all in one call (one X25519 each), and the malformed one counts only if none before
        # it opens, as if they were tried one by one.
        shares, bodies = bytearray(), bytearray()
        malformed: AgeHeaderError | None = None
        for s in stanzas:
            if s.type != STANZA_TYPE:
                continue
            try:
                check_arg_count(s, 2, STANZA_TYPE)
                share = b64_arg(s.args[1], 32, "X25519 ephemeral share")
                check_body(s, STANZA_TYPE)
            except AgeHeaderError as e:
                malformed = e
                break
            shares += share
            bodies += s.body
        key: bytes | None = None
        if shares:
            try:
                key = _native.age_unwrap_x25519_many(self._key, bytes(shares), bytes(bodies))
            except DecapsulationError as e:
                raise AgeHeaderError(str(e)) from None
        if key is None and malformed is not None:
            raise malformed
        return key


#: The type, for `velora.age.keys.TYPES`.
TYPE: Final = KeyType(X25519Recipient, X25519Identity)

__all__ = ["X25519Identity", "X25519Recipient", "TYPE"]
