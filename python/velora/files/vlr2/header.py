"""The header of a velora file, version 2: its layout, its bounds, building and parsing it.

Byte layout and the security argument: docs/file-format.md. In short:

    magic (8) || version 02 (1) || chunk size (4) || count n (2)
    n recipient entries: kind (1) || tag (16) || body (fixed size per kind)
    payload nonce (16) || header MAC (32)

Everything here is bytes in, bytes out: no key is used but the file key's
derived keys (`mac_key`, `tag_key`, `payload_key`), and parsing reads at most
`MAX_HEADER_SIZE` bytes whatever the input claims.
"""

from __future__ import annotations

import struct
from collections.abc import Sequence
from typing import Final, NamedTuple

from ... import _velora_native as _native
from ...compare import equal
from ..._velora_core import InvalidParameterError
from ...errors import FileFormatError
from ..source import Source

MAGIC: Final = b"\x89VLR\r\n\x1a\n"
VERSION: Final = 2
#: magic, version, chunk size, recipient count.
FIXED_SIZE: Final = 8 + 1 + 4 + 2
NONCE_SIZE: Final = 16
MAC_SIZE: Final = 32
TAG_SIZE: Final = 16
FILE_KEY_SIZE: Final = 32
WRAPPED_SIZE: Final = FILE_KEY_SIZE + 16  # AES-256-GCM ciphertext and tag
CHUNK_TAG: Final = 16

MIN_CHUNK_SIZE: Final = 32
MAX_CHUNK_SIZE: Final = 4 * 1024 * 1024
#: The most recipient entries a file holds (and a reader reads).
MAX_RECIPIENTS: Final = 1024

# Recipient kinds: the byte, and the size of the body after kind and tag.
KIND_MLKEM512: Final = 0x01
KIND_MLKEM768: Final = 0x02
KIND_MLKEM1024: Final = 0x03
KIND_XWING: Final = 0x04
KIND_SCRYPT: Final = 0x05
SCRYPT_SALT_SIZE: Final = 16
# The signer entry of a signed file: kind || the signer's ML-DSA public key (no tag, no wrapped key).
KIND_MLDSA44: Final = 0x06
KIND_MLDSA65: Final = 0x07
KIND_MLDSA87: Final = 0x08
SIGNER_KIND: Final = {44: KIND_MLDSA44, 65: KIND_MLDSA65, 87: KIND_MLDSA87}
#: signer kind -> (ML-DSA level, public key size, signature size).
SIGNER: Final = {
    KIND_MLDSA44: (44, 1312, 2420),
    KIND_MLDSA65: (65, 1952, 3309),
    KIND_MLDSA87: (87, 2592, 4627),
}

#: kind -> the size of the share before the wrapped file key (capsule, X-Wing
#: ciphertext, or work factor and salt).
SHARE_SIZE: Final = {
    KIND_MLKEM512: 768,
    KIND_MLKEM768: 1088,
    KIND_MLKEM1024: 1568,
    KIND_XWING: 1120,
    KIND_SCRYPT: 1 + SCRYPT_SALT_SIZE,
}
KIND_NAMES: Final = {
    KIND_MLKEM512: "ML-KEM-512",
    KIND_MLKEM768: "ML-KEM-768",
    KIND_MLKEM1024: "ML-KEM-1024",
    KIND_XWING: "X-Wing",
    KIND_SCRYPT: "passphrase",
}
MLKEM_KIND: Final = {512: KIND_MLKEM512, 768: KIND_MLKEM768, 1024: KIND_MLKEM1024}


def entry_size(kind: int) -> int:
    if kind in SIGNER:
        return 1 + SIGNER[kind][1]
    return 1 + TAG_SIZE + SHARE_SIZE[kind] + WRAPPED_SIZE


_LARGEST_RECIPIENT: Final = max(entry_size(k) for k in SHARE_SIZE)
#: The largest header: one signer entry of the largest kind and every other entry of the largest kind.
MAX_HEADER_SIZE: Final = (FIXED_SIZE + (MAX_RECIPIENTS - 1) * _LARGEST_RECIPIENT
                          + max(_LARGEST_RECIPIENT, max(entry_size(k) for k in SIGNER)) + NONCE_SIZE + MAC_SIZE)

_HEADER_INFO: Final = b"velora-file-v2 header"
_TAG_INFO: Final = b"velora-file-v2 recipient tag"
_PAYLOAD_INFO: Final = b"velora-file-v2 payload"
_WRAP_INFO: Final = b"velora-file-v2 wrap"


class Entry(NamedTuple):
    """One recipient entry: its kind, its tag, its share and the wrapped file key."""

    kind: int
    tag: bytes
    share: bytes
    wrapped: bytes

    def to_bytes(self) -> bytes:
        return bytes([self.kind]) + self.tag + self.share + self.wrapped


class Header(NamedTuple):
    """A parsed header; ``signed`` is every byte the MAC covers, ``size`` the header's length."""

    chunk_size: int
    entries: tuple[Entry, ...]
    nonce: bytes
    mac: bytes
    signed: bytes

    @property
    def size(self) -> int:
        return len(self.signed) + MAC_SIZE

    @property
    def signer(self) -> Entry | None:
        """The signer entry (its share is the signer's ML-DSA public key), or None for an unsigned file."""
        return next((e for e in self.entries if e.kind in SIGNER), None)

    @property
    def recipients(self) -> tuple[Entry, ...]:
        return tuple(e for e in self.entries if e.kind not in SIGNER)

    @property
    def signature_size(self) -> int:
        """The bytes of the signature after the last chunk (0 for an unsigned file)."""
        signer = self.signer
        return 0 if signer is None else SIGNER[signer.kind][2]

    @property
    def raw(self) -> bytes:
        """The whole header, as in the file."""
        return self.signed + self.mac


