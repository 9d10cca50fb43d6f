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

from .errors import FileFormatError
from .formats import FileInfo

if _typing.TYPE_CHECKING:
    from .objects import DecryptedReader, EncryptedWriter
    from .output import PathLike
    from .transfer import Progress, decrypt_file, encrypt_file
    from .vlr2.recipients import Passphrase
    from .vlr2.rewrap import rewrap

    DEFAULT_CHUNK_SIZE: int

_LAZY = {
    "DEFAULT_CHUNK_SIZE": ".vlr2.payload",
    "Passphrase": ".vlr2.recipients",
    "rewrap": ".vlr2.rewrap",
    "DecryptedReader": ".objects",
    "EncryptedWriter": ".objects",
    "Progress": ".transfer",
    "decrypt_file": ".transfer",
    "encrypt_file": ".transfer",
}

if not _typing.TYPE_CHECKING:

    def __getattr__(name: str) -> object:
        import importlib

        where = _LAZY.get(name)
        if where is None:
            raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
        value = getattr(importlib.import_module(where, __name__), name)
        globals()[name] = value
        return value

    def __dir__() -> list[str]:
        return sorted(set(globals()) | set(_LAZY))


def inspect_file(file: PathLike | _typing.BinaryIO) -> FileInfo:
    """Reads ``file`` to its end without a key and tells its format, level and sizes.

    Nothing it reports is authenticated; only decryption proves a file whole.
    """
    from .detect import detect
    from .objects import open_input

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
    "decrypt_file", "encrypt_file", "inspect_file", "Passphrase", "rewrap",
]
