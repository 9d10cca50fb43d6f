"""Public keys as URL-safe Base64 text, checked with Python's base64 module as the oracle."""

from __future__ import annotations

import base64
import os
import re

import pytest

from conftest import DEFAULT_LEVEL, LEVELS, core, expect_exact

SL = core.SecurityLevel
B64_DETAIL = "base64 decode error: invalid base64 URL-safe string"
SIZE_MSG = "decoded public key has incorrect size for the specified security level"

# Every character with the Unicode White_Space property.
WHITE_SPACE = (
    [chr(c) for c in range(0x09, 0x0E)]
    + ["\x20", "\x85", "\xa0", "\u1680"]
    + [chr(c) for c in range(0x2000, 0x200B)]
    + ["\u2028", "\u2029", "\u202f", "\u205f", "\u3000"]
)
# Characters that are not White_Space (some of them are str.isspace() in Python).
NOT_WHITE_SPACE = ["\x1c", "\x1d", "\x1e", "\x1f", "\u200b", "\ufeff", "\x00", "\u180e"]


def oracle_encode(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).decode("ascii").rstrip("=")


def oracle_decode(text: str) -> bytes:
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


@pytest.fixture(scope="module")
def key_texts():
    """A fixed public key per level and its text, chosen to contain both '-' and '_'."""
    out = {}
    for lv in LEVELS:
        for i in range(100):
            kp = core.generate_keypair_deterministic(bytes([i]) * 32, bytes(32), lv.member)
            text = core.serialize_public_key(kp.public_key)
            if "-" in text and "_" in text:
                out[lv.value] = (kp, text)
                break
    return out


def assert_base64_error(text: str, level=DEFAULT_LEVEL) -> None:
    with pytest.raises(core.VeloraError) as excinfo:
        core.deserialize_public_key(text, level.member)
    expect_exact(excinfo, core.VeloraError, B64_DETAIL)


def assert_size_error(text: str, level=DEFAULT_LEVEL) -> None:
    with pytest.raises(core.InvalidParameterError) as excinfo:
        core.deserialize_public_key(text, level.member)
    expect_exact(excinfo, core.InvalidParameterError, SIZE_MSG)


def test_round_trip(level, key_texts):
    kp, text = key_texts[level.value]
    assert type(text) is str
    assert len(text) == level.b64_len
    assert re.fullmatch(r"[A-Za-z0-9_-]+", text)
    assert oracle_decode(text) == kp.public_key
    assert text == oracle_encode(kp.public_key)
    assert kp.public_key_b64() == text
    decoded = core.deserialize_public_key(text, level.member)
    assert type(decoded) is bytes and decoded == kp.public_key
    assert core.deserialize_public_key(b64=text, level=level.member) == kp.public_key


def test_random_key_pairs_round_trip(level):
    kp = core.generate_keypair(level.member)
    text = kp.public_key_b64()
    assert oracle_decode(text) == kp.public_key
    assert core.deserialize_public_key(text, level.member) == kp.public_key


