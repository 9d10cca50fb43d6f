"""Every refusal of bad input by the package's public functions is a `VeloraError` subclass, or a
`TypeError` for a wrong type: never AttributeError, ValueError, IndexError, KeyError or a silent
acceptance.

Two tables: `WRONG_TYPES` gives each function valid arguments and the positions that take a key,
bytes or text; every one of them, given a value of a wrong type, must raise `TypeError` (or a
`VeloraError` where text of the wrong kind is still text). `BAD_VALUES` lists values of the right
type that are wrong, each with its exact error class and a part of its message.
"""

from __future__ import annotations

import io
import pathlib
import tempfile
from collections.abc import Callable
from typing import Any

import pytest

import velora
from velora import age, hpke, xwing
from velora.hpke import AEAD, KDF, KEM

VE, IPE, KSE, DEC, FFE = (velora.VeloraError, velora.InvalidParameterError, velora.KeySerializationError,
                          velora.DecryptionError, velora.FileFormatError)

KEY = velora.PrivateKey.generate(768)
PUB = KEY.public_key()
SEALED = velora.encrypt(b"table", PUB)
XW = velora.XWingPrivateKey.generate()
X25519 = age.X25519Identity.generate()
AGED = age.encrypt(b"table", [X25519.recipient()])
SUITE = hpke.Suite(KEM.ML_KEM_768, KDF.HKDF_SHA256, AEAD.AES_256_GCM)
HPKE_SK, HPKE_PK = hpke.generate_key_pair(KEM.ML_KEM_768)
assert KEY.seed is not None
SEED = KEY.seed


def _bio(data: bytes = b"") -> io.BytesIO:
    return io.BytesIO(data)


def _mistyped(text: str) -> str:
    """``text`` with its character in the middle replaced by another of the Bech32 alphabet."""
    i = len(text) // 2
    return text[:i] + ("q" if text[i] != "q" else "p") + text[i + 1:]


def _identity_file() -> pathlib.Path:
    path = pathlib.Path(tempfile.mkdtemp()) / "identities.txt"
    path.write_text(str(X25519) + "\n")
    return path


def _recipient_file() -> pathlib.Path:
    path = pathlib.Path(tempfile.mkdtemp()) / "recipients.txt"
    path.write_text(str(X25519.recipient()) + "\n")
    return path


