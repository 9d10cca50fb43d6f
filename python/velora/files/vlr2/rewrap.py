"""Re-wrapping: a new recipient set for a version 2 velora file (or an age file), the payload left as it is.

The file key is found with an identity, entries are dropped (those whose tag
names a removed recipient) and added (the file key wrapped anew), and a new
header with a fresh MAC is written before the same payload bytes, which are
copied by the kernel (copy_file_range, which may share the blocks where the
file system can). The new file is written beside the old one and renamed
over it only when complete and synced: killed at any point, the original is
left whole (an unnamed temporary file vanishes with the process).
"""

from __future__ import annotations

import os
from collections.abc import Sequence

from ...errors import FileFormatError, RecipientError
from ...compare import equal
from ..formats import PREFIX_BYTES
from ..output import AtomicOutput, PathLike, write_all
from ..source import Source
from . import header as h
from .recipients import (
    Passphrase,
    check_recipients,
    find_file_key,
    kind_of,
    public_bytes,
    wrap,
)


class RewrapResult:
    """What `rewrap` did: entries kept, added and removed, and the payload bytes copied."""

    __slots__ = ("kept", "added", "removed", "payload_bytes", "header_size")

    def __init__(self, kept: int, added: int, removed: int, payload_bytes: int, header_size: int) -> None:
        self.kept, self.added, self.removed = kept, added, removed
        self.payload_bytes, self.header_size = payload_bytes, header_size

    def __repr__(self) -> str:
        return (f"RewrapResult(kept={self.kept}, added={self.added}, removed={self.removed}, "
                f"payload_bytes={self.payload_bytes})")


def _copy_range(src: int, dst: int, offset: int, count: int) -> None:
    """``count`` bytes of ``src`` from ``offset`` to the end of ``dst``: copy_file_range, else read/write."""
    done = 0
    use_kernel = hasattr(os, "copy_file_range")
    while done < count:
        if use_kernel:
            try:
                n = os.copy_file_range(src, dst, count - done, offset + done)
            except OSError:
                use_kernel = False  # e.g. across file systems on old kernels
                continue
        else:
            data = os.pread(src, min(1 << 20, count - done), offset + done)
            write_all(dst, data)
            n = len(data)
        if n == 0:
            raise OSError("the file shrank while it was being re-wrapped")
        done += n


def rewrap(path: PathLike, identities: object | Sequence[object], *, add: Sequence[object] = (),
           remove: Sequence[object] = (), output: PathLike | None = None) -> RewrapResult:
    """Changes the recipients of the version 2 velora file (or binary age file) at ``path``.

    An age file's stanzas do not name their recipients, so an age file can
    gain recipients (and have its passphrase replaced), not lose them.

    ``identities`` (one or a sequence) must open the file. Each of ``remove``
    (public keys, or a `Passphrase` for a passphrase file) must be a recipient
    of the file; each of ``add`` becomes one. A passphrase file can only have
    its passphrase replaced (remove it and add another). The result replaces
    ``path`` atomically (or is written to ``output``); the payload bytes are
    unchanged. Raises `RecipientError` for a set no file can hold,
    `NoIdentityMatchError` when no identity opens the file.
    """
    ids = list(identities) if isinstance(identities, (list, tuple)) else [identities]
    target = path if output is None else output
    with open(path, "rb", buffering=0) as f:
        source = Source(f)
        head = source.peek(9)
        if head[:8] != h.MAGIC:
            # another format that re-wraps (age does): its `rewrap` method
            from ..formats import for_prefix

            other = getattr(for_prefix(source.peek(PREFIX_BYTES)), "rewrap", None)
            if callable(other):
                result: RewrapResult = other(f.fileno(), source, ids, add, remove, target)
                return result
        head = source.read_upto(9)
        if head[:8] != h.MAGIC or head[8:] != bytes([h.VERSION]):
            raise FileFormatError("rewrap changes velora files of version 2 and binary age files only (this is "
                                  "neither; an armoured file is decrypted first)")
        header = h.parse(source, head)
        if header.signer is not None:
            # The signature covers the header: a new recipient set would need the sender's key.
            raise FileFormatError("a signed file cannot be re-wrapped: its signature covers the recipients "
                                  "(the sender encrypts it again for the new recipients)")
        file_key = find_file_key(header, ids)
        tags = h.tag_key(file_key)
        kept = list(header.entries)
        removed = 0
        for recipient in remove:
            kind = kind_of(recipient)
            tag = h.recipient_tag(tags, kind, public_bytes(recipient))
            before = len(kept)
            kept = [e for e in kept if not (e.kind == kind and equal(e.tag, tag))]
            if len(kept) == before and kind == h.KIND_SCRYPT:
                raise RecipientError("the file is not encrypted to a passphrase: there is none to replace")
            if len(kept) == before:
                raise RecipientError(f"cannot remove a recipient the file does not have ({_name(recipient)})")
            removed += before - len(kept)
        fresh = [r for r in (check_recipients(list(add)) if add else [])
                 if isinstance(r, Passphrase) or not _has_entry(kept, tags, r)]  # none added twice
        if kept and any(e.kind == h.KIND_SCRYPT for e in kept) and fresh:
            raise RecipientError("a passphrase must be the only recipient of its file: remove it to add others")
        if fresh and any(isinstance(r, Passphrase) for r in fresh) and kept:
            raise RecipientError("a passphrase must be the only recipient of its file: remove the others first")
        entries = kept + [wrap(r, file_key, tags) for r in fresh]
        if not entries:
            raise RecipientError("no recipient would be left: a file needs at least one")
        if len(entries) > h.MAX_RECIPIENTS:
            raise RecipientError(f"a velora file has at most {h.MAX_RECIPIENTS} recipients, would have {len(entries)}")
        new_header = h.build(header.chunk_size, entries, header.nonce, file_key)
        payload = replace_header(f.fileno(), header.size, new_header, target)
    return RewrapResult(len(kept), len(fresh), removed, payload, len(new_header))


def replace_header(fd: int, old_header_size: int, new_header: bytes, target: PathLike) -> int:
    """Writes ``new_header`` and the payload of ``fd`` (after its old header) to ``target``, atomically;
    returns the payload's size."""
    payload = os.fstat(fd).st_size - old_header_size
    out = AtomicOutput(target)
    try:
        write_all(out.fd, new_header)
        _copy_range(fd, out.fd, old_header_size, payload)
        out.commit()
    except BaseException:
        out.discard()
        raise
    return payload


def _has_entry(entries: Sequence[h.Entry], tags: bytes, recipient: object) -> bool:
    """Whether one of ``entries`` is tagged for ``recipient`` (compared in constant time)."""
    kind = kind_of(recipient)
    tag = h.recipient_tag(tags, kind, public_bytes(recipient))
    return any(e.kind == kind and equal(e.tag, tag) for e in entries)


def _name(recipient: object) -> str:
    from .recipients import describe

    return describe(recipient)
