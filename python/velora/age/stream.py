"""age files as file objects and as whole files.

`AgeWriter` encrypts what is written to it into an age file on a binary file
object; `AgeReader` decrypts one. Both are `io.BufferedIOBase` file objects
over the file's two ends (`AgeSealer`, `AgeOpener`) that stream in batches of
64 KiB chunks, so memory stays bounded (a few MiB) whatever the file's size.
The reader releases plaintext only from chunks that authenticated; a file cut
short, or with data after its final chunk, raises `AgePayloadError` at the
point where the reader reaches it, after the authenticated plaintext before it.

`encrypt_file` and `decrypt_file` work from path to path through
`velora.files` (as `velora.encrypt_file` and `velora.decrypt_file` do): the
destination appears only once the whole file is written, and for decryption
only once all of it has authenticated; on an error it is left as it was.
"""

from __future__ import annotations

import io
import os
from collections.abc import Iterable
from typing import TYPE_CHECKING, BinaryIO, Final, NoReturn

from ..errors import AgePayloadError
from ..files.armor import MAX_LEADING_WHITESPACE, ArmorWriter
from ..files.ranges import RandomAccess, RangeSource
from ..files.source import WHITESPACE, Source
from ..keys import Buffer, _as_bytes
from .armor import BEGIN, LABEL, AgeArmorReader
from .file_format import AgeOpener, AgeSealer
from .format import MAGIC
from .payload import BATCH, SEALED_BATCH, SEALED_CHUNK, payload_error
from .recipients import Identity, Recipient, check_identities

if TYPE_CHECKING:
    from ..files.transfer import Progress

_ARMOR_START: Final = b"-"


def _file_object(fileobj: object, method: str, what: str) -> None:
    if not callable(getattr(fileobj, method, None)):
        raise TypeError(f"{what} must be a binary file object, not {type(fileobj).__name__}")


def _opened(fileobj: BinaryIO, identities: Iterable[Identity], armor: bool | None) -> tuple[AgeOpener, bool]:
    """The opener of the age file on `fileobj` (its armour detected unless `armor` says), and
    whether it is armoured. The detection looks at most at `MAX_LEADING_WHITESPACE` bytes of
    white space: more is taken for armour, which refuses it."""
    ids = check_identities(identities)
    src = Source(fileobj)
    if armor is None:
        first = src.first_nonspace(MAX_LEADING_WHITESPACE)
        armor = first == _ARMOR_START or (first != b"" and first in WHITESPACE)
    return AgeOpener(Source(AgeArmorReader(src)) if armor else src, ids), armor


