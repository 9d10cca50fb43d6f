"""Writing and reading the payload of a velora file, version 2: `Sealer` and `Opener` for the registry.

The payload is the plaintext in chunks of the header's chunk size S, chunk i
sealed with AES-256-GCM under the payload key with the nonce BE88(i) || last
flag (the native `vfile_seal_chunks` / `vfile_open_chunks`). Chunk i starts at
``header size + i * (S + 16)``. The registry's chunks are batches of about
1 MiB of whole chunks, which seal or open on their own (given the index of
their first chunk and whether they hold the last), so that `encrypt_file` and
`decrypt_file` work on two batches of a regular file at once.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator, Sequence
from typing import Final

from ... import _velora_native as _native
from ..._velora_core import DecryptionError
from ...keys import Buffer
from ...errors import TRUNCATED
from ..formats import FileInfo, sequential_batches
from ..source import Source, pread_into
from . import header as h
from .recipients import check_recipients, find_file_key, wrap

#: The writers' default chunk size, from the sweep of bench/file_bench.py --chunks-v2.
DEFAULT_CHUNK_SIZE: Final = 1024 * 1024
#: Plaintext per registry chunk (a batch of whole chunks).
BATCH_BYTES: Final = 1024 * 1024
_PAYLOAD_ERROR: Final = "a chunk of the payload does not authenticate: the file was changed"


def _payload_error(data_size: int, written: int, at_end: bool, chunk_size: int) -> DecryptionError:
    """The error of a batch that failed: truncation when every chunk opened but none was the last;
    otherwise which chunk failed."""
    sealed = chunk_size + h.CHUNK_TAG
    if at_end and data_size % sealed == 0 and written == data_size // sealed * chunk_size:
        return DecryptionError(TRUNCATED)
    failed_at = written // chunk_size
    if at_end and failed_at == -(-data_size // sealed) - 1:
        return DecryptionError("the last chunk does not authenticate: the file is truncated, has trailing data, "
                               "or was changed")
    return DecryptionError(_PAYLOAD_ERROR)


def batch_chunks(chunk_size: int) -> int:
    return max(1, BATCH_BYTES // chunk_size)


def new_header(recipients: Sequence[object], chunk_size: int) -> tuple[bytes, bytes, bytes]:
    """(header, payload key, file key) of a new file for ``recipients``."""
    targets = check_recipients(recipients)
    file_key = os.urandom(h.FILE_KEY_SIZE)
    tags = h.tag_key(file_key)
    entries = [wrap(r, file_key, tags) for r in targets]
    nonce = os.urandom(h.NONCE_SIZE)
    return h.build(chunk_size, entries, nonce, file_key), h.payload_key(file_key, nonce), file_key


class V2Sealer:
    """Encrypts one version 2 file, a batch of whole chunks at a time."""

    def __init__(self, recipients: Sequence[object], chunk_size: int | None = None) -> None:
        self.file_chunk = h.check_chunk_size(DEFAULT_CHUNK_SIZE if chunk_size is None else chunk_size)
        self._per = batch_chunks(self.file_chunk)
        self.chunk_size = self._per * self.file_chunk
        self.sealed_room = self._per * (self.file_chunk + h.CHUNK_TAG)
        self._header, self._key, _ = new_header(recipients, self.file_chunk)
        self._counter = 0
        self._held: bytes | None = None
        self._last_sealed = False

    @property
    def header(self) -> bytes:
        return self._header

    def _seal(self, batch: bytes, final: bool) -> bytes:
        sealed: bytes = _native.vfile_seal_chunks(self._key, self.file_chunk, self._counter, batch, final)
        self._counter += self._per
        return sealed

    def seal(self, chunk: bytes) -> bytes:
        previous, self._held = self._held, chunk
        return b"" if previous is None else self._seal(previous, final=False)

    def seal_into(self, index: int, chunk: Buffer, last: bool, out: Buffer) -> int:
        written: int = _native.vfile_seal_chunks(self._key, self.file_chunk, index * self._per, chunk, last, out)
        if last:
            self._last_sealed = True
        return written

    def finish(self) -> bytes:
        if self._last_sealed:
            return b""
        return self._seal(self._held if self._held is not None else b"", final=True)


class _Batch:
    __slots__ = ("data", "at_end")

    def __init__(self, data: bytes, at_end: bool) -> None:
        self.data, self.at_end = data, at_end


class _Opened:
    __slots__ = ("plaintext", "finished", "ok", "end", "error")

    def __init__(self, plaintext: memoryview, finished: bool, ok: bool, end: int,
                 error: DecryptionError | None = None) -> None:
        self.plaintext, self.finished, self.ok, self.end, self.error = plaintext, finished, ok, end, error


class V2Opener:
    """Reads one version 2 file: the header and file key at construction, then batches of chunks."""

    def __init__(self, source: Source, head: bytes, identities: Sequence[object]) -> None:
        self.header = h.parse(source, head)
        file_key = find_file_key(self.header, identities)
        self._key = h.payload_key(file_key, self.header.nonce)
        self.file_chunk = self.header.chunk_size
        self._per = batch_chunks(self.file_chunk)
        self.chunk_size = self._per * self.file_chunk
        self._sealed = self._per * (self.file_chunk + h.CHUNK_TAG)
        self._source = source
        self._counter = 0
        self._complete = False

    @property
    def complete(self) -> bool:
        return self._complete

    def records(self) -> Iterator[object]:
        # Whether a batch is the last is told by one byte after it (looked at, left to be read), so
        # that a batch opens as soon as it has arrived, even from a pipe whose writer then stalls.
        source, sealed = self._source, self._sealed
        while True:
            current = source.read_upto(sealed)
            following = source.peek(1) if len(current) == sealed else b""
            yield _Batch(current, not following)
            if not following:
                return

    def batches(self, n: int) -> tuple[Callable[[int], list[object] | None], bool, int | None]:
        where = self._source.position()
        if where is None:
            return sequential_batches(self.records(), n), False, None
        fd, offset = where
        size = plaintext_size(os.fstat(fd).st_size - offset, self.file_chunk)
        return self._pread_batches(fd, offset, n), True, size

    def _pread_batches(self, fd: int, offset: int, n: int) -> Callable[[int], list[object] | None]:
        """Batch j at ``offset + j * sealed batch``, read one byte long to tell whether it is the last;
        item i's buffers are shared with item i + 2 (fetched only once item i is processed)."""
        slots: list[list[tuple[bytearray, bytearray]]] = [[], []]
        sealed, per, cs = self._sealed, self._per, self.file_chunk

        def fetch(i: int) -> list[object] | None:
            out: list[object] = []
            buffers = slots[i & 1]
            for k, j in enumerate(range(i * n, (i + 1) * n)):
                if k == len(buffers):
                    buffers.append((bytearray(sealed + 1), bytearray(per * cs)))
                cbuf, pbuf = buffers[k]
                at = offset + j * sealed
                got = pread_into(fd, memoryview(cbuf), at)
                if got == 0 and j > 0:
                    break
                at_end = got <= sealed
                size = min(got, sealed)
                with memoryview(cbuf) as view:
                    written, finished, ok = _native.vfile_open_chunks(self._key, cs, j * per, view[:size], at_end,
                                                                      pbuf)
                error = None if ok else _payload_error(size, written, at_end, cs)
                out.append(_Opened(memoryview(pbuf)[:written], finished, ok, at + size, error))
                if at_end:
                    break
            return out or None

        return fetch

    def open(self, record: object) -> bytes | memoryview:
        if self._complete:
            raise DecryptionError("data after the last chunk")
        if isinstance(record, _Opened):
            if not record.ok:
                raise record.error or DecryptionError(_PAYLOAD_ERROR)
            self._complete = record.finished
            if record.finished:
                self._source.skip_to(record.end)
            return record.plaintext
        assert isinstance(record, _Batch)
        out = bytearray(self._per * self.file_chunk)
        written, finished, ok = _native.vfile_open_chunks(self._key, self.file_chunk, self._counter, record.data,
                                                          record.at_end, out)
        if not ok:
            raise _payload_error(len(record.data), written, record.at_end, self.file_chunk)
        self._counter += self._per
        self._complete = finished
        return memoryview(out)[:written]


