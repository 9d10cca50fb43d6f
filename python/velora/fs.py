"""An fsspec filesystem of encrypted files: protocol ``velora``, over any other fsspec filesystem.

    import pandas as pd
    df = pd.read_parquet("velora::s3://bucket/table.parquet",
                         storage_options={"identity": "/run/keys/reader.pem", "s3": {...}})

The URL chains ``velora`` over the storage that holds the encrypted bytes
(``velora::s3://...``, ``velora::file:///...``, ``velora::memory://...``).
Reading (``open(path, "rb")``) gives the seekable `DecryptedReader`, so
Parquet footers and column chunks are read by range and only the chunks they
touch are decrypted. Writing (``"wb"``) encrypts to ``recipients``. `info`
and `ls` report plaintext sizes, from the encrypted file's size and header,
without decrypting (a size nothing has authenticated yet: a reader checks it
before it answers one).

Keys are given by reference, resolved in the process that opens a file:

- a key file's path (``str`` or ``os.PathLike``): a velora private key
  (PKCS#8, PEM or DER) or an age identity file for ``identity``; a public-key
  file or a list of one-line recipients for ``recipients``;
- ``"env:NAME"``: the environment variable NAME holds such a file's text;
- a callable with no argument that returns the key objects (one or a list).

``recipients`` may also be public-key objects (public keys pickle).
A private key object is refused: the filesystem pickles (to Dask workers, for
instance) with its options, and private keys never pickle.

Writes are atomic where the backend allows: a local file is written beside its
final name, synced and renamed into place, an S3 object appears only when its upload
completes, and an in-memory file is written under a temporary name and moved;
a write that fails or is aborted leaves nothing at the path.
"""

from __future__ import annotations

import io
import os
import secrets
from collections.abc import Callable, Sequence
from typing import Any

import fsspec  # type: ignore[import-untyped]
from fsspec.implementations.chained import ChainedFileSystem  # type: ignore[import-untyped]
from fsspec.implementations.local import LocalFileSystem  # type: ignore[import-untyped]
from fsspec.implementations.memory import MemoryFileSystem  # type: ignore[import-untyped]
from fsspec.spec import AbstractBufferedFile  # type: ignore[import-untyped]

from .errors import FileFormatError
from .types import as_identities, as_recipients
from .files.formats import PREFIX_BYTES, for_prefix
from .files.objects import DecryptedReader, EncryptedWriter
from .age.keys import IDENTITY_TYPES, RECIPIENT_TYPES
from .keys import PrivateKey, PublicKey
from .xwing import XWingPrivateKey

#: A key reference: a path, "env:NAME", or a callable returning the keys.
KeyRef = str | os.PathLike[str] | Callable[[], object]

#: The leading bytes `info` reads to find a file's format and plaintext size (more for a
#: long age header).
HEAD_BYTES = 4096
LONG_HEAD_BYTES = 256 * 1024


def _refuse_material(value: object, what: str) -> None:
    if isinstance(value, (PrivateKey, XWingPrivateKey, *IDENTITY_TYPES)):
        raise TypeError(f"{what} must be a reference to a private key (a key file's path, 'env:NAME' or a "
                        "callable), not the key itself: the filesystem pickles with its options")


def _reference_bytes(ref: str | os.PathLike[str]) -> tuple[bytes, str]:
    """The contents a path or "env:NAME" reference names, and a name for messages."""
    if isinstance(ref, str) and ref.startswith("env:"):
        name = ref[4:]
        value = os.environ.get(name)
        if value is None:
            raise KeyError(f"the environment variable {name!r} named as a key is not set")
        return value.encode("utf-8"), f"${name}"
    with open(ref, "rb") as f:
        return f.read(), os.fspath(ref)


def _as_keys(value: object) -> list[object]:
    if isinstance(value, (list, tuple)):
        return list(value)
    return [value]


def resolve_identities(ref: object) -> list[object]:
    """The private keys an ``identity`` reference names (see the module)."""
    from .cli.recipients import load_identities

    _refuse_material(ref, "identity")
    if isinstance(ref, (list, tuple)):
        return [k for r in ref for k in resolve_identities(r)]
    if callable(ref):
        return _as_keys(ref())
    if isinstance(ref, (str, os.PathLike)):
        data, name = _reference_bytes(ref)

        def no_passphrase(prompt: str) -> bytes:
            raise ValueError(f"{prompt.strip()} the velora filesystem cannot ask for a passphrase")

        return load_identities(data, no_passphrase, name)
    raise TypeError(f"identity must be a path, 'env:NAME' or a callable, not {type(ref).__name__}")


def resolve_recipients(ref: object) -> list[object]:
    """The public keys a ``recipients`` reference names (see the module)."""
    from .cli.recipients import RecipientReader

    if isinstance(ref, (list, tuple)):
        return [k for r in ref for k in resolve_recipients(r)]
    if isinstance(ref, (PublicKey, *RECIPIENT_TYPES)):
        return [ref]
    if callable(ref):
        return _as_keys(ref())
    if isinstance(ref, (str, os.PathLike)):
        data, _ = _reference_bytes(ref)
        return RecipientReader().load(data)
    raise TypeError(f"recipients must be public keys, a path, 'env:NAME' or a callable, not {type(ref).__name__}")


