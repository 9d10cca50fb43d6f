"""age's ASCII armour: the package's one armour codec (`velora.files.armor`)
with the label "AGE ENCRYPTED FILE", LF or CR LF on each line, and
`AgeArmorError` in age's own words.

Strict PEM (RFC 7468 Section 3): canonical padded Base64 in lines of exactly
64 characters (the last one 4 to 64), white space only before (at most
`MAX_LEADING_WHITESPACE` bytes) and after the block. Both directions stream.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import BinaryIO, Final

from ..errors import AgeArmorError
from ..files.armor import MAX_LEADING_WHITESPACE, ArmorReader, ArmorWriter, Dialect
from ..files.source import Source

LABEL: Final = "AGE ENCRYPTED FILE"
BEGIN: Final = b"-----BEGIN AGE ENCRYPTED FILE-----"
END: Final = b"-----END AGE ENCRYPTED FILE-----"

AGE: Final = Dialect(
    label=LABEL,
    same_line_ends=False,
    body_required=False,
    error=AgeArmorError,
    messages={
        "empty": "no armoured block: the data is empty",
        "whitespace": f"more than {MAX_LEADING_WHITESPACE} bytes of white space before the armour",
        "begin": "the armour does not begin with '-----BEGIN AGE ENCRYPTED FILE-----'",
        "begin_unended": "the armour does not begin with '-----BEGIN AGE ENCRYPTED FILE-----'",
        "too_long": "armour line is too long",
        "line_ends": "armour line ends are neither LF nor CR LF",
        "no_end": "the armour has no END line",
        "end_label": "the armour does not end with '-----END AGE ENCRYPTED FILE-----'",
        "empty_body": "the armour has no body",
        "after_last": "a short armour line is not the last one",
        "line_width": "armour line must hold 1 to 64 Base64 characters",
        "line_padding": "armour line is not canonical padded Base64: Base64 without its padding",
        "base64": "armour line is not canonical padded Base64: not Base64",
        "canonical": "armour line is not canonical padded Base64: non-canonical Base64",
        "trailing": "data after the armour's END line",
    },
)


class AgeArmorReader(ArmorReader):
    """read(n) of the bytes inside an armoured age file, checked line by line."""

    def __init__(self, source: Source | Callable[[int], bytes]) -> None:
        super().__init__(source if isinstance(source, Source) else Source(source), AGE)


class AgeArmorWriter(ArmorWriter):
    """write() bytes to `out`; close() ends the block. Lines end with LF."""

    def __init__(self, out: BinaryIO) -> None:
        super().__init__(out.write, LABEL)


__all__ = ["AGE", "AgeArmorReader", "AgeArmorWriter", "BEGIN", "END", "LABEL"]
