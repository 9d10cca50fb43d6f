"""A flood of white space as an input: made as it is read, never held, and counted."""

from __future__ import annotations

import io

from velora.files.armor import MAX_LEADING_WHITESPACE
from velora.files.source import BLOCK

#: What a refusal of leading white space may read: the limit and a few blocks around it.
READ_BOUND = MAX_LEADING_WHITESPACE + 3 * BLOCK


class Flood(io.RawIOBase):
    """`size` bytes of white space (spaces, tabs, CR and LF) then `tail`; ``served`` counts
    the bytes read so far."""

    def __init__(self, size: int, tail: bytes = b"") -> None:
        self._left = size
        self._tail = tail
        self.served = 0

    def readable(self) -> bool:
        return True

    def readinto(self, b: bytearray | memoryview) -> int:  # type: ignore[override]
        view = memoryview(b).cast("B")
        if self._left:
            n = min(len(view), self._left)
            view[:n] = b" \n\t\r" * (n // 4) + b" " * (n % 4)
            self._left -= n
        else:
            n = min(len(view), len(self._tail))
            view[:n] = self._tail[:n]
            self._tail = self._tail[n:]
        self.served += n
        return n
