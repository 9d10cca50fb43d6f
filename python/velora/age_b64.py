"""Canonical Base64 (RFC 4648 Section 4) as the age format uses it: unpadded
in the header, padded in the armour, and canonical in both (no set bits after
the last symbol). `binascii` decodes; the canonical check re-encodes."""

from __future__ import annotations

import base64
import binascii
import re
from typing import Final

_ALPHABET: Final = re.compile(rb"[A-Za-z0-9+/]*")


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


def decode_padded(text: bytes) -> bytes:
    """Padded canonical Base64; ValueError otherwise."""
    if len(text) % 4 != 0:
        raise ValueError("Base64 without its padding")
    try:
        data = binascii.a2b_base64(text, strict_mode=True)
    except binascii.Error:
        raise ValueError("not Base64") from None
    if base64.b64encode(data) != text:
        raise ValueError("non-canonical Base64")
    return data
