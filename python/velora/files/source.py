"""One buffered reader of untrusted input, for every format and the armour.

`Source` reads a binary file object (pipes and sockets included) or a
``read(n)`` function. The parsers take what they need from it: exact pieces
(``read_exact``), pieces up to a size (``read_upto``), lines (``readline``),
a look ahead that consumes nothing (``peek``, ``first_nonspace``), white
space skipped (``skip_whitespace``), and the payload read straight into a
caller's buffer (``readinto``). A header parser and the payload reader after
it share one `Source`, so nothing read ahead has to be handed back.

Every look ahead and skip is bounded and linear: a scan looks at each byte
once, and holds at most its limit plus one block in memory.
"""

from __future__ import annotations

import io
import os
import stat
from collections.abc import Callable
from typing import Final, Protocol

from ..errors import TRAILING, TRUNCATED, DecryptionError

#: What `Source` reads at a time when it buffers (lines, look aheads).
BLOCK: Final = 64 * 1024
WHITESPACE: Final = b" \t\r\n"


class Readable(Protocol):
    """What a source must offer: ``read(n)`` returning at most n bytes, b"" at the end."""

    def read(self, n: int = -1, /) -> bytes: ...


class Source:
    """A binary input with a buffer in front, read in exact pieces, lines or look aheads.

    Short reads (pipes, sockets) are completed by reading again; the end of
    the input where more was needed raises `DecryptionError` (truncated) in
    ``read_exact``. ``consumed`` counts the bytes handed out so far.
    """

    __slots__ = ("_file", "_read", "_buf", "_eof", "_block", "consumed", "size")

    def __init__(self, file: Readable | Callable[[int], bytes], *, block: int = BLOCK) -> None:
        read = getattr(file, "read", None)
        if callable(read):
            self._file: object = file
            self._read: Callable[[int], bytes | None] = read
        elif callable(file):
            self._file = None
            self._read = file
        else:
            raise TypeError(f"expected a binary file object or a read function, not {type(file).__name__}")
        self._buf = bytearray()
        self._eof = False
        self._block = block
        self.consumed = 0
        self.size = regular_file_size(file) if self._file is not None else None

    # -- the input ----------------------------------------------------------------

    def _raw(self, n: int) -> bytes:
        """One read of the input (b"" at its end)."""
        if self._eof:
            return b""
        data = self._read(n)
        if data is None:  # a non-blocking file with nothing to read
            raise BlockingIOError("the input is in non-blocking mode and has no data ready")
        if not data:
            self._eof = True
        return data

    def _more(self) -> bool:
        """Appends one block to the buffer; False at the end of the input."""
        data = self._raw(self._block)
        self._buf += data
        return bool(data)

    def _take(self, n: int) -> bytes:
        out = bytes(self._buf[:n])
        del self._buf[:n]  # bytearray drops from the front in place
        self.consumed += len(out)
        return out

    # -- pieces -------------------------------------------------------------------

    def read_upto(self, n: int) -> bytes:
        """Up to n bytes: fewer only at the end of the input."""
        if n <= 0:
            return b""
        head = self._take(n) if self._buf else b""
        missing = n - len(head)
        if not missing:
            return head
        parts = [head] if head else []
        while missing and (more := self._raw(missing)):
            parts.append(more)
            missing -= len(more)
        out = parts[0] if len(parts) == 1 else b"".join(parts)
        self.consumed += len(out) - len(head)
        return out

    read = read_upto

    def readinto(self, view: memoryview) -> int:
        """Fills `view` with what is buffered, else with one read of the input; 0 only at its end."""
        if self._buf:
            n = min(len(view), len(self._buf))
            view[:n] = self._buf[:n]
            del self._buf[:n]
        else:
            readinto = getattr(self._file, "readinto", None)
            if readinto is None or self._eof:
                data = self._raw(len(view))
                n = len(data)
                view[:n] = data
            else:
                got = readinto(view)
                if got is None:
                    raise BlockingIOError("the input is in non-blocking mode and has no data ready")
                n = got
                self._eof = n == 0
        self.consumed += n
        return n

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

    def readline(self, limit: int) -> bytes:
        """A line with its LF; at most `limit` bytes (no LF: too long or the end of the input)."""
        start = 0
        while True:
            i = self._buf.find(b"\n", start, limit)
            if i >= 0:
                return self._take(i + 1)
            start = len(self._buf)
            if start >= limit or not self._more():
                return self._take(min(limit, len(self._buf)))

    # -- looking ahead ------------------------------------------------------------

    def peek(self, n: int) -> bytes:
        """The next n bytes (fewer only at the end of the input), left to be read."""
        while len(self._buf) < n and self._more():
            pass
        return bytes(self._buf[:n])

    def drop(self, n: int) -> None:
        """Skips n bytes that `peek` showed."""
        del self._buf[:n]
        self.consumed += n

    def first_nonspace(self, limit: int) -> bytes:
        """The first byte that is not white space, left to be read: b"" when the input ends
        first, b" " when more than `limit` bytes of white space come first."""
        scanned = 0
        while True:
            rest = len(self._buf) - scanned
            if rest:
                skipped = rest - len(self._buf[scanned:].lstrip(WHITESPACE))
                if skipped < rest:
                    at = scanned + skipped
                    return b" " if at > limit else bytes(self._buf[at : at + 1])
                scanned += skipped
            if scanned > limit:
                return b" "
            if not self._more():
                return b""

    def skip_whitespace(self, limit: int) -> int:
        """Drops leading white space and returns how much; stops once it passes `limit`."""
        skipped = 0
        while skipped <= limit:
            n = len(self._buf) - len(self._buf.lstrip(WHITESPACE))
            self.drop(n)
            skipped += n
            if self._buf or not self._more():
                break
        return skipped

    # -- regular files ------------------------------------------------------------

    def position(self) -> tuple[int, int] | None:
        """(file descriptor, offset of the next byte) for a regular file, else None."""
        if self.size is None:
            return None
        try:
            return self._file.fileno(), self._file.tell() - len(self._buf)  # type: ignore[attr-defined]
        except (AttributeError, OSError, ValueError, io.UnsupportedOperation):
            return None

    def skip_to(self, offset: int) -> None:
        """Moves a regular file to ``offset`` after reading it at offsets of its own."""
        self._buf.clear()
        self._file.seek(offset)  # type: ignore[attr-defined]


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
