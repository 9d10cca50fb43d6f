"""ASCII armour: strict RFC 7468 PEM (Figure 3), streamed in both directions.

The writer produces "-----BEGIN <label>-----", the data in standard Base64
with "=" padding in lines of exactly 64 characters (the last one 4 to 64),
"-----END <label>-----", each line ended by LF. The reader accepts exactly
that, with LF or CR LF line ends (the same throughout), white space before
the BEGIN line and after the END line, and nothing else: no headers, no other
line widths, no white space inside lines, no non-canonical Base64, no text
around the block. Anything else is `FileFormatError`. (Python's base64 module
does the coding; only the strict line discipline is written here, since no
library offers a strict streaming PEM reader.)
"""

from __future__ import annotations

import base64
import binascii
from collections.abc import Callable

from .errors import FileFormatError
from .source import Source

LINE_CHARS = 64
LINE_BYTES = 48  # decoded bytes per full line
_WHITESPACE = b" \t\r\n"
_BEGIN = b"-----BEGIN "
_END = b"-----END "
_DASHES = b"-----"
_READ = 64 * 1024
_MAX_LINE = 200  # longer than any valid line of this armour


def _bad(what: str) -> FileFormatError:
    return FileFormatError(f"malformed armour: {what}")


class ArmorWriter:
    """Writes the armour of the bytes given to ``write`` through ``sink``."""

    def __init__(self, sink: Callable[[bytes], object], label: str) -> None:
        self._sink = sink
        self._label = label.encode("ascii")
        self._pending = b""
        sink(b"-----BEGIN " + self._label + b"-----\n")

    def write(self, data: bytes | memoryview) -> None:
        data = self._pending + data if self._pending else data
        full = len(data) - len(data) % LINE_BYTES
        self._pending = bytes(data[full:])  # a copy: the caller may reuse its buffer
        if full:
            self._sink(_lines(data[:full]))

    def close(self) -> None:
        tail = _lines(self._pending) if self._pending else b""
        self._pending = b""
        self._sink(tail + b"-----END " + self._label + b"-----\n")


def _lines(data: bytes | memoryview) -> bytes:
    text = binascii.b2a_base64(data, newline=False)
    return b"".join(text[i : i + LINE_CHARS] + b"\n" for i in range(0, len(text), LINE_CHARS))


def starts_armor(prefix: bytes) -> bool:
    """Whether an input starting with ``prefix`` can only be armour."""
    stripped = prefix.lstrip(_WHITESPACE)
    if not stripped:
        return bool(prefix)  # only white space so far
    return _BEGIN.startswith(stripped[: len(_BEGIN)])


