"""Detached ML-DSA signatures of any file (`velora sign` / `velora verify`), in a small text format.

Layout (docs/file-format.md, "Detached signatures"): strict PEM with the label ``VELORA SIGNATURE`` around

    version 01 (1) || signer kind (1: 06 / 07 / 08 for ML-DSA-44 / 65 / 87) || key id (32) || signature

where key id = SHA-256(the signer's ML-DSA public key) and the signature is pure ML-DSA over
SHA-256(the file's bytes) with the context string "velora detached signature".
"""

from __future__ import annotations

import base64
import binascii
import hashlib
import re
from collections.abc import Sequence
from typing import BinaryIO, Final

from .errors import FileFormatError, SignatureError, UntrustedSignerError
from .mldsa import SIGNATURE_SIZE, MLDSAPrivateKey, MLDSAPublicKey

LABEL: Final = "VELORA SIGNATURE"
VERSION: Final = 1
CONTEXT: Final = b"velora detached signature"
KIND: Final = {44: 0x06, 65: 0x07, 87: 0x08}
LEVEL_OF_KIND: Final = {v: k for k, v in KIND.items()}
#: The largest signature file a reader reads (ML-DSA-87, base64, 64 columns, with the PEM lines).
MAX_TEXT: Final = 8192
_PEM: Final = re.compile(rb"-----BEGIN VELORA SIGNATURE-----\r?\n((?:[A-Za-z0-9+/=]{1,64}\r?\n)+)"
                         rb"-----END VELORA SIGNATURE-----\r?\n?")


def file_digest(file: BinaryIO) -> bytes:
    """SHA-256 of everything ``file`` still holds (read in 1 MiB pieces)."""
    digest = hashlib.sha256()
    while piece := file.read(1 << 20):
        digest.update(piece)
    return digest.digest()


def key_id(key: MLDSAPublicKey) -> bytes:
    return hashlib.sha256(key.to_bytes()).digest()


def sign(file: BinaryIO, key: MLDSAPrivateKey) -> str:
    """The signature file's text for the bytes of ``file``."""
    public = key.public_key()
    body = bytes([VERSION, KIND[key.level]]) + key_id(public) + key.sign(file_digest(file), CONTEXT)
    b64 = base64.b64encode(body).decode("ascii")
    lines = [b64[i : i + 64] for i in range(0, len(b64), 64)]
    return f"-----BEGIN {LABEL}-----\n" + "\n".join(lines) + f"\n-----END {LABEL}-----\n"


def parse(text: bytes) -> tuple[int, bytes, bytes]:
    """(ML-DSA level, key id, signature) of a signature file; `FileFormatError` for anything else."""
    if len(text) > MAX_TEXT:
        raise FileFormatError("not a velora signature file (too long)")
    match = _PEM.fullmatch(text)
    if match is None:
        raise FileFormatError("not a velora signature file (expected one VELORA SIGNATURE PEM block)")
    try:
        body = base64.b64decode(b"".join(match.group(1).split()), validate=True)
    except binascii.Error:
        raise FileFormatError("malformed velora signature file (bad base64)") from None
    if len(body) < 2 or body[0] != VERSION:
        raise FileFormatError("unsupported velora signature file version")
    level = LEVEL_OF_KIND.get(body[1])
    if level is None:
        raise FileFormatError(f"unknown signer kind 0x{body[1]:02x} in the signature file")
    if len(body) != 2 + 32 + SIGNATURE_SIZE[level]:
        raise FileFormatError("malformed velora signature file (wrong length)")
    return level, body[2:34], body[34:]


def verify(file: BinaryIO, text: bytes, trusted: MLDSAPublicKey | Sequence[MLDSAPublicKey]) -> MLDSAPublicKey:
    """The trusted key whose signature ``text`` is over the bytes of ``file``; `UntrustedSignerError` when no
    trusted key has the signature's key id, `SignatureError` when the signature does not verify."""
    keys = [trusted] if isinstance(trusted, MLDSAPublicKey) else list(trusted)
    level, kid, signature = parse(text)
    signer = next((k for k in keys if k.level == level and key_id(k) == kid), None)
    if signer is None:
        raise UntrustedSignerError(f"the signature is by an ML-DSA-{level} key (key id {kid.hex()[:16]}), not one of "
                                   f"the trusted keys")
    if not signer.verify(signature, file_digest(file), CONTEXT):
        raise SignatureError("the signature does not verify: the file was changed, or the signature is not "
                             "of this file")
    return signer
