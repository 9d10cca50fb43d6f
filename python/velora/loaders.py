"""Loading keys from files and texts whatever their format.

`load_public_key` reads an RFC 9935 SubjectPublicKeyInfo (PEM or DER) and
the older forms of this library whose level is implied (the "ML-KEM PUBLIC
KEY" armour, where the key's size tells the level, and the JSON document).
`load_private_key` reads PKCS#8 (PEM or DER), encrypted PKCS#8, and the older
"VLPK" wrapped blob and its armour. `is_encrypted_private_key` lets a caller
decide whether to ask for a password.

What each takes, explicitly:

- a `pathlib.Path` (any `os.PathLike`): the file is read;
- a `str`: the key's text (PEM, the JSON document), never a file name;
- bytes (`bytes`, `bytearray`, `memoryview`): DER, a "VLPK" blob, or PEM
  bytes as read from a file.

Every input above `MAX_KEY_FILE_SIZE` bytes (64 KiB; the largest key file,
an encrypted ML-KEM-1024 PKCS#8 PEM with both forms, is about 7 KiB) is
refused at once with `KeySerializationError`, before it is parsed; a path is
read no further than that.
"""

from __future__ import annotations

import os
from typing import Final, Union

from . import _velora_native as _native
from ._velora_core import KeySerializationError
from .keys import Buffer, PrivateKey, PublicKey, _as_bytes

#: A key file's contents: text (PEM, JSON) or bytes (DER, a blob, or PEM bytes).
KeyData = Union[str, bytes, bytearray, memoryview]
#: What the loaders take: a key file's contents, or the path of the file (read).
KeySource = Union[KeyData, "os.PathLike[str]"]

#: The largest key input the loaders read (bytes); larger ones are refused before parsing.
MAX_KEY_FILE_SIZE: Final = 64 * 1024

_LEGACY_PUBLIC_PEM = "-----BEGIN ML-KEM PUBLIC KEY-----"

_NOT_A_KEY = "not a {kind} key: the input is neither PEM nor DER ({forms} expected)"
_PUBLIC_FORMS = "SubjectPublicKeyInfo PEM or DER, the ML-KEM PUBLIC KEY armour or the JSON document"
_PRIVATE_FORMS = "PKCS#8 PEM or DER, encrypted PKCS#8 or the VLPK blob"


def _read_key_file(path: os.PathLike[str]) -> bytes:
    try:
        with open(path, "rb") as f:
            data = f.read(MAX_KEY_FILE_SIZE + 1)
    except OSError as exc:
        raise KeySerializationError(f"cannot read the key file {os.fspath(path)!r}: {exc.strerror or exc}") from None
    if len(data) > MAX_KEY_FILE_SIZE:
        raise KeySerializationError(
            f"the key file {os.fspath(path)!r} is larger than {MAX_KEY_FILE_SIZE} bytes: not a key file")
    return data


def _text_or_bytes(data: KeySource) -> str | bytes:
    if isinstance(data, os.PathLike):
        return _read_key_file(data)
    raw = data if isinstance(data, str) else _as_bytes(data, "data")
    if len(raw) > MAX_KEY_FILE_SIZE:
        raise KeySerializationError(f"a key input of {len(raw)} bytes is larger than {MAX_KEY_FILE_SIZE}: not a key")
    return raw


def _path_hint(data: KeySource, exc: KeySerializationError) -> KeySerializationError:
    """The error for a ``str`` that names a file rather than holding a key: say how to read the file."""
    if isinstance(data, str) and "\n" not in data and len(data) < 4096 and os.path.isfile(data):
        return KeySerializationError(
            f"{exc}; a str is the key's text, not a file name: pass pathlib.Path({data!r}) to read the file")
    return exc


def load_public_key(data: KeySource, *, check: bool = True) -> PublicKey:
    """A public key from SPKI PEM or DER, the "ML-KEM PUBLIC KEY" armour or the JSON document.

    ``data`` is the key's text (``str``), its bytes, or a `pathlib.Path` to read.
    """
    try:
        return _load_public_key(_text_or_bytes(data), check)
    except KeySerializationError as exc:
        hinted = _path_hint(data, exc)
        if hinted is exc:
            raise
        raise hinted from None


def _load_public_key(raw: str | bytes, check: bool) -> PublicKey:
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
    if raw[:1] != b"\x30":  # DER starts with a SEQUENCE
        raise KeySerializationError(_NOT_A_KEY.format(kind="public", forms=_PUBLIC_FORMS))
    return PublicKey.from_der(raw, check=check)


def load_private_key(data: KeySource, password: Buffer | None = None, *, check: bool = True) -> PrivateKey:
    """A private key from PKCS#8 (PEM or DER), encrypted PKCS#8 or the "VLPK" blob and its armour.

    ``data`` is the key's text (``str``), its bytes, or a `pathlib.Path` to read.

    An encrypted key without a password raises `KeySerializationError`
    ("... a password is needed ..."); a wrong password raises
    `DecryptionError("wrong password or corrupted key")`.
    """
    try:
        raw = _text_or_bytes(data)
        if isinstance(raw, bytes) and raw[:1] != b"\x30" and b"-----BEGIN " not in raw and raw[:4] != b"VLPK":
            raise KeySerializationError(_NOT_A_KEY.format(kind="private", forms=_PRIVATE_FORMS))
        return PrivateKey._make(_native.secret_key_load(raw, password, check=check, accept="any"))
    except KeySerializationError as exc:
        hinted = _path_hint(data, exc)
        if hinted is exc:
            raise
        raise hinted from None


def is_encrypted_private_key(data: KeySource) -> bool:
    """Whether `data` is an encrypted private key (encrypted PKCS#8, or the "VLPK" blob or its armour)."""
    return _native.is_encrypted_private_key(_text_or_bytes(data))
