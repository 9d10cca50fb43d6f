"""age v1 files (age-encryption.org/v1): recipients, identities, file objects and files.

The package's rooms, each importing only those above it in this list:

- `format`: the header text, its stanzas and its MAC; canonical Base64.
- `payload`: the STREAM payload, the one seal path and the one open path.
- `recipients`: what a recipient and an identity provide, and the rule of
  which recipients share a file (their labels).
- `x25519`, `hybrid`, `scrypt`: one module per recipient type.
- `keys`: the types' text forms (`TYPES`, the one registration of a type),
  recipients and identity files.
- `armor`: age's armour, a dialect of the package's one armour codec.
- `file_format`: the file's two ends (`AgeSealer`, `AgeOpener`) and age as a
  format of `velora.files`.
- `stream`: the file objects `AgeWriter` and `AgeReader`, and the whole-file
  functions.

Recipients: `age1...` X25519, `age1pq1...` post-quantum hybrid (X-Wing), and
scrypt passphrases. The payload cryptography (HKDF, ChaCha20-Poly1305 chunks)
and every stanza's key wrapping run in the native engine with the interpreter
lock released.
"""

from __future__ import annotations

from ..errors import (
    AgeArmorError,
    AgeError,
    AgeHeaderError,
    AgeHmacError,
    AgeNoIdentityMatchError,
    AgePayloadError,
)
from .armor import AgeArmorReader as ArmorReader
from .armor import AgeArmorWriter as ArmorWriter
from .file_format import AgeOpener, AgeSealer, new_header, open_header
from .format import Header, Stanza, encode_header, read_header
from .hybrid import HybridIdentity, HybridRecipient
from .keys import (
    parse_identities,
    parse_identity,
    parse_recipient,
    parse_recipients,
    read_identities_file,
    read_recipients_file,
)
from .payload import BATCH_CHUNKS, CHUNK, FILE_KEY_SIZE, NONCE_SIZE, SEALED_CHUNK, TAG
from .recipients import Identity, Recipient, unwrap_file_key
from .scrypt import ScryptIdentity, ScryptPrompt, ScryptRecipient
from .stream import AgeReader, AgeWriter, decrypt, decrypt_file, encrypt, encrypt_file, is_age_file
from .x25519 import X25519Identity, X25519Recipient

__all__ = [
    "AgeArmorError",
    "AgeError",
    "AgeHeaderError",
    "AgeHmacError",
    "AgeNoIdentityMatchError",
    "AgePayloadError",
    "AgeReader",
    "AgeWriter",
    "HybridIdentity",
    "HybridRecipient",
    "ScryptIdentity",
    "ScryptPrompt",
    "ScryptRecipient",
    "X25519Identity",
    "X25519Recipient",
    "decrypt",
    "decrypt_file",
    "encrypt",
    "encrypt_file",
    "is_age_file",
    "parse_identities",
    "parse_identity",
    "parse_recipient",
    "parse_recipients",
    "read_identities_file",
    "read_recipients_file",
]
