"""The errors of encrypted files."""

from __future__ import annotations

from .._velora_core import DecryptionError, InvalidParameterError


class FileFormatError(DecryptionError):
    """The input is not a well-formed encrypted file.

    Raised for an unknown magic, an unsupported version or level, a field out
    of range, malformed armour or a frame structure no writer produces. It is
    a `DecryptionError`, so ``except DecryptionError`` catches every way a file
    can fail to decrypt.
    """



class RecipientError(InvalidParameterError, ValueError):
    """A set of recipients no file can be encrypted to: kinds of two formats mixed, a passphrase
    with other recipients, none at all, or too many. (A `ValueError` as well, as it was.)"""


class IdentityError(InvalidParameterError, ValueError):
    """No identity given to decrypt with (a `ValueError` as well, as it was)."""


TRUNCATED = "truncated file: the encrypted stream ends before its end marker"
TRAILING = "trailing data after the end of the encrypted stream"
