"""Signed velora files (version 2): the sender's ML-DSA signature over the header and every chunk.

Byte layout and the security argument: docs/file-format.md, "Signed files". In short: the header holds a
signer entry (kind 06 / 07 / 08 || the signer's ML-DSA-44 / 65 / 87 public key) under the header MAC, and
the signature follows the last chunk:

    d_i = SHA-256(chunk i as stored: ciphertext || tag)
    M   = SHA-256(header, its MAC included) || SHA-256(d_0 || d_1 || ... || d_{n-1})
    signature = ML-DSA.Sign(signer's private key, M, context = "velora-file-v2 signed file")

The chunk digests are taken one chunk at a time (in whichever thread seals or opens that chunk), so
signing and checking stay streaming and parallel; only the 32-byte digests are joined in order.
"""

from __future__ import annotations

import hashlib
from collections.abc import Sequence
from typing import Final

from ...errors import SignatureError, UnsignedFileError, UntrustedSignerError
from ...mldsa import MLDSAPrivateKey, MLDSAPublicKey
from . import header as h

CONTEXT: Final = b"velora-file-v2 signed file"
DIGEST_SIZE: Final = 32


def chunk_digests(sealed: memoryview | bytes, chunk_size: int) -> list[bytes]:
    """The digest of each stored chunk in ``sealed`` (whole chunks of S + 16 bytes, the last maybe shorter)."""
    step = chunk_size + h.CHUNK_TAG
    with memoryview(sealed) as view:
        return [hashlib.sha256(view[at : at + step]).digest() for at in range(0, len(view), step)]


def message(header: bytes, chunks_digest: bytes) -> bytes:
    """M: what the signature signs, from the whole header and the hash of the chunk digests."""
    return hashlib.sha256(header).digest() + chunks_digest


def signer_entry(key: MLDSAPrivateKey) -> h.Entry:
    if not isinstance(key, MLDSAPrivateKey):
        raise TypeError(f"sign must be an ML-DSA private key (velora.mldsa.MLDSAPrivateKey), "
                        f"not {type(key).__name__}")
    return h.Entry(h.SIGNER_KIND[key.level], b"", key.public_key().to_bytes(), b"")


def trusted_keys(verify: object) -> list[MLDSAPublicKey]:
    """``verify`` (one ML-DSA public key or a sequence of them) as a list; TypeError or ValueError otherwise."""
    keys = [verify] if isinstance(verify, MLDSAPublicKey) else list(verify)  # type: ignore[call-overload]
    if not keys:
        raise ValueError("verify needs at least one trusted ML-DSA public key")
    for k in keys:
        if not isinstance(k, MLDSAPublicKey):
            raise TypeError(f"verify takes ML-DSA public keys (velora.mldsa.MLDSAPublicKey), not {type(k).__name__}")
    return keys


class Transcript:
    """The running hash of the chunk digests, fed in chunk order."""

    __slots__ = ("_hash", "chunks")

    def __init__(self) -> None:
        self._hash = hashlib.sha256()
        self.chunks = 0

    def add(self, digests: Sequence[bytes]) -> None:
        self._hash.update(b"".join(digests))
        self.chunks += len(digests)

    def digest(self) -> bytes:
        return self._hash.digest()


def sign(key: MLDSAPrivateKey, header: bytes, transcript: Transcript) -> bytes:
    return key.sign(message(header, transcript.digest()), CONTEXT)


def required_signer(header: h.Header, trusted: Sequence[MLDSAPublicKey]) -> MLDSAPublicKey:
    """The trusted key that signed the file, from its signer entry; refused before any decryption."""
    entry = header.signer
    if entry is None:
        raise UnsignedFileError("the file is not signed, and a signer is required")
    for key in trusted:
        if key.to_bytes() == entry.share:  # public keys: no secret to compare in constant time
            return key
    public = MLDSAPublicKey.from_bytes(entry.share)
    raise UntrustedSignerError(f"the file is signed by ML-DSA-{public.level} key {public.fingerprint}, "
                               f"which is not among the trusted signers")


def check(key: MLDSAPublicKey, header: bytes, transcript: Transcript, signature: bytes) -> None:
    if not key.verify(signature, message(header, transcript.digest()), CONTEXT):
        raise SignatureError("the file's signature does not verify: the file was changed or its signature "
                             "is not its signer's")
