"""Encrypted files: the velora container, file objects, whole-file helpers.

- `EncryptedWriter` / `DecryptedReader`: io.BufferedIOBase file objects over a
  path or any binary file object (pipes included).
- `encrypt_file` / `decrypt_file`: whole files, two threads, never a partial
  or unauthenticated file at a path destination.
- `inspect_file`: what an encrypted file is, without a key.
- `rewrap`: changes who can read a velora file (version 2) without touching its payload.
- `Passphrase`: a passphrase as the recipient or identity of a velora file.

The byte layout of the velora format and its security argument are in
docs/file-format.md. Formats plug in through `velora.files.formats`; the
built-in ones (velora, age) load on first use, and so do the names here.
"""

from __future__ import annotations

import typing as _typing

from .. import _lazy_module
from ..errors import FileFormatError as FileFormatError
from .formats import FileInfo as FileInfo

if _typing.TYPE_CHECKING:
    from .inspect import inspect_file as inspect_file
    from .objects import DecryptedReader as DecryptedReader
    from .objects import EncryptedWriter as EncryptedWriter
    from .transfer import Progress as Progress
    from .transfer import decrypt_file as decrypt_file
    from .transfer import encrypt_file as encrypt_file
    from .vlr2.recipients import Passphrase as Passphrase
    from .vlr2.rewrap import rewrap as rewrap

    DEFAULT_CHUNK_SIZE: int

__all__ = ["FileFormatError", "FileInfo"] + _lazy_module(globals(), {
    ".inspect": ("inspect_file",),
    ".vlr2.payload": ("DEFAULT_CHUNK_SIZE",),
    ".vlr2.recipients": ("Passphrase",),
    ".vlr2.rewrap": ("rewrap",),
    ".objects": ("DecryptedReader", "EncryptedWriter"),
    ".transfer": ("Progress", "decrypt_file", "encrypt_file"),
})
