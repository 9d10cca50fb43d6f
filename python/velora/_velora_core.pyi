"""Type stubs for the `_velora_core` extension module.

Every parameter may be given positionally or by keyword. Byte strings must be
`bytes` (or a subclass), text must be `str`, levels must be `SecurityLevel`
members; anything else raises `TypeError`. `level` defaults to
`SecurityLevel.ML_KEM_768` when omitted.
"""

from typing import Final, final

__all__: list[str]

# ---- exceptions --------------------------------------------------------------

class VeloraError(Exception):
    """Base exception for all Velora errors."""

class DecapsulationError(VeloraError):
    """ML-KEM structural decapsulation error."""

class DecryptionError(VeloraError):
    """AES-GCM authentication tag verification failed."""

class InvalidParameterError(VeloraError):
    """Invalid parameter (buffer size, security level)."""

class RngError(VeloraError):
    """CSPRNG not available from the operating system."""

class KeySerializationError(VeloraError):
    """Invalid key serialization format (PEM header, JSON, magic bytes, truncated blob)."""

# ---- classes -----------------------------------------------------------------

@final
class SecurityLevel:
    """ML-KEM parameter set. Members only; not constructible, not hashable, no ordering."""

    ML_KEM_512: Final[SecurityLevel]
    ML_KEM_768: Final[SecurityLevel]
    ML_KEM_1024: Final[SecurityLevel]
    def __int__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    __hash__: None  # type: ignore[assignment]

@final
class KeyPair:
    """An ML-KEM key pair, created by `generate_keypair` or `generate_keypair_deterministic`."""

    @property
    def public_key(self) -> bytes: ...
    @property
    def secret_key(self) -> bytes: ...
    @property
    def level(self) -> SecurityLevel: ...
    def public_key_b64(self) -> str:
        """The public key as URL-safe Base64 without padding."""
    def public_key_pem(self) -> str:
        """The public key as PEM-like text.

        "-----BEGIN ML-KEM PUBLIC KEY-----", the raw key in standard Base64
        (with "=" padding) in 64-character lines, "-----END ML-KEM PUBLIC KEY-----",
        each line ended by a line feed. Not DER/ASN.1: the body is the raw key.
        """
    def public_key_json(self) -> str:
        """The public key as one-line JSON:
        {"algorithm":"ML-KEM","level":"ML_KEM_768","public_key":"<URL-safe Base64, no padding>"}
        """
    def export_secret_key_raw(self, password: bytes) -> bytes:
        """The secret key encrypted under `password`, as a binary blob.

        Layout: "VLPK" | version 1 | level id | salt (16) | nonce (12) |
        AES-256-GCM ciphertext | tag (16); 1682, 2450 or 3218 bytes.
        The wrapping key is HKDF-SHA3-256(password, salt).

        WARNING: the format has no work factor (no iteration count, no
        memory-hard function). A wrong password costs an attacker one HKDF
        and one AES-GCM attempt, so the blob is only as strong as the entropy
        of the password: use a long random passphrase or a random key, never
        a short human-chosen password. Any byte string, even b"", is accepted.
        """
    def export_secret_key_pem(self, password: bytes) -> str:
        """`export_secret_key_raw(password)` as PEM-like text between
        "-----BEGIN ENCRYPTED ML-KEM PRIVATE KEY-----" and
        "-----END ENCRYPTED ML-KEM PRIVATE KEY-----" (standard Base64, 64-character lines).

        WARNING: no work factor; see `export_secret_key_raw`.
        """

@final
class StreamEncryptorHandle:
    def encrypt_chunk(self, plaintext: bytes) -> bytes: ...
    def finalize(self) -> bytes: ...
    def base_nonce(self) -> bytes: ...
    def chunk_size(self) -> int: ...
    def chunk_index(self) -> int: ...

@final
class StreamDecryptorHandle:
    def decrypt_chunk(self, ciphertext: bytes, tag: bytes) -> bytes: ...
    def process_eof(self, tag: bytes) -> None: ...
    def finalize(self) -> None: ...
    def eof_seen(self) -> bool: ...
    def chunk_size(self) -> int: ...
    def chunk_index(self) -> int: ...

