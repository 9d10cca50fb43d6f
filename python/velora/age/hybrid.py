"""Post-quantum mlkem768x25519 (X-Wing) recipients and identities: `age1pq1...`
(the 1216-byte X-Wing public key) and `AGE-SECRET-KEY-PQ-1...` (its 32-byte seed)."""

from __future__ import annotations

from collections.abc import Sequence
from typing import ClassVar, Final

from .. import _velora_native as _native
from ..errors import AgeHeaderError, DecapsulationError
from ..keys import Buffer
from ..xwing import XWingPrivateKey, XWingPublicKey
from .format import Stanza, encode_unpadded
from .recipients import KeyType, SecretHolder, b64_arg, bech32_decode, bech32_encode, check_arg_count, check_body, unwrap_each

STANZA_TYPE: Final = "mlkem768x25519"
ENC_SIZE: Final = 1120


class HybridRecipient:
    """A post-quantum mlkem768x25519 recipient, `age1pq1...` (an X-Wing public key)."""

    __slots__ = ("_key",)
    _key: XWingPublicKey
    prefix: ClassVar[str] = "age1pq1"
    hrp: ClassVar[str] = "age1pq"
    #: A classic recipient beside it would let a quantum attacker read the file.
    labels: ClassVar[frozenset[str]] = frozenset({"postquantum"})
    mixing_error: ClassVar[str] = (
        "post-quantum (age1pq1...) and classic recipients in one file would defeat the post-quantum protection"
    )

    def __init__(self, public_key: XWingPublicKey | Buffer) -> None:
        self._key = public_key if isinstance(public_key, XWingPublicKey) else XWingPublicKey(public_key)

    def __reduce__(self) -> tuple[type[HybridRecipient], tuple[XWingPublicKey]]:
        return (type(self), (self._key,))  # a public key: pickles under every protocol

    @classmethod
    def from_string(cls, text: str) -> HybridRecipient:
        return cls(bech32_decode(text, cls.hrp))

    def __str__(self) -> str:
        return bech32_encode(self.hrp, self._key.to_bytes())

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
        return [Stanza((STANZA_TYPE, encode_unpadded(enc).decode("ascii")), body)]


class HybridIdentity(SecretHolder):
    """A post-quantum mlkem768x25519 identity, `AGE-SECRET-KEY-PQ-1...` (an X-Wing seed)."""

    __slots__ = ("_key",)
    _key: XWingPrivateKey
    prefix: ClassVar[str] = "AGE-SECRET-KEY-PQ-1"
    hrp: ClassVar[str] = "AGE-SECRET-KEY-PQ-"

    def __init__(self, private_key: XWingPrivateKey | Buffer) -> None:
        self._key = private_key if isinstance(private_key, XWingPrivateKey) else XWingPrivateKey(private_key)

    @classmethod
    def generate(cls) -> HybridIdentity:
        return cls(XWingPrivateKey.generate())

    @classmethod
    def from_string(cls, text: str) -> HybridIdentity:
        return cls(bech32_decode(text, cls.hrp))

    def __str__(self) -> str:
        return bech32_encode(self.hrp, self._key.to_bytes()).upper()

    def __repr__(self) -> str:
        return f"HybridIdentity(fp={self._key.public_key().fingerprint})"

    def private_key(self) -> XWingPrivateKey:
        return self._key

    def recipient(self) -> HybridRecipient:
        return HybridRecipient(self._key.public_key())

    def unwrap(self, stanzas: Sequence[Stanza]) -> bytes | None:
        def one(s: Stanza) -> bytes | None:
            if s.type != STANZA_TYPE:
                return None
            check_arg_count(s, 2, STANZA_TYPE)
            enc = b64_arg(s.args[1], ENC_SIZE, "mlkem768x25519 encapsulated key")
            check_body(s, STANZA_TYPE)
            try:
                key: bytes | None = _native.age_unwrap_hybrid(self._key.to_bytes(), enc, s.body)
            except DecapsulationError as e:
                raise AgeHeaderError(str(e)) from None
            return key

        return unwrap_each(stanzas, one)


#: The type, for `velora.age.keys.TYPES`.
TYPE: Final = KeyType(HybridRecipient, HybridIdentity)

__all__ = ["HybridIdentity", "HybridRecipient", "TYPE"]
