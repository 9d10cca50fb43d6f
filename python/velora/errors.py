"""Every exception of the package, in one tree.

    VeloraError                      (the core module's, as the five below)
    ├── DecapsulationError
    ├── DecryptionError
    │   ├── FileFormatError          an input that is not a well-formed encrypted file
    │   ├── NoIdentityMatchError     no identity opens a velora file's recipient entries
    │   │   ├── IncorrectPassphraseError
    │   │   └── PassphraseNeededError
    │   ├── HeaderChangedError       a velora file's header MAC does not verify
    │   ├── SignatureError           a velora file's signer or signature is not the one required
    │   │   ├── UnsignedFileError    a signer was required and the file is not signed
    │   │   └── UntrustedSignerError the file is signed by a key other than the ones required
    │   └── AgeError                 an age file that could not be read
    │       ├── AgeHeaderError       (also a FileFormatError)
    │       ├── AgeArmorError        (also a FileFormatError)
    │       ├── AgeNoIdentityMatchError
    │       ├── AgeHmacError
    │       └── AgePayloadError
    ├── InvalidParameterError
    │   ├── RecipientError           a recipient set no file can hold (also a ValueError)
    │   └── IdentityError            no identity given (also a ValueError)
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


class NoIdentityMatchError(DecryptionError):
    """None of the identities given opens any recipient entry of a velora file."""


class IncorrectPassphraseError(NoIdentityMatchError):
    """The passphrase does not open the passphrase entry of a velora file."""


class PassphraseNeededError(NoIdentityMatchError):
    """The velora file is encrypted to a passphrase and no passphrase was given."""


class HeaderChangedError(DecryptionError):
    """A file key was found, but the header MAC of the velora file does not verify: the header was changed."""


class SignatureError(DecryptionError):
    """A velora file's signature does not verify (the file was changed or its signature replaced), or its
    signer is not one the reader requires. Also raised for a detached signature that does not verify."""


class UnsignedFileError(SignatureError):
    """The reader requires a signer and the file carries no signature."""


class UntrustedSignerError(SignatureError):
    """The file is signed by a key that is not among those the reader trusts."""


class RecipientError(InvalidParameterError, ValueError):
    """A set of recipients no file can be encrypted to: kinds of two formats mixed, a passphrase beside
    other recipients, none at all, too many, or one to remove that the file does not have. (A
    `ValueError` as well, as the refusals it replaces were.)"""


class IdentityError(InvalidParameterError, ValueError):
    """No identity given to decrypt with (a `ValueError` as well, as it was)."""


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
    "HeaderChangedError",
    "IdentityError",
    "IncorrectPassphraseError",
    "InvalidParameterError",
    "KeySerializationError",
    "NoIdentityMatchError",
    "PassphraseNeededError",
    "RecipientError",
    "RngError",
    "SignatureError",
    "UnsignedFileError",
    "UntrustedSignerError",
    "VeloraError",
]
