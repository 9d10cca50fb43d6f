"""An independent checker and signer of signed velora files (version 2) and of detached signatures,
written from docs/file-format.md ("Signed files", "Detached signatures") only.

ML-DSA is `cryptography`'s (FIPS 204 pure ML-DSA with a context string), SHA-256 is hashlib's, the
header MAC is rebuilt with file_oracle_v2's HKDF. Nothing here calls velora.
"""

from __future__ import annotations

import base64
import hashlib
import hmac
import struct

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives.asymmetric import mldsa

import file_oracle_v2 as v2

FILE_CONTEXT = b"velora-file-v2 signed file"
DETACHED_CONTEXT = b"velora detached signature"
#: Signer kind: (public key class, private key class, public key size, signature size).
SIGNER = {
    6: (mldsa.MLDSA44PublicKey, mldsa.MLDSA44PrivateKey, 1312, 2420),
    7: (mldsa.MLDSA65PublicKey, mldsa.MLDSA65PrivateKey, 1952, 3309),
    8: (mldsa.MLDSA87PublicKey, mldsa.MLDSA87PrivateKey, 2592, 4627),
}
KIND_OF_LEVEL = {44: 6, 65: 7, 87: 8}
RECIPIENT_SIZE = {kind: 1 + 16 + share + 48 for kind, share in v2.SHARE.items()}


class OracleError(Exception):
    pass


def private_key(seed: bytes, level: int) -> object:
    return SIGNER[KIND_OF_LEVEL[level]][1].from_seed_bytes(seed)


def public_bytes(seed: bytes, level: int) -> bytes:
    return private_key(seed, level).public_key().public_bytes_raw()  # type: ignore[attr-defined]


def parse(data: bytes) -> dict:
    """The header's fields, its signer (kind, public key) if any, and where each entry starts."""
    if data[:8] != v2.MAGIC or data[8] != 2:
        raise OracleError("magic or version")
    chunk_size, count = struct.unpack_from(">IH", data, 9)
    pos, signer, entries = 15, None, []
    for _ in range(count):
        kind = data[pos]
        if kind in SIGNER:
            size = 1 + SIGNER[kind][2]
            if signer is not None:
                raise OracleError("two signer entries")
            signer = (kind, data[pos + 1 : pos + size])
        elif kind in RECIPIENT_SIZE:
            size = RECIPIENT_SIZE[kind]
        else:
            raise OracleError("kind")
        entries.append((pos, size))
        pos += size
    return {"chunk_size": chunk_size, "count": count, "signer": signer, "entries": entries,
            "nonce_at": pos, "header_size": pos + 48}


def message(data: bytes) -> tuple[bytes, bytes, int]:
    """(M, signature, signer kind) of a signed file, as the document defines M."""
    info = parse(data)
    if info["signer"] is None:
        raise OracleError("not signed")
    kind = info["signer"][0]
    h_size, sealed = info["header_size"], info["chunk_size"] + 16
    sig_size = SIGNER[kind][3]
    payload = data[h_size : len(data) - sig_size]
    digests = b"".join(hashlib.sha256(payload[i : i + sealed]).digest() for i in range(0, len(payload), sealed))
    m = hashlib.sha256(data[:h_size]).digest() + hashlib.sha256(digests).digest()
    return m, data[len(data) - sig_size :], kind


def verify(data: bytes, trusted_public: bytes) -> bool:
    """Whether the file's signature verifies under ``trusted_public`` and its signer entry names that key."""
    m, signature, kind = message(data)
    if parse(data)["signer"][1] != trusted_public:
        return False
    key = SIGNER[kind][0].from_public_bytes(trusted_public)
    try:
        key.verify(signature, m, FILE_CONTEXT)
    except InvalidSignature:
        return False
    return True


def sign(unsigned: bytes, identities: list, seed: bytes, level: int) -> bytes:
    """The signed file a sender with the ML-DSA key of ``seed`` makes from an unsigned one whose file key
    ``identities`` open: its signer entry first, the count one more, a new header MAC, the payload as it was,
    the signature after it. (A recipient, who knows the file key, can do exactly this with its own key.)"""
    file_key, _, h_size, _ = v2.file_key(unsigned, identities)
    info = parse(unsigned)
    kind = KIND_OF_LEVEL[level]
    entry = bytes([kind]) + public_bytes(seed, level)
    body = unsigned[:9] + struct.pack(">IH", info["chunk_size"], info["count"] + 1) + entry
    body += unsigned[15 : h_size - 32]
    header = body + hmac.new(v2.hkdf(file_key, None, b"velora-file-v2 header"), body, "sha256").digest()
    partial = header + unsigned[h_size:]
    m, _, _ = message(partial + bytes(SIGNER[kind][3]))
    return partial + private_key(seed, level).sign(m, FILE_CONTEXT)  # type: ignore[attr-defined]


