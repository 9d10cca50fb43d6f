"""The age v1 header: its stanzas, parsing it strictly as the format's ABNF
says, writing it, and its MAC; and the canonical Base64 the format uses.

    header    = "age-encryption.org/v1" LF 1*stanza "--- " 43base64char LF
    stanza    = "-> " argument *(SP argument) LF *(64base64char LF) *63base64char LF
    argument  = 1*VCHAR

Base64 is RFC 4648 Section 4, unpadded in the header, padded in the armour,
and canonical in both (no set bits after the last symbol): `binascii`
decodes, the canonical check re-encodes.
"""

from __future__ import annotations

import base64
import binascii
import re
from collections.abc import Sequence
from typing import Final, NamedTuple

from .. import _velora_native as _native
from ..compare import equal
from ..errors import AgeHeaderError, AgeHmacError
from ..files.source import Source

MAGIC: Final = b"age-encryption.org/"
VERSION_LINE: Final = b"age-encryption.org/v1\n"
#: Bounds that keep a hostile header from using unbounded memory: a line of a
#: stanza's arguments (a hybrid stanza's is about 1,500 bytes) and the whole header.
MAX_LINE_BYTES: Final = 16 * 1024
MAX_HEADER_BYTES: Final = 4 * 1024 * 1024
#: The MAC line after "---": " ", 43 Base64 characters, LF.
MAC_LINE_TAIL: Final = 1 + 43 + 1

_ALPHABET: Final = re.compile(rb"[A-Za-z0-9+/]*")
_VCHARS: Final = re.compile(rb"[\x21-\x7e]+")
_BASE64_LINE: Final = re.compile(rb"[A-Za-z0-9+/]{0,64}")


# ---- canonical Base64 ---------------------------------------------------------


def decode_unpadded(text: bytes) -> bytes:
    """Unpadded canonical Base64; ValueError otherwise."""
    if not _ALPHABET.fullmatch(text) or len(text) % 4 == 1:
        raise ValueError("not unpadded Base64")
    data = binascii.a2b_base64(text + b"=" * (-len(text) % 4), strict_mode=True)
    if base64.b64encode(data).rstrip(b"=") != text:
        raise ValueError("non-canonical Base64")
    return data


def encode_unpadded(data: bytes) -> bytes:
    return base64.b64encode(data).rstrip(b"=")


# ---- stanzas and the header -------------------------------------------------


class Stanza(NamedTuple):
    """One recipient stanza: its arguments (the first is its type) and its body."""

    args: tuple[str, ...]
    body: bytes

    @property
    def type(self) -> str:
        return self.args[0]


def header_mac(file_key: bytes, signed: bytes) -> bytes:
    """The MAC of the header text `signed` (up to and including "---") under `file_key`."""
    mac: bytes = _native.age_header_mac(file_key, signed)
    return mac


class Header(NamedTuple):
    stanzas: tuple[Stanza, ...]
    mac: bytes
    signed: bytes  # the header up to and including "---": what the MAC covers

    def verify(self, file_key: bytes) -> None:
        if not equal(header_mac(file_key, self.signed), self.mac):
            raise AgeHmacError("the header MAC does not verify: the header was altered or the file is damaged")


def _line(src: Source, total: int) -> bytes:
    line = src.readline(MAX_LINE_BYTES)
    if not line.endswith(b"\n"):
        raise AgeHeaderError("header line is too long or the header is cut short")
    if total + len(line) > MAX_HEADER_BYTES:
        raise AgeHeaderError(f"header is longer than {MAX_HEADER_BYTES} bytes")
    return line


def read_header(src: Source) -> Header:
    """Parses the header; AgeHeaderError for anything the ABNF does not allow."""
    first = src.readline(len(VERSION_LINE))
    if first != VERSION_LINE:
        if first.startswith(MAGIC):
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
    if len(line) != 3 + MAC_LINE_TAIL or line[3:4] != b" ":
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
    mac = header_mac(file_key, bytes(out))
    out += b" " + encode_unpadded(mac) + b"\n"
    return bytes(out)
