"""An age v1 file written from the format's text (c2sp-age.md in the shared standards) with
`cryptography`'s X25519, HKDF-SHA-256, HMAC-SHA-256 and ChaCha20-Poly1305: an oracle that
shares no code with velora.age, and can write what no honest writer does (a chunk after the
final one, a final flag missing)."""

from __future__ import annotations

import base64
import os

from cryptography.hazmat.primitives import hashes, hmac
from cryptography.hazmat.primitives.asymmetric.x25519 import X25519PrivateKey, X25519PublicKey
from cryptography.hazmat.primitives.ciphers.aead import ChaCha20Poly1305
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

CHUNK = 64 * 1024


def _hkdf(ikm: bytes, salt: bytes, info: bytes) -> bytes:
    return HKDF(algorithm=hashes.SHA256(), length=32, salt=salt, info=info).derive(ikm)


def _b64(data: bytes) -> bytes:
    return base64.b64encode(data).rstrip(b"=")


def x25519_stanza(file_key: bytes, recipient: bytes) -> bytes:
    """The X25519 recipient stanza's lines for a 32-byte recipient public key."""
    ephemeral = X25519PrivateKey.generate()
    share = ephemeral.public_key().public_bytes_raw()
    shared = ephemeral.exchange(X25519PublicKey.from_public_bytes(recipient))
    wrap_key = _hkdf(shared, share + recipient, b"age-encryption.org/v1/X25519")
    body = _b64(ChaCha20Poly1305(wrap_key).encrypt(b"\x00" * 12, file_key, None))
    return b"-> X25519 " + _b64(share) + b"\n" + body + b"\n"  # a 43-character body: one short line


def header(file_key: bytes, stanzas: list[bytes]) -> bytes:
    signed = b"age-encryption.org/v1\n" + b"".join(stanzas) + b"---"
    mac = hmac.HMAC(_hkdf(file_key, b"", b"header"), hashes.SHA256())
    mac.update(signed)
    return signed + b" " + _b64(mac.finalize()) + b"\n"


def payload(file_key: bytes, chunks: list[tuple[bytes, bool]]) -> bytes:
    """The nonce and the chunks, each (plaintext, final flag), numbered in order."""
    nonce = os.urandom(16)
    aead = ChaCha20Poly1305(_hkdf(file_key, nonce, b"payload"))
    out = bytearray(nonce)
    for counter, (plaintext, final) in enumerate(chunks):
        out += aead.encrypt(counter.to_bytes(11, "big") + (b"\x01" if final else b"\x00"), plaintext, None)
    return bytes(out)


def age_file(recipient: bytes, chunks: list[tuple[bytes, bool]]) -> bytes:
    """An age file for one X25519 recipient whose payload is `chunks`."""
    file_key = os.urandom(16)
    return header(file_key, [x25519_stanza(file_key, recipient)]) + payload(file_key, chunks)
