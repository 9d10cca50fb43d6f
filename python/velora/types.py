"""What the whole-file functions take: `Recipient` and `Identity`.

A *recipient* is what a file is encrypted to; an *identity* is what opens it.

- `Recipient`: a velora `PublicKey` (an ML-KEM public key: a velora file),
  an `XWingPublicKey` (written as age's post-quantum recipient until the
  velora format carries X-Wing keys), or an age recipient (`velora.age.X25519Recipient`, `HybridRecipient`,
  `ScryptRecipient`: an age file). Any object with the age recipient method
  ``wrap(file_key)`` is an age recipient (`AgeRecipient`).
- `Identity`: a velora `PrivateKey`, an `XWingPrivateKey`, or an age identity
  (`velora.age.X25519Identity`, `HybridIdentity`, `ScryptIdentity`,
  `ScryptPrompt`): any object with ``unwrap(stanzas)`` (`AgeIdentity`).

`velora.encrypt`, `velora.decrypt`, `velora.encrypt_file`,
`velora.decrypt_file`, `velora.EncryptedWriter` and `velora.DecryptedReader`
take one of these or a sequence (list or tuple) of them. A type checker
rejects the usual mix-ups (a ``str`` recipient, a private key given as a
recipient, a public key given as an identity), and at run time they raise
`TypeError` naming what was given.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, Protocol, Union, runtime_checkable

from .keys import PrivateKey, PublicKey
from .xwing import XWingPrivateKey, XWingPublicKey


@runtime_checkable
class AgeRecipient(Protocol):
    """An age recipient: wraps a file key into the stanzas of an age header."""

    def wrap(self, file_key: bytes, /) -> Sequence[Any]: ...


@runtime_checkable
class AgeIdentity(Protocol):
    """An age identity: unwraps the file key from the stanzas addressed to it (None for the others)."""

    def unwrap(self, stanzas: Sequence[Any], /) -> bytes | None: ...


@runtime_checkable
class PassphraseLike(Protocol):
    """A passphrase as a velora file's recipient and identity (`velora.files.Passphrase`)."""

    work_factor: int
    max_work_factor: int

    def secret(self) -> bytes: ...


#: What a file is encrypted to.
Recipient = Union[PublicKey, XWingPublicKey, AgeRecipient, PassphraseLike]
#: What opens a file.
Identity = Union[PrivateKey, XWingPrivateKey, AgeIdentity, PassphraseLike]
#: One recipient, or a list or tuple of them.
Recipients = Union[Recipient, Sequence[Recipient]]
#: One identity, or a list or tuple of them.
Identities = Union[Identity, Sequence[Identity]]

_HINTS = {
    "a recipient": {
        PrivateKey: "a PrivateKey opens files: encrypt to its public_key()",
        XWingPrivateKey: "an XWingPrivateKey opens files: encrypt to its public_key()",
        str: "parse the text first: velora.load_public_key, velora.age.parse_recipient",
        bytes: "load the key first: velora.load_public_key",
    },
    "an identity": {
        PublicKey: "a PublicKey encrypts: decrypt with its PrivateKey",
        XWingPublicKey: "an XWingPublicKey encrypts: decrypt with its XWingPrivateKey",
        str: "parse the text first: velora.load_private_key, velora.age.parse_identity",
        bytes: "load the key first: velora.load_private_key",
    },
}


def _items(items: object, what: str) -> list[object]:
    if isinstance(items, (list, tuple)):
        out = list(items)
    else:
        out = [items]
    if not out:
        from .errors import IdentityError, RecipientError

        raise (RecipientError if what == "recipient" else IdentityError)(f"no {what} given")
    return out


def _refuse(item: object, what: str) -> TypeError:
    name = type(item).__name__
    hint = next((text for cls, text in _HINTS[what].items() if isinstance(item, cls)), None)
    if hint is None and isinstance(item, (AgeRecipient, AgeIdentity)):
        hint = "an age recipient encrypts and an age identity decrypts"
    return TypeError(f"{name} is not {what}" + (f" ({hint})" if hint else ""))


def as_recipients(items: object) -> list[Recipient]:
    """One recipient or a sequence of them, as a list; `TypeError` for anything that is not a recipient."""
    out = _items(items, "recipient")
    for item in out:
        if not isinstance(item, (PublicKey, XWingPublicKey, AgeRecipient, PassphraseLike)):
            raise _refuse(item, "a recipient")
    return out  # type: ignore[return-value]  # checked item by item above


def as_identities(items: object) -> list[Identity]:
    """One identity or a sequence of them, as a list; `TypeError` for anything that is not an identity."""
    out = _items(items, "identity")
    for item in out:
        if not isinstance(item, (PrivateKey, XWingPrivateKey, AgeIdentity, PassphraseLike)):
            raise _refuse(item, "an identity")
    return out  # type: ignore[return-value]  # checked item by item above


__all__ = ["AgeIdentity", "AgeRecipient", "Identities", "Identity", "PassphraseLike", "Recipient", "Recipients",
           "as_identities", "as_recipients"]
