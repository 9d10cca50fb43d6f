"""The errors of the age format, one class per failure kind.

Every class derives from `AgeError`, itself a `velora.VeloraError`, so that
callers can tell a malformed header from a wrong key, a forged header from a
damaged payload, and a broken ASCII armour from all of them.
"""

from __future__ import annotations

from ._velora_core import VeloraError


class AgeError(VeloraError):
    """An age file could not be read or written."""


class AgeHeaderError(AgeError):
    """The header is malformed, or a stanza breaks a rule of its recipient type."""


class AgeNoIdentityMatchError(AgeError):
    """The header is well formed, but none of the identities opens any of its stanzas."""


class AgeHmacError(AgeError):
    """A file key was unwrapped, but the header MAC does not verify: the header was altered."""


class AgePayloadError(AgeError):
    """The payload does not authenticate, is truncated, or has data after its final chunk."""


class AgeArmorError(AgeError):
    """The ASCII armour is not the strict PEM form age requires."""
