"""Text arguments that strict UTF-8 cannot carry still reach the format checks."""

import pytest

import velora
from velora import KeySerializationError, VeloraError

LONE = "\ud800"  # a lone surrogate: a valid str, but not encodable as UTF-8


@pytest.fixture(scope="module")
def pair():
    return velora.generate_keypair()


CASES = [
    ("deserialize_public_key", lambda t: velora.deserialize_public_key(t), VeloraError,
     "base64 decode error: invalid base64 URL-safe string"),
    ("load_public_key_pem", lambda t: velora.load_public_key_pem(t), KeySerializationError, "PEM header not found"),
    ("load_public_key_json", lambda t: velora.load_public_key_json(t), KeySerializationError, "missing JSON field"),
    ("load_secret_key_pem", lambda t: velora.load_secret_key_pem(t, b"pw"), KeySerializationError,
     "PEM header not found"),
]


@pytest.mark.parametrize("name,call,exc,message", CASES, ids=[c[0] for c in CASES])
def test_lone_surrogate_is_a_format_error(name, call, exc, message):
    with pytest.raises(exc) as info:
        call("abc" + LONE)
    assert type(info.value) is exc and str(info.value) == message


def test_lone_surrogate_inside_an_otherwise_valid_text(pair):
    text = pair.public_key_b64()
    with pytest.raises(VeloraError, match="^base64 decode error: invalid base64 URL-safe string$"):
        velora.deserialize_public_key(text[:10] + LONE + text[10:])
    # Prose around PEM armour is ignored, surrogates included.
    pem = pair.public_key_pem()
    assert velora.load_public_key_pem(LONE + "\n" + pem + LONE) == pair.public_key