class AgeWriter(io.BufferedIOBase):
    """Writes an age file to `fileobj` (binary, opened for writing) for `recipients`.

    The header is written at once; plaintext is sealed in batches of 64 KiB
    chunks as it comes; close() seals the final chunk (and ends the armour).
    A `with` block left by an exception calls abort() instead, so that a
    half-written file never passes for a whole one. Closing the writer does
    not close `fileobj`.
    """

    def __init__(self, fileobj: BinaryIO, recipients: Iterable[Recipient], *, armor: bool = False) -> None:
        super().__init__()
        _file_object(fileobj, "write", "the age writer's output")
        sealer = AgeSealer(recipients)
        self._payload = sealer.payload
        self._fileobj = fileobj
        self._armor = ArmorWriter(fileobj.write, LABEL) if armor else None
        self._pending = bytearray(BATCH)  # plaintext not sealed yet: at most one batch
        self._npending = 0
        self._out = bytearray(SEALED_BATCH)
        self._emit(sealer.header)

    def _emit(self, data: bytes | memoryview) -> None:
        if self._armor is not None:
            self._armor.write(data)
        else:
            self._fileobj.write(data)

    def writable(self) -> bool:
        return True

    def write(self, b: Buffer) -> int:  # type: ignore[override]
        if self.closed:
            raise ValueError("write to a closed AgeWriter")
        with memoryview(b) as raw, raw.cast("B") as view:
            pos = 0
            # A full batch is sealed only once more data follows it: the final
            # chunk waits for close().
            while pos < len(view):
                if self._npending == BATCH:
                    with memoryview(self._pending) as pending:
                        self._seal_from(pending, final=False)
                    self._npending = 0
                if self._npending == 0 and len(view) - pos > BATCH:
                    # Whole batches straight from the caller's buffer, no copy.
                    self._seal_from(view[pos : pos + BATCH], final=False)
                    pos += BATCH
                    continue
                take = min(len(view) - pos, BATCH - self._npending)
                self._pending[self._npending : self._npending + take] = view[pos : pos + take]
                self._npending += take
                pos += take
            return len(view)

    def _seal_from(self, data: memoryview, final: bool) -> None:
        written = self._payload.seal(data, final, self._out)
        with memoryview(self._out) as out:
            self._emit(out[:written])

    def __exit__(self, exc_type: object, exc: object, tb: object) -> None:
        if exc_type is not None:
            self.abort()
        else:
            self.close()

    def __reduce_ex__(self, protocol: object) -> NoReturn:
        raise TypeError("cannot pickle an AgeWriter: it holds the payload key of an open file")

    def abort(self) -> None:
        """Closes without the final chunk: the file stays recognisably incomplete (a reader
        raises AgePayloadError at its end). A `with` block that raises does this."""
        self._npending = 0
        super().close()

    def close(self) -> None:
        if self.closed or not hasattr(self, "_payload"):  # closed, or __init__ failed before the header
            super().close()
            return
        try:
            with memoryview(self._pending) as pending:
                self._seal_from(pending[: self._npending], final=True)
            self._npending = 0
            if self._armor is not None:
                self._armor.close()
            self._fileobj.flush()
        finally:
            super().close()


