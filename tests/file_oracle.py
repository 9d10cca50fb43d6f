"""An independent velora file reader and writer, written from docs/file-format.md only.

ML-KEM comes from `cryptography` (ML-KEM-768 and -1024, keys rebuilt from the
same 64-byte seed) and from kyber-py (ML-KEM-512); AES-256-GCM from
`cryptography`; SHA3-256 from hashlib. Nothing here calls velora.
"""

from __future__ import annotations

import base64
import hashlib
import os
import struct

from cryptography.hazmat.primitives.asymmetric import mlkem
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from kyber_py.ml_kem import ML_KEM_512

MAGIC = bytes.fromhex("89564C520D0A1A0A")
CAPSULE = {512: 768, 768: 1088, 1024: 1568}
_CRYPTO = {768: mlkem.MLKEM768PrivateKey, 1024: mlkem.MLKEM1024PrivateKey}


class OracleError(Exception):
    pass


def public_key(seed: bytes, level: int) -> bytes:
    if level == 512:
        return ML_KEM_512.key_derive(seed)[0]
    return _CRYPTO[level].from_seed_bytes(seed).public_key().public_bytes_raw()


def _decapsulate(seed: bytes, level: int, capsule: bytes) -> bytes:
    if level == 512:
        return ML_KEM_512.decaps(ML_KEM_512.key_derive(seed)[1], capsule)
    return _CRYPTO[level].from_seed_bytes(seed).decapsulate(capsule)


def _encapsulate(seed: bytes, level: int) -> tuple[bytes, bytes]:
    """(shared secret, capsule) to the public key of ``seed``."""
    if level == 512:
        return ML_KEM_512.encaps(ML_KEM_512.key_derive(seed)[0])
    return _CRYPTO[level].from_seed_bytes(seed).public_key().encapsulate()


def _nonce(base: bytes, i: int) -> bytes:
    return struct.pack(">I", i) + base[4:]


def _aad(i: int) -> bytes:
    return struct.pack(">I", i)


def decrypt(data: bytes, seed: bytes) -> bytes:
    """The plaintext of the velora file ``data`` for the ML-KEM key pair of ``seed``; OracleError otherwise.

    Version 2 files go to `file_oracle_v2` (written from the same document, also without velora).
    """
    if len(data) > 8 and data[:8] == MAGIC and data[8] == 2:
        import file_oracle_v2

        try:
            return file_oracle_v2.decrypt(data, [("mlkem", seed)])
        except file_oracle_v2.OracleError as exc:
            raise OracleError(str(exc)) from exc
    if len(data) < 11 or data[:8] != MAGIC:
        raise OracleError("magic")
    version, level = struct.unpack_from(">BH", data, 8)
    if version != 1 or level not in CAPSULE:
        raise OracleError("version or level")
    c = CAPSULE[level]
    pos = 11
    header = data[pos : pos + c + 16]
    if len(header) != c + 16:
        raise OracleError("short stream header")
    pos += c + 16
    capsule, base = header[:c], header[c : c + 12]
    (chunk_size,) = struct.unpack(">I", header[c + 12 :])
    if not 32 <= chunk_size <= 4 * 1024 * 1024:
        raise OracleError("chunk size")
    aead = AESGCM(_decapsulate(seed, level, capsule))

    def frame(i: int) -> tuple[int, bytes]:
        nonlocal pos
        if pos + 4 > len(data):
            raise OracleError("truncated")
        (length,) = struct.unpack_from(">I", data, pos)
        body = data[pos + 4 : pos + 4 + length + 16]
        if len(body) != length + 16:
            raise OracleError("truncated")
        pos += 4 + length + 16
        try:
            return length, aead.decrypt(_nonce(base, i), body, _aad(i))
        except Exception as exc:
            raise OracleError(f"tag of frame {i}") from exc

    length, digest = frame(0)
    if length != 32 or digest != hashlib.sha3_256(data[: 11 + c + 16]).digest():
        raise OracleError("binding frame")
    out = []
    i = 1
    short = False
    while True:
        if pos + 4 > len(data):
            raise OracleError("truncated")
        (length,) = struct.unpack_from(">I", data, pos)
        if length > chunk_size or (short and length):
            raise OracleError("frame lengths")
        n, plaintext = frame(i)
        if n == 0:
            break
        short = n < chunk_size
        out.append(plaintext)
        i += 1
    if pos != len(data):
        raise OracleError("trailing data")
    return b"".join(out)


def encrypt(plaintext: bytes, seed: bytes, level: int, chunk_size: int) -> bytes:
    """A velora file of ``plaintext`` for the key pair of ``seed``."""
    shared, capsule = _encapsulate(seed, level)
    base = os.urandom(12)
    preamble = MAGIC + struct.pack(">BH", 1, level)
    header = capsule + base + struct.pack(">I", chunk_size)
    aead = AESGCM(shared)

    def frame(i: int, chunk: bytes) -> bytes:
        return struct.pack(">I", len(chunk)) + aead.encrypt(_nonce(base, i), chunk, _aad(i))

    parts = [preamble, header, frame(0, hashlib.sha3_256(preamble + header).digest())]
    chunks = [plaintext[i : i + chunk_size] for i in range(0, len(plaintext), chunk_size)]
    for i, chunk in enumerate(chunks, 1):
        parts.append(frame(i, chunk))
    parts.append(frame(len(chunks) + 1, b""))
    return b"".join(parts)


def dearmor(text: bytes) -> bytes:
    """The bytes inside strict "VELORA ENCRYPTED FILE" PEM (LF line ends)."""
    lines = text.strip().split(b"\n")
    if lines[0] != b"-----BEGIN VELORA ENCRYPTED FILE-----" or lines[-1] != b"-----END VELORA ENCRYPTED FILE-----":
        raise OracleError("armour markers")
    body = lines[1:-1]
    if not body or any(len(line) != 64 for line in body[:-1]) or not 4 <= len(body[-1]) <= 64:
        raise OracleError("armour line widths")
    data = base64.b64decode(b"".join(body), validate=True)
    if base64.b64encode(data) != b"".join(body):
        raise OracleError("non-canonical Base64")
    return data
