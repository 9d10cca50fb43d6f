"""Random access into encrypted files: byte ranges of a seekable input, and chunk layouts.

A format whose chunks sit at offsets computable from the header and the size
of the input (velora version 1: all frames but the last are one chunk long;
age: 64 KiB chunks) describes them with a `ChunkLayout`: which bytes of the
input hold chunks ``first .. first + count - 1`` and how to open them. The
reader (`DecryptedReader`) asks for the chunks a read touches and nothing else.

A layout's plaintext size comes from the input's size, so it is trusted only
once the last chunk has authenticated with its last-chunk mark (velora: the
end marker after it; age: the final flag in its nonce): every range that
reaches the last chunk carries that mark, and `open_into` checks it.
"""

from __future__ import annotations

import io
import os
import stat
import threading
from typing import Protocol

from .._velora_core import DecryptionError
from ..errors import TRUNCATED


class RangeSource:
    """Reads bytes at any offset of a seekable binary input.

    A regular file is read with os.pread (its offset untouched, any number of
    threads at once); any other seekable file object (an fsspec file, a
    BytesIO) with seek and read under a lock. ``size`` is the input's size.
    """

    def __init__(self, file: object) -> None:
        self._file = file
        self._fd: int | None = None
        try:
            fd = file.fileno()  # type: ignore[attr-defined]
            st = os.fstat(fd)
            if stat.S_ISREG(st.st_mode):
                self._fd = fd
        except (AttributeError, OSError, ValueError, io.UnsupportedOperation):
            pass
        self._lock = threading.Lock()
        self.size = self._measure()

    @staticmethod
    def usable(file: object) -> bool:
        """Whether ``file`` can be read at any offset (it says it is seekable)."""
        try:
            return bool(file.seekable())  # type: ignore[attr-defined]
        except (AttributeError, OSError, ValueError):
            return False

    def _measure(self) -> int:
        if self._fd is not None:
            return os.fstat(self._fd).st_size
        size = getattr(self._file, "size", None)  # fsspec files know it without a request
        if isinstance(size, int) and not callable(size):
            return size
        with self._lock:
            here = self._file.tell()  # type: ignore[attr-defined]
            end = int(self._file.seek(0, io.SEEK_END))  # type: ignore[attr-defined]
            self._file.seek(here)  # type: ignore[attr-defined]
        return end

    def read_into(self, offset: int, view: memoryview) -> int:
        """Fills ``view`` from ``offset``; fewer bytes only at the end of the input."""
        if self._fd is not None:
            got = 0
            while got < len(view):
                n = os.preadv(self._fd, [view[got:]], offset + got)
                if not n:
                    break
                got += n
            return got
        data = self.read_at(offset, len(view))
        view[: len(data)] = data
        return len(data)

    def read_at(self, offset: int, n: int) -> bytes:
        """``n`` bytes at ``offset``; fewer only at the end of the input."""
        if n <= 0:
            return b""
        if self._fd is not None:
            parts = []
            got = 0
            while got < n:
                data = os.pread(self._fd, n - got, offset + got)
                if not data:
                    break
                parts.append(data)
                got += len(data)
            return parts[0] if len(parts) == 1 else b"".join(parts)
        with self._lock:
            # The file's own offset is put back: a reader may be reading it front to back.
            here = self._file.tell()  # type: ignore[attr-defined]
            try:
                self._file.seek(offset)  # type: ignore[attr-defined]
                parts = []
                got = 0
                while got < n:
                    data = self._file.read(n - got)  # type: ignore[attr-defined]
                    if not data:
                        break
                    parts.append(bytes(data))
                    got += len(data)
            finally:
                self._file.seek(here)  # type: ignore[attr-defined]
        return parts[0] if len(parts) == 1 else b"".join(parts)


