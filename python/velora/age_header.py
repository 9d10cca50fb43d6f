"""The age v1 header: parsing it from a byte source, strictly as the format's
ABNF says, and writing it with its MAC.

    header    = "age-encryption.org/v1" LF 1*stanza "--- " 43base64char LF
    stanza    = "-> " argument *(SP argument) LF *(64base64char LF) *63base64char LF
    argument  = 1*VCHAR
"""

from __future__ import annotations

import hmac
import re
from collections.abc import Callable, Sequence
from typing import Final, NamedTuple

from . import _velora_native as _native
from .age_b64 import decode_unpadded, encode_unpadded
from .age_errors import AgeHeaderError, AgeHmacError
from .age_keys import Stanza

VERSION_LINE: Final = b"age-encryption.org/v1\n"
#: Bounds that keep a hostile header from using unbounded memory: a line of a
#: stanza's arguments (a hybrid stanza's is about 1,500 bytes) and the whole header.
MAX_LINE_BYTES: Final = 16 * 1024
MAX_HEADER_BYTES: Final = 4 * 1024 * 1024

_VCHARS: Final = re.compile(rb"[\x21-\x7e]+")
_BASE64_LINE: Final = re.compile(rb"[A-Za-z0-9+/]{0,64}")


class ByteSource:
    """A read(n) function with a buffer in front: lines for the header, then bytes."""

    def __init__(self, read: Callable[[int], bytes], block: int = 64 * 1024) -> None:
        self._read = read
        self._block = block
        self._buf = bytearray()
        self._eof = False

    def _fill(self) -> bool:
        if self._eof:
            return False
        data = self._read(self._block)
        if not data:
            self._eof = True
            return False
        self._buf += data
        return True

    def readline(self, limit: int) -> bytes:
        """A line with its LF; at most `limit` bytes (no LF: too long or the end of the data)."""
        start = 0
        while True:
            i = self._buf.find(b"\n", start, limit)
            if i >= 0:
                return self.take(i + 1)
            start = len(self._buf)
            if start >= limit or not self._fill():
                return self.take(min(limit, len(self._buf)))

    def take(self, n: int) -> bytes:
        out = bytes(self._buf[:n])
        del self._buf[:n]
        return out

    def read(self, n: int) -> bytes:
        """n bytes, fewer only at the end of the data."""
        while len(self._buf) < n and self._fill():
            pass
        return self.take(n)

    def peek_first_nonspace(self) -> bytes:
        """The first byte that is not white space (left in the buffer); b"" for none."""
        while True:
            stripped = self._buf.lstrip(b" \t\r\n")
            if stripped:
                return bytes(stripped[:1])
            if not self._fill():
                return b""

    def rest(self) -> bytes:
        """Every byte buffered and not yet taken, without reading the source (it is then empty)."""
        return self.take(len(self._buf))

    def buffered(self, n: int) -> bytes:
        """Up to n of the bytes already buffered, without reading the source."""
        return self.take(n) if self._buf else b""

    def read_buffered(self, n: int) -> bytes:
        """Up to n bytes: first what is buffered, then one read of the source."""
        if not self._buf and not self._fill():
            return b""
        return self.take(n)


class Header(NamedTuple):
    stanzas: tuple[Stanza, ...]
    mac: bytes
    signed: bytes  # the header up to and including "---": what the MAC covers

    def verify(self, file_key: bytes) -> None:
        if not hmac.compare_digest(_native.age_header_mac(file_key, self.signed), self.mac):
            raise AgeHmacError("the header MAC does not verify: the header was altered or the file is damaged")


def _line(src: ByteSource, total: int) -> bytes:
    line = src.readline(MAX_LINE_BYTES)
    if not line.endswith(b"\n"):
        raise AgeHeaderError("header line is too long or the header is cut short")
    if total + len(line) > MAX_HEADER_BYTES:
        raise AgeHeaderError(f"header is longer than {MAX_HEADER_BYTES} bytes")
    return line


def read_header(src: ByteSource) -> Header:
    """Parses the header; AgeHeaderError for anything the ABNF does not allow."""
    first = src.readline(len(VERSION_LINE))
    if first != VERSION_LINE:
        if first.startswith(b"age-encryption.org/"):
            raise AgeHeaderError("unsupported age format version")
        raise AgeHeaderError("not an age file: the version line is missing")
    signed = bytearray(first)
    stanzas: list[Stanza] = []
    line = _line(src, len(signed))
    while line.startswith(b"-> "):
        signed += line
        args = line[3:-1].split(b" ")
        if not all(_VCHARS.fullmatch(a) for a in args):
            raise AgeHeaderError("stanza arguments must be non-empty runs of printable ASCII")
        body_text = bytearray()
        while True:
            body_line = _line(src, len(signed))
            text = body_line[:-1]
            if not _BASE64_LINE.fullmatch(text):
                raise AgeHeaderError("stanza body line is not at most 64 Base64 characters")
            signed += body_line
            body_text += text
            if len(text) < 64:
                break
        try:
            body = decode_unpadded(bytes(body_text))
        except ValueError:
            raise AgeHeaderError("stanza body is not canonical unpadded Base64") from None
        stanzas.append(Stanza(tuple(a.decode("ascii") for a in args), body))
        line = _line(src, len(signed))
    if not line.startswith(b"---"):
        raise AgeHeaderError("expected a stanza or the MAC line")
    if not stanzas:
        raise AgeHeaderError("the header has no recipient stanza")
    signed += b"---"
    if len(line) != 48 or line[3:4] != b" ":
        raise AgeHeaderError("MAC line must be '--- ' and 43 Base64 characters")
    try:
        mac = decode_unpadded(line[4:-1])
    except ValueError:
        raise AgeHeaderError("MAC is not canonical unpadded Base64") from None
    return Header(tuple(stanzas), mac, bytes(signed))


def encode_header(stanzas: Sequence[Stanza], file_key: bytes) -> bytes:
    """The header of these stanzas with its MAC under `file_key`."""
    out = bytearray(VERSION_LINE)
    for s in stanzas:
        out += b"-> " + " ".join(s.args).encode("ascii") + b"\n"
        text = encode_unpadded(s.body)
        for i in range(0, len(text), 64):
            out += text[i : i + 64] + b"\n"
        if len(text) % 64 == 0:  # the body ends with a short line, empty if need be
            out += b"\n"
    out += b"---"
    mac = _native.age_header_mac(file_key, bytes(out))
    out += b" " + encode_unpadded(mac) + b"\n"
    return bytes(out)
