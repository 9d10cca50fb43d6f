"""The checksummed one-line recipient texts (Bech32m) and the one parser behind `velora.parse_recipient`.

Oracles: the `bech32m` package (an independent Bech32/Bech32m implementation) encodes and
checks the texts, and valid strings published with BIP 350 check here; pyrage writes the age
recipients. Mistyped texts (every kind; random substitutions, neighbour swaps, truncations)
are refused with the checksum message.
"""

from __future__ import annotations

import base64
import random

import pytest

import velora
from velora import PrivateKey, PublicKey, KeyTextError, XWingPrivateKey, XWingPublicKey
from velora import age
from velora.keys import is_legacy_text
from velora.text import decode

bech32m = pytest.importorskip("bech32m.codecs")
pyrage = pytest.importorskip("pyrage")

PREFIXES = {"mlkem512": "mlkem512pub", "mlkem768": "mlkem768pub", "mlkem1024": "mlkem1024pub", "xwing": "xwingpub"}
KEY_SIZES = {"mlkem512": 800, "mlkem768": 1184, "mlkem1024": 1568, "xwing": 1216}
BECH32_ALPHABET = "qpzry9x8gf2tvdw0s3jn54khce6mua7l"


def make_key(kind: str) -> PublicKey | XWingPublicKey:
    rng = random.Random(kind)
    if kind == "xwing":
        return XWingPrivateKey.from_seed(rng.randbytes(32)).public_key()
    return PrivateKey.from_seed(rng.randbytes(64), int(kind[5:])).public_key()


def oracle_text(prefix: str, data: bytes) -> str:
    """Bech32m of ``data`` under ``prefix``, by the independent `bech32m` package (no length limit on encode)."""
    words = bytes(bech32m.convertbits(data, 8, 5, True))
    return bech32m.bech32_encode(prefix, words, bech32m.Encoding.BECH32M)


@pytest.fixture(scope="module", params=sorted(PREFIXES))
def kind(request) -> str:
    return request.param


@pytest.fixture(scope="module")
def key(kind):
    return make_key(kind)


def assert_checksum_refusal(text: str) -> None:
    with pytest.raises(KeyTextError, match="fails its checksum"):
        velora.parse_recipient(text)


# ---- the text form: oracle agreement and round trips ------------------------------------------


def test_text_is_the_bech32m_of_the_key_under_its_prefix(kind, key):
    text = key.to_text()
    assert text == oracle_text(PREFIXES[kind], key.to_bytes()) == str(key)
    hrp, _, encoding = _oracle_checksum(text)
    assert hrp == PREFIXES[kind] and encoding is bech32m.Encoding.BECH32M
    parsed = velora.parse_recipient(text)
    assert type(parsed) is type(key) and parsed == key
    assert type(key).from_text(text) == key
    # All upper case is the same text (Bech32); padding spaces and a newline are not part of it.
    assert velora.parse_recipient(text.upper()) == key and velora.parse_recipient(f"  {text}\n") == key


def _oracle_checksum(text: str):
    """The oracle's checksum check without its 90-character bound: (prefix, words, encoding)."""
    low = text.lower()
    pos = low.rfind("1")
    words = bytes(BECH32_ALPHABET.index(c) for c in low[pos + 1 :])
    return low[:pos], words, bech32m.bech32_verify_checksum(low[:pos], words)


@pytest.mark.parametrize("text,prefix,size", [
    # valid Bech32m strings published with BIP 350
    ("a1lqfn3a", "a", 0),
    ("A1LQFN3A", "a", 0),
    ("?1v759aa", "?", 0),
    ("abcdef1l7aum6echk45nj3s0wdvt2fg8x9yrzpqzd3ryx", "abcdef", 20),
])
def test_published_bech32m_strings_pass_the_checksum(text, prefix, size):
    assert len(decode(text, prefix, size, "test")) == size


def test_a_bech32_string_is_not_a_bech32m_one(kind, key):
    """The same data under the Bech32 constant (age's encoding) is refused: the constants differ."""
    words = bytes(bech32m.convertbits(key.to_bytes(), 8, 5, True))
    bech32_text = bech32m.bech32_encode(PREFIXES[kind], words, bech32m.Encoding.BECH32)
    assert_checksum_refusal(bech32_text)


def test_the_level_goes_with_the_prefix():
    texts = {lv: make_key(f"mlkem{lv}").to_text() for lv in (512, 768, 1024)}
    for lv, text in texts.items():
        assert PublicKey.from_text(text).level == lv
    with pytest.raises(KeyTextError, match="not an ML-KEM recipient"):
        PublicKey.from_text(make_key("xwing").to_text())
    with pytest.raises(KeyTextError, match="not an X-Wing recipient"):
        XWingPublicKey.from_text(texts[768])
    with pytest.raises(TypeError):
        PublicKey.from_text(texts[768].encode())  # type: ignore[arg-type]


# ---- mistyped texts ---------------------------------------------------------------------------


