"""ASCII armour: one strict streaming PEM codec (RFC 7468) for every format.

The writer produces "-----BEGIN <label>-----", the data in standard Base64
with "=" padding in lines of exactly 64 characters (the last one 4 to 64),
"-----END <label>-----", each line ended by LF. The reader accepts exactly
that, with LF or CR LF line ends, white space before the BEGIN line and after
the END line, and nothing else: no headers, no other line widths, no white
space inside lines, no non-canonical Base64, no text around the block.

What differs between formats is a `Dialect`: velora's files take any label
(the reader reports it, and the registry picks the format by it), one line
end throughout and a non-empty body, and raise `FileFormatError`; age's
armour has one fixed label, lets each line end either way, and raises
`AgeArmorError` with age's own wording (`velora.age.armor`).

At most `MAX_LEADING_WHITESPACE` bytes of white space may come before the
BEGIN line: more is refused at once, so that a stream of spaces costs a
bounded, linear scan. White space after the END line is read to the end of
the input (linearly) and must be all there is. (Python's base64 module does
the coding; only the strict line discipline is written here, since no library
offers a strict streaming PEM reader.)
"""

from __future__ import annotations

import base64
import binascii
from collections.abc import Callable
from typing import Final, NamedTuple

from ..errors import FileFormatError
from .source import WHITESPACE, Source

LINE_CHARS: Final = 64
LINE_BYTES: Final = 48  # decoded bytes per full line
#: The most white space allowed before the BEGIN line (64 KiB): far more than
#: any mail client or editor adds, little enough to refuse a flood quickly.
MAX_LEADING_WHITESPACE: Final = 64 * 1024
_BEGIN: Final = b"-----BEGIN "
_END: Final = b"-----END "
_DASHES: Final = b"-----"
_MAX_LINE: Final = 200  # longer than any valid line of an armour
_BLOCK: Final = 64 * 1024  # body bytes decoded at once on the fast path


class Dialect(NamedTuple):
    """How one format's armour differs from the others'."""

    #: The one label allowed, or None for any (the reader reports it as ``label``).
    label: str | None
    #: Whether every line must end as the BEGIN line does (LF, or CR LF throughout).
    same_line_ends: bool
    #: Whether a block with no body line is an error.
    body_required: bool
    #: The error raised for every fault, given its message.
    error: Callable[[str], Exception]
    #: The message of each fault, by name (see `VELORA`).
    messages: dict[str, str]


VELORA: Final = Dialect(
    label=None,
    same_line_ends=True,
    body_required=True,
    error=lambda what: FileFormatError(f"malformed armour: {what}"),
    messages={
        "empty": "empty input",
        "whitespace": f"more than {MAX_LEADING_WHITESPACE} bytes of white space before the -----BEGIN line",
        "begin": "the input does not start with a -----BEGIN line",
        "begin_unended": "the -----BEGIN line is not ended",
        "too_long": "a line is too long",
        "line_ends": "mixed or unexpected line ends",
        "no_end": "no -----END line",
        "end_label": "the -----END line does not match the -----BEGIN line",
        "empty_body": "empty body",
        "after_last": "a body line after the short last line",
        "line_width": "a body line of {n} characters",
        "line_padding": "a body line of {n} characters",
        "base64": "invalid Base64 in the body",
        "canonical": "non-canonical Base64 in the last line",
        "trailing": "data after the -----END line",
    },
)


class ArmorWriter:
    """Writes the armour of the bytes given to ``write`` through ``sink``."""

    def __init__(self, sink: Callable[[bytes], object], label: str) -> None:
        self._sink = sink
        self._label = label.encode("ascii")
        self._pending = b""
        sink(_BEGIN + self._label + _DASHES + b"\n")

    def write(self, data: bytes | bytearray | memoryview) -> None:
        data = self._pending + data if self._pending else data
        full = len(data) - len(data) % LINE_BYTES
        self._pending = bytes(data[full:])  # a copy: the caller may reuse its buffer
        if full:
            self._sink(_lines(data[:full]))

    def close(self) -> None:
        tail = _lines(self._pending) if self._pending else b""
        self._pending = b""
        self._sink(tail + _END + self._label + _DASHES + b"\n")


def _lines(data: bytes | bytearray | memoryview) -> bytes:
    text = binascii.b2a_base64(data, newline=False)
    return b"".join(text[i : i + LINE_CHARS] + b"\n" for i in range(0, len(text), LINE_CHARS))


def starts_armor(prefix: bytes) -> bool:
    """Whether an input starting with ``prefix`` can only be armour."""
    stripped = prefix.lstrip(WHITESPACE)
    if not stripped:
        return bool(prefix)  # only white space so far
    return _BEGIN.startswith(stripped[: len(_BEGIN)])


