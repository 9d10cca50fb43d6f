"""`velora.encrypt` and `velora.decrypt`: whole encrypted files in memory.

They are `velora.encrypt_file` and `velora.decrypt_file` over bytes: the
format is chosen by the recipients as there (a velora `PublicKey`: a velora
file; age recipients: an age file), and the reader finds it from the first
bytes, ASCII armour included. For files larger than memory use the file
functions or the file objects (`velora.EncryptedWriter`,
`velora.DecryptedReader`).
"""

from __future__ import annotations

import io

from .keys import Buffer, _as_bytes
from .types import Identities, Recipients, as_identities, as_recipients


def encrypt(data: Buffer, recipients: Recipients, *, armor: bool = False, chunk_size: int | None = None) -> bytes:
    """The encrypted file of ``data`` for ``recipients`` (one, or a list or tuple), as bytes.

    ``armor`` writes the file as ASCII armour (strict PEM; still returned as
    ASCII bytes). ``chunk_size`` None takes the format's default (1 MiB for
    velora files; age files have fixed 64 KiB chunks and take none).

    >>> import velora
    >>> key = velora.PrivateKey.generate(768)
    >>> sealed = velora.encrypt(b"hello", key.public_key())
    >>> sealed[:4]
    b'\\x89VLR'
    >>> velora.decrypt(sealed, key)
    b'hello'
    """
    plaintext = _as_bytes(data, "data")
    if not isinstance(armor, bool):
        raise TypeError(f"armor must be a bool, not {type(armor).__name__}")
    targets = as_recipients(recipients)
    from .files.transfer import encrypt_file

    out = io.BytesIO()
    encrypt_file(io.BytesIO(plaintext), out, targets, armor=armor, chunk_size=chunk_size)
    return out.getvalue()


def decrypt(data: Buffer | str, identities: Identities) -> bytes:
    """The plaintext of the encrypted file ``data`` (bytes, or ASCII armour as ``str``).

    ``identities`` is one identity or a list or tuple of them; the one that
    matches is used. Nothing is returned unless the whole file has
    authenticated: a wrong key, a damaged, cut or extended file raise
    `DecryptionError` (`FileFormatError` for an input that is not an
    encrypted file).
    """
    if isinstance(data, str):
        try:
            raw = data.encode("ascii")
        except UnicodeEncodeError:
            from .errors import FileFormatError

            raise FileFormatError("an encrypted file given as str must be ASCII armour") from None
    else:
        raw = _as_bytes(data, "data")
    keys = as_identities(identities)
    from .files.transfer import decrypt_file

    out = io.BytesIO()
    decrypt_file(io.BytesIO(raw), out, keys)
    return out.getvalue()


__all__ = ["decrypt", "encrypt"]
