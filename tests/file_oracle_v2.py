"""An independent reader and writer of velora files, version 2, written from docs/file-format.md only.

ML-KEM-768 and -1024 come from `cryptography` (keys rebuilt from the 64-byte
seed), ML-KEM-512 from kyber-py; X-Wing is the draft's construction over
`cryptography`'s ML-KEM-768 and X25519 and hashlib's SHAKE256 / SHA3-256;
HKDF, HMAC and AES-256-GCM from `cryptography`; scrypt from hashlib. Nothing
here calls velora.

Identities are ("mlkem", 64-byte seed), ("xwing", 32-byte seed) or
("scrypt", passphrase bytes); recipients ("mlkem", level, public key),
("xwing", public key) or ("scrypt", passphrase, work factor).
"""

from __future__ import annotations

import hashlib
import hmac
import os
import struct

from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import mlkem, x25519
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF
from kyber_py.ml_kem import ML_KEM_512

MAGIC = bytes.fromhex("89564C520D0A1A0A")
SHARE = {1: 768, 2: 1088, 3: 1568, 4: 1120, 5: 17}
LEVEL_OF = {1: 512, 2: 768, 3: 1024}
KIND_OF = {512: 1, 768: 2, 1024: 3}
XWING_LABEL = bytes.fromhex("5c2e2f2f5e5c")


class OracleError(Exception):
    pass


def hkdf(ikm: bytes, salt: bytes | None, info: bytes) -> bytes:
    return HKDF(algorithm=hashes.SHA256(), length=32, salt=salt, info=info).derive(ikm)


# ---- KEMs ---------------------------------------------------------------------

_CRYPTO = {768: mlkem.MLKEM768PrivateKey, 1024: mlkem.MLKEM1024PrivateKey}


def mlkem_public(seed: bytes, level: int) -> bytes:
    if level == 512:
        return ML_KEM_512.key_derive(seed)[0]
    return _CRYPTO[level].from_seed_bytes(seed).public_key().public_bytes_raw()


def mlkem_decaps(seed: bytes, level: int, ct: bytes) -> bytes:
    if level == 512:
        return ML_KEM_512.decaps(ML_KEM_512.key_derive(seed)[1], ct)
    return _CRYPTO[level].from_seed_bytes(seed).decapsulate(ct)


def mlkem_encaps(public: bytes, level: int) -> tuple[bytes, bytes]:
    """(shared secret, ciphertext)."""
    if level == 512:
        return ML_KEM_512.encaps(public)
    cls = {768: mlkem.MLKEM768PublicKey, 1024: mlkem.MLKEM1024PublicKey}[level]
    return cls.from_public_bytes(public).encapsulate()


def _xwing_expand(seed: bytes) -> tuple[mlkem.MLKEM768PrivateKey, x25519.X25519PrivateKey]:
    expanded = hashlib.shake_256(seed).digest(96)
    return mlkem.MLKEM768PrivateKey.from_seed_bytes(expanded[:64]), x25519.X25519PrivateKey.from_private_bytes(
        expanded[64:96])


def xwing_public(seed: bytes) -> bytes:
    m, x = _xwing_expand(seed)
    return m.public_key().public_bytes_raw() + x.public_key().public_bytes_raw()


def xwing_decaps(seed: bytes, ct: bytes) -> bytes:
    m, x = _xwing_expand(seed)
    ct_m, ct_x = ct[:1088], ct[1088:]
    ss_m = m.decapsulate(ct_m)
    ss_x = x.exchange(x25519.X25519PublicKey.from_public_bytes(ct_x))
    return hashlib.sha3_256(ss_m + ss_x + ct_x + x.public_key().public_bytes_raw() + XWING_LABEL).digest()


def xwing_encaps(public: bytes) -> tuple[bytes, bytes]:
    """(shared secret, ciphertext)."""
    pk_m, pk_x = public[:1184], public[1184:]
    ss_m, ct_m = mlkem.MLKEM768PublicKey.from_public_bytes(pk_m).encapsulate()
    e = x25519.X25519PrivateKey.generate()
    ct_x = e.public_key().public_bytes_raw()
    ss_x = e.exchange(x25519.X25519PublicKey.from_public_bytes(pk_x))
    return hashlib.sha3_256(ss_m + ss_x + ct_x + pk_x + XWING_LABEL).digest(), ct_m + ct_x


def _scrypt(passphrase: bytes, salt: bytes, w: int) -> bytes:
    return hashlib.scrypt(passphrase, salt=b"velora-file-v2 scrypt" + salt, n=1 << w, r=8, p=1, dklen=32,
                          maxmem=(128 * 8 << w) + (1 << 22))


# ---- reading ------------------------------------------------------------------


def parse_header(data: bytes) -> tuple[int, list[tuple[int, bytes, bytes, bytes]], bytes, bytes, int]:
    """(chunk size, entries as (kind, tag, share, wrapped), nonce, mac, header size)."""
    if len(data) < 15 or data[:8] != MAGIC or data[8] != 2:
        raise OracleError("magic or version")
    chunk_size, count = struct.unpack_from(">IH", data, 9)
    if not 32 <= chunk_size <= 4 * 1024 * 1024 or not 1 <= count <= 1024:
        raise OracleError("chunk size or count")
    pos = 15
    entries = []
    for _ in range(count):
        if pos >= len(data) or data[pos] not in SHARE:
            raise OracleError("kind")
        kind = data[pos]
        size = 1 + 16 + SHARE[kind] + 48
        body = data[pos + 1 : pos + size]
        if len(body) != size - 1:
            raise OracleError("truncated header")
        entries.append((kind, body[:16], body[16 : 16 + SHARE[kind]], body[16 + SHARE[kind] :]))
        pos += size
    if count > 1 and any(e[0] == 5 for e in entries):
        raise OracleError("passphrase beside others")
    if pos + 48 > len(data):
        raise OracleError("truncated header")
    return chunk_size, entries, data[pos : pos + 16], data[pos + 16 : pos + 48], pos + 48


