"""The FIPS 203 input checks, as functions of their own.

The key objects run them whenever a key is imported (`check=True`); the raw
`velora._velora_core` functions check lengths only.
"""

from __future__ import annotations

from . import _velora_native as _native
from .keys import Buffer
from .levels import LevelLike, as_level


def fips203_modulus_check(public_key: Buffer, level: LevelLike) -> bool:
    """FIPS 203 section 7.2: `public_key` has the level's size and ByteEncode12(ByteDecode12(ek)) == ek."""
    return _native.fips203_modulus_check(public_key, as_level(level))


def fips203_hash_check(private_key: Buffer, level: LevelLike) -> bool:
    """FIPS 203 section 7.3: `private_key` has the level's size and the H(ek) it stores matches its ek."""
    return _native.fips203_hash_check(private_key, as_level(level))
