"""The errors of the age format, one class per failure kind.

Every class derives from `AgeError`, a `velora.DecryptionError` like every
other way an encrypted file can fail to decrypt, so that callers can tell a
malformed header from a wrong key, a forged header from a damaged payload,
and a broken ASCII armour from all of them. The two structural failures
(header, armour) are also `velora.FileFormatError`s.
"""

from __future__ import annotations

from ._velora_core import DecryptionError
from .files.errors import FileFormatError


class AgeError(DecryptionError):
    """An age file could not be read."""


class AgeHeaderError(AgeError, FileFormatError):
    """The header is malformed, or a stanza breaks a rule of its recipient type."""


class AgeNoIdentityMatchError(AgeError):
    """The header is well formed, but none of the identities opens any of its stanzas."""


class AgeHmacError(AgeError):
    """A file key was unwrapped, but the header MAC does not verify: the header was altered."""


class AgePayloadError(AgeError):
    """The payload does not authenticate, is truncated, or has data after its final chunk."""


class AgeArmorError(AgeError, FileFormatError):
    """The ASCII armour is not the strict PEM form age requires."""