class AgeReader(io.BufferedIOBase):
    """Reads the plaintext of the age file on `fileobj` (binary, opened for reading).

    The header is read and checked at once: AgeHeaderError, AgeArmorError,
    AgeNoIdentityMatchError or AgeHmacError. `armor` None detects the ASCII
    armour from the first bytes; True requires it, False refuses it.
    Closing the reader does not close `fileobj`.

    A seekable binary `fileobj` seeks: `seek`, `tell`, `size` and reads at
    any offset open only the 64 KiB chunks they touch; the size is trusted
    once the last chunk has opened with the final flag (`velora.files.ranges`).
    Until the first move elsewhere the reader reads front to back; armour and
    pipes only ever do.
    """

    def __init__(self, fileobj: BinaryIO, identities: Iterable[Identity], *, armor: bool | None = None) -> None:
        super().__init__()
        _file_object(fileobj, "read", "the age reader's input")
        start = fileobj.tell() if RangeSource.usable(fileobj) else None
        opener, self.armored = _opened(fileobj, identities, armor)
        self._random: RandomAccess | None = None
        if start is not None and not self.armored:
            ranges = RangeSource(fileobj)
            self._random = RandomAccess(ranges, opener.layout(ranges.size, start))
        self._offset = 0  # plaintext position
        self._seeking = False
        self._src = opener.source
        self._payload = opener.payload
        self._cbuf = bytearray(SEALED_BATCH + 1)  # sealed chunks not yet opened
        self._have = 0
        self._eof = False  # the source has ended
        self._done = False  # the final chunk has opened
        self._plain = bytearray(SEALED_BATCH + 1)
        self._pos = 0
        self._end = 0
        self._error: AgePayloadError | None = None

    def __reduce_ex__(self, protocol: object) -> NoReturn:
        raise TypeError("cannot pickle an AgeReader: it holds the payload key of an open file")

    def readable(self) -> bool:
        return True

    def _fill(self, want: int) -> None:
        """Reads until the chunk buffer holds `want` bytes or the source ends."""
        while self._have < want and not self._eof:
            with memoryview(self._cbuf) as cbuf:
                n = self._src.readinto(cbuf[self._have : want])
            if n:
                self._have += n
            else:
                self._eof = True

    def _refill(self) -> None:
        """Opens the next batch of chunks into the plaintext buffer (called when it is empty)."""
        self._fill(len(self._cbuf))  # one byte more than a batch tells whether a chunk is the last
        # Whole chunks with at least one byte after them, or everything at the end.
        at_end = self._eof
        n = self._have if at_end else (self._have - 1) // SEALED_CHUNK * SEALED_CHUNK
        rest = self._have - n
        with memoryview(self._cbuf) as cbuf:
            written, finished, ok = self._payload.open(cbuf[:n], at_end, self._plain)
            cbuf[:rest] = cbuf[n : self._have]
        self._have = rest
        self._pos, self._end = 0, written
        if not ok:
            self._error = payload_error()
        self._done = finished

    def _available(self) -> memoryview | None:
        """The buffered plaintext, refilled when empty; None at the end (raises a pending error)."""
        while self._pos == self._end:
            if self._error is not None:
                raise self._error
            if self._done:
                return None
            self._refill()
        return memoryview(self._plain)[self._pos : self._end]

    def seekable(self) -> bool:
        return self._random is not None

    def tell(self) -> int:
        return self._offset

    @property
    def size(self) -> int:
        """The plaintext size of a seekable reader (once the final chunk has authenticated)."""
        if self._random is None:
            raise io.UnsupportedOperation("the plaintext size of a sequential input is known at its end only")
        return self._random.size

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        if self.closed:
            raise ValueError("seek on a closed AgeReader")
        if isinstance(offset, bool) or not isinstance(offset, int):
            raise TypeError(f"offset must be an int, not {type(offset).__name__}")
        if whence == io.SEEK_SET:
            target = offset
        elif whence == io.SEEK_CUR:
            target = self._offset + offset
        elif whence == io.SEEK_END:
            if self._random is None:
                raise io.UnsupportedOperation("this input is read front to back: it cannot seek from its end")
            target = self._random.size + offset
        else:
            raise ValueError(f"invalid whence ({whence}, should be 0, 1 or 2)")
        if target < 0:
            raise ValueError(f"negative seek position {target}")
        if target != self._offset:
            if self._random is None:
                raise io.UnsupportedOperation("this input is read front to back (a pipe, a socket or armour)")
            self._seeking = True
        self._offset = target
        return target

    def _read_at(self, size: int | None, whole: bool) -> bytes:
        ra = self._random
        assert ra is not None
        if size is None or size < 0:
            size = max(0, ra.size - self._offset)
        parts = []
        while size > 0:
            part = ra.read(self._offset, size)
            if not part:
                break
            parts.append(part)
            self._offset += len(part)
            size -= len(part)
            if not whole:
                break
        return b"".join(parts)

    def read(self, size: int | None = -1) -> bytes:
        if self.closed:
            raise ValueError("read from a closed AgeReader")
        if self._seeking:
            return self._read_at(size, whole=True)
        out = self._read(size)
        self._offset += len(out)
        return out

    def _read(self, size: int | None) -> bytes:
        if size is None or size < 0:
            parts = []
            while (chunk := self._available()) is not None:
                parts.append(bytes(chunk))
                self._pos = self._end
            return b"".join(parts)
        out = bytearray()
        while len(out) < size and (chunk := self._available()) is not None:
            take = min(size - len(out), len(chunk))
            out += chunk[:take]
            self._pos += take
        return bytes(out)

    def read1(self, size: int = -1) -> bytes:
        if self.closed:
            raise ValueError("read from a closed AgeReader")
        if self._seeking:
            return self._read_at(size, whole=False)
        chunk = self._available()
        if chunk is None:
            return b""
        take = len(chunk) if size < 0 else min(size, len(chunk))
        self._pos += take
        self._offset += take
        return bytes(chunk[:take])

    def readinto(self, b: Buffer) -> int:  # type: ignore[override]
        if self.closed:
            raise ValueError("read from a closed AgeReader")
        if self._seeking:
            with memoryview(b).cast("B") as target:
                data = self._read_at(len(target), whole=True)
                target[: len(data)] = data
                return len(data)
        with memoryview(b).cast("B") as target:
            filled = 0
            while filled < len(target) and (chunk := self._available()) is not None:
                take = min(len(target) - filled, len(chunk))
                target[filled : filled + take] = chunk[:take]
                self._pos += take
                filled += take
            self._offset += filled
            return filled

    def readinto1(self, b: Buffer) -> int:  # type: ignore[override]
        with memoryview(b).cast("B") as target:
            if self._seeking:
                data = self._read_at(len(target), whole=False)
                target[: len(data)] = data
                return len(data)
            chunk = self._available()
            if chunk is None:
                return 0
            take = min(len(target), len(chunk))
            target[:take] = chunk[:take]
            self._pos += take
            self._offset += take
            return take


