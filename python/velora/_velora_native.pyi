"""Native code of the velora package beyond the core module: key formats, protocols and build facts."""

from typing import Union

__all__: list[str]

Buffer = Union[bytes, bytearray, memoryview]

# ---- X-Wing (xwing.cpp): raw byte strings; velora.xwing wraps them in key objects ----

def xwing_public_key(seed: bytes) -> bytes:
    """The 1216-byte public key of a 32-byte X-Wing private key (seed)."""

def xwing_encapsulate(public_key: bytes) -> tuple[bytes, bytes]:
    """(ciphertext, shared_secret), 1120 and 32 bytes. InvalidParameterError for a wrong size or
    an ML-KEM half that fails the modulus check."""

def xwing_encapsulate_derand(public_key: bytes, eseed: bytes) -> tuple[bytes, bytes]:
    """Encapsulation with the 64 bytes of randomness given (known-answer tests only)."""

def xwing_decapsulate(ciphertext: bytes, seed: bytes) -> bytes:
    """The 32-byte shared secret; DecapsulationError when the X25519 half gives all zeros."""

# ---- HPKE base mode, single-shot (hpke.cpp); identifiers as RFC 9180 registers them ----

def hpke_derive_key_pair(kem_id: int, ikm: bytes) -> tuple[bytes, bytes]:
    """DeriveKeyPair(ikm): (private_key, public_key)."""

def hpke_generate_key_pair(kem_id: int) -> tuple[bytes, bytes]:
    """GenerateKeyPair(): (private_key, public_key)."""

def hpke_public_key(kem_id: int, private_key: bytes) -> bytes:
    """The serialized public key of a serialized private key."""

def hpke_seal(
    kem_id: int, kdf_id: int, aead_id: int, public_key: bytes, info: bytes, aad: bytes, plaintext: bytes,
    ikm_e: bytes | None = None,
) -> tuple[bytes, bytes]:
    """SealBase: (enc, ciphertext || tag). ikm_e derandomizes the encapsulation (tests only)."""

def hpke_open(
    kem_id: int, kdf_id: int, aead_id: int, private_key: bytes, enc: bytes, info: bytes, aad: bytes,
    ciphertext: bytes,
) -> bytes:
    """OpenBase: the plaintext; DecryptionError when it does not authenticate."""

def hpke_send_export(
    kem_id: int, kdf_id: int, aead_id: int, public_key: bytes, info: bytes, exporter_context: bytes,
    length: int, ikm_e: bytes | None = None,
) -> tuple[bytes, bytes]:
    """SendExportBase: (enc, exported secret of `length` bytes)."""

def hpke_receive_export(
    kem_id: int, kdf_id: int, aead_id: int, private_key: bytes, enc: bytes, info: bytes,
    exporter_context: bytes, length: int,
) -> bytes:
    """ReceiveExportBase: the exported secret."""

# ---- age v1 cryptography (age.cpp); velora.age parses the text around it ----

def age_x25519_public_key(identity: bytes) -> bytes:
    """X25519(identity, 9): the recipient of a 32-byte identity."""

def age_wrap_x25519(file_key: bytes, recipient: bytes) -> tuple[bytes, bytes]:
    """An X25519 stanza for a 16-byte file key: (ephemeral share, 32-byte body)."""

def age_unwrap_x25519(identity: bytes, share: bytes, body: bytes) -> bytes | None:
    """The file key, or None when the body does not open; DecapsulationError for an all-zero
    X25519 result; InvalidParameterError for wrong sizes."""

def age_wrap_scrypt(file_key: bytes, passphrase: bytes, log_n: int) -> tuple[bytes, bytes]:
    """An scrypt stanza: (16-byte salt, body)."""

def age_unwrap_scrypt(passphrase: bytes, salt: bytes, log_n: int, body: bytes) -> bytes | None:
    """The file key, or None when the body does not open. The caller bounds log_n."""

def age_wrap_hybrid(file_key: bytes, recipient: bytes) -> tuple[bytes, bytes]:
    """An mlkem768x25519 stanza for a 1216-byte recipient: (1120-byte enc, body)."""

def age_unwrap_hybrid(identity: bytes, enc: bytes, body: bytes) -> bytes | None:
    """The file key, or None when the body does not open; DecapsulationError for an all-zero
    X25519 result."""

def age_header_mac(file_key: bytes, header: bytes) -> bytes:
    """HMAC-SHA-256 under HKDF(file key, "header") of the header up to and including "---"."""

def age_payload_key(file_key: bytes, nonce: bytes) -> bytes:
    """HKDF-SHA-256(file key, nonce, "payload"): the 32-byte payload key."""

def age_seal_chunks(key: bytes, counter: int, data: Buffer, final: bool, out: Buffer) -> int:
    """Seals data as the STREAM chunks numbered from counter into out; the bytes written.
    Without final, data is a whole number of 64 KiB chunks."""

def age_open_chunks(key: bytes, counter: int, data: Buffer, at_end: bool, out: Buffer) -> tuple[int, bool, bool]:
    """Opens STREAM chunks into out: (plaintext bytes released, final chunk opened, payload
    good so far). Stops at the first chunk that does not authenticate."""
