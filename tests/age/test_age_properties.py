"""Property tests (hypothesis) for the Python parsers of untrusted text: the age
header, Bech32 key strings and the ASCII armour."""

from __future__ import annotations

import base64
import io
import re

import bech32
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import velora
from velora.age.armor import AgeArmorReader as ArmorReader
from velora.age.armor import AgeArmorWriter as ArmorWriter
from velora.age.format import Stanza, encode_header, read_header
from velora.age.recipients import bech32_decode, bech32_encode
from velora.errors import AgeArmorError, AgeHeaderError
from velora.files.source import Source as ByteSource

SETTINGS = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
FILE_KEY = bytes(range(16))

vchar_args = st.text(alphabet=st.characters(min_codepoint=0x21, max_codepoint=0x7E), min_size=1, max_size=20)
stanzas = st.lists(
    st.builds(Stanza, st.lists(vchar_args, min_size=1, max_size=4).map(tuple), st.binary(max_size=200)),
    min_size=1,
    max_size=4,
)


@SETTINGS
@given(stanzas, st.binary(max_size=40))
def test_header_round_trip(items: list[Stanza], payload: bytes) -> None:
    blob = encode_header(items, FILE_KEY)
    src = ByteSource(io.BytesIO(blob + payload).read, block=7)
    header = read_header(src)
    assert list(header.stanzas) == items
    header.verify(FILE_KEY)
    assert blob == header.signed + blob[len(header.signed) :] and src.read(1000) == payload


@SETTINGS
@given(stanzas, st.data())
def test_header_mutations_fail_only_as_header_errors(items: list[Stanza], data: st.DataObject) -> None:
    blob = bytearray(encode_header(items, FILE_KEY))
    for _ in range(data.draw(st.integers(1, 3))):
        op = data.draw(st.sampled_from(["flip", "insert", "delete", "cut"]))
        at = data.draw(st.integers(0, len(blob) - 1))
        if op == "flip":
            blob[at] ^= data.draw(st.integers(1, 255))
        elif op == "insert":
            blob[at:at] = data.draw(st.binary(min_size=1, max_size=3))
        elif op == "delete":
            del blob[at]
        else:
            del blob[at:]
        if not blob:
            blob += b"\n"
    try:
        header = read_header(ByteSource(io.BytesIO(bytes(blob)).read))
    except AgeHeaderError:
        return
    # What parses is a well-formed header: it re-encodes to the same signed bytes.
    rebuilt = encode_header(header.stanzas, FILE_KEY)
    assert rebuilt.startswith(header.signed)


@SETTINGS
@given(st.binary(max_size=300))
def test_header_parser_on_noise(noise: bytes) -> None:
    for prefix in (b"", b"age-encryption.org/v1\n", b"age-encryption.org/v1\n-> X25519 "):
        try:
            read_header(ByteSource(io.BytesIO(prefix + noise).read))
        except AgeHeaderError:
            pass


hrps = st.sampled_from(["age", "age1pq", "AGE-SECRET-KEY-", "AGE-SECRET-KEY-PQ-"])


@SETTINGS
@given(hrps, st.binary(max_size=1300))
def test_bech32_round_trip_and_case(hrp: str, data: bytes) -> None:
    text = bech32_encode(hrp, data)
    assert text == text.lower() and bech32_decode(text, hrp) == data
    assert bech32_decode(text.upper(), hrp) == data
    # The reference decoder (checksum over the lower-case string) agrees.
    got_hrp, words = bech32.bech32_decode(text)
    assert got_hrp == hrp.lower() and bytes(bech32.convertbits(words, 5, 8, False)) == data


@SETTINGS
@given(hrps, st.binary(min_size=1, max_size=100), st.data())
def test_bech32_detects_a_changed_character(hrp: str, data: bytes, draw: st.DataObject) -> None:
    text = bech32_encode(hrp, data)
    at = draw.draw(st.integers(len(hrp) + 1, len(text) - 1))
    new = draw.draw(st.sampled_from("qpzry9x8gf2tvdw0s3jn54khce6mua7l"))
    assume(new != text[at])
    changed = text[:at] + new + text[at + 1 :]
    try:
        decoded = bech32_decode(changed, hrp)
    except velora.KeySerializationError:
        return
    raise AssertionError(f"a one-character change went unnoticed: {decoded!r}")


@SETTINGS
@given(st.text(max_size=120))
def test_bech32_decoder_on_noise(text: str) -> None:
    try:
        bech32_decode(text, "age")
    except velora.KeySerializationError:
        pass


def _armor(data: bytes) -> bytes:
    out = io.BytesIO()
    w = ArmorWriter(out)
    for i in range(0, len(data), 37):
        w.write(data[i : i + 37])
    w.close()
    return out.getvalue()


def _unarmor(text: bytes) -> bytes:
    reader = ArmorReader(io.BytesIO(text).read)
    out = bytearray()
    while chunk := reader.read(50):
        out += chunk
    return bytes(out)


@SETTINGS
@given(st.binary(max_size=2000), st.sampled_from([b"", b"\n \t\r\n"]), st.booleans())
def test_armor_round_trip(data: bytes, space: bytes, crlf: bool) -> None:
    text = _armor(data)
    # The armour is strict PEM: the standard library's Base64 of the body, 64 columns.
    body = b"".join(text.split(b"\n")[1:-2])
    assert base64.b64decode(body, validate=True) == data
    assert all(len(line) == 64 for line in text.split(b"\n")[1:-3])
    if crlf:
        text = text.replace(b"\n", b"\r\n")
    assert _unarmor(space + text + space) == data


@SETTINGS
@given(st.binary(max_size=500), st.data())
def test_armor_mutations_fail_only_as_armor_errors(data: bytes, draw: st.DataObject) -> None:
    text = bytearray(_armor(data))
    at = draw.draw(st.integers(0, len(text) - 1))
    text[at] = draw.draw(st.integers(0, 255))
    try:
        decoded = _unarmor(bytes(text))
    except AgeArmorError:
        return
    # What is accepted is the canonical armour of what it decodes to, up to white space
    # outside the block and line ends (a changed Base64 letter can be another valid file).
    assert re.sub(rb"\s", b"", bytes(text)) == re.sub(rb"\s", b"", _armor(decoded))