def is_age_file(head: bytes) -> bool:
    """Whether data starting with `head` is an age file, binary or armoured (by its first line)."""
    stripped = _as_bytes(head, "head").lstrip(WHITESPACE)
    return stripped.startswith(MAGIC) or stripped.startswith(BEGIN)


def encrypt(plaintext: Buffer, recipients: Iterable[Recipient], *, armor: bool = False) -> bytes:
    """The age file of `plaintext` for `recipients`, as bytes."""
    out = io.BytesIO()
    with AgeWriter(out, recipients, armor=armor) as w:
        w.write(plaintext)
    return out.getvalue()


def decrypt(data: Buffer, identities: Iterable[Identity], *, armor: bool | None = None) -> bytes:
    """The plaintext of the age file `data` (armour detected unless `armor` says otherwise)."""
    with AgeReader(io.BytesIO(_as_bytes(data, "data")), identities, armor=armor) as r:
        return r.read()


def encrypt_file(
    source: str | os.PathLike[str], destination: str | os.PathLike[str], recipients: Iterable[Recipient], *,
    armor: bool = False, progress: Progress | None = None,
) -> int:
    """Encrypts the file `source` into the age file `destination`; returns the plaintext size.

    The age file is written beside `destination` (an unnamed file in its
    directory), synced and renamed into place only once it is complete: on
    any error, or if the process is killed, the destination is left as it
    was. A device or pipe (/dev/null, a FIFO) is written directly.
    ``progress(done, total)`` is called as the work advances. This runs
    `velora.encrypt_file`'s code, with `recipients` used as they are.
    """
    from ..files.transfer import encrypt_with

    return encrypt_with(source, destination, AgeSealer(recipients), LABEL if armor else None, progress)


def decrypt_file(
    source: str | os.PathLike[str], destination: str | os.PathLike[str], identities: Iterable[Identity], *,
    armor: bool | None = None, progress: Progress | None = None,
) -> int:
    """Decrypts the age file `source` into `destination`; returns the plaintext size.

    `destination` receives the plaintext only once all of it has
    authenticated, up to the final chunk with nothing after it: it is written
    beside the destination, synced and renamed into place at the end. A wrong
    identity, a damaged, cut or altered file, any other error, or the process
    being killed leaves the destination as it was (absent, or with its old
    content). A device or pipe (/dev/null, a FIFO) is written directly, and
    may then have received authenticated plaintext before the error.

    `AgeReader` differs on purpose: a file object hands out each chunk's
    plaintext as soon as it authenticates, and raises `AgePayloadError` only
    where the damage is. The errors are those of `AgeReader`, and `armor` is
    as there. This runs `velora.decrypt_file`'s code, with `identities` used
    as they are.
    """
    from ..files.transfer import decrypt_with

    ids = check_identities(identities)
    return decrypt_with(source, destination, lambda infile: _opened(infile, ids, armor)[0], progress)
