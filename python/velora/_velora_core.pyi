"""Modulo Python `_velora_core`.

Registra todas las funciones, clases y excepciones expuestas a Python.
"""

from typing import ClassVar, final

__all__: list[str]

# ---------------------------------------------------------------------------
# Exception classes (module "velora")
# ---------------------------------------------------------------------------

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

# ---------------------------------------------------------------------------
# SecurityLevel and KeyPair
# ---------------------------------------------------------------------------

@final
class SecurityLevel:
    """Nivel de seguridad ML-KEM.

    Los miembros siguen la convencion de nombres en mayusculas de Python.
    No tiene constructor; no es ordenable ni hashable. Se compara con `==`
    contra otros miembros y contra enteros (512, 768, 1024).
    """

    ML_KEM_512: ClassVar[SecurityLevel]
    ML_KEM_768: ClassVar[SecurityLevel]
    ML_KEM_1024: ClassVar[SecurityLevel]
    __hash__: ClassVar[None]  # type: ignore[assignment]

    def __int__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...

@final
class KeyPair:
    """Par de claves ML-KEM.

    Contiene la clave publica y la clave secreta como `bytes` de Python.
    Solo lo crean `generate_keypair` y `generate_keypair_deterministic`;
    su `repr` muestra el nivel y la huella SHA3-256 de la clave publica.
    """

    @property
    def public_key(self) -> bytes:
        """Clave publica como bytes."""
    @property
    def secret_key(self) -> bytes:
        """Clave secreta como bytes."""
    @property
    def level(self) -> SecurityLevel:
        """Nivel de seguridad con el que se genero el par."""
    def public_key_b64(self) -> str:
        """Serializa la clave publica a Base64 URL-safe sin padding."""

# ---------------------------------------------------------------------------
# KEM functions and public-key Base64
# ---------------------------------------------------------------------------

def generate_keypair(level: SecurityLevel = ...) -> KeyPair:
    """Genera un par de claves ML-KEM para el nivel de seguridad dado.

    Raises `RngError` si el CSPRNG del sistema operativo no esta disponible.
    """

def encapsulate(public_key: bytes, level: SecurityLevel = ...) -> tuple[bytes, bytes]:
    """Encapsula un shared secret usando la clave publica del receptor.

    Devuelve `(capsule, shared_secret)`. Raises `InvalidParameterError` si la
    clave publica tiene tamano incorrecto y `RngError` sin CSPRNG.
    """

def decapsulate(capsule: bytes, secret_key: bytes, level: SecurityLevel = ...) -> bytes:
    """Desencapsula el shared secret usando la clave secreta.

    Devuelve el shared secret de 32 bytes. Raises `InvalidParameterError` si la
    clave secreta (primero) o la capsula tienen tamano incorrecto.

    NOTA: Esta funcion NUNCA lanza error para ciphertext invalido
    (implicit rejection, FIPS 203 §7.3).
    """

def serialize_public_key(public_key: bytes) -> str:
    """Serializa una llave publica ML-KEM a Base64 URL-safe sin padding."""

def deserialize_public_key(b64: str, level: SecurityLevel = ...) -> bytes:
    """Deserializa una llave publica ML-KEM desde Base64 URL-safe.

    Raises `VeloraError` si el Base64 es invalido e `InvalidParameterError` si
    el tamano no corresponde al nivel.
    """

def generate_keypair_deterministic(d: bytes, z: bytes, level: SecurityLevel = ...) -> KeyPair:
    """Genera un par de claves ML-KEM usando seeds especificos.

    Esta version es DETERMINISTA y debe usarse SOLO para validacion
    con vectores KAT conocidos. NO usar en produccion.

    Raises `ValueError` si `d` o `z` no tienen exactamente 32 bytes.
    """

