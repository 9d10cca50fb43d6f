"""What every age recipient and identity provides, and the rules between them.

A recipient wraps a file key into stanzas; an identity unwraps the stanzas
addressed to it, returns None for the others, and raises `AgeHeaderError`
for a stanza of its own type that breaks the format's rules.

Which recipients may share a file is a property of their types, as age's
labels are: every recipient carries a set of labels, and the recipients of
one file must all carry the same set. A post-quantum recipient is labelled
"postquantum" (a classic one beside it would defeat it); a passphrase gets a
label of its own, fresh for each recipient, so it stands alone. A type whose
labels differ from the others' gives the refusal (``mixing_error``).

Bech32 comes from the `bech32` package (the BIP 173 reference code), whose
decoder has no length limit: a hybrid recipient is 1,959 characters, far
beyond BIP 173's 90.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Sequence
from typing import Any, Final, NamedTuple, NoReturn, Protocol, TypeVar, runtime_checkable

import bech32

from ..errors import AgeHeaderError, AgeNoIdentityMatchError, InvalidParameterError, KeySerializationError
from .format import Stanza, decode_unpadded

BODY_SIZE: Final = 32  # every native stanza body: 16-byte file key + 16-byte tag


@runtime_checkable
class Recipient(Protocol):
    """Wraps a file key for one reader.

    A recipient type may also have ``labels`` (a frozenset of str; none is
    the empty set) and ``mixing_error``, the refusal when its labels are not
    those of the other recipients of a file.
    """

    def wrap(self, file_key: bytes) -> list[Stanza]: ...


@runtime_checkable
class Identity(Protocol):
    def unwrap(self, stanzas: Sequence[Stanza]) -> bytes | None: ...


class KeyType(NamedTuple):
    """A recipient type with a text form, as its module declares it (``TYPE``): each class has
    ``prefix`` (what `parse_recipient` / `parse_identity` match), ``hrp`` and ``from_string``."""

    recipient: type[Any]
    identity: type[Any]


class SecretHolder:
    """A key object holding secret bytes: it does not pickle or copy."""

    __slots__ = ()

    def __reduce_ex__(self, protocol: object) -> NoReturn:
        raise TypeError(
            f"{type(self).__name__} objects hold secret key material and cannot be pickled or copied; "
            "export one deliberately (its text form) instead"
        )


T = TypeVar("T")


def _all_of(items: Iterable[object], kind: type[T], what: str) -> list[T]:
    """`items` as a list, each an instance of the protocol `kind`; TypeError otherwise."""
    if isinstance(items, (str, bytes, bytearray, memoryview)) or not isinstance(items, Iterable):
        raise TypeError(f"{what}s must be an iterable of age {what}s, not {type(items).__name__}")
    out: list[T] = []
    for item in items:
        if not isinstance(item, kind):
            raise TypeError(f"not an age {what}: {type(item).__name__}")
        out.append(item)
    return out


def check_recipients(recipients: Iterable[object]) -> list[Recipient]:
    """`recipients` as a list of age recipients, TypeError for anything else, after the mixing rule."""
    out = _all_of(recipients, Recipient, "recipient")  # type: ignore[type-abstract]
    if not out:
        raise InvalidParameterError("an age file needs at least one recipient")
    labels = [labels_of(r) for r in out]
    for r, own in zip(out, labels):
        if own and any(other != own for other in labels):
            raise InvalidParameterError(getattr(r, "mixing_error", "these recipients cannot share one file"))
    return out


def labels_of(recipient: Recipient) -> frozenset[str]:
    """The labels of `recipient`: the recipients of one file must all have the same."""
    labels: frozenset[str] = getattr(recipient, "labels", frozenset())
    return labels


def check_identities(identities: Iterable[object]) -> list[Identity]:
    """`identities` as a list of age identities, TypeError for anything else."""
    return _all_of(identities, Identity, "identity")  # type: ignore[type-abstract]


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


# ---- stanza rules shared by the types -----------------------------------------


def b64_arg(value: str, size: int, what: str) -> bytes:
    """A stanza argument that must be the canonical unpadded Base64 of `size` bytes."""
    try:
        raw = decode_unpadded(value.encode("ascii"))
    except (ValueError, UnicodeEncodeError):
        raise AgeHeaderError(f"{what} is not canonical unpadded Base64") from None
    if len(raw) != size:
        raise AgeHeaderError(f"{what} must be {size} bytes, got {len(raw)}")
    return raw


def check_body(stanza: Stanza, kind: str) -> None:
    if len(stanza.body) != BODY_SIZE:
        raise AgeHeaderError(f"{kind} stanza body must be {BODY_SIZE} bytes, got {len(stanza.body)}")


def check_arg_count(stanza: Stanza, count: int, kind: str) -> None:
    if len(stanza.args) != count:
        raise AgeHeaderError(f"{kind} stanza must have {count - 1} argument(s) after its type")


def unwrap_each(stanzas: Sequence[Stanza], one: Callable[[Stanza], bytes | None]) -> bytes | None:
    """The first file key one(stanza) gives; None when none does. An error stops the search."""
    for s in stanzas:
        key = one(s)
        if key is not None:
            return key
    return None
