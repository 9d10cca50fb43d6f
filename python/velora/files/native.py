"""The velora file format. Version 1 (this module): a preamble, the stream header, a binding frame, the
frames; version 2, which writers write, is `velora.files.vlr2`.

Byte layout and the security argument: docs/file-format.md. In short:

    preamble        magic (8) || version (1) || level (2, big-endian 512/768/1024)
    stream header   capsule (c) || base nonce (12) || chunk size (4, big-endian)
    binding frame   frame 0 of the stream; its plaintext is SHA3-256(preamble || stream header)
    data frames     frames 1..n, each exactly `chunk size` bytes but the last (1..chunk size)
    end marker      the stream's EOF marker (a frame of length 0)

The frames authenticate their index and the end; the binding frame
authenticates every byte before it, which the stream itself does not (the
preamble, the chunk size and the first four bytes of the base nonce).
"""

from __future__ import annotations

import hashlib
import hmac
import os
import struct
from collections.abc import Callable, Iterator, Sequence
from typing import Final, NamedTuple

from .. import _velora_core as _core
from .. import _velora_native as _native
from .._velora_core import DecryptionError, InvalidParameterError, SecurityLevel
from ..keys import PrivateKey, PublicKey
from ..levels import CAPSULE_SIZE, as_level
from ..errors import TRAILING, TRUNCATED, FileFormatError
from .formats import FileInfo, Opener, Sealer, register, sequential_batches
from .pipeline import usable_cpus
from .source import Source, pread_exact, pread_into

MAGIC: Final = b"\x89VLR\r\n\x1a\n"
VERSION: Final = 1
PREAMBLE_SIZE: Final = len(MAGIC) + 1 + 2  # 11
LEVELS: Final = (512, 768, 1024)

#: The container's chunk-size range. The floor lets the 32-byte binding
#: digest fit one chunk; the ceiling keeps a reader of any file within a few
#: chunks of memory (the stream itself allows up to 16 MiB).
MIN_CHUNK_SIZE: Final = 32
MAX_CHUNK_SIZE: Final = 4 * 1024 * 1024
#: The version 1 writers' default, chosen by measurement (bench/file_bench.py --chunks):
#: from 1 MiB on, the per-chunk cost is lost in the copying and AES-GCM work.
DEFAULT_CHUNK_SIZE: Final = 1024 * 1024

FRAME_OVERHEAD: Final = 20  # length (4) + tag (16)
TAG_SIZE: Final = 16
BINDING_SIZE: Final = 32  # SHA3-256
BINDING_FRAME_SIZE: Final = BINDING_SIZE + FRAME_OVERHEAD


def stream_header_size(level: int) -> int:
    """capsule || base nonce || chunk size: 784, 1104 or 1584 bytes."""
    return CAPSULE_SIZE[level] + 16


def header_size(level: int) -> int:
    """Everything before the first data frame: preamble, stream header, binding frame."""
    return PREAMBLE_SIZE + stream_header_size(level) + BINDING_FRAME_SIZE