def plaintext_size(head: bytes, size: int) -> int | None:
    """The plaintext size of an encrypted file of ``size`` bytes that starts with ``head``.

    None when the format cannot tell it from these (armour, or a size no
    writer produces). Nothing here is authenticated."""
    try:
        fmt = for_prefix(head[:PREFIX_BYTES])
    except FileFormatError:
        return None
    measure = getattr(fmt, "plaintext_size", None)
    if measure is None:
        return None
    try:
        result = measure(head, size)
    except FileFormatError:
        return None
    return result if isinstance(result, int) else None


class _Reader(DecryptedReader):
    """A `DecryptedReader` that closes the backend's file with itself.

    On a seekable backend file it reads by chunk ranges from the start (one
    request per run of chunks, up to 8 MiB, rather than the sequential
    reader's 64 KiB blocks)."""

    def __init__(self, inner: Any, identities: Sequence[object]) -> None:
        self._inner = inner
        try:
            super().__init__(inner, as_identities(identities))
        except BaseException:
            inner.close()
            raise
        if self._random is not None:
            self._seeking = True

    def close(self) -> None:
        if not self.closed:
            try:
                super().close()
            finally:
                self._inner.close()


class _Writer(EncryptedWriter):
    """An `EncryptedWriter` into a backend's file, committed only when complete."""

    def __init__(self, fs: fsspec.AbstractFileSystem, path: str, recipients: Sequence[object],
                 chunk_size: int | None) -> None:
        self._fs, self._path = fs, path
        self._tmp: str | None = None
        if isinstance(fs, MemoryFileSystem):
            # A memory file is visible once opened: write it aside, move it at the end.
            self._tmp = f"{path}.velora-{secrets.token_hex(6)}.tmp"
            inner = fs.open(self._tmp, "wb")
        else:
            inner = fs.open(path, "wb", autocommit=False)
        self._inner = inner
        self._transactional = isinstance(inner, AbstractBufferedFile)
        try:
            super().__init__(inner, as_recipients(recipients), chunk_size=chunk_size)
        except BaseException:
            self._drop()
            raise

    def close(self) -> None:
        if self.closed:
            return
        try:
            super().close()
        except BaseException:
            self._drop()
            raise
        try:
            self._inner.close()
            if self._tmp is not None:
                self._fs.mv(self._tmp, self._path)
            elif self._transactional:
                self._inner.commit()
        except BaseException:
            self._drop()
            raise

    def abort(self) -> None:
        if not self.closed:
            super().abort()
            self._drop()

    def _drop(self) -> None:
        try:
            if self._transactional:
                self._inner.discard()
            else:
                self._inner.close()
            if self._tmp is not None and self._fs.exists(self._tmp):
                self._fs.rm(self._tmp)
        except Exception:  # the failure that got us here is the one to report
            pass


