"""age's ASCII armour: strict PEM (RFC 7468 Section 3) with the label
"AGE ENCRYPTED FILE", canonical padded Base64 in lines of exactly 64
characters (the last one 1 to 64), LF or CRLF line ends, white space only
before and after the block. Both directions stream.
"""

from __future__ import annotations

import base64
from collections.abc import Callable
from typing import BinaryIO, Final

from .age_b64 import decode_padded
from .age_errors import AgeArmorError

BEGIN: Final = b"-----BEGIN AGE ENCRYPTED FILE-----"
END: Final = b"-----END AGE ENCRYPTED FILE-----"
_WHITESPACE: Final = b" \t\r\n"
_LINE_BYTES: Final = 48  # 64 Base64 characters


class ArmorReader:
    """read(n) of the bytes inside an armoured file, checked line by line."""

    def __init__(self, read: Callable[[int], bytes]) -> None:
        self._read = read
        self._raw = bytearray()
        self._raw_eof = False
        self._decoded = bytearray()
        self._state = "start"  # start, body, done

    def _fill(self) -> bool:
        if self._raw_eof:
            return False
        data = self._read(64 * 1024)
        if not data:
            self._raw_eof = True
            return False
        self._raw += data
        return True

    def _line(self) -> bytes | None:
        """The next line without its LF or CRLF; None for a last line without one."""
        while True:
            i = self._raw.find(b"\n", 0, 128)
            if i >= 0:
                line = bytes(self._raw[:i])
                del self._raw[: i + 1]
                return line[:-1] if line.endswith(b"\r") else line
            if len(self._raw) >= 128:
                raise AgeArmorError("armour line is too long")
            if not self._fill():
                return None

    def _skip_whitespace(self) -> bool:
        """Drops white space; False at the end of the data."""
        while True:
            stripped = self._raw.lstrip(_WHITESPACE)
            del self._raw[: len(self._raw) - len(stripped)]
            if self._raw:
                return True
            if not self._fill():
                return False

    def _step(self) -> None:
        if self._state == "start":
            if not self._skip_whitespace():
                raise AgeArmorError("no armoured block: the data is empty")
            if self._line() != BEGIN:
                raise AgeArmorError("the armour does not begin with '-----BEGIN AGE ENCRYPTED FILE-----'")
            self._state = "body"
            return
        line = self._line()
        if line is None:
            # Only the END line may lack its line end, and only at the very end.
            line = bytes(self._raw)
            self._raw.clear()
            if line != END:
                raise AgeArmorError("the armour has no END line")
        if line == END:
            if self._skip_whitespace():
                raise AgeArmorError("data after the armour's END line")
            self._state = "done"
            return
        if self._state == "last":
            raise AgeArmorError("a short armour line is not the last one")
        if not 0 < len(line) <= 64:
            raise AgeArmorError("armour line must hold 1 to 64 Base64 characters")
        if len(line) < 64 or line.endswith(b"="):
            self._state = "last"
        try:
            self._decoded += decode_padded(line)
        except ValueError as e:
            raise AgeArmorError(f"armour line is not canonical padded Base64: {e}") from None

    def read(self, n: int = -1, /) -> bytes:
        """Up to n decoded bytes (all of them for n < 0), fewer only at the end of the armour."""
        while (n < 0 or len(self._decoded) < n) and self._state != "done":
            self._step()
        if n < 0:
            n = len(self._decoded)
        out = bytes(self._decoded[:n])
        del self._decoded[:n]
        return out


class ArmorWriter:
    """write() bytes; close() ends the block. Lines end with LF."""

    def __init__(self, out: BinaryIO) -> None:
        self._out = out
        self._pending = bytearray()
        out.write(BEGIN + b"\n")

    def write(self, data: bytes | bytearray | memoryview) -> None:
        self._pending += data
        whole = len(self._pending) - len(self._pending) % _LINE_BYTES
        if whole:
            text = base64.b64encode(self._pending[:whole])
            del self._pending[:whole]
            self._out.write(b"".join(text[i : i + 64] + b"\n" for i in range(0, len(text), 64)))

    def close(self) -> None:
        if self._pending:
            self._out.write(base64.b64encode(self._pending) + b"\n")
            self._pending.clear()
        self._out.write(END + b"\n")