def strip(signed: bytes, identities: list) -> bytes:
    """What a recipient makes of a signed file: the signer entry and the signature gone, a new header MAC."""
    info = parse(signed)
    file_key, _, _, _ = _file_key_of_signed(signed, identities)
    at, size = next(e for e in info["entries"] if signed[e[0]] in SIGNER)
    h_size = info["header_size"]
    body = signed[:9] + struct.pack(">IH", info["chunk_size"], info["count"] - 1)
    body += signed[15:at] + signed[at + size : h_size - 32]
    header = body + hmac.new(v2.hkdf(file_key, None, b"velora-file-v2 header"), body, "sha256").digest()
    return header + signed[h_size : len(signed) - SIGNER[info["signer"][0]][3]]


def _file_key_of_signed(signed: bytes, identities: list) -> tuple[bytes, int, int, bytes]:
    info = parse(signed)
    for at, size in info["entries"]:
        kind = signed[at]
        if kind in SIGNER:
            continue
        share_size = v2.SHARE[kind]
        share = signed[at + 17 : at + 17 + share_size]
        wrapped = signed[at + 17 + share_size : at + size]
        for identity in identities:
            key = v2._unwrap(identity, kind, share, wrapped)
            if key is not None:
                return key, info["chunk_size"], info["header_size"], signed[info["nonce_at"] : info["nonce_at"] + 16]
    raise OracleError("no identity matches")


def rebuild(signed: bytes, identities: list, entries: list[bytes]) -> bytes:
    """The signed file with its header's entries replaced by ``entries`` (raw bytes, count set to match) and
    the header MAC recomputed with the file key; payload and signature as they were."""
    info = parse(signed)
    file_key = _file_key_of_signed(signed, identities)[0]
    h_size = info["header_size"]
    body = signed[:9] + struct.pack(">IH", info["chunk_size"], len(entries)) + b"".join(entries)
    body += signed[info["nonce_at"] : h_size - 32]
    header = body + hmac.new(v2.hkdf(file_key, None, b"velora-file-v2 header"), body, "sha256").digest()
    return header + signed[h_size:]


def entries_of(signed: bytes) -> list[bytes]:
    return [signed[at : at + size] for at, size in parse(signed)["entries"]]


def replace_chunk(signed: bytes, identities: list, index: int, plaintext: bytes, last: bool) -> bytes:
    """Chunk ``index`` sealed again with the payload key over ``plaintext`` (same length): a chunk that
    authenticates under the file key, as a recipient can make one."""
    from cryptography.hazmat.primitives.ciphers.aead import AESGCM

    file_key, chunk_size, h_size, nonce = _file_key_of_signed(signed, identities)
    key = v2.hkdf(file_key, nonce, b"velora-file-v2 payload")
    sealed = AESGCM(key).encrypt(v2._chunk_nonce(index, last), plaintext, None)
    at = h_size + index * (chunk_size + 16)
    return signed[:at] + sealed + signed[at + len(sealed) :]


# ---- detached signatures ----------------------------------------------------------------------


def detached_verify(text: bytes, content: bytes, trusted_public: bytes) -> bool:
    lines = text.decode("ascii").strip("\n").split("\n")
    if lines[0] != "-----BEGIN VELORA SIGNATURE-----" or lines[-1] != "-----END VELORA SIGNATURE-----":
        raise OracleError("armour")
    body = base64.b64decode("".join(lines[1:-1]), validate=True)
    if body[0] != 1 or body[1] not in SIGNER:
        raise OracleError("version or kind")
    if body[2:34] != hashlib.sha256(trusted_public).digest():
        return False
    key = SIGNER[body[1]][0].from_public_bytes(trusted_public)
    try:
        key.verify(body[34:], hashlib.sha256(content).digest(), DETACHED_CONTEXT)
    except InvalidSignature:
        return False
    return True
