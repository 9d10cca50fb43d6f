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
from ...mldsa import MLDSAPrivateKey, MLDSAPublicKey
from ...errors import TRUNCATED
from ..formats import FileInfo, sequential_batches
from ..source import Source, pread_exact, pread_into
from . import header as h
from . import signature as sig
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


def new_header(recipients: Sequence[object], chunk_size: int,
               signer: MLDSAPrivateKey | None = None) -> tuple[bytes, bytes, bytes]:
    """(header, payload key, file key) of a new file for ``recipients`` (signed by ``signer``: its
    signer entry first)."""
    targets = check_recipients(recipients)
    first = [] if signer is None else [sig.signer_entry(signer)]
    file_key = os.urandom(h.FILE_KEY_SIZE)
    tags = h.tag_key(file_key)
    entries = first + [wrap(r, file_key, tags) for r in targets]
    nonce = os.urandom(h.NONCE_SIZE)
    return h.build(chunk_size, entries, nonce, file_key), h.payload_key(file_key, nonce), file_key


class V2Sealer:
    """Encrypts one version 2 file, a batch of whole chunks at a time."""

    def __init__(self, recipients: Sequence[object], chunk_size: int | None = None,
                 sign: MLDSAPrivateKey | None = None) -> None:
        self.file_chunk = h.check_chunk_size(DEFAULT_CHUNK_SIZE if chunk_size is None else chunk_size)
        self._per = batch_chunks(self.file_chunk)
        self.chunk_size = self._per * self.file_chunk
        self.sealed_room = self._per * (self.file_chunk + h.CHUNK_TAG)
        self._header, self._key, _ = new_header(recipients, self.file_chunk, sign)
        self._counter = 0
        self._held: bytes | None = None
        self._last_sealed = False
        self._signer = sign
        self._transcript = sig.Transcript()
        #: Chunk digests of the batches sealed by seal_into (maybe two at once), by batch index.
        self._digests: dict[int, list[bytes]] = {}

    @property
    def header(self) -> bytes:
        return self._header

    def _seal(self, batch: bytes, final: bool) -> bytes:
        sealed: bytes = _native.vfile_seal_chunks(self._key, self.file_chunk, self._counter, batch, final)
        self._counter += self._per
        if self._signer is not None:
            self._transcript.add(sig.chunk_digests(sealed, self.file_chunk))
        return sealed

    def seal(self, chunk: bytes) -> bytes:
        previous, self._held = self._held, chunk
        return b"" if previous is None else self._seal(previous, final=False)

    def seal_into(self, index: int, chunk: Buffer, last: bool, out: Buffer) -> int:
        written: int = _native.vfile_seal_chunks(self._key, self.file_chunk, index * self._per, chunk, last, out)
        if self._signer is not None:
            with memoryview(out) as view:
                self._digests[index] = sig.chunk_digests(view[:written], self.file_chunk)
        if last:
            self._last_sealed = True
        return written

    def finish(self) -> bytes:
        tail = b"" if self._last_sealed else self._seal(self._held if self._held is not None else b"", final=True)
        if self._signer is None:
            return tail
        for index in sorted(self._digests):
            self._transcript.add(self._digests[index])
        self._digests.clear()
        return tail + sig.sign(self._signer, self._header, self._transcript)


class _Batch:
    __slots__ = ("data", "at_end")

    def __init__(self, data: bytes, at_end: bool) -> None:
        self.data, self.at_end = data, at_end


class _Opened:
    __slots__ = ("plaintext", "finished", "ok", "end", "error", "digests")

    def __init__(self, plaintext: memoryview, finished: bool, ok: bool, end: int,
                 error: DecryptionError | None = None, digests: list[bytes] | None = None) -> None:
        self.plaintext, self.finished, self.ok, self.end, self.error = plaintext, finished, ok, end, error
        self.digests = digests


