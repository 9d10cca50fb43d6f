"""Loading keys from files and texts whatever their format.

`load_public_key` reads an RFC 9935 SubjectPublicKeyInfo (PEM or DER) and
the older forms of this library whose level is implied (the "ML-KEM PUBLIC
KEY" armour, where the key's size tells the level, and the JSON document).
`load_private_key` reads PKCS#8 (PEM or DER), encrypted PKCS#8, and the older
"VLPK" wrapped blob and its armour. `is_encrypted_private_key` lets a caller
decide whether to ask for a password.
"""

from __future__ import annotations

from typing import Union

from . import _velora_native as _native
from ._velora_core import KeySerializationError
from .keys import Buffer, PrivateKey, PublicKey, _as_bytes

#: A key file's contents: text (PEM, JSON) or bytes (DER, a blob, or PEM bytes).
KeyData = Union[str, bytes, bytearray, memoryview]

_LEGACY_PUBLIC_PEM = "-----BEGIN ML-KEM PUBLIC KEY-----"


def _text_or_bytes(data: KeyData) -> str | bytes:
    return data if isinstance(data, str) else _as_bytes(data, "data")


def load_public_key(data: KeyData, *, check: bool = True) -> PublicKey:
    """A public key from SPKI PEM or DER, the "ML-KEM PUBLIC KEY" armour or the JSON document."""
    raw = _text_or_bytes(data)
    text: str | None = None
    if isinstance(raw, str):
        text = raw
    elif raw.lstrip()[:1] == b"{" or _LEGACY_PUBLIC_PEM.encode() in raw:
        try:
            text = raw.decode("ascii")
        except UnicodeDecodeError:
            raise KeySerializationError("public key text is not ASCII") from None
    if text is not None:
        if _LEGACY_PUBLIC_PEM in text:
            return PublicKey.from_legacy_pem(text, check=check)
        if text.lstrip().startswith("{"):
            return PublicKey.from_json(text, check=check)
        return PublicKey.from_pem(text, check=check)
    assert isinstance(raw, bytes)
    if b"-----BEGIN " in raw:
        return PublicKey.from_pem(raw, check=check)
    return PublicKey.from_der(raw, check=check)


def load_private_key(data: KeyData, password: Buffer | None = None, *, check: bool = True) -> PrivateKey:
    """A private key from PKCS#8 (PEM or DER), encrypted PKCS#8 or the "VLPK" blob and its armour.

    An encrypted key without a password raises `KeySerializationError`
    ("... a password is needed ..."); a wrong password raises
    `DecryptionError("wrong password or corrupted key")`.
    """
    return PrivateKey._make(_native.secret_key_load(_text_or_bytes(data), password, check=check, accept="any"))


def is_encrypted_private_key(data: KeyData) -> bool:
    """Whether `data` is an encrypted private key (encrypted PKCS#8, or the "VLPK" blob or its armour)."""
    return _native.is_encrypted_private_key(_text_or_bytes(data))
