"""Recipients and identities of velora files, version 2: wrapping and unwrapping the file key.

A recipient is a `velora.PublicKey` (ML-KEM-512/768/1024), a
`velora.xwing.XWingPublicKey` or a `Passphrase`; an identity is a
`velora.PrivateKey`, a `velora.xwing.XWingPrivateKey` (or an age
post-quantum identity, which holds the same X-Wing key) or a `Passphrase`.
Every entry wraps the 32-byte file key with AES-256-GCM (zero nonce; the key
is used once) under a key derived from the KEM's shared secret or from
scrypt, with the entry's kind and share as associated data.
"""

from __future__ import annotations

import hashlib
import os
from collections.abc import Callable, Sequence
from typing import Final, NoReturn

from ... import _velora_native as _native
from ..._velora_core import DecapsulationError, DecryptionError, InvalidParameterError
from ...keys import PrivateKey, PublicKey
from ...xwing import XWingPrivateKey, XWingPublicKey
from ...errors import (
    FileFormatError,
    HeaderChangedError,
    IncorrectPassphraseError,
    NoIdentityMatchError,
    PassphraseNeededError,
    RecipientError,
)
from . import header as h

_SCRYPT_LABEL: Final = b"velora-file-v2 scrypt"
#: Work factors (log2 N of scrypt, r = 8, p = 1): what writers use by default, the
#: format's range, and the largest a reader computes unless told otherwise.
DEFAULT_WORK_FACTOR: Final = 18
MIN_WORK_FACTOR: Final = 10
MAX_WORK_FACTOR: Final = 30
DEFAULT_MAX_WORK_FACTOR: Final = 22


class Passphrase:
    """A passphrase, as the recipient of a new file and as an identity that opens one.

    ``work_factor`` (log2 of scrypt's N) is used when writing;
    ``max_work_factor`` bounds what a file may ask a reader to compute. The
    passphrase is given as text or bytes, or as ``ask``, called once, only
    when a file's entry needs it.
    """

    __slots__ = ("_passphrase", "_ask", "work_factor", "max_work_factor")

    def __init__(self, passphrase: str | bytes | None = None, *, work_factor: int = DEFAULT_WORK_FACTOR,
                 max_work_factor: int = DEFAULT_MAX_WORK_FACTOR,
                 ask: Callable[[], str | bytes] | None = None) -> None:
        for name, value in (("work_factor", work_factor), ("max_work_factor", max_work_factor)):
            if isinstance(value, bool) or not isinstance(value, int) or not MIN_WORK_FACTOR <= value <= MAX_WORK_FACTOR:
                raise InvalidParameterError(f"{name} must be an int from {MIN_WORK_FACTOR} to {MAX_WORK_FACTOR}")
        if (passphrase is None) == (ask is None):
            raise InvalidParameterError("give a passphrase or ask=, not both or neither")
        self._passphrase = None if passphrase is None else _as_passphrase(passphrase)
        self._ask = ask
        self.work_factor = work_factor
        self.max_work_factor = max_work_factor

    def secret(self) -> bytes:
        if self._passphrase is None:
            assert self._ask is not None
            self._passphrase = _as_passphrase(self._ask())
        return self._passphrase

    def __repr__(self) -> str:
        return f"Passphrase(work_factor={self.work_factor})"

    def __reduce_ex__(self, protocol: object) -> NoReturn:
        raise TypeError("cannot pickle a Passphrase: a secret does not leave a process silently")

    def __copy__(self) -> NoReturn:
        raise TypeError("cannot copy a Passphrase: a secret is not duplicated silently")

    def __deepcopy__(self, memo: object) -> NoReturn:
        raise TypeError("cannot copy a Passphrase: a secret is not duplicated silently")


def _as_passphrase(value: str | bytes) -> bytes:
    data = value.encode("utf-8") if isinstance(value, str) else bytes(value)
    if not data:
        raise InvalidParameterError("empty passphrase")
    return data


def _scrypt(passphrase: bytes, salt: bytes, log_n: int) -> bytes:
    n = 1 << log_n
    return hashlib.scrypt(passphrase, salt=_SCRYPT_LABEL + salt, n=n, r=8, p=1, dklen=32,
                          maxmem=128 * 8 * n + (1 << 20) + 1024 * 8 * 2)


def _seal(key: bytes, kind: int, share: bytes, file_key: bytes) -> bytes:
    """AES-256-GCM(key, 12 zero bytes, file key, kind || share), in libcrypto."""
    wrapped: bytes = _native.vfile_wrap(key, bytes([kind]) + share, file_key)
    return wrapped


def _open(key: bytes, entry: h.Entry) -> bytes | None:
    opened: bytes | None = _native.vfile_unwrap(key, bytes([entry.kind]) + entry.share, entry.wrapped)
    return opened


def kind_of(recipient: object) -> int:
    """The entry kind of a recipient; `RecipientError` for an object that is none."""
    if isinstance(recipient, PublicKey):
        return h.MLKEM_KIND[int(recipient.level)]
    if isinstance(recipient, XWingPublicKey):
        return h.KIND_XWING
    if isinstance(recipient, Passphrase):
        return h.KIND_SCRYPT
    raise RecipientError(f"not a recipient of a velora file: {describe(recipient)}")


