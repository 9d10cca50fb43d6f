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
from .._velora_core import DecryptionError, SecurityLevel
from ..keys import PrivateKey, PublicKey
from ..levels import CAPSULE_SIZE, as_level
from ..errors import TRAILING, FileFormatError
from .formats import FileInfo, Opener, Sealer, register, sequential_batches
from .source import Source, pread_exact

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
        raise ValueError(f"chunk_size must be {MIN_CHUNK_SIZE} to {MAX_CHUNK_SIZE} bytes, got {chunk_size}")
    return chunk_size


# ---- writer -----------------------------------------------------------------


class NativeSealer:
    """Encrypts one file to one ML-KEM public key."""

    __slots__ = ("chunk_size", "_enc", "_header")

    def __init__(self, recipient: PublicKey, chunk_size: int) -> None:
        self.chunk_size = check_chunk_size(chunk_size)
        level = int(recipient.level)
        preamble = make_preamble(level)
        stream_header, self._enc = _core.stream_encryptor_new(recipient.to_bytes(), chunk_size, recipient.level)
        binding = self._enc.encrypt_chunk(binding_digest(preamble, stream_header))
        self._header = preamble + stream_header + binding

    @property
    def header(self) -> bytes:
        return self._header

    def seal(self, chunk: bytes) -> bytes:
        return self._enc.encrypt_chunk(chunk)

    def finish(self) -> bytes:
        return self._enc.finalize()


# ---- reader -----------------------------------------------------------------

class _Frame:
    __slots__ = ("ciphertext", "tag")

    def __init__(self, ciphertext: bytes, tag: bytes) -> None:
        self.ciphertext, self.tag = ciphertext, tag


class _End:
    """The end marker, and where the input ends after it."""

    __slots__ = ("tag", "source", "offset")

    def __init__(self, tag: bytes, source: Source | None = None, offset: int = 0) -> None:
        self.tag, self.source, self.offset = tag, source, offset


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
        self._dec = _find_key(stream_header, binding, expected, level, candidates)
        self._complete = False

    @property
    def complete(self) -> bool:
        return self._complete

    def records(self) -> Iterator[object]:
        return _frames(self._source, self.chunk_size)

    def batches(self, n: int) -> tuple[Callable[[int], list[object] | None], bool, int | None]:
        where = self._source.position()
        if where is None:
            return sequential_batches(self.records(), n), False, None
        fd, offset = where
        layout = _layout(os.fstat(fd).st_size - offset, self.chunk_size)
        plaintext = None
        if layout is not None:
            frames, last_len = layout
            plaintext = frames * self.chunk_size - (self.chunk_size - last_len if last_len else 0)
        return self._pread_batches(fd, offset, n), True, plaintext

    def _pread_batches(self, fd: int, offset: int, n: int) -> Callable[[int], list[object] | None]:
        """Batches of frames of a regular file, read by two threads at once.

        Every frame but the last data frame is exactly one chunk long, so
        frame j starts at ``offset + j * (chunk_size + 20)`` as long as the
        frames before it are full. A batch whose frame there is not a full
        one has reached the end (or damage): it reads the rest in order, as a
        pipe would be read, so the outcome and the errors are the same. A
        batch read beyond the end before the end was known is dropped by
        `open` unopened.
        """
        cs = self.chunk_size
        stride = cs + FRAME_OVERHEAD
        full_head = cs.to_bytes(4, "big")
        tail = [1 << 62]  # the lowest batch index known to hold the end

        def fetch(i: int) -> list[object] | None:
            if i > tail[0]:
                return None
            out: list[object] = []
            try:
                for j in range(i * n, (i + 1) * n):
                    at = offset + j * stride
                    head = pread_exact(fd, 4, at)
                    if head == full_head:
                        ciphertext = pread_exact(fd, cs, at + 4)
                        tag = pread_exact(fd, TAG_SIZE, at + 4 + cs)
                        if len(ciphertext) == cs and len(tag) == TAG_SIZE:
                            out.append(_Frame(ciphertext, tag))
                            continue
                    tail[0] = min(tail[0], i)
                    reader = _PreadFile(fd, at)
                    for record in _frames(Source(reader), cs):
                        if isinstance(record, _End):
                            record.source, record.offset = self._source, reader.offset
                        out.append(record)
                    break
            except Exception as exc:
                out.append(_Failed(exc))
            return out

        return fetch

    def open(self, record: object) -> bytes:
        if isinstance(record, _Frame):
            return self._dec.decrypt_chunk(record.ciphertext, record.tag)
        if isinstance(record, _End):
            self._dec.process_eof(record.tag)
            self._complete = self._dec.eof_seen()
            if record.source is not None:
                record.source.skip_to(record.offset)
            return b""
        if isinstance(record, _Failed):
            raise record.error
        raise TypeError(f"not a record of this file: {type(record).__name__}")

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
              candidates: list[PrivateKey]) -> _core.StreamDecryptorHandle:
    """The decryptor of the first key under which the binding frame opens and matches."""
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
        return dec
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
