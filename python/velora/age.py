"""age v1 files (age-encryption.org/v1): streaming writer and reader.

`AgeWriter` encrypts what is written to it into an age file on a binary file
object; `AgeReader` decrypts one. Both are `io.BufferedIOBase` file objects
that stream in batches of 64 KiB chunks, so memory stays bounded (a few MiB)
whatever the file's size. The reader releases plaintext only from chunks that
authenticated; a file cut short, or with data after its final chunk, raises
`AgePayloadError` at the point where the reader reaches it, after the
authenticated plaintext before it.

`encrypt_file` and `decrypt_file` work from path to path through
`velora.files` (as `velora.encrypt_file` and `velora.decrypt_file` do): the
destination appears only once the whole file is written, and for decryption
only once all of it has authenticated; on an error it is left as it was.

Recipients (`age1...` X25519, `age1pq1...` post-quantum hybrid, scrypt
passphrases) and identities come from `velora.age_keys`; the header text from
`velora.age_header`; the armour from `velora.age_armor`. The payload
cryptography (HKDF, ChaCha20-Poly1305 chunks) and every stanza's key wrapping
run in the native engine with the interpreter lock released.
"""

from __future__ import annotations

import io
import os
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, BinaryIO, Final

from . import _velora_native as _native
from ._velora_core import InvalidParameterError
from .age_armor import ArmorReader, ArmorWriter
from .age_errors import (
    AgeArmorError,
    AgeError,
    AgeHeaderError,
    AgeHmacError,
    AgeNoIdentityMatchError,
    AgePayloadError,
)
from .age_header import ByteSource, encode_header, read_header
from .age_keys import (
    HybridIdentity,
    HybridRecipient,
    Identity,
    Recipient,
    ScryptIdentity,
    ScryptPrompt,
    ScryptRecipient,
    Stanza,
    X25519Identity,
    X25519Recipient,
    parse_identities,
    parse_identity,
    parse_recipient,
    parse_recipients,
    read_identities_file,
    read_recipients_file,
    unwrap_file_key,
)
from .keys import Buffer

if TYPE_CHECKING:
    from .files.transfer import Progress

__all__ = [
    "AgeArmorError",
    "AgeError",
    "AgeHeaderError",
    "AgeHmacError",
    "AgeNoIdentityMatchError",
    "AgePayloadError",
    "AgeReader",
    "AgeWriter",
    "HybridIdentity",
    "HybridRecipient",
    "ScryptIdentity",
    "ScryptPrompt",
    "ScryptRecipient",
    "X25519Identity",
    "X25519Recipient",
    "decrypt",
    "decrypt_file",
    "encrypt",
    "encrypt_file",
    "is_age_file",
    "parse_identities",
    "parse_identity",
    "parse_recipient",
    "parse_recipients",
    "read_identities_file",
    "read_recipients_file",
]

CHUNK: Final = 64 * 1024
TAG: Final = 16
SEALED_CHUNK: Final = CHUNK + TAG
#: Chunks sealed or opened per native call: the unit of the memory bound.
BATCH_CHUNKS: Final = 32
FILE_KEY_SIZE: Final = 16
NONCE_SIZE: Final = 16
_WHITESPACE: Final = b" \t\r\n"


def _check_recipients(recipients: Sequence[Recipient]) -> None:
    if not recipients:
        raise InvalidParameterError("an age file needs at least one recipient")
    if any(isinstance(r, ScryptRecipient) for r in recipients) and len(recipients) > 1:
        raise InvalidParameterError("a passphrase (scrypt) must be the file's only recipient")
    kinds = {isinstance(r, HybridRecipient) for r in recipients}
    if len(kinds) > 1:
        raise InvalidParameterError(
            "post-quantum (age1pq1...) and classic recipients in one file would defeat the post-quantum protection"
        )


