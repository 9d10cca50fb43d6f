"""Property tests of the parsers of untrusted file bytes: preamble, armour, the whole reader."""

from __future__ import annotations

import base64
import io
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velora
from velora import DecryptionError, FileFormatError
from velora.files import native
from velora.files.armor import ArmorReader, ArmorWriter
from velora.files.source import Source

PREAMBLES = st.one_of(
    st.binary(max_size=16),
    # near misses: the magic, then any version and level, then anything
    st.builds(lambda v, lv, rest: native.MAGIC + struct.pack(">BH", v, lv) + rest,
              st.integers(0, 255), st.sampled_from([0, 1, 511, 512, 768, 1024, 1025, 65535]) | st.integers(0, 65535),
              st.binary(max_size=4)),
    st.builds(lambda cut: native.make_preamble(768)[:cut], st.integers(0, 11)),
)


@given(PREAMBLES)
def test_preamble_parser_accepts_exactly_the_valid_preambles(data):
    valid = len(data) >= 11 and data[:11] in {native.make_preamble(lv) for lv in native.LEVELS}
    try:
        parsed = native.parse_preamble(data)
    except FileFormatError:
        assert not valid
    else:
        assert valid and native.make_preamble(parsed.level) == data[:11] and parsed.version == 1


def _armour(data: bytes, label: str = "VELORA ENCRYPTED FILE") -> bytes:
    out = []
    writer = ArmorWriter(out.append, label)
    writer.write(data)
    writer.close()
    return b"".join(out)


def _dearmour(text: bytes) -> bytes:
    return ArmorReader(Source(io.BytesIO(text))).read()


@given(st.binary(min_size=1, max_size=400), st.sampled_from([b"", b"\n", b"  \r\n\t"]), st.booleans())
def test_armour_round_trips_with_the_allowed_variations(data, space, crlf):
    text = _armour(data)
    assert base64.b64decode(b"".join(text.splitlines()[1:-1])) == data
    if crlf:
        text = text.replace(b"\n", b"\r\n")
    assert _dearmour(space + text + space) == data


@given(st.binary(min_size=1, max_size=300), st.data())
def test_armour_reader_never_accepts_an_altered_encoding(data, draw):
    text = _armour(data)
    pos = draw.draw(st.integers(0, len(text) - 1))
    new = draw.draw(st.sampled_from(b" \t\r\n-=+/AQgw9_.\x00\xff"))
    altered = text[:pos] + bytes([new]) + text[pos + 1 :]
    if altered == text:
        return
    try:
        out = _dearmour(altered)
    except FileFormatError:
        return
    # Only a change that keeps strict, canonical PEM may pass, and then it is
    # exactly the armour of what it decodes to (white space around the block aside).
    assert _armour(out) == altered.strip(b" \t\r\n") + b"\n"


@given(st.binary(max_size=200))
def test_armour_reader_on_arbitrary_bytes(data):
    try:
        out = _dearmour(b"-----BEGIN VELORA ENCRYPTED FILE-----\n" + data)
    except FileFormatError:
        return
    assert _armour(out) == b"-----BEGIN VELORA ENCRYPTED FILE-----\n" + data.rstrip(b" \t\r\n") + b"\n"


KEY = velora.PrivateKey.from_seed(bytes(range(64)), 512)
GOOD = None


def _good() -> bytes:
    global GOOD
    if GOOD is None:
        buf = io.BytesIO()
        with velora.EncryptedWriter(buf, KEY.public_key(), chunk_size=40) as w:
            w.write(b"plaintext " * 13)
        GOOD = buf.getvalue()
    return GOOD


@settings(max_examples=300, suppress_health_check=[HealthCheck.too_slow])
@given(st.data())
def test_whole_reader_fails_closed_on_any_edit(draw):
    """Any replaced, inserted or deleted span: only DecryptionError (or its FileFormatError), never success."""
    good = _good()
    start = draw.draw(st.integers(0, len(good)))
    end = draw.draw(st.integers(start, min(len(good), start + 40)))
    new = draw.draw(st.binary(max_size=40))
    damaged = good[:start] + new + good[end:]
    if damaged == good:
        return
    with pytest.raises(DecryptionError):
        with velora.DecryptedReader(io.BytesIO(damaged), KEY) as r:
            r.read()
    # inspect reads the same bytes without a key: a report or DecryptionError, nothing else
    try:
        info = velora.inspect_file(io.BytesIO(damaged))
    except DecryptionError:
        return
    assert info.format == "velora" and info.complete in (True, False)
    if info.complete:
        assert info.problem is None and info.file_size == len(damaged)
    else:
        assert info.problem


RECIPIENT = None


def _recipient() -> str:
    global RECIPIENT
    if RECIPIENT is None:
        RECIPIENT = KEY.public_key().to_text()
    return RECIPIENT


@given(st.data())
def test_one_line_recipient_parser_accepts_only_canonical_keys(draw):
    """Edited one-line recipients parse only to the key they spell, canonically; else a VeloraError."""
    good = _recipient()
    start = draw.draw(st.integers(0, len(good)))
    end = draw.draw(st.integers(start, min(len(good), start + 6)))
    new = draw.draw(st.text(alphabet="AQgw-_=+/: m5x\n", max_size=6) | st.just("_" * (end - start)))
    text = good[:start] + new + good[end:]
    try:
        key = velora.parse_recipient(text)
    except velora.VeloraError:
        return
    assert isinstance(key, velora.PublicKey) and key.to_text() == text.strip()
