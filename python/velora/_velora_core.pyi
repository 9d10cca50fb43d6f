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
    def public_key_pem(self) -> str:
        """Exporta la clave publica en formato PEM-like ML-KEM.

        `-----BEGIN ML-KEM PUBLIC KEY-----`, la clave en Base64 STANDARD (con
        padding `=`) en lineas de 64 chars, `-----END ML-KEM PUBLIC KEY-----`,
        cada linea terminada en LF. No es DER/ASN.1: el cuerpo es la clave cruda.
        """
    def public_key_json(self) -> str:
        """Exporta la clave publica en formato JSON (una linea, sin espacios):
        `{"algorithm":"ML-KEM","level":"ML_KEM_768","public_key":"<Base64 URL-safe sin padding>"}`.
        """
    def export_secret_key_raw(self, password: bytes) -> bytes:
        """Exporta la clave secreta cifrada como blob binario opaco.

        Layout: "VLPK" | version(1) | level_id(1) | salt(16) | nonce(12) |
        ciphertext | tag(16); 1682, 2450 o 3218 bytes. AES-256-GCM con la clave
        HKDF-SHA3-256(password, salt).

        WARNING: the format has NO work factor (no iteration count, no
        memory-hard function). Each password guess costs an attacker one HKDF
        and one AES-GCM decryption, so a blob is only as strong as the entropy
        of its password: use a long random passphrase or random key bytes
        (e.g. `secrets.token_bytes(32)`), never a short human-chosen password.
        Any byte string, the empty one included, is accepted.

        Raises `RngError` sin CSPRNG e `InvalidParameterError` si la llave
        secreta tiene tamano incorrecto.
        """
    def export_secret_key_pem(self, password: bytes) -> str:
        """Exporta la clave secreta cifrada en formato PEM-like ENCRYPTED:
        el blob de `export_secret_key_raw` en Base64 STANDARD, lineas de 64 chars,
        entre `-----BEGIN ENCRYPTED ML-KEM PRIVATE KEY-----` y
        `-----END ENCRYPTED ML-KEM PRIVATE KEY-----`.

        WARNING: no work factor; choose a high-entropy password (see
        `export_secret_key_raw`).
        """

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
# Key import: public keys as PEM-like text and JSON, password-wrapped secret keys
# ---------------------------------------------------------------------------

def load_public_key_pem(pem: str, level: SecurityLevel = ...) -> bytes:
    """Carga una llave publica desde formato PEM-like ML-KEM.

    Lee el cuerpo entre el primer `-----BEGIN ML-KEM PUBLIC KEY-----` y el primer
    `-----END ML-KEM PUBLIC KEY-----` posterior; se ignora el texto alrededor y
    todo espacio en blanco del cuerpo (CR LF, sangria, otro ancho de linea). El
    cuerpo debe ser Base64 STANDARD canonico con su padding `=`.

    Raises `KeySerializationError` ("PEM header not found", "PEM footer not
    found", "PEM body is not valid Base64 STANDARD") e `InvalidParameterError`
    ("public key size does not match the specified security level").
    """

def load_public_key_json(json: str) -> tuple[bytes, SecurityLevel]:
    """Carga una llave publica desde JSON.

    Campos requeridos (strings): `algorithm` ("ML-KEM"), `level` ("ML_KEM_512",
    "ML_KEM_768" o "ML_KEM_1024") y `public_key` (Base64 URL-safe). Es un
    escaner minimo, no un parser JSON: gana la primera aparicion de `"campo":`
    en el texto (sin espacios antes de los dos puntos), los escapes no se
    interpretan y los campos desconocidos se ignoran.

    Raises `KeySerializationError` (campo ausente, valor que no es string,
    string sin cerrar, algorithm o level no soportados), `VeloraError` (Base64
    invalido) e `InvalidParameterError` (tamano incorrecto para el nivel).
    """

def load_secret_key_raw(blob: bytes, password: bytes) -> tuple[bytes, SecurityLevel]:
    """Descifra y retorna la llave secreta desde un blob binario.

    Devuelve `(secret_key, nivel)`; el nivel viene en el blob. Raises
    `KeySerializationError` (blob corto, magic, version o level_id invalidos,
    en ese orden) y luego `DecryptionError` si la contrasena es incorrecta o el
    blob esta alterado, truncado o extendido.

    WARNING: the format has no work factor; choose high-entropy passwords.
    """

def load_secret_key_pem(pem: str, password: bytes) -> tuple[bytes, SecurityLevel]:
    """Descifra y retorna la llave secreta desde un PEM-like ENCRYPTED.

    Se ignora el texto alrededor de los marcadores y el espacio en blanco del
    cuerpo, que debe ser Base64 STANDARD canonico. Raises `KeySerializationError`
    ("PEM header not found", "PEM footer not found", "PEM ENCRYPTED body is not
    valid Base64 STANDARD") y luego los errores de `load_secret_key_raw`.
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