# name: (callable, valid positional arguments, the positions to give wrong types)
WRONG_TYPES: dict[str, tuple[Callable[..., Any], Callable[[], tuple[Any, ...]], tuple[int, ...]]] = {
    "velora.encrypt": (velora.encrypt, lambda: (b"x", PUB), (0, 1)),
    "velora.decrypt": (velora.decrypt, lambda: (SEALED, KEY), (0, 1)),
    "velora.encrypt_file": (velora.encrypt_file, lambda: (_bio(b"x"), _bio(), PUB), (0, 1, 2)),
    "velora.decrypt_file": (velora.decrypt_file, lambda: (_bio(SEALED), _bio(), KEY), (0, 1, 2)),
    "velora.inspect_file": (velora.inspect_file, lambda: (_bio(SEALED),), (0,)),
    "velora.EncryptedWriter": (velora.EncryptedWriter, lambda: (_bio(), PUB), (0, 1)),
    "velora.DecryptedReader": (velora.DecryptedReader, lambda: (_bio(SEALED), KEY), (0, 1)),
    "velora.load_public_key": (velora.load_public_key, lambda: (PUB.to_pem(),), (0,)),
    "velora.load_private_key": (velora.load_private_key, lambda: (KEY.to_pem(),), (0,)),
    "velora.is_encrypted_private_key": (velora.is_encrypted_private_key, lambda: (KEY.to_pem(),), (0,)),
    "velora.as_level": (velora.as_level, lambda: (768,), (0,)),
    "velora.fips203_modulus_check": (velora.fips203_modulus_check, lambda: (PUB.to_bytes(), 768), (0, 1)),
    "velora.fips203_hash_check": (velora.fips203_hash_check, lambda: (KEY.to_bytes(), 768), (0, 1)),
    "PublicKey.from_bytes": (velora.PublicKey.from_bytes, lambda: (PUB.to_bytes(), 768), (0, 1)),
    "PublicKey.from_der": (velora.PublicKey.from_der, lambda: (PUB.to_der(),), (0,)),
    "PublicKey.from_pem": (velora.PublicKey.from_pem, lambda: (PUB.to_pem(),), (0,)),
    "PublicKey.from_b64": (velora.PublicKey.from_b64, lambda: (PUB.to_b64(), 768), (0, 1)),
    "PublicKey.from_json": (velora.PublicKey.from_json, lambda: (PUB.to_json(),), (0,)),
    "PublicKey.from_legacy_pem": (velora.PublicKey.from_legacy_pem, lambda: (PUB.to_legacy_pem(),), (0,)),
    "PublicKey.encrypt": (PUB.encrypt, lambda: (b"x",), (0,)),
    "PrivateKey.generate": (velora.PrivateKey.generate, lambda: (768,), (0,)),
    "PrivateKey.from_seed": (velora.PrivateKey.from_seed, lambda: (SEED, 768), (0, 1)),
    "PrivateKey.from_bytes": (velora.PrivateKey.from_bytes, lambda: (KEY.to_bytes(), 768), (0, 1)),
    "PrivateKey.from_der": (velora.PrivateKey.from_der, lambda: (KEY.to_der(),), (0,)),
    "PrivateKey.from_pem": (velora.PrivateKey.from_pem, lambda: (KEY.to_pem(),), (0,)),
    "PrivateKey.from_vlpk": (velora.PrivateKey.from_vlpk, lambda: (KEY.to_vlpk(b"pw"), b"pw"), (0, 1)),
    "PrivateKey.decapsulate": (KEY.decapsulate, lambda: (PUB.encapsulate()[0],), (0,)),
    "PrivateKey.decrypt": (KEY.decrypt, lambda: (PUB.encrypt(b"x"),), (0,)),
    "PrivateKey.to_der": (KEY.to_der, lambda: ("seed", b"pw"), (0, 1)),
    "XWingPublicKey": (velora.XWingPublicKey, lambda: (XW.public_key().to_bytes(),), (0,)),
    "XWingPublicKey.from_der": (velora.XWingPublicKey.from_der, lambda: (XW.public_key().to_der(),), (0,)),
    "XWingPublicKey.from_pem": (velora.XWingPublicKey.from_pem, lambda: (XW.public_key().to_pem(),), (0,)),
    "XWingPublicKey.encapsulate_deterministic": (XW.public_key().encapsulate_deterministic, lambda: (bytes(64),), (0,)),
    "XWingPrivateKey": (velora.XWingPrivateKey, lambda: (XW.to_bytes(),), (0,)),
    "XWingPrivateKey.from_der": (velora.XWingPrivateKey.from_der, lambda: (XW.to_der(),), (0,)),
    "XWingPrivateKey.from_pem": (velora.XWingPrivateKey.from_pem, lambda: (XW.to_pem(),), (0,)),
    "XWingPrivateKey.decapsulate": (XW.decapsulate, lambda: (XW.public_key().encapsulate()[0],), (0,)),
    "hpke.generate_key_pair": (hpke.generate_key_pair, lambda: (KEM.ML_KEM_768,), (0,)),
    "hpke.derive_key_pair": (hpke.derive_key_pair, lambda: (KEM.ML_KEM_768, bytes(64)), (0, 1)),
    "hpke.public_key": (hpke.public_key, lambda: (KEM.ML_KEM_768, HPKE_SK), (0, 1)),
    "hpke.Suite": (hpke.Suite, lambda: (KEM.ML_KEM_768, KDF.HKDF_SHA256, AEAD.AES_256_GCM), (0, 1, 2)),
    "hpke.Suite.seal": (SUITE.seal, lambda: (HPKE_PK, b"x"), (0, 1)),
    "hpke.Suite.open": (SUITE.open, lambda: (HPKE_SK, *SUITE.seal(HPKE_PK, b"x")), (0, 1, 2)),
    "velora.parse_recipient": (velora.parse_recipient, lambda: (str(PUB),), (0,)),
    "velora.parse_identity": (velora.parse_identity, lambda: (KEY.to_text(),), (0,)),
    # velora.age
    "age.parse_recipient": (age.parse_recipient, lambda: (str(X25519.recipient()),), (0,)),
    "age.parse_identity": (age.parse_identity, lambda: (str(X25519),), (0,)),
    "age.parse_recipients": (age.parse_recipients, lambda: (str(X25519.recipient()),), (0,)),
    "age.parse_identities": (age.parse_identities, lambda: (str(X25519),), (0,)),
    "age.encrypt": (age.encrypt, lambda: (b"x", [X25519.recipient()]), (0, 1)),
    "age.decrypt": (age.decrypt, lambda: (AGED, [X25519]), (0, 1)),
    "age.encrypt_file": (age.encrypt_file, lambda: (_bio(b"x"), _bio(), [X25519.recipient()]), (0, 1, 2)),
    "age.decrypt_file": (age.decrypt_file, lambda: (_bio(AGED), _bio(), [X25519]), (0, 1, 2)),
    "age.AgeWriter": (age.AgeWriter, lambda: (_bio(), [X25519.recipient()]), (0, 1)),
    "age.AgeReader": (age.AgeReader, lambda: (_bio(AGED), [X25519]), (0, 1)),
    "age.X25519Recipient": (age.X25519Recipient, lambda: (X25519.recipient().to_bytes(),), (0,)),
    "age.X25519Identity": (age.X25519Identity, lambda: (bytes(32),), (0,)),
    "age.HybridRecipient": (age.HybridRecipient, lambda: (XW.public_key(),), (0,)),
    "age.HybridIdentity": (age.HybridIdentity, lambda: (XW,), (0,)),
    "age.ScryptRecipient": (age.ScryptRecipient, lambda: ("passphrase", 10), (0, 1)),
    "age.ScryptIdentity": (age.ScryptIdentity, lambda: ("passphrase", 10), (0, 1)),
    "age.is_age_file": (age.is_age_file, lambda: (AGED[:32],), (0,)),
    "age.read_identities_file": (age.read_identities_file, lambda: (_identity_file(),), (0,)),
    "age.read_recipients_file": (age.read_recipients_file, lambda: (_recipient_file(),), (0,)),
}

