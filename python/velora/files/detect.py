"""Finding the format of an encrypted input from its first bytes."""

from __future__ import annotations

from ..errors import FileFormatError
from .armor import ArmorReader, starts_armor
from .formats import PREFIX_BYTES, FileFormat, for_label, for_prefix
from .source import Readable, Source


class Detected:
    """The format of an input, where its bytes are read from (inside the armour if any), the raw input."""

    __slots__ = ("format", "source", "outer", "armored")

    def __init__(self, format: FileFormat, source: Source, outer: Source, armored: bool) -> None:
        self.format, self.source, self.outer, self.armored = format, source, outer, armored


def detect(file: Readable) -> Detected:
    """Reads the first bytes of ``file`` and finds its format; nothing is consumed for the format."""
    outer = Source(file)
    prefix = outer.peek(PREFIX_BYTES)
    if starts_armor(prefix):
        armor = ArmorReader(outer)
        fmt = for_label(armor.label)
        inner = Source(armor)
        if not fmt.detect(inner.peek(PREFIX_BYTES)):
            raise FileFormatError(f"the armour says {armor.label!r} but its content is not a {fmt.name} file")
        return Detected(fmt, inner, outer, True)
    return Detected(for_prefix(prefix), outer, outer, False)
