"""velora: post-quantum encryption for Python.

ML-KEM (FIPS 203) and the hybrid AES-256-GCM packages and streams of the core
module; key objects in the IETF formats (RFC 9935); encrypted files and file
objects; age v1 files (velora.age), X-Wing (velora.xwing) and HPKE
(velora.hpke).
"""

from . import _velora_core
# The core module's names (`X as X`: they are the package's exports, its __all__ is built below).
from ._velora_core import (
    DecapsulationError as DecapsulationError,
    DecryptionError as DecryptionError,
    InvalidParameterError as InvalidParameterError,
    KeyPair as KeyPair,
    KeySerializationError as KeySerializationError,
    RngError as RngError,
    SecurityLevel as SecurityLevel,
    StreamDecryptorHandle as StreamDecryptorHandle,
    StreamEncryptorHandle as StreamEncryptorHandle,
    VeloraError as VeloraError,
    decapsulate as decapsulate,
    decrypt_hybrid as decrypt_hybrid,
    deserialize_public_key as deserialize_public_key,
    encapsulate as encapsulate,
    encapsulate_deterministic as encapsulate_deterministic,
    encrypt_hybrid as encrypt_hybrid,
    generate_keypair as generate_keypair,
    generate_keypair_deterministic as generate_keypair_deterministic,
    load_public_key_json as load_public_key_json,
    load_public_key_pem as load_public_key_pem,
    load_secret_key_pem as load_secret_key_pem,
    load_secret_key_raw as load_secret_key_raw,
    serialize_public_key as serialize_public_key,
    stream_decryptor_from_header as stream_decryptor_from_header,
    stream_encryptor_new as stream_encryptor_new,
)
from ._version import __version__ as __version__


def _lazy_module(namespace: dict[str, object], table: dict[str, tuple[str, ...]],
                 submodules: tuple[str, ...] = ()) -> list[str]:
    """Makes the names of `table` (module -> names) and the `submodules` of the package
    whose globals are `namespace` load on first use (PEP 562); returns the names.

    The one lazy loader of the package: `velora` and `velora.files` use it.
    """
    where = {name: module for module, names in table.items() for name in names}
    package = str(namespace["__name__"])

    def __getattr__(name: str) -> object:
        import importlib

        if name in submodules:
            return importlib.import_module(f".{name}", package)  # the import sets the attribute
        module = where.get(name)
        if module is None:
            raise AttributeError(f"module {package!r} has no attribute {name!r}")
        value = getattr(importlib.import_module(module, package), name)
        namespace[name] = value
        return value

    def __dir__() -> list[str]:
        return sorted(set(namespace) | set(where) | set(submodules))

    namespace["__getattr__"] = __getattr__
    namespace["__dir__"] = __dir__
    return list(where)


# The rest loads on first use, so that a program that needs one part, the
# `velora` command line above all, does not pay for every other part at start.
# Type checkers read the imports below (from the modules that define the names:
# velora.files imports this package's loader, so this package names none of its
# own imports through velora.files); the table says where each name lives, and
# velora.age, velora.errors, velora.files, velora.hpke and velora.xwing are
# submodules loaded the same way. (TYPE_CHECKING is spelled out rather than
# imported: the typing module alone takes longer to import than this package.)
TYPE_CHECKING = False
if TYPE_CHECKING:
    from . import age as age
    from . import errors as errors
    from . import hpke as hpke
    from . import xwing as xwing
    from ._velora_native import build_info as build_info
    from .checks import fips203_hash_check as fips203_hash_check
    from .checks import fips203_modulus_check as fips203_modulus_check
    from .errors import FileFormatError as FileFormatError
    from .files.inspect import inspect_file as inspect_file
    from .files.objects import DecryptedReader as DecryptedReader
    from .files.objects import EncryptedWriter as EncryptedWriter
    from .files.transfer import decrypt_file as decrypt_file
    from .files.transfer import encrypt_file as encrypt_file
    from .keys import PrivateKey as PrivateKey
    from .keys import PublicKey as PublicKey
    from .levels import as_level as as_level
    from .loaders import is_encrypted_private_key as is_encrypted_private_key
    from .loaders import load_private_key as load_private_key
    from .loaders import load_public_key as load_public_key
    from .recipients import parse_identity as parse_identity
    from .recipients import parse_recipient as parse_recipient
    from .errors import KeyTextError as KeyTextError
    from .xwing import XWingPrivateKey as XWingPrivateKey
    from .xwing import XWingPublicKey as XWingPublicKey
del TYPE_CHECKING

# The core module's names first, in its registration order (its own __all__;
# a test keeps the two equal), then the package's from the table.
__all__ = list(_velora_core.__all__) + _lazy_module(globals(), {
    ".keys": ("PublicKey", "PrivateKey"),
    ".levels": ("as_level",),
    "._velora_native": ("build_info",),
    ".loaders": ("load_public_key", "load_private_key", "is_encrypted_private_key"),
    ".checks": ("fips203_modulus_check", "fips203_hash_check"),
    # one-line recipient and identity texts with a checksum (velora.recipients, velora.text)
    ".recipients": ("parse_identity", "parse_recipient"),
    ".errors": ("KeyTextError",),
    # encrypted files and file objects (velora.files)
    ".files": ("DecryptedReader", "EncryptedWriter", "FileFormatError", "decrypt_file", "encrypt_file",
               "inspect_file"),
    # X-Wing keys (age files and HPKE are the submodules velora.age and velora.hpke)
    ".xwing": ("XWingPrivateKey", "XWingPublicKey"),
}, submodules=("age", "errors", "files", "hpke", "xwing"))
