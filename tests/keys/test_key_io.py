"""Key import and export: public-key PEM-like text and JSON, the password-wrapped
secret-key blob and its PEM-like armour.

Formats are checked with independent tools: Python's hmac/hashlib for the key
derivation, the `cryptography` package's AESGCM for the blob, `base64` and
`json` for the text forms.
"""

import base64
import hashlib
import hmac
import inspect
import json
import os
import re
import textwrap

import pytest
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

import velora
from velora import (
    DecryptionError,
    InvalidParameterError,
    KeySerializationError,
    SecurityLevel,
    VeloraError,
)

LEVELS = [SecurityLevel.ML_KEM_512, SecurityLevel.ML_KEM_768, SecurityLevel.ML_KEM_1024]
LEVEL_IDS = {512: 0, 768: 1, 1024: 2}
LEVEL_NAMES = {512: "ML_KEM_512", 768: "ML_KEM_768", 1024: "ML_KEM_1024"}
SK_SIZES = {512: 1632, 768: 2400, 1024: 3168}

PUB_BEGIN = "-----BEGIN ML-KEM PUBLIC KEY-----"
PUB_END = "-----END ML-KEM PUBLIC KEY-----"
ENC_BEGIN = "-----BEGIN ENCRYPTED ML-KEM PRIVATE KEY-----"
ENC_END = "-----END ENCRYPTED ML-KEM PRIVATE KEY-----"

PASSWORD = b"correct horse battery staple"
B64_ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"


def reference_wrapping_key(password: bytes, salt: bytes) -> bytes:
    """HKDF-SHA3-256 (RFC 5869), info "velora-key-wrap-v1", L = 32."""
    prk = hmac.new(salt, password, hashlib.sha3_256).digest()
    return hmac.new(prk, b"velora-key-wrap-v1" + b"\x01", hashlib.sha3_256).digest()


def reference_blob(secret_key: bytes, level_id: int, password: bytes, *, version: int = 1) -> bytes:
    """A wrapped blob assembled without the module."""
    salt, nonce = os.urandom(16), os.urandom(12)
    sealed = AESGCM(reference_wrapping_key(password, salt)).encrypt(nonce, secret_key, None)
    return b"VLPK" + bytes([version, level_id]) + salt + nonce + sealed


def armour(begin: str, data: bytes, end: str, width: int = 64, newline: str = "\n", indent: str = "") -> str:
    body = base64.b64encode(data).decode()
    lines = [indent + body[i : i + width] for i in range(0, len(body), width)]
    return newline.join([begin, *lines, end]) + newline


def body_of(text: str, begin: str, end: str) -> str:
    return text.split(begin, 1)[1].split(end, 1)[0]


@pytest.fixture(scope="module", params=LEVELS, ids=lambda lv: LEVEL_NAMES[int(lv)])
def pair(request):
    return velora.generate_keypair(request.param)


@pytest.fixture(scope="module")
def pair768():
    return velora.generate_keypair(SecurityLevel.ML_KEM_768)


@pytest.fixture(scope="module")
def blob768(pair768):
    return pair768.export_secret_key_raw(PASSWORD)


class raises_exactly:
    """Like pytest.raises, but the class must be exactly `cls` (not a subclass)
    and `message` must be the exception's only argument."""

    def __init__(self, cls, message):
        self.cls, self.message = cls, message

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        assert exc_type is not None, f"no exception; expected {self.cls.__name__}: {self.message}"
        assert exc_type is self.cls, f"{exc_type.__name__}: {exc}"
        assert exc.args == (self.message,)
        return True


# ---- the wrapped secret-key blob -----------------------------------------------------------------