def plaintext_size(payload: int, chunk_size: int) -> int | None:
    """The plaintext in ``payload`` bytes of chunks, if that is a size a writer produces."""
    sealed = chunk_size + h.CHUNK_TAG
    whole, rest = divmod(payload, sealed)
    if rest > h.CHUNK_TAG or (rest == h.CHUNK_TAG and whole == 0):
        return whole * chunk_size + rest - h.CHUNK_TAG
    return whole * chunk_size if rest == 0 and whole > 0 else None


def encrypted_size(plaintext: int, recipient_kinds: Sequence[int], chunk_size: int = DEFAULT_CHUNK_SIZE) -> int:
    """The size of a file of ``plaintext`` bytes for recipients of these kinds."""
    header = h.FIXED_SIZE + sum(h.entry_size(k) for k in recipient_kinds) + h.NONCE_SIZE + h.MAC_SIZE
    chunks = max(1, -(-plaintext // chunk_size))
    return header + plaintext + chunks * h.CHUNK_TAG


def chunk_offset(header_size: int, chunk_size: int, index: int) -> int:
    """Where chunk ``index`` starts in the file."""
    return header_size + index * (chunk_size + h.CHUNK_TAG)


def inspect_v2(source: Source, head: bytes) -> FileInfo:
    """The header and the payload's layout, without a key. Nothing here is authenticated."""
    start = source.consumed - len(head)
    info = FileInfo(format="velora", version=h.VERSION)
    try:
        header = h.parse(source, head)
        info.chunk_size = header.chunk_size
        info.header_size = header.size
        info.details["recipients"] = ", ".join(h.KIND_NAMES[e.kind] for e in header.entries)
        sealed = header.chunk_size + h.CHUNK_TAG
        payload = chunks = 0
        while data := source.read_upto(sealed):
            chunks += 1
            payload += len(data)
            if len(data) < sealed:
                break
        if source.read_upto(1):
            raise DecryptionError("malformed payload")  # unreachable: a short read ends the input
        size = plaintext_size(payload, header.chunk_size)
        if size is None:
            raise DecryptionError("the payload's length is one no writer produces (cut short?)")
        info.plaintext_size, info.data_chunks, info.complete = size, chunks, True
    except DecryptionError as exc:
        info.complete = False
        info.problem = str(exc)
    info.file_size = source.consumed - start
    return info