def new_header(recipients: Sequence[Recipient]) -> tuple[bytes, bytes]:
    """A fresh file key wrapped for `recipients`: (the header with its MAC and the payload
    nonce, the payload key)."""
    _check_recipients(recipients)
    file_key = os.urandom(FILE_KEY_SIZE)
    stanzas: list[Stanza] = []
    for r in recipients:
        stanzas.extend(r.wrap(file_key))
    nonce = os.urandom(NONCE_SIZE)
    payload_key: bytes = _native.age_payload_key(file_key, nonce)
    return encode_header(stanzas, file_key) + nonce, payload_key


def open_header(src: ByteSource, identities: Sequence[Identity]) -> bytes:
    """Reads and checks the header and the payload nonce; the payload key."""
    header = read_header(src)
    file_key = unwrap_file_key(identities, header.stanzas)
    header.verify(file_key)
    nonce = src.read(NONCE_SIZE)
    if len(nonce) != NONCE_SIZE:
        raise AgeHeaderError("the file ends before the payload nonce")
    payload_key: bytes = _native.age_payload_key(file_key, nonce)
    return payload_key


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
        header, self._key = new_header(list(recipients))
        self._fileobj = fileobj
        self._armor = ArmorWriter(fileobj) if armor else None
        self._counter = 0
        self._batch = BATCH_CHUNKS * CHUNK
        self._pending = bytearray(self._batch)  # plaintext not sealed yet: at most one batch
        self._npending = 0
        self._out = bytearray(BATCH_CHUNKS * SEALED_CHUNK)
        self._emit(header)

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
                if self._npending == self._batch:
                    with memoryview(self._pending) as pending:
                        self._seal_from(pending, final=False)
                    self._npending = 0
                if self._npending == 0 and len(view) - pos > self._batch:
                    # Whole batches straight from the caller's buffer, no copy.
                    self._seal_from(view[pos : pos + self._batch], final=False)
                    pos += self._batch
                    continue
                take = min(len(view) - pos, self._batch - self._npending)
                self._pending[self._npending : self._npending + take] = view[pos : pos + take]
                self._npending += take
                pos += take
            return len(view)

    def _seal_from(self, data: memoryview, final: bool) -> None:
        written = _native.age_seal_chunks(self._key, self._counter, data, final, self._out)
        self._counter += (len(data) + CHUNK - 1) // CHUNK
        with memoryview(self._out) as out:
            self._emit(out[:written])

    def __exit__(self, exc_type: object, exc: object, tb: object) -> None:
        if exc_type is not None:
            self.abort()
        else:
            self.close()

    def abort(self) -> None:
        """Closes without the final chunk: the file stays recognisably incomplete (a reader
        raises AgePayloadError at its end). A `with` block that raises does this."""
        self._npending = 0
        super().close()

    def close(self) -> None:
        if self.closed or not hasattr(self, "_key"):  # closed, or __init__ failed before the header
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
    """

    def __init__(self, fileobj: BinaryIO, identities: Iterable[Identity], *, armor: bool | None = None) -> None:
        super().__init__()
        ids = list(identities)
        raw = ByteSource(fileobj.read)
        if armor is None:
            armor = raw.peek_first_nonspace() == b"-"
        self.armored = armor
        self._src = ByteSource(ArmorReader(raw.read_buffered).read) if armor else raw
        # The binary payload is read straight into the chunk buffer once the header's
        # buffered bytes are used up.
        self._readinto = None if armor else getattr(fileobj, "readinto", None)
        self._key = open_header(self._src, ids)
        self._counter = 0
        self._cbuf = bytearray(BATCH_CHUNKS * SEALED_CHUNK + 1)  # sealed chunks not yet opened
        self._have = 0
        self._eof = False  # the source has ended
        self._done = False  # the final chunk has opened
        self._plain = bytearray(BATCH_CHUNKS * SEALED_CHUNK + 1)
        self._pos = 0
        self._end = 0
        self._error: AgePayloadError | None = None

    def readable(self) -> bool:
        return True

    def _fill(self, want: int) -> None:
        """Reads until the chunk buffer holds `want` bytes or the source ends."""
        while self._have < want and not self._eof:
            with memoryview(self._cbuf) as cbuf:
                n = 0
                data = self._src.buffered(want - self._have)
                if data:
                    n = len(data)
                    cbuf[self._have : self._have + n] = data
                elif self._readinto is not None:
                    n = self._readinto(cbuf[self._have : want]) or 0
                else:
                    data = self._src.read_buffered(want - self._have)
                    n = len(data)
                    cbuf[self._have : self._have + n] = data
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
            written, finished, ok = _native.age_open_chunks(self._key, self._counter, cbuf[:n], at_end, self._plain)
            cbuf[:rest] = cbuf[n : self._have]
        self._have = rest
        self._counter += n // SEALED_CHUNK
        self._pos, self._end = 0, written
        if not ok:
            self._error = AgePayloadError(
                "the payload does not authenticate, is cut short or has data after its final chunk"
            )
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

    def read(self, size: int | None = -1) -> bytes:
        if self.closed:
            raise ValueError("read from a closed AgeReader")
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
        chunk = self._available()
        if chunk is None:
            return b""
        take = len(chunk) if size < 0 else min(size, len(chunk))
        self._pos += take
        return bytes(chunk[:take])

    def readinto(self, b: Buffer) -> int:  # type: ignore[override]
        if self.closed:
            raise ValueError("read from a closed AgeReader")
        with memoryview(b).cast("B") as target:
            filled = 0
            while filled < len(target) and (chunk := self._available()) is not None:
                take = min(len(target) - filled, len(chunk))
                target[filled : filled + take] = chunk[:take]
                self._pos += take
                filled += take
            return filled

    def readinto1(self, b: Buffer) -> int:  # type: ignore[override]
        with memoryview(b).cast("B") as target:
            chunk = self._available()
            if chunk is None:
                return 0
            take = min(len(target), len(chunk))
            target[:take] = chunk[:take]
            self._pos += take
            return take


def is_age_file(head: bytes) -> bool:
    """Whether data starting with `head` is an age file, binary or armoured (by its first line)."""
    stripped = head.lstrip(_WHITESPACE)
    return stripped.startswith(b"age-encryption.org/") or stripped.startswith(b"-----BEGIN AGE ENCRYPTED FILE-----")


def encrypt(plaintext: Buffer, recipients: Iterable[Recipient], *, armor: bool = False) -> bytes:
    """The age file of `plaintext` for `recipients`, as bytes."""
    out = io.BytesIO()
    with AgeWriter(out, recipients, armor=armor) as w:
        w.write(plaintext)
    return out.getvalue()


def decrypt(data: Buffer, identities: Iterable[Identity], *, armor: bool | None = None) -> bytes:
    """The plaintext of the age file `data` (armour detected unless `armor` says otherwise)."""
    with AgeReader(io.BytesIO(bytes(data)), identities, armor=armor) as r:
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
    from .age_format import AgeFormat, AgeSealer
    from .files.transfer import encrypt_with

    sealer = AgeSealer(list(recipients))
    return encrypt_with(source, destination, sealer, AgeFormat.armor_label if armor else None, progress)


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
    from .age_format import AgeOpener
    from .files.source import Source
    from .files.transfer import decrypt_with

    ids = list(identities)

    def reader(infile: BinaryIO) -> AgeOpener:
        src = Source(infile)
        armored = armor
        if armored is None:  # as `AgeReader` decides; what was looked at goes back in front
            ahead = ByteSource(src.read_upto)
            armored = ahead.peek_first_nonspace() == b"-"
            src.push_back(ahead.rest())
        return AgeOpener(Source(ArmorReader(src.read_upto)) if armored else src, ids)

    return decrypt_with(source, destination, reader, progress)
