"""File objects: `EncryptedWriter` and `DecryptedReader` (io.BufferedIOBase).

The reader hands out plaintext only from chunks that have authenticated, and
reading to the end raises `DecryptionError` instead of a clean end when the
end marker is missing or anything follows it. The writer completes the file
only on `close()` (or leaving a ``with`` block normally); an exception in the
block, `abort()`, or dropping an unclosed writer leaves no complete file: a
file written through a path does not appear at all, a file object passed in
is left without its end marker, so that it fails to decrypt.
"""

from __future__ import annotations

import io
import os
import warnings
from collections.abc import Iterator, Sequence
from types import TracebackType
from typing import TYPE_CHECKING, BinaryIO, NoReturn

from .._velora_core import DecryptionError
from .armor import ArmorWriter
from .detect import Detected, detect
from ..errors import TRUNCATED, IdentityError, RecipientError, UnsignedFileError
from .formats import FileFormat, Opener, Sealer, for_recipients
from .output import Output, PathLike, open_output
from .ranges import RandomAccess, RangeSource

if TYPE_CHECKING:
    from ..types import Identities, Recipients

if TYPE_CHECKING:
    from ..mldsa import MLDSAPrivateKey, MLDSAPublicKey


def as_list(items: object, what: str) -> list[object]:
    """One recipient or identity, or a sequence of them, as a list; `TypeError` for what is neither."""
    from ..types import as_identities, as_recipients

    return list(as_recipients(items) if what == "recipient" else as_identities(items))


def make_sealer(fmt: FileFormat, recipients: Sequence[object], chunk_size: int | None,
                sign: MLDSAPrivateKey | None) -> Sealer:
    """The format's writer; with ``sign``, a signed velora file (version 2: docs/file-format.md, "Signed files")."""
    if sign is None:
        return fmt.sealer(recipients, chunk_size)
    if fmt.name != "velora":
        raise RecipientError(f"only velora files carry a signature; these recipients make {fmt.name} files")
    from .vlr2.payload import V2Sealer

    return V2Sealer(recipients, chunk_size, sign)


def make_opener(found: Detected, identities: Sequence[object],
                verify: MLDSAPublicKey | Sequence[MLDSAPublicKey] | None) -> Opener:
    """The format's reader; with ``verify``, one that requires a signature by one of those keys."""
    if verify is None:
        return found.format.opener(found.source, identities)
    from .vlr2 import signature
    from .vlr2.header import MAGIC, VERSION
    from .vlr2.payload import V2Opener

    trusted = signature.trusted_keys(verify)
    if found.format.name != "velora":
        raise UnsignedFileError(f"{found.format.name} files carry no signature, and a signer is required")
    if found.source.peek(len(MAGIC) + 1) != MAGIC + bytes([VERSION]):
        raise UnsignedFileError("a velora file of version 1 carries no signature, and a signer is required")
    return V2Opener(found.source, b"", identities, trusted)


def open_input(file: PathLike | BinaryIO) -> tuple[BinaryIO, bool]:
    """``file`` as a readable binary file, and whether it was opened here."""
    if isinstance(file, (str, os.PathLike)):
        return open(file, "rb", buffering=0), True
    if not hasattr(file, "read"):
        raise TypeError(f"expected a path or a binary file object, not {type(file).__name__}")
    return file, False


