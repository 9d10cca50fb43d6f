"""The checksummed one-line texts of keys: Bech32m (BIP 350) without a length limit.

A key text is a human-readable prefix, the separator ``1``, the key in the
32-character Bech32 alphabet (5 bits a character, the last one padded with
zero bits) and a six-character BCH checksum over the prefix and the data,
with the Bech32m constant 0x2bc830a3. As age does for its ``age1...``
recipients, the 90-character bound of Bitcoin addresses is not applied.

The checksum detects every change of one character and every swap of two
different neighbouring characters whatever the text's length (the error
polynomial ``e*x^i`` or ``e*x^i*(1 + x)`` is never a multiple of the
degree-6 generator); each key kind has a fixed length, so a shortened or
lengthened text is refused by its length as well. Recipient texts are
written in lower case and identity texts in upper case (as age writes
``age1...`` and ``AGE-SECRET-KEY-1...``); either case is read, a mix is
refused.

Prefixes of this library (one per key kind; each key kind has one length):

=============  ==========================  =======  ===========================  =======
key kind       recipient (public key)      length   identity (private key seed)  length
=============  ==========================  =======  ===========================  =======
ML-KEM-512     ``mlkem512pub1...``         1298     ``MLKEM512-SECRET-KEY-1...``  130
ML-KEM-768     ``mlkem768pub1...``         1913     ``MLKEM768-SECRET-KEY-1...``  130
ML-KEM-1024    ``mlkem1024pub1...``        2528     ``MLKEM1024-SECRET-KEY-1...`` 131
X-Wing         ``xwingpub1...``            1961     ``XWING-SECRET-KEY-1...``     76
=============  ==========================  =======  ===========================  =======

An identity text holds the private key's seed: the 64 bytes d || z of
ML-KEM, the 32 bytes of X-Wing.

The Bech32 routines of the `bech32` package (the reference code of BIP 173)
compute the BCH residue; its own verification compares against the Bech32
constant 1 only, so the Bech32m constant is applied here.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Final, TypeVar

from bech32 import CHARSET, bech32_hrp_expand, bech32_polymod, convertbits

from .errors import KeyTextError

#: The residue of a valid Bech32m string (BIP 350).
BECH32M_CONST: Final = 0x2BC830A3
CHECKSUM_SIZE: Final = 6

#: The prefix (human-readable part) of each key kind's text, the separator excluded.
MLKEM_PREFIX: Final = {512: "mlkem512pub", 768: "mlkem768pub", 1024: "mlkem1024pub"}
XWING_PREFIX: Final = "xwingpub"
#: The same for identities (private keys), written in upper case.
MLKEM_SECRET_PREFIX: Final = {512: "mlkem512-secret-key-", 768: "mlkem768-secret-key-", 1024: "mlkem1024-secret-key-"}
XWING_SECRET_PREFIX: Final = "xwing-secret-key-"

_CHARSET_INDEX: Final = {c: i for i, c in enumerate(CHARSET)}
_K = TypeVar("_K")

__all__ = ["BECH32M_CONST", "KeyTextError", "MLKEM_PREFIX", "MLKEM_SECRET_PREFIX", "XWING_PREFIX",
           "XWING_SECRET_PREFIX", "checksum_failure", "decode", "decode_kind", "encode", "near_prefix", "text_size"]


def encode(prefix: str, data: bytes) -> str:
    """The Bech32m text of ``data`` under ``prefix`` (lower case)."""
    words = convertbits(data, 8, 5, True)
    assert words is not None
    residue = bech32_polymod([*bech32_hrp_expand(prefix), *words, 0, 0, 0, 0, 0, 0]) ^ BECH32M_CONST
    checksum = [(residue >> 5 * (CHECKSUM_SIZE - 1 - i)) & 31 for i in range(CHECKSUM_SIZE)]
    return prefix + "1" + "".join(CHARSET[w] for w in words + checksum)


def text_size(prefix: str, size: int) -> int:
    """The length of the text of a ``size``-byte key under ``prefix``."""
    return len(prefix) + 1 + -(-size * 8 // 5) + CHECKSUM_SIZE


def checksum_failure(what: str, detail: str) -> KeyTextError:
    """The refusal of a text that fails its checksum: says so, and what to do."""
    return KeyTextError(
        f"invalid {what} text: it fails its checksum ({detail}); a character is mistyped, swapped, "
        "missing or extra: copy the text again from its source"
    )


def decode(text: str, prefix: str, size: int, what: str) -> bytes:
    """The ``size`` bytes of the Bech32m ``text`` under ``prefix`` (lower case), else `KeyTextError`.

    Every refusal of a text that does not hold exactly such a key names the
    checksum; a text that passes it but is not canonical (non-zero padding
    bits) is refused too.
    """
    expected = text_size(prefix, size)
    if len(text) != expected:  # first: a text of any other length costs no work and no copy
        raise checksum_failure(what, f"{len(text)} characters where an intact text has {expected}")
    for position, char in enumerate(text):
        if not 33 <= ord(char) <= 126:
            raise checksum_failure(what, f"character {position + 1} is {char!r}, not printable ASCII")
    lowered = text.lower()
    if lowered != text and text.upper() != text:
        raise checksum_failure(what, "upper and lower case are mixed")
    separator = lowered.rfind("1")
    if lowered[:separator] != prefix:
        raise checksum_failure(what, f"the text does not start with {prefix.upper() if text.isupper() else prefix}1")
    words: list[int] = []
    for position in range(separator + 1, len(lowered)):
        word = _CHARSET_INDEX.get(lowered[position])
        if word is None:
            raise checksum_failure(
                what, f"character {position + 1} is {lowered[position]!r}, which Bech32 does not use"
            )
        words.append(word)
    if bech32_polymod([*bech32_hrp_expand(prefix), *words]) != BECH32M_CONST:
        raise checksum_failure(what, "the Bech32m checksum does not match")
    data = convertbits(words[:-CHECKSUM_SIZE], 5, 8, False)
    if data is None or len(data) != size:
        raise checksum_failure(what, "the padding bits are not zero")
    return bytes(data)


def decode_kind(text: object, forms: Mapping[_K, tuple[str, int, str]], kind: str, upper: bool = False
                ) -> tuple[_K, bytes]:
    """(which form, its bytes) of a text under one of ``forms`` ({key: (prefix, size, what)}), by `decode`;
    a text that starts as none of them is "not {kind} text"."""
    if not isinstance(text, str):
        raise TypeError(f"text must be str, not {type(text).__name__}")
    stripped = text.strip()
    lowered = stripped.lower()
    for key, (prefix, size, what) in forms.items():
        if lowered.startswith(prefix + "1"):
            return key, decode(stripped, prefix, size, what)
    names = ", ".join(f"{prefix.upper() if upper else prefix}1..." for prefix, _, _ in forms.values())
    raise KeyTextError(f"not {kind} text: expected {names}")


def near_prefix(text: str, prefix: str) -> bool:
    """Whether ``text`` starts as ``prefix1`` but for at most two edits (a typo, a swap, a lost or added character)."""
    target = prefix + "1"
    low = text[: len(target) + 2].lower()
    return any(_edit_distance(low[:n], target) <= 2 for n in range(len(target) - 2, len(target) + 3))


def _edit_distance(a: str, b: str) -> int:
    """Levenshtein distance of two short strings."""
    row = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        prev, row[0] = row[0], i
        for j, cb in enumerate(b, 1):
            prev, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, prev + (ca != cb))
    return row[-1]