class TestWrappedBlob:
    def test_layout_key_derivation_and_cipher_match_independent_implementations(self, pair):
        lv = int(pair.level)
        blob = pair.export_secret_key_raw(PASSWORD)
        assert len(blob) == SK_SIZES[lv] + 50
        assert blob[:6] == b"VLPK" + bytes([1, LEVEL_IDS[lv]])
        salt, nonce, sealed = blob[6:22], blob[22:34], blob[34:]
        # Decrypting with the test's own HKDF and AESGCM proves the wrapping
        # key, the empty associated data and the ciphertext || tag order.
        assert AESGCM(reference_wrapping_key(PASSWORD, salt)).decrypt(nonce, sealed, None) == pair.secret_key

    def test_blob_assembled_independently_loads(self, pair):
        lv = int(pair.level)
        blob = reference_blob(pair.secret_key, LEVEL_IDS[lv], PASSWORD)
        key, level = velora.load_secret_key_raw(blob, PASSWORD)
        assert key == pair.secret_key
        assert level is pair.level

    def test_round_trip_by_keyword(self, pair):
        blob = pair.export_secret_key_raw(password=PASSWORD)
        key, level = velora.load_secret_key_raw(blob=blob, password=PASSWORD)
        assert (key, level) == (pair.secret_key, pair.level)
        assert level is pair.level

    def test_exports_are_fresh_each_time(self, pair768):
        a = pair768.export_secret_key_raw(PASSWORD)
        b = pair768.export_secret_key_raw(PASSWORD)
        assert a[6:22] != b[6:22] and a[22:34] != b[22:34]
        assert velora.load_secret_key_raw(a, PASSWORD)[0] == velora.load_secret_key_raw(b, PASSWORD)[0]

    def test_empty_password(self, pair768):
        blob = pair768.export_secret_key_raw(b"")
        assert AESGCM(reference_wrapping_key(b"", blob[6:22])).decrypt(blob[22:34], blob[34:], None) == (
            pair768.secret_key
        )
        assert velora.load_secret_key_raw(blob, b"")[0] == pair768.secret_key
        for other in (b"\x00", b" ", PASSWORD):
            with raises_exactly(DecryptionError, "AES-GCM authentication tag verification failed"):
                velora.load_secret_key_raw(blob, other)

    @pytest.mark.parametrize("password", [PASSWORD[:-1], PASSWORD + b"!", PASSWORD.upper(), b""])
    def test_wrong_password(self, blob768, password):
        with raises_exactly(DecryptionError, "AES-GCM authentication tag verification failed"):
            velora.load_secret_key_raw(blob768, password)

    # Each row: how to damage a valid ML-KEM-768 blob, and what that must raise.
    # Several rows break two things at once to pin the order of the checks.
    HEADER_ROWS = [
        ("empty", lambda b: b"", KeySerializationError, "wrapped blob is too short to contain a valid header"),
        ("49_bytes", lambda b: b[:49], KeySerializationError, "wrapped blob is too short to contain a valid header"),
        ("49_bytes_bad_magic", lambda b: b"XLPK" + b[4:49], KeySerializationError,
         "wrapped blob is too short to contain a valid header"),
        ("bad_magic", lambda b: b"VLPX" + b[4:], KeySerializationError, "invalid magic bytes in wrapped blob"),
        ("lowercase_magic", lambda b: b"vlpk" + b[4:], KeySerializationError, "invalid magic bytes in wrapped blob"),
        ("bad_magic_and_version", lambda b: b"PKVL" + b"\x02" + b[5:], KeySerializationError,
         "invalid magic bytes in wrapped blob"),
        ("version_0", lambda b: b[:4] + b"\x00" + b[5:], KeySerializationError, "unsupported wrapped blob version"),
        ("version_2_and_bad_level", lambda b: b[:4] + b"\x02\x09" + b[6:], KeySerializationError,
         "unsupported wrapped blob version"),
        ("level_3", lambda b: b[:5] + b"\x03" + b[6:], KeySerializationError, "unknown level_id in wrapped blob"),
        ("level_255", lambda b: b[:5] + b"\xff" + b[6:], KeySerializationError, "unknown level_id in wrapped blob"),
        ("level_3_and_50_bytes", lambda b: b[:5] + b"\x03" + b[6:50], KeySerializationError,
         "unknown level_id in wrapped blob"),
        # The level id is not authenticated: another valid one passes the tag
        # and fails the size check, reported like a failed tag.
        ("level_0", lambda b: b[:5] + b"\x00" + b[6:], DecryptionError,
         "AES-GCM authentication tag verification failed"),
        ("level_2", lambda b: b[:5] + b"\x02" + b[6:], DecryptionError,
         "AES-GCM authentication tag verification failed"),
        ("50_bytes_valid_header", lambda b: b[:50], DecryptionError, "AES-GCM authentication tag verification failed"),
        ("header_only_plus_tag", lambda b: b[:34] + b[-16:], DecryptionError,
         "AES-GCM authentication tag verification failed"),
    ]

    @pytest.mark.parametrize("damage,cls,message", [r[1:] for r in HEADER_ROWS], ids=[r[0] for r in HEADER_ROWS])
    def test_failure_table_in_order(self, blob768, damage, cls, message):
        with raises_exactly(cls, message):
            velora.load_secret_key_raw(damage(blob768), PASSWORD)

    def test_wrong_size_plaintext_under_a_valid_tag_is_a_decryption_error(self):
        # The test seals a 1632-byte key (ML-KEM-512 size) but labels it level 1.
        blob = reference_blob(os.urandom(1632), 1, PASSWORD)
        with raises_exactly(DecryptionError, "AES-GCM authentication tag verification failed"):
            velora.load_secret_key_raw(blob, PASSWORD)
        blob = reference_blob(os.urandom(2401), 1, PASSWORD)
        with raises_exactly(DecryptionError, "AES-GCM authentication tag verification failed"):
            velora.load_secret_key_raw(blob, PASSWORD)

    def test_version_is_checked_even_when_the_content_authenticates(self):
        blob = reference_blob(os.urandom(2400), 1, PASSWORD, version=2)
        with raises_exactly(KeySerializationError, "unsupported wrapped blob version"):
            velora.load_secret_key_raw(blob, PASSWORD)

    def test_any_flipped_bit_from_offset_6_fails_authentication(self, blob768):
        # Every byte from the salt on, with the flipped bit moving through the byte.
        survivors = []
        for offset in range(6, len(blob768)):
            damaged = bytearray(blob768)
            damaged[offset] ^= 1 << (offset % 8)
            try:
                velora.load_secret_key_raw(bytes(damaged), PASSWORD)
                survivors.append(offset)
            except DecryptionError as e:
                assert e.args == ("AES-GCM authentication tag verification failed",)
        assert survivors == []

    def test_every_bit_of_salt_nonce_and_tag(self, blob768):
        fields = list(range(6, 34)) + list(range(len(blob768) - 16, len(blob768)))
        for offset in fields:
            for bit in range(8):
                damaged = bytearray(blob768)
                damaged[offset] ^= 1 << bit
                with pytest.raises(DecryptionError):
                    velora.load_secret_key_raw(bytes(damaged), PASSWORD)

    @pytest.mark.parametrize("cut", [1, 15, 16, 17, 1000, 2400])
    def test_truncated(self, blob768, cut):
        with raises_exactly(DecryptionError, "AES-GCM authentication tag verification failed"):
            velora.load_secret_key_raw(blob768[:-cut], PASSWORD)

    @pytest.mark.parametrize("extra", [b"\x00", b"\x00" * 16, os.urandom(800)])
    def test_extended(self, blob768, extra):
        with raises_exactly(DecryptionError, "AES-GCM authentication tag verification failed"):
            velora.load_secret_key_raw(blob768 + extra, PASSWORD)

    @pytest.mark.parametrize(
        "call,name,expected",
        [
            (lambda kp, blob: kp.export_secret_key_raw("pw"), "password", "bytes"),
            (lambda kp, blob: kp.export_secret_key_raw(bytearray(b"pw")), "password", "bytes"),
            (lambda kp, blob: kp.export_secret_key_raw(None), "password", "bytes"),
            (lambda kp, blob: velora.load_secret_key_raw(bytearray(blob), PASSWORD), "blob", "bytes"),
            (lambda kp, blob: velora.load_secret_key_raw(memoryview(blob), PASSWORD), "blob", "bytes"),
            (lambda kp, blob: velora.load_secret_key_raw(blob, "pw"), "password", "bytes"),
        ],
    )
    def test_argument_types(self, pair768, blob768, call, name, expected):
        with pytest.raises(TypeError) as info:
            call(pair768, blob768)
        assert f"is not an instance of '{expected}'" in str(info.value)
        assert info.value.__notes__ == [f"while processing '{name}'"]

    def test_bytes_subclasses_are_accepted(self, pair768):
        class B(bytes):
            pass

        blob = pair768.export_secret_key_raw(B(PASSWORD))
        assert velora.load_secret_key_raw(B(blob), B(PASSWORD))[0] == pair768.secret_key

    def test_arguments_are_required(self, pair768, blob768):
        with pytest.raises(TypeError, match="missing"):
            pair768.export_secret_key_raw()
        with pytest.raises(TypeError, match="missing"):
            velora.load_secret_key_raw(blob768)
        with pytest.raises(TypeError, match="unexpected keyword"):
            velora.load_secret_key_raw(blob768, pw=PASSWORD)