class DecryptedReader(io.BufferedIOBase):
    """Reads the plaintext of an encrypted file (velora, armoured or not).

    ``file`` is a path or a binary file object. ``identities`` is one private
    key or a sequence of them; the one the file was made for is found by
    trying them. The header is read and the key found at construction, so a
    wrong key or a foreign file fails here.

    On a seekable input (a local file, an fsspec file, a BytesIO) that is not
    armoured, the reader seeks: `seek`, `tell` and reads at any offset, each
    read opening only the chunks it touches (`velora.files.ranges`). Until
    the first move elsewhere it reads front to back like any other reader
    (a damaged or cut file then gives the chunks that authenticate before it
    fails). The
    plaintext size (`size`, ``seek(0, SEEK_END)``) comes from the input's
    size and the header, and is answered only once the last chunk and its
    end mark have authenticated. Any other input (a pipe, a socket,
    armour) is read once, front to back, and `seekable` is False.
    """

    def __init__(self, file: PathLike | BinaryIO, identities: Identities, *,
                 verify: MLDSAPublicKey | Sequence[MLDSAPublicKey] | None = None) -> None:
        super().__init__()
        self._file, self._owned = open_input(file)
        self._random: RandomAccess | None = None
        try:
            start = self._file.tell() if RangeSource.usable(self._file) else None
            found = detect(self._file)
            self._opener: Opener = make_opener(found, as_list(identities, "identity"), verify)
            # A signed file's end is released only once its signature has verified over every chunk:
            # such a reader stays front to back.
            make_layout = getattr(self._opener, "layout", None) if verify is None else None
            if start is not None and not found.armored and make_layout is not None:
                source = RangeSource(self._file)
                self._random = RandomAccess(source, make_layout(source.size, start))
        except BaseException:
            if self._owned:
                self._file.close()
            raise
        #: "velora" (or another registered format).
        self.format = found.format.name
        #: Whether the input was ASCII-armoured.
        self.armored = found.armored
        self._records: Iterator[object] = self._opener.records()
        self._buf = b""
        self._pos = 0
        self._at_end = False
        self._error: BaseException | None = None
        self._offset = 0
        # A seekable reader reads front to back as any other until it first
        # moves elsewhere; from then on every read opens the chunks at its offset.
        self._seeking = False

    # -- chunks --------------------------------------------------------------

    def _fill(self) -> bool:
        """Refills the buffer with the next non-empty chunk; False at the authenticated end."""
        if self._error is not None:
            raise self._error
        if self._at_end:
            return False
        try:
            for record in self._records:
                data = self._opener.open(record)
                if not isinstance(data, bytes):
                    data = bytes(data)
                if data:
                    self._buf, self._pos = data, 0
                    return True
            if not self._opener.complete:
                raise DecryptionError(TRUNCATED)
        except BaseException as exc:
            # Every later read fails the same way: a damaged file never
            # turns into a clean end.
            self._error = exc
            raise
        self._at_end = True
        return False

    def _take(self, n: int) -> bytes:
        end = min(len(self._buf), self._pos + n)
        if self._pos == 0 and end == len(self._buf):
            out = self._buf
        else:
            out = self._buf[self._pos : end]
        self._pos = end
        self._offset += len(out)
        return out

    # -- io.BufferedIOBase ---------------------------------------------------

    def readable(self) -> bool:
        self._check_open()
        return True

    def seekable(self) -> bool:
        """True when the input can be read at any offset (see the class)."""
        self._check_open()
        return self._random is not None

    @property
    def size(self) -> int:
        """The plaintext size, from the input's size once the end has authenticated.

        Only a seekable reader knows it before the end; otherwise
        `io.UnsupportedOperation`."""
        self._check_open()
        if self._random is None:
            raise io.UnsupportedOperation("the plaintext size of a sequential input is known at its end only")
        return self._random.size

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        """Moves to a plaintext offset; past the end is allowed (reads there give b"").

        A sequential reader only "moves" to where it is (``seek(0, SEEK_CUR)``)."""
        self._check_open()
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
            if not self._seeking:
                self._seeking, self._buf, self._pos = True, b"", 0
        self._offset = target
        return target

    def read(self, size: int | None = -1) -> bytes:
        self._check_open()
        if self._seeking:
            return self._read_at(size, whole=True)
        if size is None or size < 0:
            parts = [self._take(len(self._buf))] if self._pos < len(self._buf) else []
            while self._fill():
                parts.append(self._take(len(self._buf)))
            return b"".join(parts)
        if size == 0:
            return b""
        parts = []
        while size > 0:
            if self._pos >= len(self._buf) and not self._fill():
                break
            part = self._take(size)
            parts.append(part)
            size -= len(part)
        return parts[0] if len(parts) == 1 else b"".join(parts)

    def read1(self, size: int = -1) -> bytes:
        self._check_open()
        if self._seeking:
            return self._read_at(size, whole=False)
        if self._pos >= len(self._buf) and not self._fill():
            return b""
        return self._take(len(self._buf) if size is None or size < 0 else size)

    def _read_at(self, size: int | None, whole: bool) -> bytes:
        """A read of a seekable reader at its offset: ``size`` bytes (or to the end), in
        one piece of opened chunks unless ``whole``."""
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
        return parts[0] if len(parts) == 1 else b"".join(parts)

    def readinto(self, buffer: bytearray | memoryview) -> int:  # type: ignore[override]
        return self._readinto(buffer, self.read)

    def readinto1(self, buffer: bytearray | memoryview) -> int:  # type: ignore[override]
        return self._readinto(buffer, self.read1)

    @staticmethod
    def _readinto(buffer: bytearray | memoryview, read: object) -> int:
        view = memoryview(buffer).cast("B")
        data = read(len(view))  # type: ignore[operator]
        view[: len(data)] = data
        return len(data)

    def tell(self) -> int:
        """The plaintext offset: bytes read so far, or where `seek` moved to."""
        self._check_open()
        return self._offset

    def close(self) -> None:
        """Closes the reader (and the file if it was opened from a path); fine before the end."""
        if not self.closed:
            try:
                if self._owned:
                    self._file.close()
            finally:
                self._buf = b""
                if self._random is not None:
                    self._random.drop()
                super().close()

    def _check_open(self) -> None:
        if self.closed:
            raise ValueError("I/O operation on closed file")

    def __reduce_ex__(self, protocol: object) -> NoReturn:
        raise TypeError(f"cannot pickle a {type(self).__name__}: it holds the key of an open file")

    def __enter__(self) -> DecryptedReader:
        self._check_open()
        return self

    def __repr__(self) -> str:
        return f"<velora.DecryptedReader format={self.format!r} closed={self.closed}>"


