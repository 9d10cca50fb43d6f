"""Secrets never pickle; public keys do.

Every class the package exports is listed below as secret (holds a private key, a passphrase or a
key derived from one: pickling raises `TypeError` naming the class, with every protocol, and
copy.copy / copy.deepcopy refuse as well), public (pickles and comes back equal, and a copy works
as the original) or neither (errors, enums, protocols, records). A class the package exports but
this file does not list fails the test, so that a new key class cannot slip through unclassified.
"""

from __future__ import annotations

import copy
import importlib
import inspect
import io
import pickle
from collections.abc import Callable
from typing import Any

import pytest

import velora
from velora import age, hpke, mldsa

MODULES = ("velora", "velora.age", "velora.xwing", "velora.mldsa", "velora.hpke", "velora.files", "velora.types")

_KEY = velora.PrivateKey.generate(768)
_SEALED = velora.encrypt(b"x", _KEY.public_key())

SECRET: dict[str, Callable[[], Any]] = {
    "PrivateKey": lambda: velora.PrivateKey.generate(512),
    "XWingPrivateKey": velora.XWingPrivateKey.generate,
    "MLDSAPrivateKey": lambda: mldsa.MLDSAPrivateKey.generate(),
    "KeyPair": lambda: velora.generate_keypair(velora.SecurityLevel.ML_KEM_512),
    "StreamEncryptorHandle": lambda: velora.stream_encryptor_new(velora.generate_keypair().public_key, 64)[1],
    "StreamDecryptorHandle": lambda: _stream_decryptor(),
    "EncryptedWriter": lambda: velora.EncryptedWriter(io.BytesIO(), _KEY.public_key()),
    "DecryptedReader": lambda: velora.DecryptedReader(io.BytesIO(_SEALED), _KEY),
    "Passphrase": lambda: velora.files.Passphrase("a passphrase", work_factor=10),
}
PUBLIC: dict[str, Callable[[], Any]] = {
    "PublicKey": lambda: velora.PrivateKey.generate(1024).public_key(),
    "XWingPublicKey": lambda: velora.XWingPrivateKey.generate().public_key(),
    "MLDSAPublicKey": lambda: mldsa.MLDSAPrivateKey.generate().public_key(),
    "SecurityLevel": lambda: velora.SecurityLevel.ML_KEM_768,
    "Suite": lambda: hpke.Suite(hpke.KEM.MLKEM768_X25519, hpke.KDF.HKDF_SHA256, hpke.AEAD.AES_128_GCM),
}
#: velora.age's identities, the passphrase recipient and its file objects.
AGE_SECRET: dict[str, Callable[[], Any]] = {
    "X25519Identity": age.X25519Identity.generate,
    "HybridIdentity": age.HybridIdentity.generate,
    "ScryptIdentity": lambda: age.ScryptIdentity("a passphrase"),
    "ScryptPrompt": lambda: age.ScryptPrompt(lambda: "a passphrase"),
    "ScryptRecipient": lambda: age.ScryptRecipient("a passphrase"),
    "AgeWriter": lambda: age.AgeWriter(io.BytesIO(), [age.X25519Identity.generate().recipient()]),
    "AgeReader": lambda: age.AgeReader(io.BytesIO(age.encrypt(b"x", [_X25519.recipient()])), [_X25519]),
}
AGE_PUBLIC: dict[str, Callable[[], Any]] = {  # velora.age's recipients
    "X25519Recipient": lambda: age.X25519Identity.generate().recipient(),
    "HybridRecipient": lambda: age.HybridIdentity.generate().recipient(),
}
_X25519 = age.X25519Identity.generate()
CORE_HANDLES = {"StreamEncryptorHandle", "StreamDecryptorHandle"}
NEITHER = {
    # errors
    "VeloraError", "DecapsulationError", "DecryptionError", "InvalidParameterError", "RngError",
    "KeySerializationError", "KeyTextError", "FileFormatError", "AgeArmorError", "AgeError", "AgeHeaderError", "AgeHmacError",
    "AgeNoIdentityMatchError", "AgePayloadError",
    # identifiers, protocols, records
    "KEM", "KDF", "AEAD", "AgeIdentity", "AgeRecipient", "PassphraseLike", "FileInfo",
}


def _stream_decryptor() -> velora.StreamDecryptorHandle:
    pair = velora.generate_keypair()
    header, _ = velora.stream_encryptor_new(pair.public_key, 64)
    return velora.stream_decryptor_from_header(header, pair.secret_key, velora.SecurityLevel.ML_KEM_768)


def _exported_classes() -> set[str]:
    names = set()
    for module_name in MODULES:
        module = importlib.import_module(module_name)
        for name in getattr(module, "__all__", dir(module)):
            if inspect.isclass(getattr(module, name, None)):
                names.add(name)
    return names


def test_every_exported_class_is_classified() -> None:
    listed = set(SECRET) | set(PUBLIC) | set(AGE_SECRET) | set(AGE_PUBLIC) | NEITHER
    assert _exported_classes() - listed == set(), "classify the new classes here: secret, public or neither"


ALL_SECRET = {**SECRET, **AGE_SECRET}
ALL_PUBLIC = {**PUBLIC, **AGE_PUBLIC}


@pytest.mark.parametrize("name", ALL_SECRET)
def test_a_secret_refuses_pickling_and_names_itself(name: str) -> None:
    obj = ALL_SECRET[name]()
    assert type(obj).__name__ == name
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        if name in CORE_HANDLES and protocol < 2:
            # The core module's handles (unchanged) pickle under protocols 0 and 1 as an empty
            # object of their class, without state; making one back from it is refused.
            with pytest.raises(TypeError, match=f"{name}.__new__"):
                pickle.loads(pickle.dumps(obj, protocol))
            continue
        with pytest.raises(TypeError) as caught:
            pickle.dumps(obj, protocol)
        assert name in str(caught.value), str(caught.value)
    for duplicate in (copy.copy, copy.deepcopy):
        with pytest.raises(TypeError):
            duplicate(obj)


@pytest.mark.parametrize("name", ALL_PUBLIC)
def test_a_public_object_pickles_and_round_trips_equal(name: str) -> None:
    obj = ALL_PUBLIC[name]()
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        back = pickle.loads(pickle.dumps(obj, protocol))
        assert type(back) is type(obj) and back == obj
        if type(obj).__hash__ is not None:
            assert hash(back) == hash(obj)


def test_a_pickled_public_key_still_encrypts_to_its_private_key() -> None:
    key = velora.PrivateKey.generate(768)
    public = pickle.loads(pickle.dumps(key.public_key()))
    assert velora.decrypt(velora.encrypt(b"after the trip", public), key) == b"after the trip"
    identity = age.HybridIdentity.generate()
    recipient = pickle.loads(pickle.dumps(identity.recipient()))
    assert velora.decrypt(velora.encrypt(b"pq", recipient), identity) == b"pq"