# ---- public key, PEM-like --------------------------------------------------------------------------


PUBLIC_PEM_SIZES = {512: (1151, 16), 768: (1671, 24), 1024: (2191, 32)}


class TestPublicKeyPem:
    def test_layout_and_body(self, pair):
        lv = int(pair.level)
        text = pair.public_key_pem()
        total, full_lines = PUBLIC_PEM_SIZES[lv]
        assert len(text) == total
        assert "\r" not in text and text.endswith(PUB_END + "\n")
        lines = text.split("\n")
        assert lines[0] == PUB_BEGIN and lines[-2] == PUB_END and lines[-1] == ""
        body = lines[1:-2]
        assert [len(x) for x in body] == [64] * full_lines + [44]
        assert base64.b64decode("".join(body), validate=True) == pair.public_key
        assert text == armour(PUB_BEGIN, pair.public_key, PUB_END)

    def test_round_trip(self, pair):
        assert velora.load_public_key_pem(pair.public_key_pem(), pair.level) == pair.public_key
        assert velora.load_public_key_pem(pem=pair.public_key_pem(), level=pair.level) == pair.public_key

    def test_default_level_is_768(self, pair768):
        assert velora.load_public_key_pem(pair768.public_key_pem()) == pair768.public_key

    VARIANTS = {
        "crlf": lambda t: t.replace("\n", "\r\n"),
        "blank_lines": lambda t: t.replace("\n", "\n\n"),
        "indented": lambda t: re.sub(r"\n(?=[A-Za-z0-9+/=])", "\n    ", t),
        "tabs_and_trailing_spaces": lambda t: t.replace("\n", " \t\n\t"),
        "rewrapped_76": lambda t: armour(PUB_BEGIN, base64.b64decode(body_of(t, PUB_BEGIN, PUB_END)), PUB_END, 76),
        "one_line": lambda t: PUB_BEGIN + body_of(t, PUB_BEGIN, PUB_END).replace("\n", "") + PUB_END,
        "prose_around": lambda t: "Here is my key:\n\n" + t + "\nThanks, Ana\n",
        "header_mid_line": lambda t: "key=" + t,
        "unicode_white_space": lambda t: t.replace("\n", "\u00a0\u3000\u2028\n", 5),
        "later_duplicate_footer": lambda t: t + PUB_END + "\n",
    }

    @pytest.mark.parametrize("variant", VARIANTS.values(), ids=VARIANTS.keys())
    def test_tolerated_variants(self, pair768, variant):
        assert velora.load_public_key_pem(variant(pair768.public_key_pem())) == pair768.public_key

    def test_text_made_independently_loads(self):
        key = os.urandom(800)
        text = "-----BEGIN ML-KEM PUBLIC KEY-----\n" + "\n".join(
            textwrap.wrap(base64.b64encode(key).decode(), 64)
        ) + "\n-----END ML-KEM PUBLIC KEY-----\n"
        assert velora.load_public_key_pem(text, SecurityLevel.ML_KEM_512) == key

    def test_failure_table(self, pair768):
        text = pair768.public_key_pem()
        body = body_of(text, PUB_BEGIN, PUB_END).replace("\n", "")
        b64 = "\n".join(textwrap.wrap(body, 64))
        pad = text.index("=")
        # One "=" of padding: the last symbol carries 2 unused bits, zero in a
        # canonical text; setting the lowest one makes it non-canonical.
        last = B64_ALPHABET.index(text[pad - 1])
        assert last % 4 == 0
        non_canonical = text[: pad - 1] + B64_ALPHABET[last + 1] + text[pad:]
        second_line = text.index("\n", len(PUB_BEGIN) + 1) + 5
        ks, std_error = KeySerializationError, "PEM body is not valid Base64 STANDARD"
        size_error = "public key size does not match the specified security level"
        rows = [
            ("empty", "", ks, "PEM header not found"),
            ("no_header", text.replace(PUB_BEGIN, ""), ks, "PEM header not found"),
            ("lowercase_header", text.replace("BEGIN", "begin"), ks, "PEM header not found"),
            ("private_key_markers", text.replace("ML-KEM PUBLIC", "ENCRYPTED ML-KEM PRIVATE"), ks,
             "PEM header not found"),
            ("no_header_and_bad_body", text.replace(PUB_BEGIN, "").replace("=", ""), ks, "PEM header not found"),
            ("no_footer", text.replace(PUB_END, ""), ks, "PEM footer not found"),
            ("markers_swapped", PUB_END + "\n" + b64 + "\n" + PUB_BEGIN + "\n", ks, "PEM footer not found"),
            ("url_safe_alphabet", text.replace("+", "-").replace("/", "_"), ks, std_error),
            ("padding_removed", text.replace("=", ""), ks, std_error),
            ("extra_padding", text.replace("=\n", "==\n"), ks, std_error),
            ("inner_padding", text[:second_line] + "=" + text[second_line:], ks, std_error),
            ("non_canonical_trailing_bits", non_canonical, ks, std_error),
            ("stray_character", text.replace(PUB_BEGIN + "\n", PUB_BEGIN + "\n*"), ks, std_error),
            ("bad_body_and_wrong_size", armour(PUB_BEGIN, os.urandom(10), PUB_END).replace("=", ""), ks, std_error),
            ("empty_body", PUB_BEGIN + "\n" + PUB_END, InvalidParameterError, size_error),
            ("one_byte_short", armour(PUB_BEGIN, pair768.public_key[:-1], PUB_END), InvalidParameterError,
             size_error),
            ("one_byte_long", armour(PUB_BEGIN, pair768.public_key + b"\0", PUB_END), InvalidParameterError,
             size_error),
        ]
        assert "+" in body or "/" in body
        for name, damaged, cls, message in rows:
            # the default and an explicit level behave alike
            with raises_exactly(cls, message):
                velora.load_public_key_pem(damaged)
            with raises_exactly(cls, message):
                velora.load_public_key_pem(damaged, SecurityLevel.ML_KEM_768)

    def test_wrong_level(self, pair):
        for other in LEVELS:
            if other == pair.level:
                continue
            with raises_exactly(InvalidParameterError, "public key size does not match the specified security level"):
                velora.load_public_key_pem(pair.public_key_pem(), other)

    def test_512_with_default_level(self):
        kp = velora.generate_keypair(SecurityLevel.ML_KEM_512)
        with raises_exactly(InvalidParameterError, "public key size does not match the specified security level"):
            velora.load_public_key_pem(kp.public_key_pem())

    @pytest.mark.parametrize("bad", [b"-----BEGIN", None, 1])
    def test_argument_types(self, bad):
        with pytest.raises(TypeError) as info:
            velora.load_public_key_pem(bad)
        assert info.value.__notes__ == ["while processing 'pem'"]

    def test_level_must_be_a_member(self, pair768):
        with pytest.raises(TypeError) as info:
            velora.load_public_key_pem(pair768.public_key_pem(), 768)
        assert info.value.__notes__ == ["while processing 'level'"]


