"""Property tests of the key loaders: any input either loads or raises a velora error or
TypeError, never anything else; a loaded key writes back to what it was read from."""

from __future__ import annotations

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import velora  # noqa: E402
from velora import PrivateKey, PublicKey, VeloraError  # noqa: E402

KEY = PrivateKey.from_seed(bytes(range(64)), 512)
GOOD = [KEY.public_key().to_der(), KEY.to_der("seed"), KEY.to_der("both"), KEY.to_der(password=b"pw", scrypt_n=2**4)]
FAST = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def mutate(data: bytes, at: int, value: int) -> bytes:
    at %= len(data)
    return data[:at] + bytes([value]) + data[at + 1 :]


@FAST
@given(st.binary(max_size=200))
def test_random_bytes_never_escape_as_other_errors(data):
    for load in (velora.load_public_key, velora.load_private_key):
        try:
            load(data)
        except VeloraError:
            pass
    assert isinstance(velora.is_encrypted_private_key(data), bool)


@FAST
@given(st.integers(0, len(GOOD) - 1), st.integers(min_value=0), st.integers(0, 255))
def test_one_changed_byte_loads_a_key_that_writes_back_the_same_bytes_or_raises(which, at, value):
    data = GOOD[which]
    changed = mutate(data, at, value)
    try:
        result = velora.load_public_key(changed) if which == 0 else velora.load_private_key(changed, b"pw")
    except VeloraError:
        return
    if changed == data:
        assert result == (KEY.public_key() if which == 0 else KEY)
        return
    # Only a change inside the public key or the seed can load (as another
    # valid key); the `both` form with any change cannot. Encrypted PKCS#8
    # (PBES2, AES-CBC) has no integrity check: a changed ciphertext block can
    # decrypt to another seed, which then loads as another key.
    assert which in (0, 1, 3), f"a changed byte at {at % len(data)} of input {which} loaded"
    if which == 3:
        assert result != KEY
        return
    version = data.find(b"\x02\x01\x00") + 2  # the PrivateKeyInfo version's content byte
    if which in (1, 2) and at % len(data) == version:
        # 1 (v2) without a publicKey is also a valid encoding of the same key.
        assert changed[version] == 1 and result == KEY
        return
    assert (result.to_der() if isinstance(result, PublicKey) else result.to_der("seed")) == changed


@FAST
@given(st.sampled_from(GOOD), st.integers(min_value=1, max_value=40))
def test_truncation_always_raises(data, cut):
    cut = min(cut, len(data))
    with pytest.raises(VeloraError):
        velora.load_private_key(data[:-cut], b"pw") if data is not GOOD[0] else velora.load_public_key(data[:-cut])


@FAST
@given(st.text(max_size=300))
def test_random_text_never_escapes(text):
    for load in (velora.load_public_key, velora.load_private_key):
        try:
            load(text)
        except VeloraError:
            pass


@FAST
@given(st.binary(min_size=64, max_size=64), st.sampled_from(["seed", "expanded", "both"]), st.sampled_from([512, 768, 1024]))
def test_any_seed_round_trips_through_every_form(seed, form, level):
    key = PrivateKey.from_seed(seed, level)
    again = PrivateKey.from_der(key.to_der(form))
    assert again == key and PrivateKey.from_pem(key.to_pem(form)) == key
    assert PublicKey.from_der(key.public_key().to_der()) == key.public_key()
