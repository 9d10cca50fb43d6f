"""The one comparison of secret-dependent bytes (MACs, tags, digests, keys).

`equal` runs in time that depends only on the lengths, never on where the
inputs first differ (`hmac.compare_digest`). The format code compares every
MAC and tag through it, and a test of the suite fails on any ``==`` or
``!=`` whose operand is named like a MAC, tag or digest.
"""

from __future__ import annotations

import hmac


def equal(a: bytes | bytearray | memoryview, b: bytes | bytearray | memoryview) -> bool:
    """Whether `a` and `b` hold the same bytes, in constant time for inputs of one length."""
    return hmac.compare_digest(a, b)


__all__ = ["equal"]