def test_random_substitutions_and_neighbour_swaps_are_refused(kind, key):
    """2,000 single-character substitutions and 500 swaps of two different neighbours, each refused."""
    text = key.to_text()
    rng = random.Random(f"typos-{kind}")
    others = BECH32_ALPHABET + BECH32_ALPHABET.upper() + "1bio-_:+/= ."
    for _ in range(2000):
        i = rng.randrange(len(text))
        new = rng.choice([c for c in others if c != text[i]])
        assert_checksum_refusal(text[:i] + new + text[i + 1 :])
    swaps = [i for i in range(len(text) - 1) if text[i] != text[i + 1]]
    for i in rng.sample(swaps, 500):
        assert_checksum_refusal(text[:i] + text[i + 1] + text[i] + text[i + 2 :])


def test_truncations_and_extensions_are_refused(kind, key):
    text = key.to_text()
    rng = random.Random(f"cuts-{kind}")
    cuts = {1, 2, 5, 6, 7, 8, 16, 40, len(text) - len(PREFIXES[kind]) - 1, len(text) // 2}
    cuts |= {rng.randrange(1, len(text) - 10) for _ in range(40)}
    for n in sorted(cuts):
        assert_checksum_refusal(text[:-n])  # the end cut off
        assert_checksum_refusal(text[: len(PREFIXES[kind]) + 1] + text[len(PREFIXES[kind]) + 1 + n :])  # data dropped
    for extra in ("q", "qq", "qqqqqqqq", text[-1]):
        assert_checksum_refusal(text + extra)
    i = rng.randrange(len(PREFIXES[kind]) + 1, len(text))
    assert_checksum_refusal(text[:i] + text[i + 1 :])  # one character lost inside
    assert_checksum_refusal(text[1:])  # the first one lost


@pytest.mark.parametrize("kind_", sorted(PREFIXES))
def test_checksum_valid_texts_of_the_wrong_size_are_refused(kind_):
    """Texts whose checksum holds (made by the oracle) but that are a byte short or long, or whose
    padding bits are set, are refused all the same: a key kind has one length."""
    prefix, size = PREFIXES[kind_], KEY_SIZES[kind_]
    data = make_key(kind_).to_bytes()
    for wrong in (data[:-1], data + b"\0", data[:-5]):
        with pytest.raises(KeyTextError, match="fails its checksum.*characters where an intact text has"):
            velora.parse_recipient(oracle_text(prefix, wrong))
    words = bytearray(bech32m.convertbits(data, 8, 5, True))
    if size * 8 % 5:
        words[-1] |= 1  # a padding bit
        padded = bech32m.bech32_encode(prefix, bytes(words), bech32m.Encoding.BECH32M)
        with pytest.raises(KeyTextError, match="padding bits"):
            velora.parse_recipient(padded)


def test_mixed_case_and_foreign_characters_are_refused(key):
    text = key.to_text()
    assert_checksum_refusal(text[:30] + text[30:].upper())
    assert_checksum_refusal(text[:30] + "\u00e9" + text[31:])
    assert_checksum_refusal(text[:30] + " " + text[31:])


def test_an_ml_kem_key_that_fails_the_modulus_check_is_refused_after_the_checksum():
    bad = b"\xff" * 1184  # every coefficient 4095 >= q
    with pytest.raises(velora.KeySerializationError, match="modulus") as info:
        velora.parse_recipient(oracle_text("mlkem768pub", bad))
    assert not isinstance(info.value, KeyTextError) or "checksum" not in str(info.value)


# ---- the other forms parse_recipient reads -----------------------------------------------------


def test_the_older_form_without_checksum_still_loads():
    key = make_key("mlkem768")
    old = "mlkem768:" + base64.urlsafe_b64encode(key.to_bytes()).rstrip(b"=").decode()
    assert is_legacy_text(old) and not is_legacy_text(key.to_text())
    assert velora.parse_recipient(old) == key == PublicKey.from_text(old)
    for broken, message in ((old[:-1], "expected 1579 Base64 characters"), (old[:20] + "@" + old[21:], "malformed")):
        with pytest.raises(KeyTextError, match=message):
            velora.parse_recipient(broken)


def test_age_recipients_go_to_the_age_parser():
    x25519 = pyrage.x25519.Identity.generate().to_public()
    parsed = velora.parse_recipient(str(x25519))
    assert isinstance(parsed, age.X25519Recipient) and str(parsed) == str(x25519)
    hybrid = age.HybridIdentity.generate().recipient()
    assert velora.parse_recipient(str(hybrid)) == hybrid
    rng = random.Random("age")
    for text in (str(x25519), str(hybrid)):
        for _ in range(60):
            i = rng.randrange(len(text))
            new = rng.choice([c for c in BECH32_ALPHABET if c != text[i]])
            with pytest.raises(KeyTextError, match="checksum"):
                velora.parse_recipient(text[:i] + new + text[i + 1 :])
        with pytest.raises(KeyTextError, match="checksum"):
            velora.parse_recipient(text[:-3])


@pytest.mark.parametrize("text", ["", "hello", "ssh-ed25519 AAAA", "mlkem768", "x" * 2000, "AGE-SECRET-KEY-1QQQ"])
def test_unknown_texts_name_the_forms(text):
    with pytest.raises(KeyTextError, match="unknown recipient.*mlkem768pub1.*xwingpub1.*age1"):
        velora.parse_recipient(text)


def test_refusals_are_velora_errors_and_types_are_checked():
    assert issubclass(KeyTextError, velora.KeySerializationError)
    assert issubclass(KeyTextError, velora.VeloraError)
    with pytest.raises(TypeError):
        velora.parse_recipient(b"mlkem768pub1")  # type: ignore[arg-type]


# ---- identity texts ------------------------------------------------------------------------------

SECRET_PREFIXES = {"mlkem512": "mlkem512-secret-key-", "mlkem768": "mlkem768-secret-key-",
                   "mlkem1024": "mlkem1024-secret-key-", "xwing": "xwing-secret-key-"}


def make_private_key(kind: str) -> PrivateKey | XWingPrivateKey:
    rng = random.Random(f"private-{kind}")
    if kind == "xwing":
        return XWingPrivateKey.from_seed(rng.randbytes(32))
    return PrivateKey.from_seed(rng.randbytes(64), int(kind[5:]))


@pytest.mark.parametrize("kind_", sorted(SECRET_PREFIXES))
def test_identity_text_is_the_bech32m_of_the_seed(kind_):
    key = make_private_key(kind_)
    text = key.to_text()
    assert text == oracle_text(SECRET_PREFIXES[kind_], key.seed).upper()
    assert velora.parse_identity(text) == key == type(key).from_text(text.lower())
    assert text not in repr(key) and text not in str(key)  # str() of a private key is not its secret text
    rng = random.Random(f"identity-typos-{kind_}")
    for _ in range(300):
        i = rng.randrange(len(text))
        new = rng.choice([c for c in BECH32_ALPHABET.upper() + "1BIO-" if c != text[i]])
        with pytest.raises(KeyTextError, match="fails its checksum"):
            velora.parse_identity(text[:i] + new + text[i + 1 :])
    for i in [i for i in range(len(text) - 1) if text[i] != text[i + 1]]:  # every swap
        with pytest.raises(KeyTextError, match="fails its checksum"):
            velora.parse_identity(text[:i] + text[i + 1] + text[i] + text[i + 2 :])
    for n in (1, 6, 8, 30):
        with pytest.raises(KeyTextError, match="fails its checksum"):
            velora.parse_identity(text[:-n])


def test_identity_texts_other_kinds_and_refusals():
    theirs = pyrage.x25519.Identity.generate()
    assert str(velora.parse_identity(str(theirs))) == str(theirs)
    hybrid = age.HybridIdentity.generate()
    assert str(velora.parse_identity(str(hybrid))) == str(hybrid)
    with pytest.raises(KeyTextError, match="invalid age identity text"):
        velora.parse_identity(str(theirs)[:-2])
    with pytest.raises(KeyTextError, match="unknown identity.*MLKEM768-SECRET-KEY-1.*XWING-SECRET-KEY-1"):
        velora.parse_identity("mlkem768pub1" + "q" * 80)
    # A key loaded without its seed has no identity text.
    expanded_only = PrivateKey.from_bytes(make_private_key("mlkem768").to_bytes(), 768)
    with pytest.raises(velora.InvalidParameterError, match="seed"):
        expanded_only.to_text()


# ---- hostile input: bounded work, only the expected refusals --------------------------------------


@pytest.mark.parametrize("head", ["mlkem768pub1", "xwingpub1", "MLKEM1024-SECRET-KEY-1", "mlkem768:", "mlkem768pob1"])
def test_a_huge_text_is_refused_without_copies_of_its_size(head):
    """A text of millions of characters is refused; the parser's extra memory stays below a few copies of it
    (a list of its 5-bit words alone would take eight times its size)."""
    import tracemalloc

    text = head + "q" * 4_000_000
    tracemalloc.start()
    try:
        with pytest.raises(KeyTextError):
            (velora.parse_identity if head.isupper() else velora.parse_recipient)(text)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak < 3 * len(text)


hypothesis = pytest.importorskip("hypothesis")
st = hypothesis.strategies


@hypothesis.given(st.data())
@hypothesis.settings(max_examples=150, deadline=None)
def test_edited_texts_parse_only_to_the_key_they_spell(data):
    """Any edit of a valid text (characters replaced, inserted or removed anywhere) gives the same key only
    when the edit left the text intact (case and surrounding blanks aside), else a KeyTextError."""
    kind_ = data.draw(st.sampled_from(sorted(PREFIXES)))
    good = make_key(kind_).to_text()
    start = data.draw(st.integers(0, len(good)))
    end = data.draw(st.integers(start, min(len(good), start + 8)))
    new = data.draw(st.text(alphabet=BECH32_ALPHABET + "1bio:-_ \n\u00e9QP", max_size=8))
    text = good[:start] + new + good[end:]
    try:
        parsed = velora.parse_recipient(text)
    except KeyTextError:
        return
    assert text.strip().lower() == good and parsed == make_key(kind_)