def public_bytes(recipient: object) -> bytes:
    """What a recipient's tag is computed over: the public key's bytes (none for a passphrase)."""
    if isinstance(recipient, (PublicKey, XWingPublicKey)):
        return recipient.to_bytes()
    return b""


def describe(obj: object) -> str:
    """A short, class-free name of a key object for messages."""
    if isinstance(obj, (PublicKey, PrivateKey)):
        return f"an ML-KEM-{int(obj.level)} key"
    if isinstance(obj, (XWingPublicKey, XWingPrivateKey)):
        return "an X-Wing key"
    if isinstance(obj, Passphrase):
        return "a passphrase"
    module = type(obj).__module__
    if "age" in module:
        return "an age key or passphrase"
    return "an object that is not a key"


def check_recipients(recipients: Sequence[object]) -> list[object]:
    """The recipients of one file, duplicates dropped; `RecipientError` for a set no file can hold."""
    out: list[object] = []
    for r in recipients:
        kind_of(r)
        if not isinstance(r, Passphrase) and r in out:
            continue
        out.append(r)
    if not out:
        raise RecipientError("no recipient given")
    if len(out) > 1 and any(isinstance(r, Passphrase) for r in out):
        raise RecipientError("a passphrase must be the only recipient of its file: give no other recipient with it")
    if len(out) > h.MAX_RECIPIENTS:
        raise RecipientError(f"a velora file has at most {h.MAX_RECIPIENTS} recipients, got {len(out)}")
    return out


def wrap(recipient: object, file_key: bytes, tags: bytes) -> h.Entry:
    """One entry wrapping ``file_key`` for ``recipient`` (``tags``: the file's tag key)."""
    kind = kind_of(recipient)
    tag = h.recipient_tag(tags, kind, public_bytes(recipient))
    if isinstance(recipient, Passphrase):
        salt = os.urandom(h.SCRYPT_SALT_SIZE)
        share = bytes([recipient.work_factor]) + salt
        key = _scrypt(recipient.secret(), salt, recipient.work_factor)
    else:
        assert isinstance(recipient, (PublicKey, XWingPublicKey))
        share, secret = recipient.encapsulate()
        key = h.wrap_key(secret, kind)
    return h.Entry(kind, tag, share, _seal(key, kind, share, file_key))


def identity_kind(identity: object) -> tuple[int, object] | None:
    """(entry kind, usable key) of an identity, or None for one that opens no entry."""
    if isinstance(identity, PrivateKey):
        return h.MLKEM_KIND[int(identity.level)], identity
    if isinstance(identity, XWingPrivateKey):
        return h.KIND_XWING, identity
    if isinstance(identity, Passphrase):
        return h.KIND_SCRYPT, identity
    private_key = getattr(identity, "private_key", None)  # an age post-quantum identity: the same X-Wing key
    if callable(private_key):
        key = private_key()
        if isinstance(key, XWingPrivateKey):
            return h.KIND_XWING, key
    return None


def unwrap(key: object, entry: h.Entry) -> bytes | None:
    """The file key if ``key`` opens ``entry`` (of its kind), else None."""
    if isinstance(key, Passphrase):
        log_n = entry.share[0]
        if not MIN_WORK_FACTOR <= log_n <= MAX_WORK_FACTOR:
            raise FileFormatError(f"malformed passphrase entry: work factor {log_n}")
        if log_n > key.max_work_factor:
            raise DecryptionError(f"the passphrase entry asks for scrypt work factor {log_n}, above the "
                                  f"largest allowed ({key.max_work_factor})")
        return _open(_scrypt(key.secret(), entry.share[1:], log_n), entry)
    assert isinstance(key, (PrivateKey, XWingPrivateKey))
    try:
        secret = key.decapsulate(entry.share)
    except DecapsulationError:
        return None  # an X-Wing share whose X25519 half is of small order: not for this key
    return _open(h.wrap_key(secret, entry.kind), entry)


def find_file_key(header: h.Header, identities: Sequence[object]) -> bytes:
    """The file key of ``header`` for the first identity that opens an entry, its MAC verified."""
    keys = [k for k in (identity_kind(i) for i in identities) if k is not None]
    kinds = {e.kind for e in header.recipients}
    passphrase_file = kinds == {h.KIND_SCRYPT}
    if passphrase_file and not any(kind == h.KIND_SCRYPT for kind, _ in keys):
        raise PassphraseNeededError("the file is encrypted to a passphrase: give the passphrase")
    tried = False
    for kind, key in keys:
        for entry in header.recipients:
            if entry.kind != kind:
                continue
            tried = True
            file_key = unwrap(key, entry)
            if file_key is None:
                continue
            if not h.verify(header, file_key):
                raise HeaderChangedError("the file header was changed: its MAC does not verify")
            return file_key
    if passphrase_file:
        raise IncorrectPassphraseError("incorrect passphrase")
    if not tried:
        names = sorted(h.KIND_NAMES[k] for k in kinds)
        have = names[0] if len(names) == 1 else ", ".join(names[:-1]) + " and " + names[-1]
        raise NoIdentityMatchError(f"no identity matches any of the file's recipients (the file is encrypted "
                                   f"to {have} keys; no identity given is of those kinds)")
    raise NoIdentityMatchError("no identity matches any of the file's recipients")