# ---- public key, JSON --------------------------------------------------------------------------------


class TestPublicKeyJson:
    def test_format(self, pair):
        lv = int(pair.level)
        text = pair.public_key_json()
        parsed = json.loads(text)
        assert list(parsed) == ["algorithm", "level", "public_key"]
        assert parsed["algorithm"] == "ML-KEM" and parsed["level"] == LEVEL_NAMES[lv]
        key = parsed["public_key"]
        assert re.fullmatch(r"[A-Za-z0-9_-]+", key)
        assert base64.urlsafe_b64decode(key + "=" * (-len(key) % 4)) == pair.public_key
        assert text == json.dumps(parsed, separators=(",", ":"))  # no white space, no line feed

    def test_round_trip(self, pair):
        key, level = velora.load_public_key_json(pair.public_key_json())
        assert key == pair.public_key
        assert level is pair.level
        assert velora.load_public_key_json(json=pair.public_key_json())[0] == pair.public_key

    def _text(self, pk, algorithm="ML-KEM", level="ML_KEM_768"):
        return json.dumps({"algorithm": algorithm, "level": level, "public_key": pk}, separators=(",", ":"))

    # Texts the minimal scanner accepts (part of the format).
    ACCEPTED = {
        "json_dumps_default_spacing": lambda k: json.dumps(
            {"algorithm": "ML-KEM", "level": "ML_KEM_768", "public_key": k}
        ),
        "pretty_printed": lambda k: json.dumps(
            {"algorithm": "ML-KEM", "level": "ML_KEM_768", "public_key": k}, indent=2
        ),
        "reordered": lambda k: f'{{"public_key":"{k}","level":"ML_KEM_768","algorithm":"ML-KEM"}}',
        "line_feeds_after_colons": lambda k: f'{{"algorithm":\n"ML-KEM","level":\r\n\t"ML_KEM_768",'
        f'"public_key":\u3000"{k}"}}',
        "extra_fields": lambda k: f'{{"version":3,"algorithm":"ML-KEM","comment":"x","level":"ML_KEM_768",'
        f'"public_key":"{k}","tags":[1,2]}}',
        "first_occurrence_wins": lambda k: f'{{"meta":{{"level":"ML_KEM_768","algorithm":"ML-KEM"}},'
        f'"algorithm":"other","level":"ML_KEM_512","public_key":"{k}"}}',
        "not_even_an_object": lambda k: f'"algorithm":"ML-KEM" "level":"ML_KEM_768" "public_key":"{k}"',
        "padded_key_with_spaces_inside_quotes": lambda k: f'{{"algorithm":"ML-KEM","level":"ML_KEM_768",'
        f'"public_key":" {k}== "}}',
    }

    @pytest.mark.parametrize("make", ACCEPTED.values(), ids=ACCEPTED.keys())
    def test_accepted_texts(self, pair768, make):
        key, level = velora.load_public_key_json(make(pair768.public_key_b64()))
        assert key == pair768.public_key
        assert level is SecurityLevel.ML_KEM_768

    def test_failure_table(self, pair768):
        k = pair768.public_key_b64()
        k512 = velora.generate_keypair(SecurityLevel.ML_KEM_512).public_key_b64()
        std = base64.b64encode(pair768.public_key).decode().rstrip("=")
        ks = KeySerializationError
        rows = [
            ("empty", "", ks, "missing JSON field"),
            ("space_before_colon", f'{{"algorithm":"ML-KEM","level" :"ML_KEM_768","public_key":"{k}"}}', ks,
             "missing JSON field"),
            ("no_algorithm", f'{{"level":"ML_KEM_768","public_key":"{k}"}}', ks, "missing JSON field"),
            ("no_algorithm_and_bad_level", f'{{"level":"nope","public_key":"{k}"}}', ks, "missing JSON field"),
            ("no_public_key_and_bad_algorithm", '{"algorithm":"RSA","level":"ML_KEM_768"}', ks,
             "missing JSON field"),
            ("single_quotes", f"{{'algorithm':'ML-KEM','level':'ML_KEM_768','public_key':'{k}'}}", ks,
             "missing JSON field"),
            ("level_number", f'{{"algorithm":"ML-KEM","level":768,"public_key":"{k}"}}', ks,
             "JSON field value is not a string"),
            ("algorithm_null", f'{{"algorithm":null,"level":"ML_KEM_768","public_key":"{k}"}}', ks,
             "JSON field value is not a string"),
            ("key_array", '{"algorithm":"ML-KEM","level":"ML_KEM_768","public_key":["x"]}', ks,
             "JSON field value is not a string"),
            ("ends_after_colon", '{"algorithm":"ML-KEM","level":"ML_KEM_768","public_key":', ks,
             "JSON field value is not a string"),
            ("ends_in_white_space", '{"algorithm":"ML-KEM","level":"ML_KEM_768","public_key": \n ', ks,
             "JSON field value is not a string"),
            ("unterminated_key", f'{{"algorithm":"ML-KEM","level":"ML_KEM_768","public_key":"{k}', ks,
             "unterminated JSON string value"),
            ("not_a_string_before_unterminated", '{"algorithm":1,"level":"ML_KEM_768","public_key":"x', ks,
             "JSON field value is not a string"),
            ("algorithm_lower_case", self._text(k, algorithm="ml-kem"), ks,
             "unsupported algorithm (expected 'ML-KEM')"),
            ("algorithm_with_version", self._text(k, algorithm="ML-KEM-768"), ks,
             "unsupported algorithm (expected 'ML-KEM')"),
            # A backslash is an ordinary character and an escaped quote still ends the value.
            ("escaped_quote_ends_value", f'{{"algorithm":"ML-KEM\\"x","level":"ML_KEM_768","public_key":"{k}"}}',
             ks, "unsupported algorithm (expected 'ML-KEM')"),
            ("unicode_escape_not_decoded", f'{{"algorithm":"ML\\u002dKEM","level":"ML_KEM_768","public_key":"{k}"}}',
             ks,
             "unsupported algorithm (expected 'ML-KEM')"),
            ("bad_algorithm_before_bad_level", self._text(k, algorithm="Kyber", level="L3"), ks,
             "unsupported algorithm (expected 'ML-KEM')"),
            ("level_trailing_space", self._text(k, level="ML_KEM_768 "), ks,
             "unsupported level in JSON (expected ML_KEM_512/768/1024)"),
            ("level_lower_case", self._text(k, level="ml_kem_768"), ks,
             "unsupported level in JSON (expected ML_KEM_512/768/1024)"),
            ("level_number_as_text", self._text(k, level="768"), ks,
             "unsupported level in JSON (expected ML_KEM_512/768/1024)"),
            ("bad_level_before_bad_key", self._text("!!!", level="ML_KEM_2048"), ks,
             "unsupported level in JSON (expected ML_KEM_512/768/1024)"),
            ("key_not_base64", self._text("!!!"), VeloraError, "base64 decode error: invalid base64 URL-safe string"),
            ("key_standard_alphabet", self._text(std), VeloraError,
             "base64 decode error: invalid base64 URL-safe string"),
            ("key_inner_space", self._text(k[:100] + " " + k[100:]), VeloraError,
             "base64 decode error: invalid base64 URL-safe string"),
            ("key_size_of_other_level", self._text(k512), InvalidParameterError,
             "decoded public key has incorrect size for the specified security level"),
            ("key_empty", self._text(""), InvalidParameterError,
             "decoded public key has incorrect size for the specified security level"),
        ]
        assert "+" in std or "/" in std
        for name, text, cls, message in rows:
            with raises_exactly(cls, message):
                velora.load_public_key_json(text)

    @pytest.mark.parametrize("bad", [b"{}", {"algorithm": "ML-KEM"}, None])
    def test_argument_types(self, bad):
        with pytest.raises(TypeError) as info:
            velora.load_public_key_json(bad)
        assert info.value.__notes__ == ["while processing 'json'"]