class ChunkLayout(Protocol):
    """Where the chunks of one encrypted file are, and how to open them.

    ``chunk_size`` is the plaintext of every chunk but the last, which holds 1
    to ``chunk_size`` bytes; ``chunk_count`` and ``plaintext_size`` follow from
    the input's size (0 and 0 for an empty plaintext). `byte_range` gives the
    offset and length of the input that holds chunks ``first`` to
    ``first + count - 1``, and, when they run to the last chunk, its mark (for
    velora, the end marker; ``count`` may then be 0). `open_into`
    authenticates and decrypts such a range into ``out`` (room for ``count``
    whole chunks) and returns the plaintext's length, checking the mark when
    the range holds it; `DecryptionError` when anything fails, and then
    ``out`` holds no plaintext of the range.
    """

    chunk_size: int
    chunk_count: int
    plaintext_size: int

    def byte_range(self, first: int, count: int) -> tuple[int, int]: ...

    def open_into(self, first: int, count: int, data: memoryview, out: bytearray) -> int: ...


class RandomAccess:
    """The chunks of one file through its layout: a read opens only the chunks it touches.

    Keeps the plaintext of the last chunks opened (one range), so that small
    reads in a row do not open a chunk again. The end (the last chunk and its
    mark) is authenticated before ``size`` or anything at or past the last
    chunk is answered.
    """

    #: The most plaintext one `read` opens at once (whole chunks, at least one).
    MAX_OPEN = 8 * 1024 * 1024

    def __init__(self, source: RangeSource, layout: ChunkLayout) -> None:
        self._source = source
        self.layout = layout
        # One ciphertext and one plaintext buffer, reused: no fresh pages per read.
        self._sealed = bytearray()
        self._plain = bytearray()
        self._cached_first = 0
        self._cached_count = 0
        self._cached_len = 0
        self._end_checked = False

    @property
    def size(self) -> int:
        """The plaintext size, once the end has authenticated."""
        self.check_end()
        return self.layout.plaintext_size

    def check_end(self) -> None:
        """Authenticates the last chunk and its mark (once)."""
        if not self._end_checked:
            lay = self.layout
            first = max(0, lay.chunk_count - 1)
            self._open(first, lay.chunk_count - first)
            self._end_checked = True

    def _open(self, first: int, count: int) -> None:
        """Opens chunks ``first`` .. ``first + count - 1`` into the plaintext buffer."""
        self.drop()
        offset, length = self.layout.byte_range(first, count)
        if length < 0:
            raise DecryptionError(TRUNCATED)
        if len(self._sealed) < length:
            self._sealed = bytearray(length)
        room = count * self.layout.chunk_size
        if len(self._plain) < room:
            self._plain = bytearray(room)
        with memoryview(self._sealed) as sealed:
            if self._source.read_into(offset, sealed[:length]) != length:
                raise DecryptionError(TRUNCATED)
            n = self.layout.open_into(first, count, sealed[:length], self._plain)
        self._cached_first, self._cached_count, self._cached_len = first, count, n

    def read(self, pos: int, n: int) -> bytes:
        """Up to ``n`` plaintext bytes from ``pos`` (fewer at the authenticated end, or
        at most `MAX_OPEN` and the rest of the chunks opened for it)."""
        lay = self.layout
        cs = lay.chunk_size
        if n <= 0:
            return b""
        first = pos // cs
        last = (pos + n - 1) // cs
        if last >= lay.chunk_count - 1:
            self.check_end()  # also opens (and keeps) the last chunk
            if pos >= lay.plaintext_size:
                return b""
            last = lay.chunk_count - 1
        if not (self._cached_first <= first < self._cached_first + self._cached_count):
            self._open(first, min(last - first + 1, max(1, self.MAX_OPEN // cs)))
        start = pos - self._cached_first * cs
        end = min(self._cached_len, start + n)
        with memoryview(self._plain) as plain:
            return bytes(plain[start:end])

    def drop(self) -> None:
        """Forgets the plaintext kept."""
        self._cached_first = self._cached_count = self._cached_len = 0
