"""ML-KEM levels as the package's user layer accepts them.

Every function and method of the package that takes a level accepts a
`SecurityLevel` member or one of the integers 512, 768 and 1024.
"""

from __future__ import annotations

from typing import Final, Union

from ._velora_core import InvalidParameterError, SecurityLevel

LevelLike = Union[SecurityLevel, int]

_BY_VALUE: Final = {
    512: SecurityLevel.ML_KEM_512,
    768: SecurityLevel.ML_KEM_768,
    1024: SecurityLevel.ML_KEM_1024,
}

#: Byte sizes per level: encapsulation key, decapsulation key, capsule.
PUBLIC_KEY_SIZE: Final = {512: 800, 768: 1184, 1024: 1568}
SECRET_KEY_SIZE: Final = {512: 1632, 768: 2400, 1024: 3168}
CAPSULE_SIZE: Final = {512: 768, 768: 1088, 1024: 1568}


def as_level(level: LevelLike) -> SecurityLevel:
    """The `SecurityLevel` member for `level` (a member or 512, 768, 1024)."""
    if isinstance(level, SecurityLevel):
        return level
    if isinstance(level, bool) or not isinstance(level, int):
        raise TypeError(f"level must be a SecurityLevel or one of 512, 768, 1024, not {type(level).__name__}")
    member = _BY_VALUE.get(level)
    if member is None:
        raise InvalidParameterError(f"unknown ML-KEM level {level}: expected 512, 768 or 1024")
    return member


def level_name(level: SecurityLevel) -> str:
    """"ML-KEM-768" and so on."""
    return f"ML-KEM-{int(level)}"