class VeloraFileSystem(ChainedFileSystem):  # type: ignore[misc]
    """Encrypted files over another fsspec filesystem (see the module).

    ``target_protocol`` / ``target_options`` name the backend (fsspec sets
    them from a chained URL), or ``fs`` gives it; ``identity`` and
    ``recipients`` are key references; ``chunk_size`` is for writing.
    """

    protocol = "velora"
    root_marker = ""

    def __init__(self, target_protocol: str | None = None, target_options: dict[str, Any] | None = None,
                 fs: fsspec.AbstractFileSystem | None = None, identity: object = None, recipients: object = None,
                 chunk_size: int | None = None, fo: str | None = None, **kwargs: Any) -> None:
        super().__init__(**kwargs)
        if identity is not None:
            _refuse_material(identity, "identity")
            if isinstance(identity, (list, tuple)):
                for item in identity:
                    _refuse_material(item, "identity")
        if fs is None:
            fs = fsspec.filesystem(target_protocol or "file", **(target_options or {}))
        self.fs = fs
        self.identity = identity
        self.recipients = recipients
        self.chunk_size = chunk_size
        self._identities: list[object] | None = None
        self._recipients: list[object] | None = None
        self._sizes: dict[tuple[str, int, object], int | None] = {}

    # -- keys ----------------------------------------------------------------

    def _keys_for_reading(self) -> list[object]:
        if self._identities is None:
            if self.identity is None:
                raise ValueError("the velora filesystem needs identity= to read encrypted files")
            self._identities = resolve_identities(self.identity)
        return self._identities

    def _keys_for_writing(self) -> list[object]:
        if self._recipients is None:
            if self.recipients is None:
                raise ValueError("the velora filesystem needs recipients= to write encrypted files")
            self._recipients = resolve_recipients(self.recipients)
        return self._recipients

    # -- files ---------------------------------------------------------------

    def _open(self, path: str, mode: str = "rb", block_size: int | None = None, autocommit: bool = True,
              cache_options: dict[str, Any] | None = None, **kwargs: Any) -> io.BufferedIOBase:
        if mode == "rb":
            options: dict[str, Any] = dict(kwargs)
            if block_size is not None:
                options["block_size"] = block_size
            if cache_options is not None:
                options["cache_options"] = cache_options
            if hasattr(self.fs, "default_cache_type"):  # s3fs, gcsfs, adlfs ...: buffered remote files
                # The reader asks for whole chunks (front to back, in its own blocks, or the
                # chunks a seek touches): a read-ahead cache would fetch far more than that
                # (s3fs reads 50 MiB ahead by default).
                options.setdefault("cache_type", "none")
            return _Reader(self.fs.open(path, "rb", **options), self._keys_for_reading())
        if mode in ("wb", "xb"):
            if mode == "xb" and self.fs.exists(path):
                raise FileExistsError(path)
            if isinstance(self.fs, LocalFileSystem):
                # Written beside the final name, synced and renamed into place.
                return EncryptedWriter(path, as_recipients(self._keys_for_writing()), chunk_size=self.chunk_size)
            return _Writer(self.fs, path, self._keys_for_writing(), self.chunk_size)
        raise ValueError(f"the velora filesystem opens files for 'rb', 'wb' or 'xb', not {mode!r}")

    def _plain(self, entry: dict[str, Any]) -> dict[str, Any]:
        """An entry of the backend with the plaintext size of a file."""
        if entry.get("type") != "file":
            return entry
        size = entry.get("size")
        if not isinstance(size, int):
            return entry
        key = (entry["name"], size, entry.get("ETag") or entry.get("mtime") or entry.get("LastModified"))
        if key not in self._sizes:
            head = self.fs.cat_file(entry["name"], start=0, end=min(size, HEAD_BYTES))
            found = plaintext_size(head, size)
            if found is None and len(head) < size:  # an age header with many stanzas is longer
                head = self.fs.cat_file(entry["name"], start=0, end=min(size, LONG_HEAD_BYTES))
                found = plaintext_size(head, size)
            self._sizes[key] = found
        out = dict(entry)
        out["encrypted_size"] = size
        out["size"] = self._sizes[key]
        return out

    def info(self, path: str, **kwargs: Any) -> dict[str, Any]:
        return self._plain(self.fs.info(self._strip_protocol(path), **kwargs))

    def ls(self, path: str, detail: bool = True, **kwargs: Any) -> list[Any]:
        entries = self.fs.ls(self._strip_protocol(path), detail=True, **kwargs)
        if not detail:
            return [e["name"] for e in entries]
        return [self._plain(e) for e in entries]

    def find(self, path: str, maxdepth: int | None = None, withdirs: bool = False, detail: bool = False,
             **kwargs: Any) -> Any:
        found = self.fs.find(self._strip_protocol(path), maxdepth=maxdepth, withdirs=withdirs, detail=True, **kwargs)
        if not detail:
            return sorted(found)
        return {name: self._plain(e) for name, e in found.items()}

    # -- the rest is the backend's -------------------------------------------

    def exists(self, path: str, **kwargs: Any) -> bool:
        return bool(self.fs.exists(self._strip_protocol(path), **kwargs))

    def isdir(self, path: str) -> bool:
        return bool(self.fs.isdir(self._strip_protocol(path)))

    def isfile(self, path: str) -> bool:
        return bool(self.fs.isfile(self._strip_protocol(path)))

    def mkdir(self, path: str, create_parents: bool = True, **kwargs: Any) -> None:
        self.fs.mkdir(self._strip_protocol(path), create_parents=create_parents, **kwargs)

    def makedirs(self, path: str, exist_ok: bool = False) -> None:
        self.fs.makedirs(self._strip_protocol(path), exist_ok=exist_ok)

    def rm_file(self, path: str) -> None:
        self.fs.rm_file(self._strip_protocol(path))

    def rm(self, path: str, recursive: bool = False, maxdepth: int | None = None) -> None:
        self.fs.rm(self._strip_protocol(path), recursive=recursive, maxdepth=maxdepth)

    def rmdir(self, path: str) -> None:
        self.fs.rmdir(self._strip_protocol(path))

    def cp_file(self, path1: str, path2: str, **kwargs: Any) -> None:
        self.fs.cp_file(self._strip_protocol(path1), self._strip_protocol(path2), **kwargs)  # the encrypted bytes: a copy decrypts as the original

    def mv(self, path1: str, path2: str, **kwargs: Any) -> None:
        self.fs.mv(self._strip_protocol(path1), self._strip_protocol(path2), **kwargs)

    def modified(self, path: str) -> Any:
        return self.fs.modified(self._strip_protocol(path))

    def created(self, path: str) -> Any:
        return self.fs.created(self._strip_protocol(path))

    def ukey(self, path: str) -> str:
        return str(self.fs.ukey(self._strip_protocol(path)))