class V2Opener:
    """Reads one version 2 file: the header and file key at construction, then batches of chunks."""

    def __init__(self, source: Source, head: bytes, identities: Sequence[object],
                 trusted: Sequence[MLDSAPublicKey] | None = None) -> None:
        self.header = h.parse(source, head)
        # A signer is checked against the trusted keys before any key work.
        self._signer = None if trusted is None else sig.required_signer(self.header, trusted)
        self._transcript = sig.Transcript()
        #: The signature's size after the last chunk, and the signature once read.
        self._sig_size = self.header.signature_size
        self._signature: bytes | None = None
        self._sig_at: tuple[int, int] | None = None
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
        # A signed file ends with its signature: the last batch is what comes before the input's last
        # signature-size bytes.
        source, sealed, tail = self._source, self._sealed, self._sig_size
        while True:
            current = source.read_upto(sealed)
            following = source.peek(tail + 1) if len(current) == sealed else b""
            if len(following) > tail:
                yield _Batch(current, False)
                continue
            rest = current + source.read_upto(tail) if tail else current
            if len(rest) < tail:
                raise DecryptionError("truncated file: the signature after the last chunk is incomplete")
            self._signature = rest[len(rest) - tail :]
            yield _Batch(rest[: len(rest) - tail], True)
            return

    def batches(self, n: int) -> tuple[Callable[[int], list[object] | None], bool, int | None]:
        where = self._source.position()
        if where is None:
            return sequential_batches(self.records(), n), False, None
        fd, offset = where
        limit = os.fstat(fd).st_size - self._sig_size  # where the payload ends
        size = plaintext_size(limit - offset, self.file_chunk)
        if self._sig_size:
            self._sig_at = (fd, limit)
        return self._pread_batches(fd, offset, n, limit if self._sig_size else None), True, size

    def _pread_batches(self, fd: int, offset: int, n: int,
                       limit: int | None = None) -> Callable[[int], list[object] | None]:
        """Batch j at ``offset + j * sealed batch``, read one byte long to tell whether it is the last;
        item i's buffers are shared with item i + 2 (fetched only once item i is processed)."""
        slots: list[list[tuple[bytearray, bytearray]]] = [[], []]
        sealed, per, cs = self._sealed, self._per, self.file_chunk
        hashing = self._signer is not None

        def fetch(i: int) -> list[object] | None:
            out: list[object] = []
            buffers = slots[i & 1]
            for k, j in enumerate(range(i * n, (i + 1) * n)):
                if k == len(buffers):
                    buffers.append((bytearray(sealed + 1), bytearray(per * cs)))
                cbuf, pbuf = buffers[k]
                at = offset + j * sealed
                want = sealed + 1 if limit is None else max(0, min(sealed + 1, limit - at))
                with memoryview(cbuf) as whole:
                    got = pread_into(fd, whole[:want], at)
                if got == 0 and j > 0:
                    break
                at_end = got <= sealed
                size = min(got, sealed)
                with memoryview(cbuf) as view:
                    written, finished, ok = _native.vfile_open_chunks(self._key, cs, j * per, view[:size], at_end,
                                                                      pbuf)
                    digests = sig.chunk_digests(view[:size], cs) if hashing and ok else None
                error = None if ok else _payload_error(size, written, at_end, cs)
                out.append(_Opened(memoryview(pbuf)[:written], finished, ok, at + size, error, digests))
                if at_end:
                    break
            return out or None

        return fetch

    def layout(self, size: int, start: int) -> V2Layout:
        """The chunk layout of this file in an input of ``size`` bytes whose file starts at ``start``."""
        hdr = self.header
        header_size = h.FIXED_SIZE + sum(h.entry_size(e.kind) for e in hdr.entries) + h.NONCE_SIZE + h.MAC_SIZE
        # A signed file ends with its signature (checked only by a reader given verify=).
        return V2Layout(self._key, self.file_chunk, start + header_size, size - self._sig_size)

    def open(self, record: object) -> bytes | memoryview:
        if self._complete:
            raise DecryptionError("data after the last chunk")
        if isinstance(record, _Opened):
            if not record.ok:
                raise record.error or DecryptionError(_PAYLOAD_ERROR)
            if record.digests is not None:
                self._transcript.add(record.digests)
            if record.finished:
                if self._sig_at is not None:
                    fd, limit = self._sig_at
                    self._signature = pread_exact(fd, self._sig_size, limit)
                self._end_of_payload()
                self._source.skip_to(record.end + self._sig_size)
            self._complete = record.finished
            return record.plaintext
        assert isinstance(record, _Batch)
        out = bytearray(self._per * self.file_chunk)
        written, finished, ok = _native.vfile_open_chunks(self._key, self.file_chunk, self._counter, record.data,
                                                          record.at_end, out)
        if not ok:
            raise _payload_error(len(record.data), written, record.at_end, self.file_chunk)
        self._counter += self._per
        if self._signer is not None:
            self._transcript.add(sig.chunk_digests(record.data, self.file_chunk))
        if finished:
            self._end_of_payload()
        self._complete = finished
        return memoryview(out)[:written]

    def _end_of_payload(self) -> None:
        """The last chunk has opened: its plaintext is released only once the signature (when a signer is
        required) verifies."""
        if self._signer is None:
            return
        signature = self._signature
        if signature is None or len(signature) != self._sig_size:
            raise DecryptionError("truncated file: the signature after the last chunk is incomplete")
        sig.check(self._signer, self.header.raw, self._transcript, signature)

    @property
    def signer(self) -> MLDSAPublicKey | None:
        """The trusted key that signed the file (None when no signer was required)."""
        return self._signer