WRONG_VALUES = {"None": None, "float": 1.5, "object": object(), "int": 5, "list of int": [1, 2]}
#: Positions where None is a valid value (a password: none given), and where 5 is (a work factor).
NONE_ALLOWED = {("PrivateKey.from_vlpk", 1), ("PrivateKey.to_der", 1)}
INT_ALLOWED = {("age.ScryptRecipient", 1), ("age.ScryptIdentity", 1)}
#: Positions whose wrong types are refused as a bad value (InvalidParameterError, a VeloraError): the age
#: work factors, one message for every value that is not an int from 1 to 30 (tests/age/test_age_hostile.py).
WRONG_TYPE_AS_VALUE = INT_ALLOWED


def _wrong_type_cases() -> list[Any]:
    cases = []
    for name, (func, args, positions) in WRONG_TYPES.items():
        for position in positions:
            for label, value in WRONG_VALUES.items():
                if value is None and (name, position) in NONE_ALLOWED:
                    continue
                if label == "int" and (name, position) in INT_ALLOWED:
                    continue
                cases.append(pytest.param(func, args, position, value, id=f"{name}-arg{position}-{label}"))
    return cases


@pytest.mark.parametrize(("func", "args", "position", "value"), _wrong_type_cases())
def test_a_wrong_type_raises_type_error(func, args, position, value) -> None:
    as_value = any(func is WRONG_TYPES[name][0] and position == pos for name, pos in WRONG_TYPE_AS_VALUE)
    valid = args()
    func(*valid)  # the valid call works
    call = list(args())
    call[position] = value
    with pytest.raises(Exception) as caught:
        func(*call)
    exc = caught.value
    # An int where an enum member or a level goes is a value (an unknown identifier): a VeloraError.
    assert type(exc) is TypeError or ((isinstance(value, int) or as_value) and isinstance(exc, VE)), (
        f"{type(exc).__name__}: {exc}")


