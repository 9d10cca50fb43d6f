"""Every exception of the package, in one tree.

    VeloraError                      (the core module's, as the five below)
    ├── DecapsulationError
    ├── DecryptionError
    │   ├── FileFormatError          an input that is not a well-formed encrypted file
    │   └── AgeError                 an age file that could not be read
    │       ├── AgeHeaderError       (also a FileFormatError)
    │       ├── AgeArmorError        (also a FileFormatError)
    │       ├── AgeNoIdentityMatchError
    │       ├── AgeHmacError
    │       └── AgePayloadError
    ├── InvalidParameterError
    ├── KeySerializationError
    │   └── KeyTextError             a recipient or identity text that fails its checksum or names no kind
    └── RngError

The core classes are the native module's own objects, re-exported: ``except
velora.errors.DecryptionError`` and ``except velora.DecryptionError`` catch
the same thing. `FileFormatError` is also ``velora.FileFormatError`` and
``velora.files.FileFormatError``; the age classes are also ``velora.age.X``.
"""

from __future__ import annotations

from typing import Final

from ._velora_core import (
    DecapsulationError,
    DecryptionError,
    InvalidParameterError,
    KeySerializationError,
    RngError,
    VeloraError,
)


class FileFormatError(DecryptionError):
    """The input is not a well-formed encrypted file.

    Raised for an unknown magic, an unsupported version or level, a field out
    of range, malformed armour or a frame structure no writer produces. It is
    a `DecryptionError`, so ``except DecryptionError`` catches every way a file
    can fail to decrypt.
    """


class KeyTextError(KeySerializationError):
    """A one-line recipient or identity text (`velora.text`) that fails its checksum (mistyped,
    altered or cut) or names no known kind of key."""


class AgeError(DecryptionError):
    """An age file could not be read.

    Every age class derives from it, a `DecryptionError` like every other way
    an encrypted file can fail to decrypt, so that callers can tell a
    malformed header from a wrong key, a forged header from a damaged payload,
    and a broken ASCII armour from all of them. The two structural failures
    (header, armour) are also of the class `FileFormatError`.
    """


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


#: The messages of an encrypted stream that ends early or goes on after its end.
TRUNCATED: Final = "truncated file: the encrypted stream ends before its end marker"
TRAILING: Final = "trailing data after the end of the encrypted stream"

__all__ = [
    "AgeArmorError",
    "AgeError",
    "AgeHeaderError",
    "AgeHmacError",
    "AgeNoIdentityMatchError",
    "AgePayloadError",
    "DecapsulationError",
    "DecryptionError",
    "FileFormatError",
    "InvalidParameterError",
    "KeySerializationError",
    "RngError",
    "VeloraError",
]
