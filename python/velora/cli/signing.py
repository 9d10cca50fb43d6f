"""The signing parts of the command line: ML-DSA key generation, the signer of ``encrypt --sign``, the
trusted senders of ``decrypt --verify``, and detached ``velora sign`` / ``velora verify``.

Key files are PEM: an ML-DSA private key as PKCS#8 (RFC 9881, seed form), a public key as
SubjectPublicKeyInfo. A file of trusted senders is one or more public-key PEM blocks, one after another
(text between them, such as comments naming the senders, is ignored).
"""

from __future__ import annotations

import re
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from collections.abc import Sequence

    from ..mldsa import MLDSAPrivateKey, MLDSAPublicKey

#: ``velora keygen -t``: the ML-DSA key types and their levels.
MLDSA_TYPES = {"mldsa44": 44, "mldsa65": 65, "mldsa87": 87}
#: The suffix of a detached signature file beside the file it signs.
SIGNATURE_SUFFIX = ".vsig"

_PUBLIC_PEM = re.compile(rb"-----BEGIN PUBLIC KEY-----\r?\n.*?-----END PUBLIC KEY-----", re.S)


class SigningFailure(Exception):
    """A key file that is not what the option needs (reported as one line)."""


def generate(kind: str) -> tuple[str, str]:
    """(private key PEM, public key PEM) of a new key of ``kind`` (a key of `MLDSA_TYPES`)."""
    from ..mldsa import MLDSAPrivateKey

    key = MLDSAPrivateKey.generate(MLDSA_TYPES[kind])  # type: ignore[arg-type]
    return key.to_pem("seed"), key.public_key().to_pem()


def load_signer(data: bytes, path: str) -> MLDSAPrivateKey:
    from ..mldsa import MLDSAPrivateKey

    try:
        return MLDSAPrivateKey.from_pem(data)
    except Exception as exc:
        raise SigningFailure(f"signing key {path!r} is not an ML-DSA private key (PKCS#8 PEM): {exc}") from None


def load_trusted(data: bytes, path: str) -> list[MLDSAPublicKey]:
    """Every ML-DSA public key of a public-key file or a file of trusted senders."""
    from ..mldsa import MLDSAPublicKey

    blocks = _PUBLIC_PEM.findall(data)
    if not blocks:
        raise SigningFailure(f"{path!r} holds no public key (SubjectPublicKeyInfo PEM)")
    keys = []
    for block in blocks:
        try:
            keys.append(MLDSAPublicKey.from_pem(block + b"\n"))
        except Exception as exc:
            raise SigningFailure(f"{path!r}: a public key that is not an ML-DSA key: {exc}") from None
    return keys


def describe(key: MLDSAPublicKey) -> str:
    return f"ML-DSA-{key.level} key {key.fingerprint}"


def trusted_from(paths: Sequence[str], read: object) -> list[MLDSAPublicKey]:
    keys: list[MLDSAPublicKey] = []
    for path in paths:
        keys.extend(load_trusted(read(path, "public key file"), path))  # type: ignore[operator]
    return keys
