"""Exact reads from any binary file object, pipes included."""

from __future__ import annotations

import io
import os
import stat
from typing import Protocol

from .errors import TRAILING, TRUNCATED
from .._velora_core import DecryptionError


class Readable(Protocol):
    """What a source must offer: ``read(n)`` returning at most n bytes, b"" at the end."""

    def read(self, n: int = -1, /) -> bytes: ...


class Source:
    """A binary input read in exact pieces, with bytes pushed back in front.

    Short reads (pipes, sockets) are completed by reading again; the end of
    the input where more was needed raises `DecryptionError` (truncated).
    """

    __slots__ = ("_file", "_pushed", "consumed", "size")

    def __init__(self, file: Readable, pushed: bytes = b"") -> None:
        self._file = file
        self._pushed = pushed
        self.consumed = 0  # bytes handed out so far
        self.size = regular_file_size(file)

    def position(self) -> tuple[int, int] | None:
        """(file descriptor, offset of the next byte) for a regular file, else None."""
        if self.size is None:
            return None
        try:
            return self._file.fileno(), self._file.tell() - len(self._pushed)  # type: ignore[attr-defined]
        except (AttributeError, OSError, ValueError, io.UnsupportedOperation):
            return None

    def skip_to(self, offset: int) -> None:
        """Moves a regular file to ``offset`` after reading it at offsets of its own."""
        self._pushed = b""
        self._file.seek(offset)  # type: ignore[attr-defined]

    def push_back(self, data: bytes) -> None:
        self._pushed = data + self._pushed
        self.consumed -= len(data)

    def read_upto(self, n: int) -> bytes:
        """Up to n bytes: fewer only at the end of the input."""
        if n <= 0:
            return b""
        if self._pushed:
            head, self._pushed = self._pushed[:n], self._pushed[n:]
            out = head if len(head) == n else head + self._fill(n - len(head))
        else:
            out = self._fill(n)
        self.consumed += len(out)
        return out

    def _fill(self, n: int) -> bytes:
        first = self._file.read(n)
        if first is None:  # a non-blocking file with nothing to read
            raise BlockingIOError("the input is in non-blocking mode and has no data ready")
        if len(first) == n or not first:
            return first
        parts = [first]
        missing = n - len(first)
        while missing:
            more = self._file.read(missing)
            if more is None:
                raise BlockingIOError("the input is in non-blocking mode and has no data ready")
            if not more:
                break
            parts.append(more)
            missing -= len(more)
        return b"".join(parts)

    def read_exact(self, n: int, what: str = TRUNCATED) -> bytes:
        """Exactly n bytes, or `DecryptionError` (``what``) at the end of the input."""
        out = self.read_upto(n)
        if len(out) != n:
            raise DecryptionError(what)
        return out

    def expect_end(self) -> None:
        """The input must be over: anything more is `DecryptionError` (trailing data)."""
        if self.read_upto(1):
            raise DecryptionError(TRAILING)


def pread_into(fd: int, view: memoryview, offset: int) -> int:
    """Fills ``view`` from ``fd`` at ``offset`` (os.preadv); fewer bytes only at the end of the file."""
    n = 0
    while n < len(view):
        got = os.preadv(fd, [view[n:]], offset + n)
        if not got:
            break
        n += got
    return n


def pread_exact(fd: int, n: int, offset: int) -> bytes:
    """``n`` bytes of ``fd`` at ``offset`` (os.pread); fewer only at the end of the file."""
    data = os.pread(fd, n, offset)
    if len(data) == n or not data:
        return data
    parts = [data]
    got = len(data)
    while got < n:
        more = os.pread(fd, n - got, offset + got)
        if not more:
            break
        parts.append(more)
        got += len(more)
    return b"".join(parts)


def regular_file_size(file: object) -> int | None:
    """The size of a regular file behind ``file`` (from its current offset on), else None."""
    try:
        fd = file.fileno()  # type: ignore[attr-defined]
        st = os.fstat(fd)
    except (AttributeError, OSError, ValueError, io.UnsupportedOperation):
        return None
    if not stat.S_ISREG(st.st_mode):
        return None
    try:
        pos = file.tell()  # type: ignore[attr-defined]
    except (AttributeError, OSError, ValueError, io.UnsupportedOperation):
        return None
    return max(0, st.st_size - int(pos))


__all__ = ["Readable", "Source", "pread_exact", "pread_into", "regular_file_size"]