class ArmorReader:
    """The decoded bytes of an armoured input; ``read(n)`` like a binary file.

    The BEGIN line is read at construction (``label`` is then known); every
    other error of the armour, including a missing END line or text after it,
    is raised by the ``read`` that reaches it.
    """

    def __init__(self, source: Source, dialect: Dialect = VELORA) -> None:
        self._src = source
        self._dialect = dialect
        self._out = bytearray()
        self._done = False
        self._eol = b"\n"
        self._final_seen = False  # a short (last) body line was read
        self._lines = 0
        self.label = self._begin()

    def _fault(self, name: str, **fields: object) -> Exception:
        return self._dialect.error(self._dialect.messages[name].format(**fields))

    # -- lines ----------------------------------------------------------------------

    def _line(self) -> bytes | None:
        """The next line without its end; None at the end of the input."""
        line = self._src.readline(_MAX_LINE)
        if not line:
            return None
        if not line.endswith(b"\n"):
            if len(line) >= _MAX_LINE:
                raise self._fault("too_long")
            return line  # the last line, without a line end
        if self._dialect.same_line_ends:
            if not line.endswith(self._eol) or (self._eol == b"\n" and line.endswith(b"\r\n")):
                raise self._fault("line_ends")
            return line[: -len(self._eol)]
        return line[:-2] if line.endswith(b"\r\n") else line[:-1]

    def _begin(self) -> str:
        skipped = self._src.skip_whitespace(MAX_LEADING_WHITESPACE)
        if skipped > MAX_LEADING_WHITESPACE:
            raise self._fault("whitespace")
        line = self._src.readline(_MAX_LINE)
        if not line:
            raise self._fault("empty")
        if not line.endswith(b"\n"):
            raise self._fault("begin_unended" if self._dialect.label is None else "begin")
        self._eol = b"\r\n" if line.endswith(b"\r\n") else b"\n"
        first = line[: -len(self._eol)]
        want = self._dialect.label
        if want is not None:
            if first != _BEGIN + want.encode("ascii") + _DASHES:
                raise self._fault("begin")
            return want
        if not first.startswith(_BEGIN) or not first.endswith(_DASHES) or len(first) <= len(_BEGIN) + len(_DASHES):
            raise self._fault("begin")
        return first[len(_BEGIN) : -len(_DASHES)].decode("ascii", "replace")

    # -- body -----------------------------------------------------------------------

    def _decode_block(self) -> bool:
        """Decodes as many full lines as the source holds at once; False when there is none."""
        if self._final_seen:
            return False
        width = LINE_CHARS + len(self._eol)
        block = self._src.peek(_BLOCK // width * width + width)
        count = len(block) // width - 1  # keep one back: it may be the END line
        if count < 1:
            return False
        block = block[: count * width]
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
            raise self._fault("base64") from None
        self._src.drop(count * width)
        self._lines += count
        return True

    def _decode_line(self) -> None:
        line = self._line()
        if line is None:
            raise self._fault("no_end")
        if line.startswith(_END):
            if line != _END + self.label.encode("ascii", "replace") + _DASHES:
                raise self._fault("end_label")
            if self._lines == 0 and self._dialect.body_required:
                raise self._fault("empty_body")
            self._finish()
            return
        if self._final_seen:
            raise self._fault("after_last")
        n = len(line)
        if n == 0 or n > LINE_CHARS:
            raise self._fault("line_width", n=n)
        if n % 4:
            raise self._fault("line_padding", n=n)
        try:
            data = binascii.a2b_base64(line, strict_mode=True)
        except binascii.Error:
            raise self._fault("base64") from None
        if n < LINE_CHARS or line.endswith(b"="):
            self._final_seen = True
            if base64.b64encode(data) != line:
                raise self._fault("canonical")
        self._out += data
        self._lines += 1

    def _finish(self) -> None:
        while True:
            self._src.skip_whitespace(_BLOCK)
            following = self._src.peek(1)
            if not following:
                break
            if following not in WHITESPACE:
                raise self._fault("trailing")
        self._done = True

    def read(self, n: int = -1, /) -> bytes:
        """Up to n decoded bytes (all of them for n < 0), fewer only at the end of the armour."""
        while not self._done and (n < 0 or len(self._out) < n):
            if not self._decode_block():
                self._decode_line()
        if n < 0 or n >= len(self._out):
            out = bytes(self._out)
            self._out.clear()
        else:
            out = bytes(self._out[:n])
            del self._out[:n]
        return out


__all__ = ["ArmorReader", "ArmorWriter", "Dialect", "MAX_LEADING_WHITESPACE", "VELORA", "starts_armor"]
