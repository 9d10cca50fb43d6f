"""velora: post-quantum encryption for Python.

ML-KEM (FIPS 203) and the hybrid AES-256-GCM packages and streams of the core
module; key objects in the IETF formats (RFC 9935); encrypted files and file
objects; age v1 files (velora.age), X-Wing (velora.xwing) and HPKE
(velora.hpke).
"""

from . import _velora_core
from ._velora_core import (
    DecapsulationError,
    DecryptionError,
    InvalidParameterError,
    KeyPair,
    KeySerializationError,
    RngError,
    SecurityLevel,
    StreamDecryptorHandle,
    StreamEncryptorHandle,
    VeloraError,
    decapsulate,
    decrypt_hybrid,
    deserialize_public_key,
    encapsulate,
    encapsulate_deterministic,
    encrypt_hybrid,
    generate_keypair,
    generate_keypair_deterministic,
    load_public_key_json,
    load_public_key_pem,
    load_secret_key_pem,
    load_secret_key_raw,
    serialize_public_key,
    stream_decryptor_from_header,
    stream_encryptor_new,
)
from ._velora_native import build_info
from ._version import __version__
from .checks import fips203_hash_check, fips203_modulus_check
from .files import DecryptedReader, EncryptedWriter, FileFormatError, decrypt_file, encrypt_file, inspect_file
from .keys import PrivateKey, PublicKey
from .levels import as_level
from .loaders import is_encrypted_private_key, load_private_key, load_public_key
from .xwing import XWingPrivateKey, XWingPublicKey

# After .files, whose format registry velora.age joins.
from . import age, hpke, xwing  # noqa: E402,I001

# The core module's names first, in its registration order (its own
# __all__), then the package's. Listed by name so that type checkers see
# every export; a test keeps the first part equal to _velora_core.__all__.
__all__ = [
    "VeloraError",
    "DecapsulationError",
    "DecryptionError",
    "InvalidParameterError",
    "RngError",
    "KeySerializationError",
    "SecurityLevel",
    "KeyPair",
    "generate_keypair",
    "encapsulate",
    "decapsulate",
    "serialize_public_key",
    "deserialize_public_key",
    "generate_keypair_deterministic",
    "encapsulate_deterministic",
    "encrypt_hybrid",
    "decrypt_hybrid",
    "load_public_key_pem",
    "load_public_key_json",
    "load_secret_key_raw",
    "load_secret_key_pem",
    "StreamEncryptorHandle",
    "StreamDecryptorHandle",
    "stream_encryptor_new",
    "stream_decryptor_from_header",
    # the package's own
    "PublicKey",
    "PrivateKey",
    "as_level",
    "build_info",
    "load_public_key",
    "load_private_key",
    "is_encrypted_private_key",
    "fips203_modulus_check",
    "fips203_hash_check",
    # encrypted files and file objects (velora.files)
    "DecryptedReader",
    "EncryptedWriter",
    "FileFormatError",
    "decrypt_file",
    "encrypt_file",
    "inspect_file",
    # X-Wing keys (age files and HPKE are the submodules velora.age and velora.hpke)
    "XWingPrivateKey",
    "XWingPublicKey",
]
