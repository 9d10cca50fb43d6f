"""age v1 as a format of `velora.files`: `EncryptedWriter`, `DecryptedReader`,
`encrypt_file`, `decrypt_file`, `inspect_file`, the `velora` command line and
`velora.age.encrypt_file` / `decrypt_file` read and write age files through it.

The writer is chosen when every recipient is an age recipient (X25519,
post-quantum hybrid or a passphrase); the reader when the input starts with
"age-encryption.org/" (inside the "AGE ENCRYPTED FILE" armour or not). The
chunk size is age's fixed 64 KiB; the registry's chunks are batches of them.
Every batch seals or opens on its own, given its index (the chunk counter) and
whether it is the last, so that `encrypt_file` and `decrypt_file` read and seal
or open two batches of a regular file at once on their two threads; pipes and
armour go batch after batch. Header parsing, key unwrapping and the chunk
cryptography are those of `velora.age`; this module fits them to the
registry's sealer and opener.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator, Sequence
from typing import Final

from . import _velora_native as _native
from ._velora_core import DecryptionError
from .age import CHUNK, NONCE_SIZE, SEALED_CHUNK, TAG, new_header, open_header
from .age_errors import AgeHeaderError, AgePayloadError
from .age_header import ByteSource, Header, read_header
from .age_keys import IDENTITY_TYPES, RECIPIENT_TYPES, Identity, Recipient
from .files.formats import FileInfo, register, sequential_batches
from .files.source import Source, pread_into
from .keys import Buffer

MAGIC: Final = b"age-encryption.org/"
#: Age chunks per batch, the registry's chunk: 2 MiB of plaintext, sealed or opened
#: in one native call. Measured through encrypt_file / decrypt_file on 1 GiB
#: (bench/age_bench.py): 1, 2 and 4 MiB batches are within a few per cent of each
#: other; 2 MiB keeps four batch buffers (about 8 MiB) per transfer.
BATCH_CHUNKS: Final = 32
BATCH: Final = BATCH_CHUNKS * CHUNK
SEALED_BATCH: Final = BATCH_CHUNKS * SEALED_CHUNK
_PAYLOAD_ERROR: Final = "the payload does not authenticate, is cut short or has data after its final chunk"


class AgeSealer:
    """Encrypts one age file, a batch of 32 age chunks (2 MiB) at a time.

    In order (`seal`, then `finish`), the newest batch waits in `seal`, since
    only `finish` knows which age chunk is the last. `seal_into` seals any
    batch by its index instead (`encrypt_file` on a regular file, whose size
    tells which batch is the last), two at once if need be.
    """

    chunk_size = BATCH
    sealed_room = SEALED_BATCH

    def __init__(self, recipients: Sequence[Recipient]) -> None:
        self._header, self._key = new_header(recipients)
        self._counter = 0
        self._held: bytes | None = None
        self._last_sealed = False  # seal_into sealed the last batch: finish has nothing to add

    @property
    def header(self) -> bytes:
        return self._header

    def _seal(self, batch: bytes, final: bool) -> bytes:
        sealed = _native.age_seal_chunks(self._key, self._counter, batch, final)
        self._counter += max(1, -(-len(batch) // CHUNK))
        return sealed

    def seal(self, chunk: bytes) -> bytes:
        previous, self._held = self._held, chunk
        return b"" if previous is None else self._seal(previous, final=False)

    def seal_into(self, index: int, chunk: Buffer, last: bool, out: Buffer) -> int:
        # One thread per call: the caller runs two calls at once.
        written: int = _native.age_seal_chunks(self._key, index * BATCH_CHUNKS, chunk, last, out, threads=1)
        if last:
            self._last_sealed = True
        return written

    def finish(self) -> bytes:
        if self._last_sealed:
            return b""
        # An empty plaintext is one empty final chunk.
        return self._seal(self._held if self._held is not None else b"", final=True)


class _Batch:
    """Up to 32 sealed age chunks, and whether the payload ends with them."""

    __slots__ = ("data", "at_end")

    def __init__(self, data: bytes, at_end: bool) -> None:
        self.data, self.at_end = data, at_end


class _Opened:
    """A batch opened ahead of its turn: the plaintext released, whether the final chunk
    opened, whether the payload is good up to here, and the offset after the batch."""

    __slots__ = ("plaintext", "finished", "ok", "end")

    def __init__(self, plaintext: memoryview, finished: bool, ok: bool, end: int) -> None:
        self.plaintext, self.finished, self.ok, self.end = plaintext, finished, ok, end


class AgeOpener:
    """Reads one age file: the header and key at construction, then batches of chunks."""

    chunk_size = BATCH

    def __init__(self, source: Source, identities: Sequence[Identity]) -> None:
        src = ByteSource(source.read_upto)
        self._key = open_header(src, identities)
        # The header's reader read ahead: the payload starts with what it holds.
        source.push_back(src.rest())
        self._source = source
        self._counter = 0
        self._complete = False

    @property
    def complete(self) -> bool:
        return self._complete

    def records(self) -> Iterator[object]:
        # A batch is known to be the last one when the read after it is empty.
        current = self._source.read_upto(SEALED_BATCH)
        while True:
            following = self._source.read_upto(SEALED_BATCH) if len(current) == SEALED_BATCH else b""
            yield _Batch(current, not following)
            if not following:
                return
            current = following

    def batches(self, n: int) -> tuple[Callable[[int], list[object] | None], bool, int | None]:
        where = self._source.position()
        if where is None:
            return sequential_batches(self.records(), n), False, None
        fd, offset = where
        return self._pread_batches(fd, offset, n), True, _plaintext_size(os.fstat(fd).st_size - offset)

    def _pread_batches(self, fd: int, offset: int, n: int) -> Callable[[int], list[object] | None]:
        """Batches of a regular file, read and opened by both threads at once.

        Batch j starts at ``offset + j * SEALED_BATCH``; reading one byte more
        than a batch tells whether it is the last. Item i's batches open into
        buffers of their own, shared with item i + 2 (run_ordered fetches item
        i + 2 only once item i has been processed).
        """
        slots: list[list[tuple[bytearray, bytearray]]] = [[], []]

        def fetch(i: int) -> list[object] | None:
            out: list[object] = []
            buffers = slots[i & 1]
            for k, j in enumerate(range(i * n, (i + 1) * n)):
                if k == len(buffers):
                    buffers.append((bytearray(SEALED_BATCH + 1), bytearray(BATCH)))
                cbuf, pbuf = buffers[k]
                at = offset + j * SEALED_BATCH
                got = pread_into(fd, memoryview(cbuf), at)
                if got == 0 and j > 0:
                    break  # past the end (the batch before it was the last)
                at_end = got <= SEALED_BATCH
                size = min(got, SEALED_BATCH)
                with memoryview(cbuf) as view:
                    written, finished, ok = _native.age_open_chunks(
                        self._key, j * BATCH_CHUNKS, view[:size], at_end, pbuf, threads=1
                    )
                out.append(_Opened(memoryview(pbuf)[:written], finished, ok, at + size))
                if at_end:
                    break
            return out or None

        return fetch

    def open(self, record: object) -> bytes | memoryview:
        if self._complete:
            raise AgePayloadError("data after the final chunk")
        if isinstance(record, _Opened):
            if not record.ok:
                raise AgePayloadError(_PAYLOAD_ERROR)
            self._complete = record.finished
            if record.finished:
                self._source.skip_to(record.end)
            return record.plaintext
        assert isinstance(record, _Batch)
        plaintext, finished, ok = _native.age_open_chunks(self._key, self._counter, record.data, record.at_end)
        if not ok:
            raise AgePayloadError(_PAYLOAD_ERROR)
        self._counter += len(record.data) // SEALED_CHUNK
        self._complete = finished
        return plaintext


def _plaintext_size(payload: int) -> int | None:
    """The plaintext in `payload` bytes of chunks, if that is a size a writer produces."""
    whole, rest = divmod(payload, SEALED_CHUNK)
    if rest > TAG or (rest == TAG and whole == 0):
        return whole * CHUNK + rest - TAG
    return whole * CHUNK if rest == 0 and whole > 0 else None


class AgeFormat:
    """age v1 (age-encryption.org/v1)."""

    name = "age"
    armor_label = "AGE ENCRYPTED FILE"

    def detect(self, prefix: bytes) -> bool:
        return prefix.startswith(MAGIC)

    def accepts(self, recipients: Sequence[object]) -> bool:
        return bool(recipients) and all(isinstance(r, RECIPIENT_TYPES) for r in recipients)

    def sealer(self, recipients: Sequence[object], chunk_size: int | None) -> AgeSealer:
        if chunk_size is not None:
            raise ValueError("age files have fixed 64 KiB chunks: give no chunk_size")
        return AgeSealer([r for r in recipients if isinstance(r, RECIPIENT_TYPES)])

    def opener(self, source: Source, identities: Sequence[object]) -> AgeOpener:
        ids: list[Identity] = [i for i in identities if isinstance(i, IDENTITY_TYPES)]
        if not ids:
            raise DecryptionError("no age identity given for an age file (AGE-SECRET-KEY-... or a passphrase)")
        return AgeOpener(source, ids)

    def inspect(self, source: Source) -> FileInfo:
        return inspect_age(source)


def inspect_age(source: Source) -> FileInfo:
    """The header's stanzas and the payload's chunk layout, without a key. Nothing here is
    authenticated; whether the last chunk is the final one only the key can tell."""
    start = source.consumed
    src = ByteSource(source.read_upto)
    info = FileInfo(format="age", version=1, chunk_size=CHUNK)
    try:
        header: Header = read_header(src)
        info.details["recipients"] = ", ".join(s.type for s in header.stanzas)
        info.header_size = len(header.signed) + 1 + 44 + NONCE_SIZE  # " " + MAC + "\n", nonce
        if len(src.read(NONCE_SIZE)) != NONCE_SIZE:
            raise AgeHeaderError("the file ends before the payload nonce")
        plaintext = chunks = 0
        last = SEALED_CHUNK
        while chunk := src.read(SEALED_CHUNK):
            if last != SEALED_CHUNK:
                raise AgePayloadError("a short chunk before the last one")
            last = len(chunk)
            if last < TAG or (last == TAG and chunks > 0):
                raise AgePayloadError("a chunk too short to hold its tag, or an empty chunk after the first")
            plaintext += last - TAG
            chunks += 1
        if chunks == 0:
            raise AgePayloadError("the payload has no chunk")
        info.plaintext_size, info.data_chunks, info.complete = plaintext, chunks, True
    except DecryptionError as exc:
        info.complete = False
        info.problem = str(exc)
    info.file_size = source.consumed - start
    return info


AGE: Final = register(AgeFormat())
