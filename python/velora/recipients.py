"""One parser for every one-line recipient text, for Python and the command line alike.

`parse_recipient` reads:

- ``mlkem512pub1...``, ``mlkem768pub1...``, ``mlkem1024pub1...``: an ML-KEM
  `velora.PublicKey` (Bech32m with a checksum, `velora.text`);
- ``xwingpub1...``: an X-Wing `velora.XWingPublicKey` (the same);
- ``age1...`` and ``age1pq1...``: age's X25519 and post-quantum recipients,
  read by `velora.age.parse_recipient` (Bech32, with its checksum);
- ``mlkem768:<base64url>`` (and 512, 1024): the older velora form, which has
  no checksum; `is_legacy_text` tells it apart so that a caller can warn.

Every refusal is a `velora.text.RecipientTextError` (a
`velora.KeySerializationError`). A text that is one of these kinds but for a
typo, even one in its prefix, is refused with the checksum message, never as
"unknown".
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Final, Union

from ._velora_core import VeloraError
from .keys import PublicKey, is_legacy_text
from .text import MLKEM_PREFIX, XWING_PREFIX, RecipientTextError, checksum_failure, near_prefix
from .xwing import XWingPublicKey

if TYPE_CHECKING:
    from .age import HybridRecipient, X25519Recipient

#: What `parse_recipient` returns.
AnyRecipient = Union[PublicKey, XWingPublicKey, "X25519Recipient", "HybridRecipient"]

#: (prefix without its separator, what the refusals call it) of every checksummed form.
_CHECKSUMMED: Final = (
    *((prefix, f"ML-KEM-{bits} recipient") for bits, prefix in MLKEM_PREFIX.items()),
    (XWING_PREFIX, "X-Wing recipient"),
    ("age1pq", "age post-quantum recipient"),
    ("age", "age recipient"),
)
#: Shorter texts are not taken for a mistyped key text (the shortest, age's X25519 recipient, has 62 characters).
_SHORTEST_KEY_TEXT: Final = 62

__all__ = ["AnyRecipient", "is_legacy_text", "parse_recipient"]


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
            raise RecipientTextError(f"invalid age recipient text: {exc}") from None
    if len(stripped) >= _SHORTEST_KEY_TEXT:
        for prefix, what in _CHECKSUMMED:
            if near_prefix(stripped, prefix):
                raise checksum_failure(what, f"it does not start with {prefix}1")
    shown = stripped if len(stripped) <= 24 else stripped[:20] + "..."
    forms = ", ".join(f"{prefix}1..." for prefix, _ in _CHECKSUMMED)
    raise RecipientTextError(f"unknown recipient {shown!r}: expected {forms} (a key file goes with -R)")