def _hkdf(ikm: bytes, salt: bytes | None, info: bytes) -> bytes:
    """HKDF-SHA-256 in libcrypto (through the native module: no import of a second binding on the way)."""
    out: bytes = _native.vfile_derive(ikm, salt or b"", info)
    return out


def mac_key(file_key: bytes) -> bytes:
    return _hkdf(file_key, None, _HEADER_INFO)


def tag_key(file_key: bytes) -> bytes:
    return _hkdf(file_key, None, _TAG_INFO)


def payload_key(file_key: bytes, nonce: bytes) -> bytes:
    return _hkdf(file_key, nonce, _PAYLOAD_INFO)


def wrap_key(secret: bytes, kind: int) -> bytes:
    """The key that wraps the file key in an entry of ``kind``, from the KEM's shared secret."""
    return _hkdf(secret, None, _WRAP_INFO + bytes([kind]))


def recipient_tag(file_key_tag_key: bytes, kind: int, public: bytes) -> bytes:
    """HMAC-SHA-256(tag key, kind || public key)[:16]: names an entry to holders of the file key only."""
    tag: bytes = _native.vfile_mac(file_key_tag_key, bytes([kind]) + public)
    return tag[:TAG_SIZE]


def header_mac(file_key: bytes, signed: bytes) -> bytes:
    mac: bytes = _native.vfile_mac(mac_key(file_key), signed)
    return mac


def check_chunk_size(chunk_size: int) -> int:
    if isinstance(chunk_size, bool) or not isinstance(chunk_size, int):
        raise TypeError(f"chunk_size must be an int, not {type(chunk_size).__name__}")
    if not MIN_CHUNK_SIZE <= chunk_size <= MAX_CHUNK_SIZE:
        raise InvalidParameterError(f"chunk_size must be {MIN_CHUNK_SIZE} to {MAX_CHUNK_SIZE} bytes, got {chunk_size}")
    return chunk_size


def check_entries(entries: Sequence[Entry]) -> None:
    """The rules on the set of entries that both writers and readers apply."""
    if not 1 <= len(entries) <= MAX_RECIPIENTS:
        raise FileFormatError(f"a velora file has 1 to {MAX_RECIPIENTS} recipients, not {len(entries)}")
    signers = sum(e.kind in SIGNER for e in entries)
    if signers > 1:
        raise FileFormatError("malformed header: more than one signer entry")
    recipients = len(entries) - signers
    if recipients == 0:
        raise FileFormatError("malformed header: a signer entry but no recipient")
    if recipients > 1 and any(e.kind == KIND_SCRYPT for e in entries):
        raise FileFormatError("malformed header: a passphrase entry must be the only recipient of its file")


def build(chunk_size: int, entries: Sequence[Entry], nonce: bytes, file_key: bytes) -> bytes:
    """The whole header, its MAC included."""
    check_entries(entries)
    signed = MAGIC + struct.pack(">BIH", VERSION, chunk_size, len(entries))
    signed += b"".join(e.to_bytes() for e in entries) + nonce
    return signed + header_mac(file_key, signed)


def parse(source: Source, head: bytes = b"") -> Header:
    """Reads one header from ``source`` (``head``: its first bytes, already read).

    Checks the structure only; the MAC is checked once a file key is found
    (`verify`). Raises `FileFormatError` for anything no writer produces.
    """
    fixed = head + source.read_exact(FIXED_SIZE - len(head), "truncated file: the header is incomplete")
    if fixed[:8] != MAGIC:
        raise FileFormatError("not a velora encrypted file (bad magic)")
    version, chunk_size, count = struct.unpack_from(">BIH", fixed, 8)
    if version != VERSION:
        raise FileFormatError(f"unsupported velora file version {version}")
    if not MIN_CHUNK_SIZE <= chunk_size <= MAX_CHUNK_SIZE:
        raise FileFormatError(f"invalid chunk size {chunk_size} in the header "
                              f"(expected {MIN_CHUNK_SIZE} to {MAX_CHUNK_SIZE})")
    if not 1 <= count <= MAX_RECIPIENTS:
        raise FileFormatError(f"invalid recipient count {count} (expected 1 to {MAX_RECIPIENTS})")
    parts = [fixed]
    entries = []
    for _ in range(count):
        kind_byte = source.read_exact(1, "truncated file: the header is incomplete")
        kind = kind_byte[0]
        if kind in SIGNER:
            public = source.read_exact(SIGNER[kind][1], "truncated file: the header is incomplete")
            parts += (kind_byte, public)
            entries.append(Entry(kind, b"", public, b""))
            continue
        share_size = SHARE_SIZE.get(kind)
        if share_size is None:
            raise FileFormatError(f"unknown recipient kind 0x{kind:02x} in the header")
        body = source.read_exact(TAG_SIZE + share_size + WRAPPED_SIZE, "truncated file: the header is incomplete")
        parts += (kind_byte, body)
        entries.append(Entry(kind, body[:TAG_SIZE], body[TAG_SIZE : TAG_SIZE + share_size],
                             body[TAG_SIZE + share_size :]))
    check_entries(entries)
    nonce = source.read_exact(NONCE_SIZE, "truncated file: the header is incomplete")
    mac = source.read_exact(MAC_SIZE, "truncated file: the header is incomplete")
    parts.append(nonce)
    return Header(chunk_size, tuple(entries), nonce, mac, b"".join(parts))


def verify(header: Header, file_key: bytes) -> bool:
    return equal(header_mac(file_key, header.signed), header.mac)
