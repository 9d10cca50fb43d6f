"""age v1 as a format of `velora.files`: `EncryptedWriter`, `DecryptedReader`,
`encrypt_file`, `decrypt_file`, `inspect_file` and the `velora` command line
read and write age files through it.

The writer is chosen when every recipient is an age recipient (X25519,
post-quantum hybrid or a passphrase); the reader when the input starts with
"age-encryption.org/" (inside the "AGE ENCRYPTED FILE" armour or not). The
chunk size is age's fixed 64 KiB; the registry's chunks are batches of them
(64 when writing, 32 when reading), sealed and opened at once on all cores. Header parsing, key unwrapping and the
chunk cryptography are those of `velora.age`; this module only fits them to
the registry's sealer and opener.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator, Sequence
from typing import Final

from . import _velora_native as _native
from ._velora_core import DecryptionError
from .age import CHUNK, NONCE_SIZE, SEALED_CHUNK, TAG, new_header, open_header
from .age_errors import AgeHeaderError, AgePayloadError
from .age_header import ByteSource, Header, read_header
from .age_keys import IDENTITY_TYPES, RECIPIENT_TYPES, Identity, Recipient
from .files.formats import FileInfo, register, sequential_batches
from .files.source import Source

MAGIC: Final = b"age-encryption.org/"
#: The registry's chunks: 64 age chunks (4 MiB) when writing, 32 when reading, each
#: sealed or opened in one native call over the cores. Measured through the file
#: pipeline (bench/age_bench.py): 4 MiB seals faster than 1 or 2 MiB; reading holds
#: several batches at once, and 2 MiB keeps its peak RSS near 40 MiB instead of 60.
BATCH: Final = 64 * CHUNK
SEALED_BATCH: Final = 32 * SEALED_CHUNK


class AgeSealer:
    """Encrypts one age file. The framework's chunks are batches of 64 age chunks (4 MiB),
    sealed at once over the cores; the newest batch waits in `seal`, since only `finish`
    knows which age chunk is the last."""

    chunk_size = BATCH

    def __init__(self, recipients: Sequence[Recipient]) -> None:
        self._header, self._key = new_header(recipients)
        self._counter = 0
        self._held: bytes | None = None

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

    def finish(self) -> bytes:
        # An empty plaintext is one empty final chunk.
        return self._seal(self._held if self._held is not None else b"", final=True)


class _Batch:
    """Up to 32 sealed age chunks, and whether the payload ends with them."""

    __slots__ = ("data", "at_end")

    def __init__(self, data: bytes, at_end: bool) -> None:
        self.data, self.at_end = data, at_end


class AgeOpener:
    """Reads one age file: the header and key at construction, then batches of chunks."""

    chunk_size = 32 * CHUNK

    def __init__(self, source: Source, identities: Sequence[object]) -> None:
        ids: list[Identity] = [i for i in identities if isinstance(i, IDENTITY_TYPES)]
        if not ids:
            raise DecryptionError("no age identity given for an age file (AGE-SECRET-KEY-... or a passphrase)")
        self._src = ByteSource(source.read_upto)
        self._key = open_header(self._src, ids)
        self._counter = 0
        self._complete = False

    @property
    def complete(self) -> bool:
        return self._complete

    def records(self) -> Iterator[object]:
        # A batch is known to be the last one when the read after it is empty.
        current = self._src.read(SEALED_BATCH)
        while True:
            following = self._src.read(SEALED_BATCH) if len(current) == SEALED_BATCH else b""
            yield _Batch(current, not following)
            if not following:
                return
            current = following

    def batches(self, n: int) -> tuple[Callable[[int], list[object] | None], bool, int | None]:
        return sequential_batches(self.records(), n), False, None

    def open(self, record: object) -> bytes:
        assert isinstance(record, _Batch)
        if self._complete:
            raise AgePayloadError("data after the final chunk")
        plaintext, finished, ok = _native.age_open_chunks(self._key, self._counter, record.data, record.at_end)
        if not ok:
            raise AgePayloadError(
                "the payload does not authenticate, is cut short or has data after its final chunk"
            )
        self._counter += len(record.data) // SEALED_CHUNK
        self._complete = finished
        return plaintext


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
        return AgeOpener(source, identities)

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
