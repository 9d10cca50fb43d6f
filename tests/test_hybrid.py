"""encrypt_hybrid / decrypt_hybrid: the Transit Package
capsule || nonce (12) || tag (16) || ciphertext, checked against independent
ML-KEM and AES-GCM implementations."""

import os

import pytest
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

from kem_oracle import DECRYPTION_MESSAGE, LEVEL_IDS, LEVELS, keys_for
from velora import _velora_core as core

L = core.SecurityLevel


@pytest.fixture(scope="module", params=LEVELS, ids=LEVEL_IDS)
def level_keys(request):
    level, c, _, _ = request.param
    return level, c, keys_for(level)


def split(package: bytes, c: int):
    return package[:c], package[c:c + 12], package[c + 12:c + 28], package[c + 28:]


@pytest.mark.parametrize("n", [0, 1, 4096 + 3])
def test_package_opens_with_independent_kem_and_aesgcm(level_keys, n):
    level, c, keys = level_keys
    plaintext = os.urandom(n)
    package = core.encrypt_hybrid(keys.public_key, plaintext, level)
    assert type(package) is bytes
    assert len(package) == c + 28 + n

    capsule, nonce, tag, ciphertext = split(package, c)
    shared = keys.decapsulate(capsule)
    # The shared secret is the AES-256 key itself; no associated data.
    assert AESGCM(shared).decrypt(nonce, ciphertext + tag, None) == plaintext
    assert core.decrypt_hybrid(package, keys.secret_key, level) == plaintext


def test_package_built_with_aesgcm_opens_with_ours(level_keys):
    level, c, keys = level_keys
    plaintext = b"built elsewhere " * 50
    capsule, shared = keys.encapsulate()
    nonce = os.urandom(12)
    sealed = AESGCM(shared).encrypt(nonce, plaintext, None)  # ciphertext || tag
    package = capsule + nonce + sealed[-16:] + sealed[:-16]
    assert core.decrypt_hybrid(package, keys.secret_key, level) == plaintext

    # The tag goes before the ciphertext: AES-GCM's own order does not open.
    with pytest.raises(core.DecryptionError):
        core.decrypt_hybrid(capsule + nonce + sealed, keys.secret_key, level)


def test_empty_plaintext_package_is_exactly_capsule_plus_28(level_keys):
    level, c, keys = level_keys
    package = core.encrypt_hybrid(keys.public_key, b"", level)
    assert len(package) == c + 28  # 796, 1116, 1596
    assert core.decrypt_hybrid(package, keys.secret_key, level) == b""


def test_every_package_has_a_fresh_capsule_and_nonce():
    keys = keys_for(L.ML_KEM_768)
    a = core.encrypt_hybrid(keys.public_key, b"same")
    b = core.encrypt_hybrid(keys.public_key, b"same")
    assert a[:1088] != b[:1088]
    assert a[1088:1100] != b[1088:1100]


def test_level_defaults_to_768_and_keywords_are_accepted():
    keys = keys_for(L.ML_KEM_768)
    package = core.encrypt_hybrid(recipient_public_key=keys.public_key, plaintext=b"kw")
    assert len(package) == 1088 + 28 + 2
    assert core.decrypt_hybrid(package, keys.secret_key) == b"kw"
    assert core.decrypt_hybrid(encrypted_package=package, secret_key=keys.secret_key,
                               level=L.ML_KEM_768) == b"kw"


# ---- failure table ----------------------------------------------------------

def _bad_calls():
    k512, k768 = keys_for(L.ML_KEM_512), keys_for(L.ML_KEM_768)
    p768 = core.encrypt_hybrid(k768.public_key, b"x" * 10)
    p512 = core.encrypt_hybrid(k512.public_key, b"x" * 10, L.ML_KEM_512)  # 806 bytes < 1116
    small = "Encrypted package too small for the given security level"
    return [
        ("ek one byte short", lambda: core.encrypt_hybrid(k768.public_key[:-1], b"p"),
         core.InvalidParameterError, "encryption key has incorrect size"),
        ("ek of another level", lambda: core.encrypt_hybrid(k512.public_key, b"p"),
         core.InvalidParameterError, "encryption key has incorrect size"),
        ("package C+27", lambda: core.decrypt_hybrid(p768[:1088 + 27], k768.secret_key),
         core.InvalidParameterError, small),
        ("package C+27 and bad key: size first", lambda: core.decrypt_hybrid(p768[:1088 + 27], b"k"),
         core.InvalidParameterError, small),
        ("short 512 package at 768", lambda: core.decrypt_hybrid(p512, k768.secret_key),
         core.InvalidParameterError, small),
        ("sk one byte long", lambda: core.decrypt_hybrid(p768, k768.secret_key + b"\0"),
         core.InvalidParameterError, "decapsulation key has incorrect size"),
        ("sk of another level", lambda: core.decrypt_hybrid(p768, k512.secret_key),
         core.InvalidParameterError, "decapsulation key has incorrect size"),
        ("sk of another key pair", lambda: core.decrypt_hybrid(p768, keys_for(L.ML_KEM_768, 2).secret_key),
         core.DecryptionError, DECRYPTION_MESSAGE),
    ]


