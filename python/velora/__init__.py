"""velora: post-quantum encryption built on ML-KEM (FIPS 203) and AES-256-GCM."""

from . import _velora_core
from ._velora_core import *  # noqa: F401,F403  (every registered name)
from .keys import PrivateKey as PrivateKey, PublicKey as PublicKey  # explicit re-exports for type checkers
from .levels import as_level as as_level

__all__ = list(_velora_core.__all__) + ["PublicKey", "PrivateKey", "as_level"]

# ---- keys: IETF formats, loaders, FIPS 203 checks -----------------------------
from .checks import fips203_hash_check as fips203_hash_check, fips203_modulus_check as fips203_modulus_check  # noqa: E402
from .loaders import is_encrypted_private_key as is_encrypted_private_key  # noqa: E402
from .loaders import load_private_key as load_private_key, load_public_key as load_public_key  # noqa: E402

__all__ += [
    "load_public_key",
    "load_private_key",
    "is_encrypted_private_key",
    "fips203_modulus_check",
    "fips203_hash_check",
]