# ---- encrypted secret key, PEM-like --------------------------------------------------------------------


SECRET_PEM_SIZES = {512: (2368, 35), 768: (3408, 51), 1024: (4448, 67)}


class TestEncryptedSecretKeyPem:
    def test_layout_and_body(self, pair):
        lv = int(pair.level)
        text = pair.export_secret_key_pem(PASSWORD)
        total, full_lines = SECRET_PEM_SIZES[lv]
        assert len(text) == total
        assert "\r" not in text
        lines = text.split("\n")
        assert lines[0] == ENC_BEGIN and lines[-2] == ENC_END and lines[-1] == ""
        body = lines[1:-2]
        assert [len(x) for x in body] == [64] * full_lines + [4]
        assert body[-1].endswith("=") and not body[-1].endswith("==")
        blob = base64.b64decode("".join(body), validate=True)
        assert len(blob) == SK_SIZES[lv] + 50 and blob[:6] == b"VLPK" + bytes([1, LEVEL_IDS[lv]])
        key = reference_wrapping_key(PASSWORD, blob[6:22])
        assert AESGCM(key).decrypt(blob[22:34], blob[34:], None) == pair.secret_key

    def test_round_trip(self, pair):
        text = pair.export_secret_key_pem(password=PASSWORD)
        key, level = velora.load_secret_key_pem(pem=text, password=PASSWORD)
        assert key == pair.secret_key
        assert level is pair.level

    def test_armour_made_independently_loads(self, pair768):
        blob = reference_blob(pair768.secret_key, 1, PASSWORD)
        assert velora.load_secret_key_pem(armour(ENC_BEGIN, blob, ENC_END), PASSWORD) == (
            pair768.secret_key,
            SecurityLevel.ML_KEM_768,
        )

    VARIANTS = {
        "crlf": lambda t: t.replace("\n", "\r\n"),
        "indented": lambda t: re.sub(r"\n(?=[A-Za-z0-9+/=])", "\n\t  ", t),
        "rewrapped_76": lambda t: armour(ENC_BEGIN, base64.b64decode(body_of(t, ENC_BEGIN, ENC_END)), ENC_END, 76),
        "rewrapped_crlf_indented": lambda t: armour(
            ENC_BEGIN, base64.b64decode(body_of(t, ENC_BEGIN, ENC_END)), ENC_END, 40, "\r\n", "  "
        ),
        "one_line": lambda t: ENC_BEGIN + body_of(t, ENC_BEGIN, ENC_END).replace("\n", "") + ENC_END,
        "prose_around": lambda t: "Backup of 2024-05-01\n" + t + "-- end of backup --\n",
        "markers_mid_line": lambda t: "key: " + t.replace("\n" + ENC_END, ENC_END),
    }

    @pytest.mark.parametrize("variant", VARIANTS.values(), ids=VARIANTS.keys())
    def test_tolerated_variants(self, pair768, variant):
        text = pair768.export_secret_key_pem(PASSWORD)
        assert velora.load_secret_key_pem(variant(text), PASSWORD)[0] == pair768.secret_key

    def test_failure_table(self, pair768):
        text = pair768.export_secret_key_pem(PASSWORD)
        blob = base64.b64decode(body_of(text, ENC_BEGIN, ENC_END))
        body = base64.b64encode(blob).decode()
        assert "+" in body and "/" in body  # all but certain for a 3268-character body
        last = B64_ALPHABET.index(body[-2])
        assert body.endswith("=") and last % 4 == 0
        non_canonical = text.replace(body[-2] + "=\n", B64_ALPHABET[last + 1] + "=\n")
        ks = KeySerializationError
        std_error = "PEM ENCRYPTED body is not valid Base64 STANDARD"
        rows = [
            ("empty", "", ks, "PEM header not found"),
            ("public_key_pem", pair768.public_key_pem(), ks, "PEM header not found"),
            ("no_header_and_bad_body", text.replace(ENC_BEGIN, "").replace("A", "-"), ks, "PEM header not found"),
            ("no_footer", text.replace(ENC_END, ""), ks, "PEM footer not found"),
            ("markers_swapped", text.replace(ENC_BEGIN, "@@").replace(ENC_END, ENC_BEGIN).replace("@@", ENC_END),
             ks, "PEM footer not found"),
            ("public_footer", text.replace(ENC_END, PUB_END), ks, "PEM footer not found"),
            ("final_padding_removed", text.replace("=\n", "\n"), ks, std_error),
            ("plus_to_minus", text.replace("+", "-", 1), ks, std_error),
            ("slash_to_underscore", text.replace("/", "_", 1), ks, std_error),
            ("non_canonical_trailing_bits", non_canonical, ks, std_error),
            ("bad_body_and_short_blob", armour(ENC_BEGIN, blob[:40], ENC_END).replace("=", ""), ks, std_error),
            ("short_blob", armour(ENC_BEGIN, blob[:49], ENC_END), ks,
             "wrapped blob is too short to contain a valid header"),
            ("empty_body", ENC_BEGIN + "\n" + ENC_END + "\n", ks,
             "wrapped blob is too short to contain a valid header"),
            ("bad_magic", armour(ENC_BEGIN, b"VLPQ" + blob[4:], ENC_END), ks, "invalid magic bytes in wrapped blob"),
            ("bad_version", armour(ENC_BEGIN, blob[:4] + b"\x07" + blob[5:], ENC_END), ks,
             "unsupported wrapped blob version"),
            ("bad_level", armour(ENC_BEGIN, blob[:5] + b"\x03" + blob[6:], ENC_END), ks,
             "unknown level_id in wrapped blob"),
            ("flipped_ciphertext_bit", armour(ENC_BEGIN, blob[:100] + bytes([blob[100] ^ 4]) + blob[101:], ENC_END),
             DecryptionError, "AES-GCM authentication tag verification failed"),
        ]
        for name, damaged, cls, message in rows:
            with raises_exactly(cls, message):
                velora.load_secret_key_pem(damaged, PASSWORD)

    def test_wrong_password(self, pair768):
        text = pair768.export_secret_key_pem(PASSWORD)
        with raises_exactly(DecryptionError, "AES-GCM authentication tag verification failed"):
            velora.load_secret_key_pem(text, b"not it")

    @pytest.mark.parametrize(
        "call,name,expected",
        [
            (lambda kp, t: kp.export_secret_key_pem("pw"), "password", "bytes"),
            (lambda kp, t: velora.load_secret_key_pem(t.encode(), PASSWORD), "pem", "str"),
            (lambda kp, t: velora.load_secret_key_pem(t, bytearray(PASSWORD)), "password", "bytes"),
            (lambda kp, t: velora.load_secret_key_pem(None, PASSWORD), "pem", "str"),
        ],
    )
    def test_argument_types(self, pair768, call, name, expected):
        with pytest.raises(TypeError) as info:
            call(pair768, pair768.public_key_pem())
        assert f"is not an instance of '{expected}'" in str(info.value)
        assert info.value.__notes__ == [f"while processing '{name}'"]