def encapsulate_deterministic(public_key: bytes, m: bytes, level: SecurityLevel = ...) -> tuple[bytes, bytes, bytes]:
    """Encapsula un shared secret usando un mensaje especifico.

    Esta version es DETERMINISTA y debe usarse SOLO para validacion
    con vectores KAT conocidos. NO usar en produccion.

    Devuelve `(capsule, shared_secret, m)`. Raises `ValueError` si `m` no tiene
    exactamente 32 bytes e `InvalidParameterError` si la clave publica tiene
    tamano incorrecto.
    """

# ---------------------------------------------------------------------------
# Hybrid encryption: the Transit Package
# ---------------------------------------------------------------------------

def encrypt_hybrid(recipient_public_key: bytes, plaintext: bytes, level: SecurityLevel = ...) -> bytes:
    """Encrypt `plaintext` for the holder of `recipient_public_key` in one step.

    Returns the Transit Package capsule || nonce (12) || tag (16) || ciphertext.
    Raises InvalidParameterError for a wrongly sized key or a plaintext beyond
    AES-GCM's 2**36 - 32 byte limit, RngError without a random source.
    """

def decrypt_hybrid(encrypted_package: bytes, secret_key: bytes, level: SecurityLevel = ...) -> bytes:
    """Open a Transit Package made at the same `level`; returns the plaintext.

    Raises InvalidParameterError for a package shorter than capsule + 28 bytes
    (checked first) or a wrongly sized secret key, DecryptionError when the tag
    does not verify. Never returns partial plaintext.
    """

# ---------------------------------------------------------------------------
# Streams
# ---------------------------------------------------------------------------

@final
class StreamEncryptorHandle:
    """Sender side of a stream; created only by `stream_encryptor_new`.

    A second call while another thread is inside a method raises RuntimeError
    ("Already borrowed", or "Already mutably borrowed" for the getters).
    """

    def encrypt_chunk(self, plaintext: bytes) -> bytes:
        """Encrypt one chunk (1 to `chunk_size()` bytes) into the frame
        len (4, big-endian) || ciphertext || tag (16). An empty chunk is refused
        with InvalidParameterError: its frame would equal the EOF marker."""
    def finalize(self) -> bytes:
        """Return the 20-byte EOF marker and close the encryptor."""
    def base_nonce(self) -> bytes:
        """The stream's 12-byte base nonce (12 zero bytes once finalized)."""
    def chunk_size(self) -> int:
        """Largest plaintext per chunk (0 once finalized)."""
    def chunk_index(self) -> int:
        """Data frames emitted so far (0 once finalized)."""

@final
class StreamDecryptorHandle:
    """Receiver side of a stream; created only by `stream_decryptor_from_header`.

    Same concurrency rule as StreamEncryptorHandle.
    """

    def decrypt_chunk(self, ciphertext: bytes, tag: bytes) -> bytes:
        """Authenticate and decrypt the next data frame; DecryptionError
        (state unchanged) if it is not the genuine frame at this position."""
    def process_eof(self, tag: bytes) -> None:
        """Authenticate the EOF marker (the frame of length 0)."""
    def finalize(self) -> None:
        """Close the decryptor. Does not check `eof_seen()`: read that first to
        detect a truncated stream."""
    def eof_seen(self) -> bool:
        """True once the EOF marker was authenticated (False once finalized)."""
    def chunk_size(self) -> int:
        """Largest ciphertext per chunk, from the header (0 once finalized)."""
    def chunk_index(self) -> int:
        """Chunks authenticated so far, the EOF marker included (0 once finalized)."""

def stream_encryptor_new(
    recipient_public_key: bytes, chunk_size: int, level: SecurityLevel = ...
) -> tuple[bytes, StreamEncryptorHandle]:
    """Start a stream: returns (header, encryptor). `chunk_size` is 1 to 16 MiB;
    values outside 0..2**32 - 1 raise OverflowError."""

def stream_decryptor_from_header(
    header_bytes: bytes, secret_key: bytes, level: SecurityLevel
) -> StreamDecryptorHandle:
    """Open the receiving side of a stream from its header."""
