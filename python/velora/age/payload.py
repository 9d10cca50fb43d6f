"""The age payload: the STREAM of 64 KiB ChaCha20-Poly1305 chunks under the
payload key, sealed and opened in batches by the native engine.

`PayloadSealer` and `PayloadOpener` are the one seal path and the one open
path: the file objects (`AgeWriter`, `AgeReader`) and the file-format adapter
(`encrypt_file`, `decrypt_file`) all go through them. A batch seals or opens
on its own, given its first chunk's number and whether it is the last, so a
regular file's batches can be worked on two at a time.
"""

from __future__ import annotations

from typing import Final, overload

from .. import _velora_native as _native
from ..errors import AgePayloadError
from ..keys import Buffer

CHUNK: Final = 64 * 1024
TAG: Final = 16
SEALED_CHUNK: Final = CHUNK + TAG
#: Age chunks per batch, the unit of every native call and of the memory bound: 2 MiB
#: of plaintext. Measured through encrypt_file / decrypt_file on 1 GiB
#: (bench/age_bench.py): 1, 2 and 4 MiB batches are within a few per cent of each
#: other; 2 MiB keeps four batch buffers (about 8 MiB) per transfer.
BATCH_CHUNKS: Final = 32
BATCH: Final = BATCH_CHUNKS * CHUNK
SEALED_BATCH: Final = BATCH_CHUNKS * SEALED_CHUNK
FILE_KEY_SIZE: Final = 16
NONCE_SIZE: Final = 16
PAYLOAD_ERROR: Final = "the payload does not authenticate, is cut short or has data after its final chunk"


def payload_key(file_key: bytes, nonce: bytes) -> bytes:
    """HKDF-SHA-256(file key, nonce, "payload")."""
    key: bytes = _native.age_payload_key(file_key, nonce)
    return key


def payload_error() -> AgePayloadError:
    return AgePayloadError(PAYLOAD_ERROR)


def _nbytes(data: Buffer) -> int:
    with memoryview(data) as view:
        return view.nbytes


def chunks_in(plaintext: int) -> int:
    """The chunks that hold `plaintext` bytes (an empty plaintext is one empty chunk)."""
    return max(1, -(-plaintext // CHUNK))


class PayloadSealer:
    """Seals the payload in order (``seal``) or a batch by its index (``seal_at``)."""

    __slots__ = ("_key", "_counter")

    def __init__(self, key: bytes) -> None:
        self._key = key
        self._counter = 0

    @overload
    def seal(self, data: Buffer, final: bool, out: None = None) -> bytes: ...
    @overload
    def seal(self, data: Buffer, final: bool, out: Buffer) -> int: ...

    def seal(self, data: Buffer, final: bool, out: Buffer | None = None) -> bytes | int:
        """The next chunks; without `final`, `data` is a whole number of chunks."""
        sealed: bytes | int = _native.age_seal_chunks(self._key, self._counter, data, final, out)
        self._counter += chunks_in(_nbytes(data))
        return sealed

    def seal_at(self, index: int, data: Buffer, last: bool, out: Buffer) -> int:
        """Batch `index` into `out`, on the calling thread alone (callers run two at once)."""
        written: int = _native.age_seal_chunks(self._key, index * BATCH_CHUNKS, data, last, out, threads=1)
        return written


class PayloadOpener:
    """Opens the payload in order (``open``) or a batch by its index (``open_at``).

    Each returns (the plaintext, or its length in `out`; whether the final
    chunk opened; whether everything so far authenticated). A caller that is
    told False raises `payload_error()` once it has released the plaintext
    before the fault.
    """

    __slots__ = ("_key", "_counter")

    def __init__(self, key: bytes) -> None:
        self._key = key
        self._counter = 0

    @overload
    def open(self, data: Buffer, at_end: bool, out: None = None) -> tuple[bytes, bool, bool]: ...
    @overload
    def open(self, data: Buffer, at_end: bool, out: Buffer) -> tuple[int, bool, bool]: ...

    def open(self, data: Buffer, at_end: bool, out: Buffer | None = None) -> tuple[bytes | int, bool, bool]:
        """The next sealed chunks; without `at_end`, `data` is a whole number of them."""
        opened: tuple[bytes | int, bool, bool] = _native.age_open_chunks(self._key, self._counter, data, at_end, out)
        self._counter += _nbytes(data) // SEALED_CHUNK
        return opened

    def open_at(self, index: int, data: Buffer, at_end: bool, out: Buffer) -> tuple[int, bool, bool]:
        """Batch `index` into `out`, on the calling thread alone."""
        opened: tuple[int, bool, bool] = _native.age_open_chunks(
            self._key, index * BATCH_CHUNKS, data, at_end, out, threads=1
        )
        return opened


def plaintext_size(payload: int) -> int | None:
    """The plaintext in `payload` bytes of chunks, if that is a size a writer produces."""
    whole, rest = divmod(payload, SEALED_CHUNK)
    if rest > TAG or (rest == TAG and whole == 0):
        return whole * CHUNK + rest - TAG
    return whole * CHUNK if rest == 0 and whole > 0 else None
