"""Passphrase (scrypt) recipients and identities.

The stanza's work factor w sets scrypt's N = 2^w (r = 8, p = 1): the key
derivation takes 128 · r · N = 2^(w + 10) bytes of memory and time in
proportion. A reader accepts at most `DEFAULT_MAX_SCRYPT_WORK_FACTOR` (22, as
age does, for files age writes): a file at that limit costs 4 GiB and some
20 seconds of one core to try. A reader that cannot afford that gives the
identity a lower ``max_work_factor``: each step down halves the cost (18, the
work factor written by default, is 256 MiB and about a second), and a file
above the limit is refused before any derivation (`AgeHeaderError`).
"""

from __future__ import annotations

import os
import re
from collections.abc import Callable, Sequence
from typing import Final

from .. import _velora_native as _native
from ..errors import AgeHeaderError, InvalidParameterError
from ..keys import Buffer, _as_bytes
from .format import Stanza, encode_unpadded
from .recipients import SecretHolder, b64_arg, check_arg_count, check_body

STANZA_TYPE: Final = "scrypt"
#: The largest scrypt work factor (log2 N) a reader accepts by default, as age itself:
#: 4 GiB of memory and some 20 seconds for a file at the limit.
DEFAULT_MAX_SCRYPT_WORK_FACTOR: Final = 22
#: The work factor written by default (256 MiB, about a second on a current machine, as age).
DEFAULT_SCRYPT_WORK_FACTOR: Final = 18

_DECIMAL: Final = re.compile(r"[1-9][0-9]*")


def _passphrase_bytes(passphrase: str | Buffer) -> bytes:
    if isinstance(passphrase, str):
        return passphrase.encode("utf-8")
    return _as_bytes(passphrase, "passphrase")


def _check_work_factor(value: object, message: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not 1 <= value <= 30:
        raise InvalidParameterError(message)
    return value


class ScryptRecipient(SecretHolder):
    """Encryption to a passphrase. An scrypt stanza must be the only one in its file."""

    __slots__ = ("_passphrase", "_work_factor", "_labels")
    mixing_error: Final = "a passphrase (scrypt) must be the file's only recipient"

    def __init__(self, passphrase: str | Buffer, work_factor: int = DEFAULT_SCRYPT_WORK_FACTOR) -> None:
        self._work_factor = _check_work_factor(
            work_factor, "the scrypt work factor (log2 N) must be an int from 1 to 30"
        )
        self._passphrase = _passphrase_bytes(passphrase)
        if not self._passphrase:
            raise InvalidParameterError("an empty passphrase protects nothing: give a passphrase")
        # A label of its own, shared with no other recipient: it stands alone.
        self._labels = frozenset({f"scrypt/{os.urandom(8).hex()}"})

    @property
    def labels(self) -> frozenset[str]:
        return self._labels

    def __repr__(self) -> str:
        return f"ScryptRecipient(work_factor={self._work_factor})"

    def wrap(self, file_key: bytes) -> list[Stanza]:
        salt, body = _native.age_wrap_scrypt(file_key, self._passphrase, self._work_factor)
        return [Stanza((STANZA_TYPE, encode_unpadded(salt).decode("ascii"), str(self._work_factor)), body)]


class ScryptIdentity(SecretHolder):
    """Decryption with a passphrase; work factors above `max_work_factor` are refused.

    A stanza of work factor w costs 2^(w + 10) bytes of memory and time to
    match (22, the default limit: 4 GiB, some 20 seconds); a lower
    ``max_work_factor`` bounds what a hostile file can make a reader spend.
    """

    __slots__ = ("_passphrase", "_max_work_factor")

    def __init__(self, passphrase: str | Buffer, max_work_factor: int = DEFAULT_MAX_SCRYPT_WORK_FACTOR) -> None:
        self._max_work_factor = _check_work_factor(
            max_work_factor, "the largest scrypt work factor must be an int from 1 to 30"
        )
        self._passphrase = _passphrase_bytes(passphrase)

    def __repr__(self) -> str:
        return f"ScryptIdentity(max_work_factor={self._max_work_factor})"

    def unwrap(self, stanzas: Sequence[Stanza]) -> bytes | None:
        for s in stanzas:
            if s.type != STANZA_TYPE:
                continue
            if len(stanzas) != 1:
                raise AgeHeaderError("an scrypt stanza must be the only stanza of the header")
            check_arg_count(s, 3, STANZA_TYPE)
            salt = b64_arg(s.args[1], 16, "scrypt salt")
            if not _DECIMAL.fullmatch(s.args[2]):
                raise AgeHeaderError("scrypt work factor must be a decimal number without leading zeros")
            # The length check first: a huge number is refused without converting it.
            if len(s.args[2]) > 2 or int(s.args[2]) > self._max_work_factor:
                raise AgeHeaderError(f"scrypt work factor {s.args[2]} is above the limit {self._max_work_factor}")
            check_body(s, STANZA_TYPE)
            key: bytes | None = _native.age_unwrap_scrypt(self._passphrase, salt, int(s.args[2]), s.body)
            return key
        return None


class ScryptPrompt(SecretHolder):
    """A passphrase identity that asks for its passphrase only when a file has an scrypt
    stanza (the command line's ``decrypt -p``); ``ask()`` returns the passphrase. Like
    every identity it does not pickle or copy."""

    __slots__ = ("_ask", "_max_work_factor")

    def __init__(self, ask: Callable[[], str | bytes], max_work_factor: int = DEFAULT_MAX_SCRYPT_WORK_FACTOR) -> None:
        self._ask = ask
        self._max_work_factor = _check_work_factor(
            max_work_factor, "the largest scrypt work factor must be an int from 1 to 30"
        )

    def unwrap(self, stanzas: Sequence[Stanza]) -> bytes | None:
        if not any(s.type == STANZA_TYPE for s in stanzas):
            return None
        return ScryptIdentity(self._ask(), self._max_work_factor).unwrap(stanzas)


__all__ = ["DEFAULT_MAX_SCRYPT_WORK_FACTOR", "DEFAULT_SCRYPT_WORK_FACTOR", "ScryptIdentity", "ScryptPrompt",
           "ScryptRecipient"]