@pytest.mark.parametrize("name,call,exc,message", _bad_calls(), ids=[c[0] for c in _bad_calls()])
def test_failure_rows(name, call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    assert info.value.args == (message,)


def test_long_512_package_opened_at_768_fails_authentication():
    k512, k768 = keys_for(L.ML_KEM_512), keys_for(L.ML_KEM_768)
    package = core.encrypt_hybrid(k512.public_key, b"y" * 400, L.ML_KEM_512)  # 1196 >= 1116
    with pytest.raises(core.DecryptionError, match=f"^{DECRYPTION_MESSAGE}$"):
        core.decrypt_hybrid(package, k768.secret_key, L.ML_KEM_768)


@pytest.mark.parametrize("func,args,bad_index,name", [
    (core.encrypt_hybrid, ["pk", b"p"], 0, "recipient_public_key"),
    (core.encrypt_hybrid, ["pk", b"p"], 1, "plaintext"),
    (core.decrypt_hybrid, [b"pkg", b"sk"], 0, "encrypted_package"),
    (core.decrypt_hybrid, [b"pkg", b"sk"], 1, "secret_key"),
])
@pytest.mark.parametrize("bad", [bytearray(b"x"), memoryview(b"x"), "x", None], ids=lambda v: type(v).__name__)
def test_non_bytes_arguments_are_type_errors(func, args, bad_index, name, bad):
    keys = keys_for(L.ML_KEM_768)
    args = [keys.public_key if a == "pk" else a for a in args]
    args[bad_index] = bad
    with pytest.raises(TypeError) as info:
        func(*args)
    assert f"while processing '{name}'" in getattr(info.value, "__notes__", [])


@pytest.mark.parametrize("level", [768, None, "ML_KEM_768"])
def test_level_must_be_a_security_level(level):
    keys = keys_for(L.ML_KEM_768)
    with pytest.raises(TypeError):
        core.encrypt_hybrid(keys.public_key, b"p", level)
    with pytest.raises(TypeError):
        core.decrypt_hybrid(b"\0" * 2000, keys.secret_key, level=level)


# ---- tampering --------------------------------------------------------------

@pytest.mark.parametrize("region,offset", [
    ("capsule", 0), ("capsule", -1), ("nonce", 0), ("nonce", 11),
    ("tag", 0), ("tag", 15), ("ciphertext", 0), ("ciphertext", -1),
])
def test_any_flipped_bit_is_a_decryption_error(level_keys, region, offset):
    level, c, keys = level_keys
    package = bytearray(core.encrypt_hybrid(keys.public_key, b"attack at dawn", level))
    start, length = {"capsule": (0, c), "nonce": (c, 12), "tag": (c + 12, 16),
                     "ciphertext": (c + 28, 14)}[region]
    package[start + offset % length] ^= 0x04
    with pytest.raises(core.DecryptionError) as info:
        core.decrypt_hybrid(bytes(package), keys.secret_key, level)
    assert info.value.args == (DECRYPTION_MESSAGE,)


def test_truncated_or_extended_ciphertext_is_refused():
    keys = keys_for(L.ML_KEM_768)
    package = core.encrypt_hybrid(keys.public_key, b"0123456789")
    for bad in (package[:-1], package + b"\0"):
        with pytest.raises(core.DecryptionError):
            core.decrypt_hybrid(bad, keys.secret_key)


def test_bytes_subclasses_are_accepted():
    class B(bytes):
        pass

    keys = keys_for(L.ML_KEM_768)
    package = core.encrypt_hybrid(B(keys.public_key), B(b"sub"))
    assert core.decrypt_hybrid(B(package), B(keys.secret_key)) == b"sub"


def test_docstrings_and_signatures():
    assert core.encrypt_hybrid.__text_signature__ == "(recipient_public_key, plaintext, level=...)"
    assert core.decrypt_hybrid.__text_signature__ == "(encrypted_package, secret_key, level=...)"
    for f in (core.encrypt_hybrid, core.decrypt_hybrid):
        assert f.__doc__ and not f.__doc__.startswith(f.__name__)