class EncryptedWriter(io.BufferedIOBase):
    """Encrypts what is written to it into a file for ``recipients``.

    ``file`` is a path (the file appears there only on `close`, written beside
    it first and renamed into place) or a binary file object (written in
    order, flushed on `close`, not closed). ``recipients`` is one public key
    or a sequence of them; their kind chooses the format (a velora file has
    one ML-KEM recipient). ``chunk_size`` None picks the format's default;
    ``armor`` writes strict PEM text instead of binary.
    """

    def __init__(self, file: PathLike | BinaryIO, recipients: Recipients, *,
                 chunk_size: int | None = None, armor: bool = False, sign: MLDSAPrivateKey | None = None) -> None:
        super().__init__()
        targets = as_list(recipients, "recipient")
        fmt = for_recipients(targets)
        self._sealer: Sealer = make_sealer(fmt, targets, chunk_size, sign)
        self.format = fmt.name
        self._out: Output = open_output(file)
        self._finished = False
        self._armor = ArmorWriter(self._out.write, fmt.armor_label) if armor else None
        self._pending = bytearray()
        self._offset = 0
        try:
            self._emit(self._sealer.header)
        except BaseException:
            self._out.discard()
            self._finished = True
            raise

    def _emit(self, data: bytes) -> None:
        if self._armor is not None:
            self._armor.write(data)
        else:
            self._out.write(data)

    @property
    def chunk_size(self) -> int:
        return self._sealer.chunk_size

    def writable(self) -> bool:
        self._check_open()
        return True

    def write(self, data: bytes | bytearray | memoryview) -> int:  # type: ignore[override]
        self._check_open()
        view = memoryview(data).cast("B")
        n = len(view)
        cs = self._sealer.chunk_size
        try:
            if not self._pending and n >= cs:
                # Whole chunks straight from the caller's buffer, one copy each.
                start = 0
                while n - start >= cs:
                    self._emit(self._sealer.seal(bytes(view[start : start + cs])))
                    start += cs
                self._pending += view[start:]
            else:
                self._pending += view
                while len(self._pending) >= cs:
                    chunk = bytes(self._pending[:cs])
                    del self._pending[:cs]
                    self._emit(self._sealer.seal(chunk))
        except BaseException:
            self._fail()
            raise
        self._offset += n
        return n

    def tell(self) -> int:
        """Plaintext bytes written so far."""
        self._check_open()
        return self._offset

    def flush(self) -> None:
        """Nothing to flush before `close`: a chunk is sealed once it is full, the last one on `close`."""
        if self.closed:
            raise ValueError("I/O operation on closed file")

    def close(self) -> None:
        """Seals the last chunk, writes the end of the file and completes the output."""
        if self.closed:
            return
        if not self._finished:
            try:
                if self._pending:
                    self._emit(self._sealer.seal(bytes(self._pending)))
                self._emit(self._sealer.finish())
                if self._armor is not None:
                    self._armor.close()
                self._out.commit()
            except BaseException:
                self._fail()
                super().close()
                raise
            self._finished = True
            self._pending = bytearray()
        super().close()

    def abort(self) -> None:
        """Closes without completing the file: a path gets no file, a file object no end marker."""
        if not self.closed:
            self._fail()
            super().close()

    def _fail(self) -> None:
        if not self._finished:
            self._finished = True
            self._pending = bytearray()
            self._out.discard()

    def _check_open(self) -> None:
        if self.closed:
            raise ValueError("I/O operation on closed file")
        if self._finished:
            raise ValueError("the writer failed earlier; the file is incomplete")

    def __reduce_ex__(self, protocol: object) -> NoReturn:
        raise TypeError(f"cannot pickle an {type(self).__name__}: it holds the key of an open file")

    def __enter__(self) -> EncryptedWriter:
        self._check_open()
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        if exc_type is None:
            self.close()
        else:
            self.abort()

    def __del__(self) -> None:
        # Never complete a file from the garbage collector: an unclosed writer
        # usually means the program stopped halfway.
        if not getattr(self, "closed", True) and not getattr(self, "_finished", True):
            warnings.warn("EncryptedWriter dropped without close(): the file was left incomplete",
                          ResourceWarning, stacklevel=1)
            self.abort()

    def __repr__(self) -> str:
        return f"<velora.EncryptedWriter format={self.format!r} closed={self.closed}>"
