"""`inspect_file`: what an encrypted file is, without a key."""

from __future__ import annotations

from typing import BinaryIO

from .detect import detect
from .formats import FileInfo
from .objects import open_input
from .output import PathLike


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
