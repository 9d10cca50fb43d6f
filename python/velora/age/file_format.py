"""age v1 as a format of `velora.files`, and the file's two ends: the header
with its keys (`AgeSealer` writes one, `AgeOpener` reads one) before the
payload.

`EncryptedWriter`, `DecryptedReader`, `encrypt_file`, `decrypt_file`,
`inspect_file`, the `velora` command line, `velora.age.encrypt_file` /
`decrypt_file` and the file objects `AgeWriter` / `AgeReader` all read and
write age files through the two classes here. The writer is chosen when every
recipient is an age recipient (X25519, post-quantum hybrid or a passphrase);
the reader when the input starts with "age-encryption.org/" (inside the "AGE
ENCRYPTED FILE" armour or not). The registry's chunks are batches of 32 age
chunks: every batch seals or opens on its own, given its index and whether it
is the last, so that `encrypt_file` and `decrypt_file` read and seal or open
two batches of a regular file at once on their two threads; pipes and armour
go batch after batch.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Final

from ..errors import AgeHeaderError, AgePayloadError, DecryptionError
from ..files.formats import FileInfo, register, sequential_batches
from ..files.source import Source, pread_into
from ..keys import Buffer
from .armor import LABEL
from .format import MAC_LINE_TAIL, MAGIC, Header, Stanza, encode_header, read_header
from .keys import IDENTITY_TYPES, RECIPIENT_TYPES
from .payload import (
    BATCH,
    BATCH_CHUNKS,
    CHUNK,
    FILE_KEY_SIZE,
    NONCE_SIZE,
    SEALED_BATCH,
    SEALED_CHUNK,
    TAG,
    PayloadOpener,
    PayloadSealer,
    payload_error,
    payload_key,
    plaintext_size,
)
from .recipients import Identity, Recipient, check_identities, check_recipients, labels_of, unwrap_file_key

__all__ = ["AGE", "AgeFormat", "AgeOpener", "AgeSealer", "BATCH", "BATCH_CHUNKS", "SEALED_BATCH", "inspect_age"]


def new_header(recipients: Iterable[Recipient]) -> tuple[bytes, bytes]:
    """A fresh file key wrapped for `recipients`: (the header with its MAC and the payload
    nonce, the payload key)."""
    checked = check_recipients(recipients)
    file_key = os.urandom(FILE_KEY_SIZE)
    stanzas: list[Stanza] = []
    for r in checked:
        stanzas.extend(r.wrap(file_key))
    nonce = os.urandom(NONCE_SIZE)
    return encode_header(stanzas, file_key) + nonce, payload_key(file_key, nonce)


def open_header(src: Source, identities: Sequence[Identity]) -> bytes:
    """Reads and checks the header and the payload nonce; the payload key."""
    header = read_header(src)
    file_key = unwrap_file_key(identities, header.stanzas)
    header.verify(file_key)
    nonce = src.read_upto(NONCE_SIZE)
    if len(nonce) != NONCE_SIZE:
        raise AgeHeaderError("the file ends before the payload nonce")
    return payload_key(file_key, nonce)


class AgeSealer:
    """Encrypts one age file, a batch of 32 age chunks (2 MiB) at a time.

    In order (`seal`, then `finish`), the newest batch waits in `seal`, since
    only `finish` knows which age chunk is the last. `seal_into` seals any
    batch by its index instead (`encrypt_file` on a regular file, whose size
    tells which batch is the last), two at once if need be. `payload` is the
    in-order seal path itself, for a writer that buffers on its own
    (`AgeWriter`).
    """

    chunk_size = BATCH
    sealed_room = SEALED_BATCH

    def __init__(self, recipients: Iterable[Recipient]) -> None:
        self._header, key = new_header(recipients)
        self.payload = PayloadSealer(key)
        self._held: bytes | None = None
        self._last_sealed = False  # seal_into sealed the last batch: finish has nothing to add

    @property
    def header(self) -> bytes:
        return self._header

    def seal(self, chunk: bytes) -> bytes:
        previous, self._held = self._held, chunk
        return b"" if previous is None else self.payload.seal(previous, final=False)

    def seal_into(self, index: int, chunk: Buffer, last: bool, out: Buffer) -> int:
        written = self.payload.seal_at(index, chunk, last, out)
        if last:
            self._last_sealed = True
        return written

    def finish(self) -> bytes:
        if self._last_sealed:
            return b""
        # An empty plaintext is one empty final chunk.
        return self.payload.seal(self._held if self._held is not None else b"", final=True)


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
    """Reads one age file: the header and key at construction, then batches of chunks.

    `source` is the one buffered reader of the input: the payload follows the
    header in it. `payload` is the in-order open path itself, for a reader
    that buffers on its own (`AgeReader`).
    """

    chunk_size = BATCH

    def __init__(self, source: Source, identities: Iterable[Identity]) -> None:
        self.payload = PayloadOpener(open_header(source, check_identities(identities)))
        self.source = source
        self._complete = False

    @property
    def complete(self) -> bool:
        return self._complete

    def records(self) -> Iterator[object]:
        # A batch is known to be the last one when the read after it is empty.
        current = self.source.read_upto(SEALED_BATCH)
        while True:
            following = self.source.read_upto(SEALED_BATCH) if len(current) == SEALED_BATCH else b""
            yield _Batch(current, not following)
            if not following:
                return
            current = following

    def batches(self, n: int) -> tuple[Callable[[int], list[object] | None], bool, int | None]:
        where = self.source.position()
        if where is None:
            return sequential_batches(self.records(), n), False, None
        fd, offset = where
        return self._pread_batches(fd, offset, n), True, plaintext_size(os.fstat(fd).st_size - offset)

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
                    written, finished, ok = self.payload.open_at(j, view[:size], at_end, pbuf)
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
                raise payload_error()
            self._complete = record.finished
            if record.finished:
                self.source.skip_to(record.end)
            return record.plaintext
        assert isinstance(record, _Batch)
        plaintext, finished, ok = self.payload.open(record.data, record.at_end)
        if not ok:
            raise payload_error()
        self._complete = finished
        return plaintext


class AgeFormat:
    """age v1 (age-encryption.org/v1)."""

    name = "age"
    armor_label = LABEL

    def detect(self, prefix: bytes) -> bool:
        return prefix.startswith(MAGIC)

    def accepts(self, recipients: Sequence[object]) -> bool:
        return bool(recipients) and all(isinstance(r, RECIPIENT_TYPES) for r in recipients)

    def sealer(self, recipients: Sequence[object], chunk_size: int | None) -> AgeSealer:
        if chunk_size is not None:
            raise ValueError("age files have fixed 64 KiB chunks: give no chunk_size")
        return AgeSealer([r for r in recipients if isinstance(r, RECIPIENT_TYPES)])  # type: ignore[misc]

    def opener(self, source: Source, identities: Sequence[object]) -> AgeOpener:
        ids = [i for i in identities if isinstance(i, IDENTITY_TYPES)]
        if not ids:
            raise DecryptionError("no age identity given for an age file (AGE-SECRET-KEY-... or a passphrase)")
        return AgeOpener(source, ids)  # type: ignore[arg-type]

    def rewrap(self, fd: int, source: Source, identities: Sequence[object], add: Sequence[object],
               remove: Sequence[object], target: str | os.PathLike[str]) -> object:
        """`velora.files.rewrap` of a binary age file: its stanzas do not name their recipients, so
        recipients are added (and a passphrase replaced), not removed; a new header with a new MAC,
        the payload (nonce and chunks) copied unchanged."""
        from ..errors import RecipientError
        from ..files.vlr2.recipients import Passphrase
        from ..files.vlr2.rewrap import RewrapResult, replace_header
        from .scrypt import ScryptRecipient

        header = read_header(source)
        old_size = source.consumed
        ids = check_identities([i for i in identities if not isinstance(i, Passphrase)])
        file_key = unwrap_file_key(ids, header.stanzas)
        header.verify(file_key)
        stanzas = list(header.stanzas)
        removed = 0
        for r in remove:
            if isinstance(r, (Passphrase, ScryptRecipient)) and [s.type for s in stanzas] == ["scrypt"]:
                stanzas, removed = [], 1
            else:
                raise RecipientError("the stanzas of an age file do not name their recipients: recipients can be "
                                     "added to it, not removed (re-encrypt the file to drop one)")
        # a velora Passphrase (the command line's -p) as age's scrypt recipient
        wanted = [ScryptRecipient(r.secret(), r.work_factor) if isinstance(r, Passphrase) else r for r in add]
        new = check_recipients(wanted) if wanted else []
        if stanzas and new:
            existing = {s.type for s in stanzas}
            if "scrypt" in existing or any(isinstance(r, ScryptRecipient) for r in new):
                raise RecipientError("a passphrase must be the only recipient of its file")
            pq = "mlkem768x25519" in existing
            if any(("postquantum" in labels_of(r)) != pq for r in new):
                raise RecipientError("post-quantum and classic age recipients cannot share one file")
        for r in new:
            stanzas.extend(r.wrap(file_key))
        if not stanzas:
            raise RecipientError("no recipient would be left: a file needs at least one")
        new_header = encode_header(stanzas, file_key)
        payload = replace_header(fd, old_size, new_header, target)
        return RewrapResult(len(header.stanzas) - removed, len(new), removed, payload, len(new_header))

    def inspect(self, source: Source) -> FileInfo:
        return inspect_age(source)


def inspect_age(source: Source) -> FileInfo:
    """The header's stanzas and the payload's chunk layout, without a key. Nothing here is
    authenticated; whether the last chunk is the final one only the key can tell."""
    start = source.consumed
    info = FileInfo(format="age", version=1, chunk_size=CHUNK)
    try:
        header: Header = read_header(source)
        info.details["recipients"] = ", ".join(s.type for s in header.stanzas)
        info.header_size = len(header.signed) + MAC_LINE_TAIL + NONCE_SIZE
        if len(source.read_upto(NONCE_SIZE)) != NONCE_SIZE:
            raise AgeHeaderError("the file ends before the payload nonce")
        plaintext = chunks = 0
        last = SEALED_CHUNK
        while chunk := source.read_upto(SEALED_CHUNK):
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