# name: (call, the exact class, a part of the message)
BAD_VALUES: dict[str, tuple[Callable[[], Any], type[BaseException], str]] = {
    "encrypt to no recipient": (lambda: velora.encrypt(b"x", []), velora.errors.RecipientError, "no recipient given"),
    "decrypt with no identity": (lambda: velora.decrypt(SEALED, []), velora.errors.IdentityError, "no identity given"),
    "a str recipient": (lambda: velora.encrypt(b"x", "mlkem768:AAAA"), TypeError, "str is not a recipient"),
    "a private key as recipient": (lambda: velora.encrypt(b"x", KEY), TypeError, "encrypt to its public_key()"),
    "a public key as identity": (lambda: velora.decrypt(SEALED, PUB), TypeError, "decrypt with its PrivateKey"),
    "a passphrase beside a key": (lambda: velora.encrypt(b"x", [PUB, velora.files.Passphrase("pw", work_factor=10)]),
                                  velora.errors.RecipientError, "passphrase must be the only recipient"),
    "velora and age recipients mixed": (lambda: velora.encrypt(b"x", [PUB, X25519.recipient()]),
                                        velora.errors.RecipientError, "cannot share one file"),
    "chunk size too small": (lambda: velora.encrypt(b"x", PUB, chunk_size=31), IPE, "chunk_size must be 32"),
    "chunk size too large": (lambda: velora.encrypt(b"x", PUB, chunk_size=1 << 23), IPE, "chunk_size must be 32"),
    "chunk size a str": (lambda: velora.encrypt(b"x", PUB, chunk_size="64"), TypeError, "chunk_size must be an int"),
    "armor a str": (lambda: velora.encrypt(b"x", PUB, armor="yes"), TypeError, "armor must be a bool"),
    "decrypt text that is not armour": (lambda: velora.decrypt("hello", KEY), FFE, "not a velora or age"),
    "decrypt a non-ASCII str": (lambda: velora.decrypt("é", KEY), FFE, "must be ASCII armour"),
    "decrypt nothing": (lambda: velora.decrypt(b"", KEY), FFE, "empty input"),
    "decrypt a cut file": (lambda: velora.decrypt(SEALED[:-1], KEY), DEC, "truncated"),
    "decrypt with another level's key": (lambda: velora.decrypt(SEALED, velora.PrivateKey.generate(512)),
                                         velora.errors.NoIdentityMatchError,
                                         "ML-KEM-768 key"),
    "unknown level": (lambda: velora.PrivateKey.generate(769), IPE, "unknown ML-KEM level 769"),
    "a bool level": (lambda: velora.PrivateKey.generate(True), TypeError, "level must be"),
    "public key of a wrong size": (lambda: velora.PublicKey.from_bytes(bytes(800), 768), IPE, "1184 bytes, got 800"),
    "public key failing the modulus check": (lambda: velora.PublicKey.from_bytes(b"\xff" * 1184, 768), KSE,
                                             "modulus check"),
    "JSON key with bad Base64": (lambda: velora.PublicKey.from_json(
        '{"algorithm":"ML-KEM","level":"ML_KEM_768","public_key":"!!!"}'), KSE, "base64"),
    "Base64 key that is not Base64": (lambda: velora.PublicKey.from_b64("!!!", 768), KSE, "base64"),
    "load a public key from text that is no key": (lambda: velora.load_public_key("hello"), KSE, ""),
    "load a public key from bytes that are no key": (lambda: velora.load_public_key(b"root:x:0:0:root:/root:/bin/sh\n"),
                                                     KSE, "not a public key"),
    "load a private key from bytes that are no key": (lambda: velora.load_private_key(b"root:x:0:0\n"), KSE,
                                                      "not a private key"),
    "load a private key above the size limit": (lambda: velora.load_private_key(b"0" * (64 * 1024 + 1)), KSE,
                                                "larger than 65536"),
    "load a key from a missing path": (lambda: velora.load_private_key(pathlib.Path("/nonexistent/key.pem")), KSE,
                                       "cannot read the key file"),
    "an encrypted key without password": (lambda: velora.load_private_key(
        KEY.to_pem(password=b"pw", scrypt_n=1024)), KSE, "password"),
    "an encrypted key with a wrong password": (lambda: velora.load_private_key(
        KEY.to_pem(password=b"pw", scrypt_n=1024), password=b"no"), DEC, "wrong password"),
    "an empty password for key encryption": (lambda: KEY.to_pem(password=b""), IPE, "empty password"),
    "an unknown private key form": (lambda: KEY.to_der("compact"), IPE, "unknown private key form"),  # type: ignore[arg-type]
    "a velora file given to PrivateKey.decrypt": (lambda: KEY.decrypt(SEALED), DEC, "not a Transit Package"),
    "an armoured file given to PrivateKey.decrypt": (lambda: KEY.decrypt(velora.encrypt(b"x", PUB, armor=True)), DEC,
                                                      "open it with velora.decrypt"),
    "capsule of a wrong size": (lambda: KEY.decapsulate(bytes(10)), IPE, "1088 bytes, got 10"),
    "X-Wing public key of a wrong size": (lambda: velora.XWingPublicKey(bytes(10)), IPE, "1216 bytes"),
    "X-Wing private key of a wrong size": (lambda: velora.XWingPrivateKey(bytes(10)), IPE, "32 bytes"),
    "X-Wing DER of an ML-KEM key": (lambda: velora.XWingPublicKey.from_der(PUB.to_der()), KSE, "not a DER X-Wing"),
    "an HPKE KEM not built here": (lambda: hpke.Suite(0x0010, 1, 1), IPE, "unsupported HPKE KEM 0x0010"),
    "an HPKE KDF not built here": (lambda: hpke.Suite(KEM.ML_KEM_768, 0x7777, 1), IPE, "unsupported HPKE KDF"),
    "an HPKE key of the wrong kind": (lambda: SUITE.seal(XW.public_key(), b"x"), TypeError, "does not fit"),
    "a recipient text with a mistyped character": (lambda: velora.parse_recipient(_mistyped(str(PUB))),
                                                    velora.KeyTextError, "fails its checksum"),
    "an identity text cut short": (lambda: velora.parse_identity(KEY.to_text()[:-3]), velora.KeyTextError,
                                   "fails its checksum"),
    # velora.age
    "an age recipient of bad Bech32": (lambda: age.parse_recipient("age1bad"), KSE, "bech32"),
    "an age identity given as recipient": (lambda: age.encrypt(b"x", [X25519]), TypeError, "not an age recipient"),
    "an age recipient given as identity": (lambda: age.decrypt(AGED, [X25519.recipient()]), TypeError,
                                           "not an age identity"),
    "age recipients as one str": (lambda: age.encrypt(b"x", str(X25519.recipient())), TypeError, "iterable"),
    "age without recipients": (lambda: age.encrypt(b"x", []), IPE, "at least one recipient"),
    "age passphrase with another recipient": (lambda: age.encrypt(b"x", [age.ScryptRecipient("p"),
                                                                         X25519.recipient()]), IPE, "only recipient"),
    "age with an empty passphrase": (lambda: age.ScryptRecipient(""), IPE, "empty passphrase"),
    "age scrypt work factor out of range": (lambda: age.ScryptRecipient("p", 99), IPE, "work factor"),
    "an X25519 recipient of a wrong size": (lambda: age.X25519Recipient(bytes(3)), IPE, "32 bytes"),
    "an age file with a wrong identity": (lambda: age.decrypt(AGED, [age.X25519Identity.generate()]),
                                          velora.age.AgeNoIdentityMatchError, "no identity matches"),
    "an age file cut short": (lambda: age.decrypt(AGED[:-1], [X25519]), velora.age.AgePayloadError, "payload"),
    "age chunk size": (lambda: velora.encrypt(b"x", X25519.recipient(), chunk_size=65536), IPE, "fixed 64 KiB"),
    "an age identities file given as an int": (lambda: age.read_identities_file(5), TypeError,  # type: ignore[arg-type]
                                               "not int"),
    "inspect something that is no file": (lambda: velora.inspect_file(_bio(b"hello")), FFE, "not a velora or age"),
}


@pytest.mark.parametrize("case", BAD_VALUES.values(), ids=BAD_VALUES.keys())
def test_a_bad_value_raises_its_error(case) -> None:
    call, cls, message = case
    with pytest.raises(Exception) as caught:
        call()
    assert type(caught.value) is cls, f"{type(caught.value).__name__}: {caught.value}"
    assert message.lower() in str(caught.value).lower()
    assert cls is TypeError or issubclass(cls, VE)


def test_the_module_of_each_public_error_is_velora() -> None:
    for name in ("VeloraError", "DecapsulationError", "DecryptionError", "InvalidParameterError", "RngError",
                 "KeySerializationError", "KeyTextError", "FileFormatError"):
        cls = getattr(velora, name)
        assert issubclass(cls, VE) and not issubclass(cls, ValueError), name
    assert xwing.XWingPublicKey is velora.XWingPublicKey