@pytest.mark.parametrize("n", [0, 1, 2, 3, 4, 5, 31, 32, 33, 799, 801, 4096])
def test_serialize_any_length(n):
    data = os.urandom(n)
    text = core.serialize_public_key(data)
    assert text == oracle_encode(data)
    assert len(text) == 4 * (n // 3) + [0, 2, 3][n % 3]


def test_serialize_empty_is_empty():
    assert core.serialize_public_key(b"") == ""


@pytest.mark.parametrize("ws", WHITE_SPACE, ids=lambda c: f"U+{ord(c):04X}")
def test_unicode_white_space_is_trimmed(key_texts, ws):
    kp, text = key_texts[768]
    for variant in (ws + text, text + ws, ws * 3 + text + ws * 2):
        assert core.deserialize_public_key(variant) == kp.public_key


@pytest.mark.parametrize("ch", NOT_WHITE_SPACE, ids=lambda c: f"U+{ord(c):04X}")
def test_other_characters_are_not_trimmed(key_texts, ch):
    _, text = key_texts[768]
    assert_base64_error(ch + text)
    assert_base64_error(text + ch)


@pytest.mark.parametrize(
    "decorate",
    [
        lambda t: t + "\n",
        lambda t: "  " + t,
        lambda t: "\r\n\t" + t + " \u3000\u2028",
        lambda t: t + "=",
        lambda t: t + "==",
        lambda t: t + "=" * 7,
        lambda t: " " + t + "==\n",
    ],
    ids=["newline", "leading-spaces", "mixed-white-space", "one-pad", "two-pad", "seven-pad", "pad-then-newline"],
)
def test_accepted_decorations(key_texts, decorate):
    kp, text = key_texts[768]
    assert core.deserialize_public_key(decorate(text)) == kp.public_key


def test_trimming_happens_before_padding_removal(key_texts):
    _, text = key_texts[768]
    # "=" removal runs after trimming, so white space left before the "=" is inside the text.
    assert_base64_error(text + "\n=")
    assert_base64_error(text + "= =")


@pytest.mark.parametrize(
    "mutate",
    [
        lambda t: t.replace("-", "+", 1),
        lambda t: t.replace("_", "/", 1),
        lambda t: t[:100] + " " + t[100:],
        lambda t: t[:100] + "\n" + t[100:],
        lambda t: t[:100] + "=" + t[100:],
        lambda t: "=" + t,
        lambda t: t[:100] + "\u00e9" + t[101:],
        lambda t: t[:100] + "." + t[101:],
        lambda t: t + "AA",  # length 1 modulo 4
        lambda t: t[:-2],  # length 1 modulo 4
    ],
    ids=["plus", "slash", "inner-space", "inner-newline", "inner-pad", "leading-pad", "non-ascii", "dot",
         "len-mod-4-is-1", "truncated-to-mod-4-is-1"],
)
def test_invalid_text_is_a_base64_error(key_texts, mutate):
    _, text = key_texts[768]
    bad = mutate(text)
    assert bad != text
    assert_base64_error(bad)


def test_standard_alphabet_text_is_rejected(key_texts):
    kp, _ = key_texts[768]
    standard = base64.b64encode(kp.public_key).decode()
    assert "+" in standard or "/" in standard
    assert_base64_error(standard)


def test_three_exclamation_marks_raise_exactly_velora_error():
    with pytest.raises(core.VeloraError) as excinfo:
        core.deserialize_public_key("!!!")
    assert type(excinfo.value) is core.VeloraError
    assert str(excinfo.value) == B64_DETAIL
    assert excinfo.value.args == (B64_DETAIL,)


def test_non_zero_trailing_bits_are_rejected(level, key_texts):
    kp, text = key_texts[level.value]
    # Every public key size is 2 mod 3: the last character carries 2 unused low bits.
    assert level.ek % 3 == 2
    alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
    last = alphabet.index(text[-1])
    assert last & 0b11 == 0
    for low in (0b01, 0b10, 0b11):
        bad = text[:-1] + alphabet[last | low]
        assert oracle_decode(bad) == kp.public_key  # a lenient decoder would accept it
        assert_base64_error(bad, level)


@pytest.mark.parametrize("n_bytes", [0, 1, 799, 801, 1183, 1185, 1567, 1569])
def test_wrong_decoded_size(n_bytes):
    text = oracle_encode(os.urandom(n_bytes))
    for lv in LEVELS:
        if n_bytes != lv.ek:
            assert_size_error(text, lv)


def test_key_of_another_level(key_texts):
    for lv in LEVELS:
        _, text = key_texts[lv.value]
        for other in LEVELS:
            if other is not lv:
                assert_size_error(text, other)
    # the default level is ML-KEM-768
    with pytest.raises(core.InvalidParameterError):
        core.deserialize_public_key(key_texts[512][1])


@pytest.mark.parametrize("text", ["", "   ", "=", "====", "\u3000=\n", "\t==\u2028"], ids=repr)
def test_empty_text_is_a_size_error(text):
    assert_size_error(text)


def test_public_key_b64_takes_no_arguments(key_texts):
    kp, _ = key_texts[768]
    with pytest.raises(TypeError):
        kp.public_key_b64(SL.ML_KEM_768)
