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

from typing import TYPE_CHECKING, Final, NoReturn, Union

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
    if not isinstance(text, str):
        raise TypeError(f"a recipient text must be str, not {type(text).__name__}")
    stripped = text.strip()
    lowered = stripped.lower()
    if is_legacy_text(stripped) or any(lowered.startswith(p + "1") for p in MLKEM_PREFIX.values()):
        return PublicKey.from_text(stripped)
    if lowered.startswith(XWING_PREFIX + "1"):
        return XWingPublicKey.from_text(stripped)
    if lowered.startswith("age1"):
        from . import age

        try:
            return age.parse_recipient(stripped)
        except VeloraError as exc:
            raise KeyTextError(f"invalid age recipient text: {exc}") from None
    _refuse(stripped, "recipient", _CHECKSUMMED, "a key file goes with -R")


def _refuse(text: str, kind: str, forms: tuple[tuple[str, str], ...], hint: str, upper: bool = False) -> NoReturn:
    """A text of no known form: the checksum message if it looks like a mistyped one, else "unknown"."""
    if len(text) >= _SHORTEST_KEY_TEXT:
        for prefix, what in forms:
            if near_prefix(text, prefix):
                raise checksum_failure(what, f"it does not start with {prefix.upper() if upper else prefix}1")
    shown = text if len(text) <= 24 else text[:20] + "..."
    names = ", ".join(f"{prefix.upper() if upper else prefix}1..." for prefix, _ in forms)
    raise KeyTextError(f"unknown {kind} {shown!r}: expected {names} ({hint})")


def is_identity_text(text: str) -> bool:
    """Whether ``text`` starts as one of the identity texts `parse_identity` reads (a line of an identity file)."""
    lowered = text.strip().lower()
    return any(lowered.startswith(prefix + "1") for prefix, _ in _CHECKSUMMED_IDENTITIES)


def parse_identity(text: str) -> AnyIdentity:
    """The identity (private key) named by one line of text, whatever its kind (see the module's list).

    The text is the private key in the clear: see `PrivateKey.to_text`.
    """
    if not isinstance(text, str):
        raise TypeError(f"an identity text must be str, not {type(text).__name__}")
    stripped = text.strip()
    lowered = stripped.lower()
    if any(lowered.startswith(p + "1") for p in MLKEM_SECRET_PREFIX.values()):
        return PrivateKey.from_text(stripped)
    if lowered.startswith(XWING_SECRET_PREFIX + "1"):
        return XWingPrivateKey.from_text(stripped)
    if lowered.startswith("age-secret-key-"):
        from . import age

        try:
            return age.parse_identity(stripped)
        except VeloraError as exc:
            raise KeyTextError(f"invalid age identity text: {exc}") from None
    _refuse(stripped, "identity", _CHECKSUMMED_IDENTITIES, "a key file goes with -i", upper=True)
