"""velora: post-quantum encryption built on ML-KEM (FIPS 203) and AES-256-GCM."""

from . import _velora_core
from ._velora_core import *  # noqa: F401,F403  (every registered name)
from .keys import PrivateKey, PublicKey
from .levels import as_level

__all__ = list(_velora_core.__all__) + ["PublicKey", "PrivateKey", "as_level"]

# Encrypted files and file objects (velora.files).
from .files import (  # noqa: E402
    DecryptedReader, EncryptedWriter, FileFormatError, decrypt_file, encrypt_file, inspect_file,
)

__all__ += ["DecryptedReader", "EncryptedWriter", "FileFormatError", "decrypt_file", "encrypt_file", "inspect_file"]