# ---- module surface ------------------------------------------------------------------------------


# Every registered name (their order is checked with the module registration tests).
REGISTRATION_ORDER = list(velora._velora_core.__all__)


def _callables():
    core = velora._velora_core
    for name in REGISTRATION_ORDER:
        obj = getattr(core, name)
        if inspect.isclass(obj):
            if issubclass(obj, BaseException):
                continue
            for attr, member in vars(obj).items():
                if not attr.startswith("_") and callable(member):
                    yield f"{name}.{attr}", member
        else:
            yield name, obj


def test_every_function_and_method_has_its_declared_signature():
    # The interpreter moves the "name(params)\n--\n\n" head of a builtin's
    # docstring into __text_signature__; inspect.signature parses it.
    seen = set()
    for qualname, fn in _callables():
        declared = fn.__text_signature__
        assert declared, f"{qualname}: docstring has no text signature"
        sig = inspect.signature(fn)
        params = [p.strip() for p in declared.strip("()").split(",") if p.strip()]
        assert [p.split("=")[0].lstrip("$") for p in params] == list(sig.parameters), qualname
        for p in params:
            if p.endswith("=..."):
                assert sig.parameters[p[:-4]].default is Ellipsis, qualname
        assert fn.__doc__ and not fn.__doc__.startswith("\n"), qualname
        seen.add(qualname)
    functions = {n for n in REGISTRATION_ORDER if n[0].islower()}
    assert functions | set(KEY_IO_SIGNATURES) <= seen


KEY_IO_SIGNATURES = {
    "load_public_key_pem": "(pem, level=Ellipsis)",
    "load_public_key_json": "(json)",
    "load_secret_key_raw": "(blob, password)",
    "load_secret_key_pem": "(pem, password)",
    "KeyPair.public_key_pem": "(self, /)",
    "KeyPair.public_key_json": "(self, /)",
    "KeyPair.export_secret_key_raw": "(self, /, password)",
    "KeyPair.export_secret_key_pem": "(self, /, password)",
}


@pytest.mark.parametrize("qualname,expected", KEY_IO_SIGNATURES.items())
def test_key_io_signatures(qualname, expected):
    obj = velora._velora_core
    for part in qualname.split("."):
        obj = getattr(obj, part)
    assert str(inspect.signature(obj)) == expected
