"""velora: post-quantum encryption for Python.

ML-KEM (FIPS 203) and the hybrid AES-256-GCM packages and streams of the core
module; key objects in the IETF formats (RFC 9935); encrypted files and file
objects; age v1 files (velora.age), X-Wing (velora.xwing) and HPKE
(velora.hpke).

The front door: `velora.encrypt(data, recipients)` and
`velora.decrypt(data, identities)` for whole files in memory,
`encrypt_file` / `decrypt_file` for paths and file objects, the key objects
`PrivateKey` / `PublicKey` and the loaders `load_private_key` /
`load_public_key`. `Recipient` and `Identity` (velora.types) say what the
file functions take. The core module's functions (levels passed explicitly,
bytes only) are the low level.
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
from ._version import __version__

# The rest loads on first use (PEP 562), so that a program that needs one part,
# the `velora` command line above all, does not pay for every other part at
# start. Type checkers read the imports below; the table says where each name
# lives, and velora.age, velora.files, velora.hpke and velora.xwing are
# submodules imported the same way. (TYPE_CHECKING is spelled out rather than
# imported: the typing module alone takes longer to import than this package.)
TYPE_CHECKING = False
if TYPE_CHECKING:
    from . import age, files, hpke, types, xwing
    from ._velora_native import build_info
    from .api import decrypt, encrypt
    from .checks import fips203_hash_check, fips203_modulus_check
    from .files import DecryptedReader, EncryptedWriter, FileFormatError, decrypt_file, encrypt_file, inspect_file
    from .keys import PrivateKey, PublicKey
    from .levels import as_level
    from .loaders import MAX_KEY_FILE_SIZE, is_encrypted_private_key, load_private_key, load_public_key
    from .types import Identity, Recipient
    from .xwing import XWingPrivateKey, XWingPublicKey

_LAZY = {
    "build_info": "._velora_native",
    "decrypt": ".api",
    "encrypt": ".api",
    "Identity": ".types",
    "Recipient": ".types",
    "MAX_KEY_FILE_SIZE": ".loaders",
    "fips203_hash_check": ".checks",
    "fips203_modulus_check": ".checks",
    "DecryptedReader": ".files",
    "EncryptedWriter": ".files",
    "FileFormatError": ".files",
    "decrypt_file": ".files",
    "encrypt_file": ".files",
    "inspect_file": ".files",
    "PrivateKey": ".keys",
    "PublicKey": ".keys",
    "as_level": ".levels",
    "is_encrypted_private_key": ".loaders",
    "load_private_key": ".loaders",
    "load_public_key": ".loaders",
    "XWingPrivateKey": ".xwing",
    "XWingPublicKey": ".xwing",
}
_SUBMODULES = ("age", "files", "hpke", "types", "xwing")

if not TYPE_CHECKING:

    def __getattr__(name: str) -> object:
        import importlib

        if name in _SUBMODULES:
            return importlib.import_module(f".{name}", __name__)  # the import sets the attribute
        where = _LAZY.get(name)
        if where is None:
            raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
        value = getattr(importlib.import_module(where, __name__), name)
        globals()[name] = value
        return value

    def __dir__() -> list[str]:
        return sorted(set(globals()) | set(_LAZY) | set(_SUBMODULES))

del TYPE_CHECKING

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
    # the package's own: whole files in memory, and what they take
    "encrypt",
    "decrypt",
    "Recipient",
    "Identity",
    "PublicKey",
    "PrivateKey",
    "as_level",
    "build_info",
    "load_public_key",
    "load_private_key",
    "is_encrypted_private_key",
    "MAX_KEY_FILE_SIZE",
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
