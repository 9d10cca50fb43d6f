"""Encrypted files: the velora container, file objects, whole-file helpers.

- `EncryptedWriter` / `DecryptedReader`: io.BufferedIOBase file objects over a
  path or any binary file object (pipes included).
- `encrypt_file` / `decrypt_file`: whole files, two threads, never a partial
  or unauthenticated file at a path destination.
- `inspect_file`: what an encrypted file is, without a key.

The byte layout of the velora format and its security argument are in
docs/file-format.md. Formats plug in through `velora.files.formats`.
"""

from __future__ import annotations

from typing import BinaryIO

from . import native as _native  # registers the velora format
from .. import age_format as _age_format  # noqa: F401  (registers the age format)
from .detect import detect
from .errors import FileFormatError
from .formats import FileInfo
from .objects import DecryptedReader, EncryptedWriter, open_input
from .output import PathLike
from .transfer import Progress, decrypt_file, encrypt_file

DEFAULT_CHUNK_SIZE = _native.DEFAULT_CHUNK_SIZE


def inspect_file(file: PathLike | BinaryIO) -> FileInfo:
    """Reads ``file`` to its end without a key and tells its format, level and sizes.

    Nothing it reports is authenticated; only decryption proves a file whole.
    """
    infile, owned = open_input(file)
    try:
        found = detect(infile)
        info = found.format.inspect(found.source)
        info.armored = found.armored
        if found.armored:
            info.file_size = found.outer.consumed
        return info
    finally:
        if owned:
            infile.close()


__all__ = [
    "DEFAULT_CHUNK_SIZE", "DecryptedReader", "EncryptedWriter", "FileFormatError", "FileInfo", "Progress",
    "decrypt_file", "encrypt_file", "inspect_file",
]