class ArmorReader:
    """The decoded bytes of an armoured input; ``read(n)`` like a binary file.

    The BEGIN line is read at construction (``label`` is then known); every
    error of the armour, including a missing END line or text after it, is
    raised by the ``read`` that reaches it.
    """

    def __init__(self, source: Source) -> None:
        self._src = source
        self._buf = b""
        self._pos = 0
        self._out = bytearray()
        self._done = False
        self._eol = b"\n"
        self._final_seen = False  # a short (last) body line was read
        self._lines = 0
        first = self._skip_whitespace()
        if not first.startswith(_BEGIN) or not first.endswith(_DASHES) or len(first) <= len(_BEGIN) + len(_DASHES):
            raise _bad("the input does not start with a -----BEGIN line")
        self.label = first[len(_BEGIN) : -len(_DASHES)].decode("ascii", "replace")

    # -- lines -------------------------------------------------------------

    def _more(self) -> bool:
        data = self._src.read_upto(_READ)
        if not data:
            return False
        self._buf = self._buf[self._pos :] + data
        self._pos = 0
        return True

    def _line(self) -> bytes | None:
        """The next line without its end; None at the end of the input."""
        while True:
            nl = self._buf.find(b"\n", self._pos, self._pos + _MAX_LINE)
            if nl >= 0:
                line = self._buf[self._pos : nl + 1]
                self._pos = nl + 1
                if not line.endswith(self._eol) or (self._eol == b"\n" and line.endswith(b"\r\n")):
                    raise _bad("mixed or unexpected line ends")
                return line[: -len(self._eol)]
            if len(self._buf) - self._pos >= _MAX_LINE:
                raise _bad("a line is too long")
            if not self._more():
                rest = self._buf[self._pos :]
                self._pos = len(self._buf)
                return rest if rest else None

    def _skip_whitespace(self) -> bytes:
        while True:
            if self._pos >= len(self._buf) and not self._more():
                raise _bad("empty input")
            while self._pos < len(self._buf) and self._buf[self._pos] in _WHITESPACE:
                self._pos += 1
            if self._pos < len(self._buf):
                break
        nl = self._buf.find(b"\n", self._pos)
        while nl < 0 and len(self._buf) - self._pos < _MAX_LINE and self._more():
            nl = self._buf.find(b"\n", self._pos)
        if nl < 0:
            raise _bad("the -----BEGIN line is not ended")
        self._eol = b"\r\n" if nl > self._pos and self._buf[nl - 1] == 0x0D else b"\n"
        line = self._buf[self._pos : nl + 1 - len(self._eol)]
        self._pos = nl + 1
        return line

    # -- body --------------------------------------------------------------

    def _decode_block(self) -> bool:
        """Decodes as many full lines as are buffered at once; False when none is."""
        width = LINE_CHARS + len(self._eol)
        count = (len(self._buf) - self._pos) // width - 1  # keep one back: it may be the END line
        if count < 1 or self._final_seen:
            return False
        block = self._buf[self._pos : self._pos + count * width]
        eols = block[LINE_CHARS::width]
        if self._eol == b"\r\n":
            ok = eols == b"\r" * count and block[LINE_CHARS + 1 :: width] == b"\n" * count
        else:
            ok = eols == b"\n" * count
        if not ok or block.count(b"\n") != count or b"=" in block or b"-" in block:
            return False
        try:
            self._out += binascii.a2b_base64(block.replace(self._eol, b""), strict_mode=True)
        except binascii.Error:
            raise _bad("invalid Base64 in the body") from None
        self._pos += count * width
        self._lines += count
        return True

    def _decode_line(self) -> None:
        line = self._line()
        if line is None:
            raise _bad("no -----END line")
        if line.startswith(_END):
            if line != _END + self.label.encode("ascii", "replace") + _DASHES:
                raise _bad("the -----END line does not match the -----BEGIN line")
            if self._lines == 0:
                raise _bad("empty body")
            self._finish()
            return
        if self._final_seen:
            raise _bad("a body line after the short last line")
        n = len(line)
        if n == 0 or n > LINE_CHARS or n % 4:
            raise _bad(f"a body line of {n} characters")
        try:
            data = binascii.a2b_base64(line, strict_mode=True)
        except binascii.Error:
            raise _bad("invalid Base64 in the body") from None
        if n < LINE_CHARS or line.endswith(b"="):
            self._final_seen = True
            if base64.b64encode(data) != line:
                raise _bad("non-canonical Base64 in the last line")
        self._out += data
        self._lines += 1

    def _finish(self) -> None:
        rest = self._buf[self._pos :]
        while True:
            if rest.strip(_WHITESPACE):
                raise _bad("data after the -----END line")
            rest = self._src.read_upto(_READ)
            if not rest:
                break
        self._buf, self._pos, self._done = b"", 0, True

    def read(self, n: int = -1) -> bytes:
        while not self._done and (n < 0 or len(self._out) < n):
            if not self._decode_block():
                if not self._more() or not self._decode_block():
                    self._decode_line()
        if n < 0 or n >= len(self._out):
            out = bytes(self._out)
            self._out.clear()
        else:
            out = bytes(self._out[:n])
            del self._out[:n]
        return out