def encrypted_size(plaintext_size: int, level: int, chunk_size: int = DEFAULT_CHUNK_SIZE) -> int:
    """The size of the file for ``plaintext_size`` bytes of plaintext."""
    chunks = -(-plaintext_size // chunk_size)
    return header_size(level) + plaintext_size + FRAME_OVERHEAD * chunks + FRAME_OVERHEAD


def make_preamble(level: int) -> bytes:
    return MAGIC + struct.pack(">BH", VERSION, level)


class Preamble(NamedTuple):
    version: int
    level: int


def parse_preamble(data: bytes) -> Preamble:
    """Checks the 11 leading bytes; raises `FileFormatError` naming the first bad field."""
    if len(data) < len(MAGIC) or data[: len(MAGIC)] != MAGIC:
        raise FileFormatError("not a velora encrypted file (bad magic)")
    if len(data) < PREAMBLE_SIZE:
        raise FileFormatError("truncated file: the preamble is incomplete")
    version, level = struct.unpack_from(">BH", data, len(MAGIC))
    if version != VERSION:
        raise FileFormatError(f"unsupported velora file version {version} (this reader knows versions 1 and 2)")
    if level not in LEVELS:
        raise FileFormatError(f"invalid ML-KEM level {level} in the file preamble")
    return Preamble(version, level)


def parse_chunk_size(stream_header: bytes) -> int:
    chunk_size = int.from_bytes(stream_header[-4:], "big")
    if not MIN_CHUNK_SIZE <= chunk_size <= MAX_CHUNK_SIZE:
        raise FileFormatError(
            f"invalid chunk size {chunk_size} in the stream header "
            f"(expected {MIN_CHUNK_SIZE} to {MAX_CHUNK_SIZE})"
        )
    return chunk_size


def binding_digest(preamble: bytes, stream_header: bytes) -> bytes:
    return hashlib.sha3_256(preamble + stream_header).digest()


def check_chunk_size(chunk_size: int) -> int:
    if isinstance(chunk_size, bool) or not isinstance(chunk_size, int):
        raise TypeError(f"chunk_size must be an int, not {type(chunk_size).__name__}")
    if not MIN_CHUNK_SIZE <= chunk_size <= MAX_CHUNK_SIZE:
        raise InvalidParameterError(f"chunk_size must be {MIN_CHUNK_SIZE} to {MAX_CHUNK_SIZE} bytes, got {chunk_size}")
    return chunk_size


# ---- writer -----------------------------------------------------------------


class NativeSealer:
    """Encrypts one file to one ML-KEM public key.

    The frames are sealed at their index (velora._velora_native.frames_seal),
    in order through `seal` or, by `encrypt_file` on a regular file, any run of
    whole chunks on any thread through `seal_into` (``threads`` native threads
    per call).
    """

    __slots__ = ("chunk_size", "sealed_room", "threads", "_key", "_nonce", "_header", "_next", "_finished")

    def __init__(self, recipient: PublicKey, chunk_size: int) -> None:
        self.chunk_size = check_chunk_size(chunk_size)
        self.sealed_room = chunk_size + FRAME_OVERHEAD
        self.threads = 1
        level = int(recipient.level)
        preamble = make_preamble(level)
        capsule, key = recipient.encapsulate()
        self._key = bytearray(key)
        self._nonce = os.urandom(12)  # the operating system's random source, fresh per file
        stream_header = capsule + self._nonce + chunk_size.to_bytes(4, "big")
        binding = _native.frames_seal(self._key, self._nonce, 0, chunk_size, binding_digest(preamble, stream_header))
        self._header = preamble + stream_header + binding
        self._next = 1  # the index of the next data frame
        self._finished = False

    @property
    def header(self) -> bytes:
        return self._header

    def seal(self, chunk: bytes) -> bytes:
        frame = _native.frames_seal(self._key, self._nonce, self._next, self.chunk_size, chunk)
        self._next += -(-len(chunk) // self.chunk_size)
        return frame

    def seal_into(self, index: int, chunk: memoryview, last: bool, out: bytearray) -> int:
        """Seals the whole chunks from chunk ``index`` on (the last run may end short) into ``out``."""
        written: int = _native.frames_seal(self._key, self._nonce, index + 1, self.chunk_size, chunk, out,
                                           threads=self.threads)
        if last:
            self._next = index + 1 + -(-len(chunk) // self.chunk_size)
        return written

    def finish(self) -> bytes:
        marker = _native.frames_end_marker(self._key, self._nonce, self._next)
        self._key[:] = bytes(len(self._key))
        self._finished = True
        return marker


# ---- reader -----------------------------------------------------------------

class _Frame:
    """A data frame; ``index`` set when it is opened at its index rather than in stream order."""

    __slots__ = ("ciphertext", "tag", "index")

    def __init__(self, ciphertext: bytes, tag: bytes) -> None:
        self.ciphertext, self.tag = ciphertext, tag
        self.index: int | None = None


class _Opened:
    """Frames already opened (at their indexes) ahead of their turn: their plaintext."""

    __slots__ = ("plaintext",)

    def __init__(self, plaintext: memoryview) -> None:
        self.plaintext = plaintext


class _End:
    """The end marker, and where the input ends after it."""

    __slots__ = ("tag", "source", "offset", "index")

    def __init__(self, tag: bytes, source: Source | None = None, offset: int = 0) -> None:
        self.tag, self.source, self.offset = tag, source, offset
        self.index: int | None = None


class _Failed:
    """A read error, raised when its turn to be opened comes (so in order)."""

    __slots__ = ("error",)

    def __init__(self, error: Exception) -> None:
        self.error = error


def _frames(source: Source, chunk_size: int) -> Iterator[object]:
    """The frames after the binding frame, read in order, up to the end marker and the end of the input."""
    short_seen = False
    while True:
        length = int.from_bytes(source.read_exact(4), "big")
        if length == 0:
            tag = source.read_exact(TAG_SIZE)
            source.expect_end()
            yield _End(tag)
            return
        if length > chunk_size:
            raise FileFormatError(f"malformed file: a frame of {length} bytes in chunks of {chunk_size}")
        if short_seen:
            raise FileFormatError("malformed file: a short chunk before the last one")
        short_seen = length < chunk_size
        ciphertext = source.read_exact(length)
        yield _Frame(ciphertext, source.read_exact(TAG_SIZE))


class _PreadFile:
    """``read(n)`` at a moving offset of a file descriptor, through os.pread."""

    __slots__ = ("_fd", "offset")

    def __init__(self, fd: int, offset: int) -> None:
        self._fd, self.offset = fd, offset

    def read(self, n: int = -1, /) -> bytes:
        data = os.pread(self._fd, n, self.offset)
        self.offset += len(data)
        return data


class NativeOpener:
    """Reads one velora file whose preamble is already parsed."""

    def __init__(self, source: Source, preamble_bytes: bytes, preamble: Preamble,
                 identities: Sequence[object]) -> None:
        self._source = source
        level = preamble.level
        candidates = _keys_for(level, identities)
        stream_header = source.read_exact(stream_header_size(level))
        self.chunk_size = parse_chunk_size(stream_header)
        self.level = level
        binding_len = source.read_exact(4)
        if int.from_bytes(binding_len, "big") != BINDING_SIZE:
            raise FileFormatError("malformed file: the binding frame does not follow the stream header")
        binding = source.read_exact(BINDING_SIZE + TAG_SIZE)
        expected = binding_digest(preamble_bytes, stream_header)
        self._dec, self._key = _find_key(stream_header, binding, expected, level, candidates)
        self._stream_header = stream_header
        self._frames_key: bytes | None = None
        self._complete = False

    @property
    def complete(self) -> bool:
        return self._complete

    def records(self) -> Iterator[object]:
        return _frames(self._source, self.chunk_size)

    def batches(self, n: int, threads: int = 1) -> tuple[Callable[[int], list[object] | None], bool, int | None]:
        where = self._source.position()
        if where is None:
            return sequential_batches(self.records(), n), False, None
        fd, offset = where
        layout = _layout(os.fstat(fd).st_size - offset, self.chunk_size)
        plaintext = None
        if layout is not None:
            frames, last_len = layout
            plaintext = frames * self.chunk_size - (self.chunk_size - last_len if last_len else 0)
        return self._pread_batches(fd, offset, n, threads), True, plaintext

    def _frame_key(self) -> tuple[bytes, bytes]:
        """The frames' AES-256-GCM key and the base nonce (the key from the capsule, once)."""
        if self._frames_key is None:
            capsule_size = CAPSULE_SIZE[self.level]
            self._frames_key = self._key.decapsulate(self._stream_header[:capsule_size])
        return self._frames_key, self._stream_header[CAPSULE_SIZE[self.level] : -4]

    def _pread_batches(self, fd: int, offset: int, n: int, threads: int) -> Callable[[int], list[object] | None]:
        """Batches of n frames of a regular file, read and opened by both pipeline threads at once.

        Every frame but the last data frame is exactly one chunk long, so
        frame j starts at ``offset + j * (chunk_size + 20)`` as long as the
        frames before it are full. A batch's run of full frames is read in one
        piece and opened at its indexes on ``threads`` threads; from a frame
        that is not a full one on (the end, or damage) the batch reads the
        rest in order, as a pipe would be read, so the outcome and the errors
        are the same. A batch read beyond the end before the end was known is
        dropped by `open` unopened. Item i's buffers are reused by item i + 2
        (run_ordered fetches it only once item i has been processed).
        """
        cs = self.chunk_size
        stride = cs + FRAME_OVERHEAD
        full_head = cs.to_bytes(4, "big")
        tail = [1 << 62]  # the lowest batch index known to hold the end
        key, nonce = self._frame_key()
        slots: list[tuple[bytearray, bytearray] | None] = [None, None]

        def fetch(i: int) -> list[object] | None:
            if i > tail[0]:
                return None
            out: list[object] = []
            try:
                slot = slots[i & 1]
                if slot is None:
                    slot = slots[i & 1] = (bytearray(n * stride), bytearray(n * cs))
                cbuf, pbuf = slot
                first = i * n  # data frame first + 1
                at = offset + first * stride
                with memoryview(cbuf) as view:
                    got = pread_into(fd, view, at)
                    full = 0
                    while full < n and (full + 1) * stride <= got and view[full * stride : full * stride + 4] == full_head:
                        full += 1
                    if full:
                        try:
                            written = _native.frames_open(key, nonce, first + 1, cs, view[: full * stride], pbuf,
                                                          threads=threads)
                        except DecryptionError as exc:
                            out.append(_Failed(exc))
                            return out
                        out.append(_Opened(memoryview(pbuf)[:written]))
                if full < n:
                    tail[0] = min(tail[0], i)
                    reader = _PreadFile(fd, at + full * stride)
                    index = first + full + 1
                    for record in _frames(Source(reader), cs):
                        if isinstance(record, _End):
                            record.source, record.offset = self._source, reader.offset
                        if isinstance(record, (_Frame, _End)):
                            record.index = index
                        index += 1
                        out.append(record)
            except Exception as exc:
                out.append(_Failed(exc))
            return out

        return fetch

    def layout(self, size: int, start: int) -> NativeLayout:
        """The chunk layout of this file in an input of ``size`` bytes whose file starts at ``start``."""
        key, base_nonce = self._frame_key()
        return NativeLayout(key, base_nonce, self.chunk_size, start + header_size(self.level), size)

    def open(self, record: object) -> bytes | memoryview:
        if isinstance(record, _Opened):
            return record.plaintext
        if isinstance(record, _Frame):
            if record.index is None:
                return self._dec.decrypt_chunk(record.ciphertext, record.tag)
            key, nonce = self._frame_key()
            frame = len(record.ciphertext).to_bytes(4, "big") + record.ciphertext + record.tag
            return _native.frames_open(key, nonce, record.index, self.chunk_size, frame)
        if isinstance(record, _End):
            if record.index is None:
                self._dec.process_eof(record.tag)
                self._complete = self._dec.eof_seen()
            else:
                key, nonce = self._frame_key()
                _native.frames_open_end(key, nonce, record.index, record.tag)
                self._complete = True
            if record.source is not None:
                record.source.skip_to(record.offset)
            return b""
        if isinstance(record, _Failed):
            raise record.error
        raise TypeError(f"not a record of this file: {type(record).__name__}")

class NativeLayout:
    """Where the frames of a version 1 file are (a `ChunkLayout`).

    Data frame j (chunk j, frame index j + 1) starts at
    ``payload + j * (chunk_size + 20)``: every data frame but the last is
    full. The last data frame and the end marker take the rest of the input,
    so the input's size gives the number of chunks and the last one's length;
    both are trusted once the last frame has opened at its index with that
    length and the end marker at the next index.
    """

    def __init__(self, key: bytes, base_nonce: bytes, chunk_size: int, payload: int, size: int) -> None:
        self._key, self._nonce = key, base_nonce
        self.chunk_size = chunk_size
        self._payload = payload
        self._stride = chunk_size + FRAME_OVERHEAD
        self._size = size
        shape = _layout(size - payload, chunk_size)
        #: Why the input cannot be a whole file of this header, if it cannot.
        self.problem: str | None = None
        if shape is None:
            # No whole file has this size: the full frames that fit still read,
            # the one after them stands for the last and fails.
            self.problem = TRUNCATED
            shape = (max(0, size - payload) // self._stride + 1, 0)
        self.chunk_count, last = shape
        self.plaintext_size = self.chunk_count * chunk_size - ((chunk_size - last) if last else 0)

    def byte_range(self, first: int, count: int) -> tuple[int, int]:
        at = self._payload + first * self._stride
        if first + count >= self.chunk_count:
            return at, self._size - at  # the last frame and the end marker
        return at, count * self._stride

    def open_into(self, first: int, count: int, data: memoryview, out: bytearray) -> int:
        to_end = first + count >= self.chunk_count
        if self.problem is not None and to_end:
            raise DecryptionError(self.problem)
        frames = data[:-FRAME_OVERHEAD] if to_end else data
        # A run of chunks (a large read) opens on the usable CPUs, up to 4.
        threads = 1 if count < 2 else min(count, 4, usable_cpus())
        written = 0
        try:
            if len(frames):
                written = _native.frames_open(self._key, self._nonce, first + 1, self.chunk_size, frames, out,
                                              threads=threads)
        except DecryptionError:
            raise DecryptionError(f"chunk {first} or a chunk after it up to {first + count - 1} does not "
                                  "authenticate: the file is damaged or was changed") from None
        except InvalidParameterError:
            # The length fields do not fit the input's size: cut, grown or damaged.
            raise DecryptionError(TRUNCATED if to_end else "malformed file: a frame length no writer produces") from None
        if to_end:
            marker = bytes(data[-FRAME_OVERHEAD:])
            if marker[:4] != b"\0\0\0\0":
                raise DecryptionError(TRUNCATED)
            try:
                _native.frames_open_end(self._key, self._nonce, self.chunk_count + 1, marker[4:])
            except DecryptionError:
                out[:written] = bytes(written)  # nothing of a range whose end fails is kept
                raise
        return written


def _layout(size: int, chunk_size: int) -> tuple[int, int] | None:
    """(data frames, length of a short last frame or 0) for ``size`` bytes of frames; None if impossible."""
    if size < FRAME_OVERHEAD:
        return None
    frames, rest = divmod(size - FRAME_OVERHEAD, chunk_size + FRAME_OVERHEAD)
    if rest == 0:
        return frames, 0
    if rest > FRAME_OVERHEAD:
        return frames + 1, rest - FRAME_OVERHEAD
    return None


def _keys_for(level: int, identities: Sequence[object]) -> list[PrivateKey]:
    """The private keys of ``level`` among ``identities``; an error naming the levels if there are none."""
    keys = [k for k in identities if isinstance(k, PrivateKey)]
    candidates = [k for k in keys if int(k.level) == level]
    if not candidates:
        if keys:
            have = ", ".join(sorted({f"ML-KEM-{int(k.level)}" for k in keys}))
            raise DecryptionError(f"the file is encrypted to an ML-KEM-{level} key; the identities given are {have}")
        raise DecryptionError("no velora private key given for a velora file")
    return candidates


def _find_key(stream_header: bytes, binding: bytes, expected: bytes, level: int,
              candidates: list[PrivateKey]) -> tuple[_core.StreamDecryptorHandle, PrivateKey]:
    """The decryptor of the first key under which the binding frame opens and matches, and that key."""
    ciphertext, tag = binding[:BINDING_SIZE], binding[BINDING_SIZE:]
    lv = as_level(level)
    for key in candidates:
        with key._secret_key_bytes() as dk:
            dec = _core.stream_decryptor_from_header(stream_header, dk, lv)
        try:
            digest = dec.decrypt_chunk(ciphertext, tag)
        except DecryptionError:
            continue  # another key, or a changed capsule or base nonce
        if not hmac.compare_digest(digest, expected):
            raise DecryptionError("the file preamble or stream header was changed (binding digest mismatch)")
        return dec, key
    if len(candidates) == 1:
        raise DecryptionError("wrong key, or the file header is corrupted (the binding frame does not authenticate)")
    raise DecryptionError("no identity matches this file, or its header is corrupted")


# ---- the format -------------------------------------------------------------


class NativeFormat:
    """The velora format: writers write version 2 (many recipients, `velora.files.vlr2`); readers
    read versions 1 (one ML-KEM recipient) and 2."""

    name = "velora"
    armor_label = "VELORA ENCRYPTED FILE"

    def detect(self, prefix: bytes) -> bool:
        return prefix[: len(MAGIC)] == MAGIC

    def accepts(self, recipients: Sequence[object]) -> bool:
        from .vlr2.recipients import Passphrase
        from ..xwing import XWingPublicKey

        return all(isinstance(r, (PublicKey, XWingPublicKey, Passphrase)) for r in recipients)

    def sealer(self, recipients: Sequence[object], chunk_size: int | None) -> Sealer:
        from .vlr2.payload import V2Sealer

        return V2Sealer(recipients, chunk_size)

    def opener(self, source: Source, identities: Sequence[object]) -> Opener:
        if source.peek(len(MAGIC) + 1) == MAGIC + b"\x02":
            from .vlr2.payload import V2Opener

            return V2Opener(source, b"", identities)
        raw = source.read_upto(PREAMBLE_SIZE)
        preamble = parse_preamble(raw)
        return NativeOpener(source, raw, preamble, identities)

    def inspect(self, source: Source) -> FileInfo:
        if source.peek(len(MAGIC) + 1) == MAGIC + b"\x02":
            from .vlr2.payload import inspect_v2

            return inspect_v2(source, b"")
        return inspect_native(source)

    #: How many leading bytes `plaintext_size` needs at most.
    head_size = PREAMBLE_SIZE + max(stream_header_size(level) for level in LEVELS)

    def plaintext_size(self, head: bytes, size: int) -> int | None:
        """The plaintext size of a ``size``-byte file that starts with ``head``, without a
        key (nothing authenticated); None when no file of that header has that size."""
        if head[: len(MAGIC) + 1] == MAGIC + b"\x02":
            import io

            from .vlr2 import header as v2
            from .vlr2.payload import plaintext_size as v2_plaintext_size

            # FileFormatError when ``head`` holds less than the whole header.
            parsed = v2.parse(Source(io.BytesIO(head)), b"")
            return v2_plaintext_size(size - parsed.size - parsed.signature_size, parsed.chunk_size)
        preamble = parse_preamble(head[:PREAMBLE_SIZE])
        end = PREAMBLE_SIZE + stream_header_size(preamble.level)
        if len(head) < end:
            raise FileFormatError("truncated file: the stream header is incomplete")
        chunk_size = parse_chunk_size(head[PREAMBLE_SIZE:end])
        shape = _layout(size - header_size(preamble.level), chunk_size)
        if shape is None:
            return None
        frames, last = shape
        return frames * chunk_size - ((chunk_size - last) if last else 0)


def inspect_native(source: Source) -> FileInfo:
    """Walks the frames without a key. Nothing here is authenticated."""
    start = source.consumed
    raw = source.read_upto(PREAMBLE_SIZE)
    preamble = parse_preamble(raw)
    info = FileInfo(format="velora", version=preamble.version, level=preamble.level)
    info.header_size = header_size(preamble.level)
    try:
        stream_header = source.read_exact(stream_header_size(preamble.level))
        info.chunk_size = parse_chunk_size(stream_header)
        if int.from_bytes(source.read_exact(4), "big") != BINDING_SIZE:
            raise FileFormatError("malformed file: the binding frame does not follow the stream header")
        source.read_exact(BINDING_SIZE + TAG_SIZE)
        plaintext = chunks = 0
        short_seen = False
        while True:
            length = int.from_bytes(source.read_exact(4), "big")
            if length == 0:
                source.read_exact(TAG_SIZE)
                source.expect_end()
                info.complete = True
                break
            if length > info.chunk_size or short_seen:
                raise FileFormatError("malformed file: frame lengths no writer produces")
            short_seen = length < info.chunk_size
            source.read_exact(length + TAG_SIZE)
            plaintext += length
            chunks += 1
        info.plaintext_size, info.data_chunks = plaintext, chunks
    except DecryptionError as exc:
        info.complete = False
        info.problem = str(exc)
    info.file_size = source.consumed - start
    return info


NATIVE = register(NativeFormat())

__all__ = [
    "DEFAULT_CHUNK_SIZE", "MAGIC", "MAX_CHUNK_SIZE", "MIN_CHUNK_SIZE", "NATIVE", "PREAMBLE_SIZE", "VERSION",
    "NativeFormat", "Preamble", "encrypted_size", "header_size", "make_preamble", "parse_preamble",
]
