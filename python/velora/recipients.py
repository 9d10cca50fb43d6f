"""One parser for every one-line recipient and identity text, for Python and the command line alike.

`parse_recipient` reads:

- ``mlkem512pub1...``, ``mlkem768pub1...``, ``mlkem1024pub1...``: an ML-KEM
  `velora.PublicKey` (Bech32m with a checksum, `velora.text`);
- ``xwingpub1...``: an X-Wing `velora.XWingPublicKey` (the same);
- ``age1...`` and ``age1pq1...``: age's X25519 and post-quantum recipients,
  read by `velora.age.parse_recipient` (Bech32, with its checksum);
- ``mlkem768:<base64url>`` (and 512, 1024): the older velora form, which has
  no checksum; `is_legacy_text` tells it apart so that a caller can warn.

`parse_identity` reads ``MLKEM512-SECRET-KEY-1...`` (and 768, 1024),
``XWING-SECRET-KEY-1...`` and age's ``AGE-SECRET-KEY-1...`` /
``AGE-SECRET-KEY-PQ-1...``.

Every refusal is a `velora.text.KeyTextError` (a
`velora.KeySerializationError`). A text that is one of these kinds but for a
typo, even one in its prefix, is refused with the checksum message, never as
"unknown".
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Final, TypeVar, Union

from ._velora_core import VeloraError
from .keys import PrivateKey, PublicKey, is_legacy_text
from .text import (
    MLKEM_PREFIX,
    MLKEM_SECRET_PREFIX,
    XWING_PREFIX,
    XWING_SECRET_PREFIX,
    KeyTextError,
    checksum_failure,
    near_prefix,
)
from .xwing import XWingPrivateKey, XWingPublicKey

if TYPE_CHECKING:
    from .age import HybridIdentity, HybridRecipient, X25519Identity, X25519Recipient

#: What `parse_recipient` returns.
AnyRecipient = Union[PublicKey, XWingPublicKey, "X25519Recipient", "HybridRecipient"]
#: What `parse_identity` returns.
AnyIdentity = Union[PrivateKey, XWingPrivateKey, "X25519Identity", "HybridIdentity"]

#: (prefix without its separator, what the refusals call it) of every checksummed form.
_CHECKSUMMED: Final = (
    *((prefix, f"ML-KEM-{bits} recipient") for bits, prefix in MLKEM_PREFIX.items()),
    (XWING_PREFIX, "X-Wing recipient"),
    ("age1pq", "age post-quantum recipient"),
    ("age", "age recipient"),
)
_CHECKSUMMED_IDENTITIES: Final = (
    *((prefix, f"ML-KEM-{bits} identity") for bits, prefix in MLKEM_SECRET_PREFIX.items()),
    (XWING_SECRET_PREFIX, "X-Wing identity"),
    ("age-secret-key-pq-", "age post-quantum identity"),
    ("age-secret-key-", "age identity"),
)
#: Shorter texts are not taken for a mistyped key text (the shortest, age's X25519 recipient, has 62 characters).
_SHORTEST_KEY_TEXT: Final = 62

__all__ = ["AnyIdentity", "AnyRecipient", "is_identity_text", "is_legacy_text", "parse_identity", "parse_recipient"]


def parse_recipient(text: str) -> AnyRecipient:
    """The recipient named by one line of text, whatever its kind (see the module's list)."""
    if isinstance(text, str) and is_legacy_text(text):
        return PublicKey.from_text(text)
    return _parse(text, "recipient", _RECIPIENT_PARSERS, _CHECKSUMMED, "a key file goes with -R")


def parse_identity(text: str) -> AnyIdentity:
    """The identity (private key) named by one line of text, whatever its kind (see the module's list).

    The text is the private key in the clear: see `PrivateKey.to_text`.
    """
    return _parse(text, "identity", _IDENTITY_PARSERS, _CHECKSUMMED_IDENTITIES, "a key file goes with -i", True)


def is_identity_text(text: str) -> bool:
    """Whether ``text`` starts as one of the identity texts `parse_identity` reads (a line of an identity file)."""
    return text.strip().lower().startswith(tuple(prefix + "1" for prefix, _ in _CHECKSUMMED_IDENTITIES))


_T = TypeVar("_T")


def _parse(text: object, kind: str, parsers: Sequence[tuple[tuple[str, ...], Callable[[str], _T]]],
           forms: tuple[tuple[str, str], ...], hint: str, upper: bool = False) -> _T:
    """The key of the first parser whose starts ``text`` has; else the refusal of a text of no known form:
    the checksum message if it looks like a mistyped one, else "unknown"."""
    if not isinstance(text, str):
        raise TypeError(f"a {kind} text must be str, not {type(text).__name__}")
    stripped = text.strip()
    lowered = stripped.lower()
    for starts, parse in parsers:
        if lowered.startswith(starts):
            return parse(stripped)
    if len(stripped) >= _SHORTEST_KEY_TEXT:
        for prefix, what in forms:
            if near_prefix(stripped, prefix):
                raise checksum_failure(what, f"it does not start with {prefix.upper() if upper else prefix}1")
    shown = stripped if len(stripped) <= 24 else stripped[:20] + "..."
    names = ", ".join(f"{prefix.upper() if upper else prefix}1..." for prefix, _ in forms)
    raise KeyTextError(f"unknown {kind} {shown!r}: expected {names} ({hint})")


def _age_text(text: str, kind: str) -> object:
    """velora.age's parse_recipient or parse_identity (loaded only for an age text), its refusal a KeyTextError."""
    from . import age

    parse: Callable[[str], object] = age.parse_identity if kind == "identity" else age.parse_recipient
    try:
        return parse(text)
    except VeloraError as exc:
        raise KeyTextError(f"invalid age {kind} text: {exc}") from None


def _age_recipient(text: str) -> X25519Recipient | HybridRecipient:
    from . import age

    found = _age_text(text, "recipient")
    assert isinstance(found, (age.X25519Recipient, age.HybridRecipient))  # age's kinds with a text form
    return found


def _age_identity(text: str) -> X25519Identity | HybridIdentity:
    from . import age

    found = _age_text(text, "identity")
    assert isinstance(found, (age.X25519Identity, age.HybridIdentity))
    return found


_RECIPIENT_PARSERS: Final[tuple[tuple[tuple[str, ...], Callable[[str], AnyRecipient]], ...]] = (
    (tuple(prefix + "1" for prefix in MLKEM_PREFIX.values()), PublicKey.from_text),
    ((XWING_PREFIX + "1",), XWingPublicKey.from_text),
    (("age1",), _age_recipient),
)
_IDENTITY_PARSERS: Final[tuple[tuple[tuple[str, ...], Callable[[str], AnyIdentity]], ...]] = (
    (tuple(prefix + "1" for prefix in MLKEM_SECRET_PREFIX.values()), PrivateKey.from_text),
    ((XWING_SECRET_PREFIX + "1",), XWingPrivateKey.from_text),
    (("age-secret-key-",), _age_identity),
)