# ---- KEM ---------------------------------------------------------------------

def generate_keypair(level: SecurityLevel = ...) -> KeyPair: ...
def encapsulate(public_key: bytes, level: SecurityLevel = ...) -> tuple[bytes, bytes]: ...
def decapsulate(capsule: bytes, secret_key: bytes, level: SecurityLevel = ...) -> bytes: ...
def generate_keypair_deterministic(d: bytes, z: bytes, level: SecurityLevel = ...) -> KeyPair: ...
def encapsulate_deterministic(
    public_key: bytes, m: bytes, level: SecurityLevel = ...
) -> tuple[bytes, bytes, bytes]: ...

# ---- public keys as text -----------------------------------------------------

def serialize_public_key(public_key: bytes) -> str:
    """URL-safe Base64 without padding of any byte string."""

def deserialize_public_key(b64: str, level: SecurityLevel = ...) -> bytes:
    """Parses URL-safe Base64 (surrounding white space and trailing "=" tolerated).

    Raises VeloraError (invalid Base64) or InvalidParameterError (wrong size for `level`).
    """

def load_public_key_pem(pem: str, level: SecurityLevel = ...) -> bytes:
    """Reads the key between the first "-----BEGIN ML-KEM PUBLIC KEY-----" and the
    first "-----END ML-KEM PUBLIC KEY-----" after it. Text around the markers and
    any white space in the body (CR LF, indentation, other line widths) is ignored;
    the body must be canonical standard Base64 with its "=" padding.

    Raises KeySerializationError ("PEM header not found", "PEM footer not found",
    "PEM body is not valid Base64 STANDARD") or InvalidParameterError
    ("public key size does not match the specified security level").
    """

def load_public_key_json(json: str) -> tuple[bytes, SecurityLevel]:
    """Reads the string fields "algorithm" ("ML-KEM"), "level" ("ML_KEM_512",
    "ML_KEM_768" or "ML_KEM_1024") and "public_key" (URL-safe Base64).

    A minimal scanner, not a JSON parser: the first `"name":` anywhere in the
    text wins (no white space allowed before the colon), escapes are not
    interpreted, unknown fields are ignored.

    Raises KeySerializationError ("missing JSON field", "JSON field value is not
    a string", "unterminated JSON string value", "unsupported algorithm (expected
    'ML-KEM')", "unsupported level in JSON (expected ML_KEM_512/768/1024)"),
    VeloraError (key not URL-safe Base64) or InvalidParameterError (wrong size).
    """

# ---- secret keys under a password ----------------------------------------------

def load_secret_key_raw(blob: bytes, password: bytes) -> tuple[bytes, SecurityLevel]:
    """Opens a blob made by `KeyPair.export_secret_key_raw`; the level comes from the blob.

    Raises KeySerializationError ("wrapped blob is too short to contain a valid
    header", "invalid magic bytes in wrapped blob", "unsupported wrapped blob
    version", "unknown level_id in wrapped blob"), then DecryptionError for a
    wrong password or any altered, truncated or extended content.

    The format has no work factor: choose high-entropy passwords.
    """

def load_secret_key_pem(pem: str, password: bytes) -> tuple[bytes, SecurityLevel]:
    """Opens the text made by `KeyPair.export_secret_key_pem`. Text around the
    markers and white space in the body are ignored; the body must be canonical
    standard Base64. Raises KeySerializationError ("PEM header not found", "PEM
    footer not found", "PEM ENCRYPTED body is not valid Base64 STANDARD"), then the
    errors of `load_secret_key_raw`.
    """

# ---- hybrid encryption and streams ---------------------------------------------

def encrypt_hybrid(recipient_public_key: bytes, plaintext: bytes, level: SecurityLevel = ...) -> bytes: ...
def decrypt_hybrid(encrypted_package: bytes, secret_key: bytes, level: SecurityLevel = ...) -> bytes: ...
def stream_encryptor_new(
    recipient_public_key: bytes, chunk_size: int, level: SecurityLevel = ...
) -> tuple[bytes, StreamEncryptorHandle]: ...
def stream_decryptor_from_header(
    header_bytes: bytes, secret_key: bytes, level: SecurityLevel
) -> StreamDecryptorHandle: ...