class V2Layout:
    """Where the chunks of a version 2 file are (a `velora.files.ranges.ChunkLayout`).

    Chunk i starts at ``payload + i * (chunk_size + 16)``; every chunk but the
    last is full, and the last (1 to chunk_size bytes, or none for an empty
    plaintext) carries the last flag in its nonce. The input's size gives the
    number of chunks and the last one's length; both are trusted once the last
    chunk has opened with the last flag at its index.
    """

    def __init__(self, key: bytes, chunk_size: int, payload: int, size: int) -> None:
        self._key = key
        self.chunk_size = chunk_size
        self._payload = payload
        self._stride = chunk_size + h.CHUNK_TAG
        self._size = size
        available = max(0, size - payload)
        plain = plaintext_size(available, chunk_size)
        #: Why the input cannot be a whole file of this header, if it cannot.
        self.problem: str | None = None
        if plain is None:
            # No whole file has this size: the full chunks that fit still read,
            # the one after them stands for the last and fails.
            self.problem = TRUNCATED
            self.chunk_count = available // self._stride + 1
            self.plaintext_size = (self.chunk_count - 1) * chunk_size
        else:
            self.chunk_count = max(1, -(-available // self._stride))
            self.plaintext_size = plain

    def byte_range(self, first: int, count: int) -> tuple[int, int]:
        at = self._payload + first * self._stride
        if first + count >= self.chunk_count:
            return at, self._size - at  # up to the end: the last chunk
        return at, count * self._stride

    def open_into(self, first: int, count: int, data: memoryview, out: bytearray) -> int:
        to_end = first + count >= self.chunk_count
        if self.problem is not None and to_end:
            raise DecryptionError(self.problem)
        written, finished, ok = _native.vfile_open_chunks(self._key, self.chunk_size, first, data, to_end, out)
        if not ok or finished != to_end:
            out[:written] = bytes(written)  # nothing of a range that fails is kept
            if ok:
                raise DecryptionError(TRUNCATED)
            raise DecryptionError(f"chunk {first} or a chunk after it up to {first + max(count, 1) - 1} does not "
                                  "authenticate: the file is damaged or was changed")
        return int(written)


def plaintext_size(payload: int, chunk_size: int) -> int | None:
    """The plaintext in ``payload`` bytes of chunks, if that is a size a writer produces."""
    sealed = chunk_size + h.CHUNK_TAG
    whole, rest = divmod(payload, sealed)
    if rest > h.CHUNK_TAG or (rest == h.CHUNK_TAG and whole == 0):
        return whole * chunk_size + rest - h.CHUNK_TAG
    return whole * chunk_size if rest == 0 and whole > 0 else None


def encrypted_size(plaintext: int, recipient_kinds: Sequence[int], chunk_size: int = DEFAULT_CHUNK_SIZE) -> int:
    """The size of a file of ``plaintext`` bytes for recipients of these kinds (a signer kind among them:
    its entry and its signature)."""
    header = h.FIXED_SIZE + sum(h.entry_size(k) for k in recipient_kinds) + h.NONCE_SIZE + h.MAC_SIZE
    chunks = max(1, -(-plaintext // chunk_size))
    signature = sum(h.SIGNER[k][2] for k in recipient_kinds if k in h.SIGNER)
    return header + plaintext + chunks * h.CHUNK_TAG + signature


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
        info.details["recipients"] = ", ".join(h.KIND_NAMES[e.kind] for e in header.recipients)
        if header.signer is not None:
            signer = MLDSAPublicKey.from_bytes(header.signer.share)
            info.details["signer"] = f"ML-DSA-{signer.level} key {signer.fingerprint} (not verified)"
        sealed = header.chunk_size + h.CHUNK_TAG
        payload = chunks = 0
        while data := source.read_upto(sealed):
            chunks += 1
            payload += len(data)
            if len(data) < sealed:
                break
        if source.read_upto(1):
            raise DecryptionError("malformed payload")  # unreachable: a short read ends the input
        payload -= header.signature_size
        chunks = max(1, -(-payload // sealed))
        size = plaintext_size(payload, header.chunk_size)
        if size is None:
            raise DecryptionError("the payload's length is one no writer produces (cut short?)")
        info.plaintext_size, info.data_chunks, info.complete = size, chunks, True
    except DecryptionError as exc:
        info.complete = False
        info.problem = str(exc)
    info.file_size = source.consumed - start
    return info