def _unwrap(identity: tuple[str, bytes], kind: int, share: bytes, wrapped: bytes) -> bytes | None:
    name, secret = identity
    if name == "mlkem" and kind in LEVEL_OF:
        key = hkdf(mlkem_decaps(secret, LEVEL_OF[kind], share), None, b"velora-file-v2 wrap" + bytes([kind]))
    elif name == "xwing" and kind == 4:
        key = hkdf(xwing_decaps(secret, share), None, b"velora-file-v2 wrap" + bytes([kind]))
    elif name == "scrypt" and kind == 5:
        if not 10 <= share[0] <= 22:
            raise OracleError("work factor")
        key = _scrypt(secret, share[1:], share[0])
    else:
        return None
    try:
        return AESGCM(key).decrypt(bytes(12), wrapped, bytes([kind]) + share)
    except Exception:
        return None


def file_key(data: bytes, identities: list[tuple[str, bytes]]) -> tuple[bytes, int, int, bytes]:
    """(file key, chunk size, header size, payload nonce), the MAC checked."""
    chunk_size, entries, nonce, mac, size = parse_header(data)
    for identity in identities:
        for kind, _tag, share, wrapped in entries:
            key = _unwrap(identity, kind, share, wrapped)
            if key is None:
                continue
            mac_key = hkdf(key, None, b"velora-file-v2 header")
            if not hmac.compare_digest(hmac.new(mac_key, data[: size - 32], "sha256").digest(), mac):
                raise OracleError("header MAC")
            return key, chunk_size, size, nonce
    raise OracleError("no identity matches")


def _chunk_nonce(i: int, last: bool) -> bytes:
    return i.to_bytes(11, "big") + (b"\x01" if last else b"\x00")


def decrypt(data: bytes, identities: list[tuple[str, bytes]]) -> bytes:
    key, s, pos, nonce = file_key(data, identities)
    aead = AESGCM(hkdf(key, nonce, b"velora-file-v2 payload"))
    out = []
    i = 0
    while True:
        chunk = data[pos : pos + s + 16]
        if len(chunk) < 16 or (len(chunk) == 16 and i > 0):
            raise OracleError("truncated")
        opened = None
        last = False
        if len(chunk) == s + 16:
            try:
                opened = aead.decrypt(_chunk_nonce(i, False), chunk, None)
            except Exception:
                opened = None
        if opened is None:
            try:
                opened = aead.decrypt(_chunk_nonce(i, True), chunk, None)
            except Exception as exc:
                raise OracleError(f"chunk {i}") from exc
            last = True
        out.append(opened)
        pos += len(chunk)
        i += 1
        if last:
            break
    if pos != len(data):
        raise OracleError("trailing data")
    return b"".join(out)


# ---- writing ------------------------------------------------------------------


def encrypt(plaintext: bytes, recipients: list[tuple], chunk_size: int = 1 << 20) -> bytes:
    key = os.urandom(32)
    tag_key = hkdf(key, None, b"velora-file-v2 recipient tag")
    entries = []
    for r in recipients:
        if r[0] == "mlkem":
            kind, public = KIND_OF[r[1]], r[2]
            ss, share = mlkem_encaps(public, r[1])
            wrap_key = hkdf(ss, None, b"velora-file-v2 wrap" + bytes([kind]))
        elif r[0] == "xwing":
            kind, public = 4, r[1]
            ss, share = xwing_encaps(public)
            wrap_key = hkdf(ss, None, b"velora-file-v2 wrap" + bytes([kind]))
        else:
            kind, public = 5, b""
            salt = os.urandom(16)
            share = bytes([r[2]]) + salt
            wrap_key = _scrypt(r[1], salt, r[2])
        tag = hmac.new(tag_key, bytes([kind]) + public, "sha256").digest()[:16]
        wrapped = AESGCM(wrap_key).encrypt(bytes(12), key, bytes([kind]) + share)
        entries.append(bytes([kind]) + tag + share + wrapped)
    nonce = os.urandom(16)
    signed = MAGIC + struct.pack(">BIH", 2, chunk_size, len(entries)) + b"".join(entries) + nonce
    header = signed + hmac.new(hkdf(key, None, b"velora-file-v2 header"), signed, "sha256").digest()
    aead = AESGCM(hkdf(key, nonce, b"velora-file-v2 payload"))
    chunks = [plaintext[i : i + chunk_size] for i in range(0, len(plaintext), chunk_size)] or [b""]
    body = [aead.encrypt(_chunk_nonce(i, i == len(chunks) - 1), c, None) for i, c in enumerate(chunks)]
    return header + b"".join(body)


def recipient_tag(data: bytes, key: bytes, kind: int, public: bytes) -> bytes:
    """The tag an entry for ``public`` carries in a file whose file key is ``key``."""
    return hmac.new(hkdf(key, None, b"velora-file-v2 recipient tag"), bytes([kind]) + public, "sha256").digest()[:16]
