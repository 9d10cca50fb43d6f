"""`encrypt_file` and `decrypt_file`: whole files, fast, never partial at the destination."""

from __future__ import annotations

import contextlib
import inspect
from collections.abc import Callable, Iterator, Sequence
from typing import TYPE_CHECKING, BinaryIO

from .._velora_core import DecryptionError
from .armor import ArmorWriter
from .detect import detect
from ..errors import TRUNCATED
from .formats import IndependentSealer, Opener, Sealer, for_recipients
from .objects import as_list, make_opener, make_sealer, open_input
from .output import Output, PathLike, open_output
from .pipeline import run_ordered, usable_cpus
from .source import Readable, Source, pread_exact, pread_into, regular_file_size

if TYPE_CHECKING:
    from ..types import Identities, Recipients
    from ..mldsa import MLDSAPrivateKey, MLDSAPublicKey

#: ``progress(done, total)``: plaintext bytes so far, and the plaintext size when known
#: (encrypting a regular file, or decrypting one that is not armoured).
Progress = Callable[[int, "int | None"], None]

#: Bytes per pipeline item and per native thread: past about 1 MiB the two
#: threads' hand-overs cost nothing next to the copying and AES-GCM work
#: (bench/file_bench.py).
ITEM_BYTES = 1024 * 1024


def check_threads(threads: int | None) -> int:
    """``threads`` (None: the usable CPUs) checked: an int from 1 on."""
    if threads is None:
        return usable_cpus()
    if isinstance(threads, bool) or not isinstance(threads, int):
        raise TypeError(f"threads must be an int, not {type(threads).__name__}")
    if threads < 1:
        raise ValueError(f"threads must be at least 1, got {threads}")
    return threads


def _split(threads: int) -> tuple[bool, int]:
    """(two pipeline threads or the caller's alone, native threads per item) for ``threads`` in all.

    One thread: the caller does everything. More: the two pipeline threads
    each read an item and have it sealed or opened on half of the threads,
    so that reading, cryptography and writing overlap on any number of cores."""
    if threads == 1:
        return False, 1
    return True, -(-threads // 2)


def encrypt_file(src: PathLike | BinaryIO, dst: PathLike | BinaryIO, recipients: Recipients, *,
                 chunk_size: int | None = None, armor: bool = False, progress: Progress | None = None,
                 threads: int | None = None, sign: MLDSAPrivateKey | None = None) -> int:
    """Encrypts ``src`` into ``dst`` for ``recipients``; returns the plaintext size.

    ``src`` and ``dst`` are paths or binary file objects. A path destination
    that is a regular file (or does not exist yet) is written beside it
    first, synced and renamed into place only when complete; on any error it
    is left as it was. ``progress(done, total)`` is called as the work advances.
    ``threads`` (default: the CPUs this process may use) share the chunks of
    a regular file; the output is in order whatever the number.

    ``sign``, an ML-DSA private key: the file carries the sender's signature
    over its header and every chunk (docs/file-format.md, "Signed files").
    """
    targets = as_list(recipients, "recipient")
    fmt = for_recipients(targets)
    sealer = make_sealer(fmt, targets, chunk_size, sign)
    return encrypt_with(src, dst, sealer, fmt.armor_label if armor else None, progress, threads)


def encrypt_with(src: PathLike | BinaryIO, dst: PathLike | BinaryIO, sealer: Sealer, armor_label: str | None,
                 progress: Progress | None, threads: int | None = None) -> int:
    """`encrypt_file` with a format's sealer made by the caller (``armor_label`` None: binary)."""
    n = check_threads(threads)
    with _input(src) as infile, _output(dst) as out:
        writer = ArmorWriter(out.write, armor_label) if armor_label is not None else None
        emit: Callable[[bytes | memoryview], object] = out.write if writer is None else writer.write
        emit(sealer.header)
        done = _encrypt_stream(infile, sealer, emit, progress, n)
        if writer is not None:
            writer.close()
    return done


def decrypt_file(src: PathLike | BinaryIO, dst: PathLike | BinaryIO, identities: Identities, *,
                 progress: Progress | None = None, threads: int | None = None,
                 verify: MLDSAPublicKey | Sequence[MLDSAPublicKey] | None = None) -> int:
    """Decrypts ``src`` into ``dst`` with the matching key of ``identities``; returns the plaintext size.

    A path destination receives the plaintext only once all of it has
    authenticated, up to the end marker with nothing after it; on any error
    (wrong key, damage, truncation) it is left as it was. A file object
    destination receives the plaintext as it authenticates, so it may hold
    a prefix of it when an error is raised. ``threads`` (default: the CPUs
    this process may use) share the chunks of a regular file; the output is
    in order whatever the number.

    ``verify``, one ML-DSA public key or a sequence of trusted ones: the file
    must be signed by one of them (`UnsignedFileError`, `UntrustedSignerError`
    otherwise, before any output), and the end of the plaintext is released,
    and a path destination completed, only once the signature verifies
    (`SignatureError`).
    """
    keys = as_list(identities, "identity")

    def reader(infile: BinaryIO) -> Opener:
        return make_opener(detect(infile), keys, verify)

    return decrypt_with(src, dst, reader, progress, threads)


def decrypt_with(src: PathLike | BinaryIO, dst: PathLike | BinaryIO, reader: Callable[[BinaryIO], Opener],
                 progress: Progress | None, threads: int | None = None) -> int:
    """`decrypt_file` with the opener that ``reader`` makes from the input (a format's own entry point)."""
    n = check_threads(threads)
    with _input(src) as infile:
        opener = reader(infile)  # a wrong key fails before any output exists
        with _output(dst) as out:
            return _decrypt_stream(opener, out.write, progress, n)


@contextlib.contextmanager
def _input(src: PathLike | BinaryIO) -> Iterator[BinaryIO]:
    """``src`` readable; closed afterwards if it was opened here."""
    infile, owned = open_input(src)
    try:
        yield infile
    finally:
        if owned:
            infile.close()


@contextlib.contextmanager
def _output(dst: PathLike | BinaryIO) -> Iterator[Output]:
    """The output for ``dst``: committed when the block ends normally, discarded on any exception."""
    out = open_output(dst)
    try:
        yield out
    except BaseException:
        out.discard()
        raise
    out.commit()


def _encrypt_stream(infile: Readable, sealer: Sealer, emit: Callable[[bytes | memoryview], object],
                    progress: Progress | None, threads: int = 2) -> int:
    cs = sealer.chunk_size
    per_item = max(1, ITEM_BYTES // cs)  # chunks per pipeline item, each read on its own (no slicing copies)
    size = regular_file_size(infile)
    fetch: Callable[[int], list[bytes] | None]
    if size is not None:
        # A regular file: read at known offsets, both threads at once.
        fd = infile.fileno()  # type: ignore[attr-defined]
        start = infile.tell()  # type: ignore[attr-defined]
        chunks = -(-size // cs)
        if isinstance(sealer, IndependentSealer):
            done = _seal_independently(fd, start, size, sealer, emit, progress, threads)
            _check_end(infile, fd, start, size)
            return done

        def fetch(i: int) -> list[bytes] | None:
            first = i * per_item
            if first >= chunks:
                return None
            out: list[bytes] = []
            for j in range(first, min(first + per_item, chunks)):
                want = min(cs, size - j * cs)
                data = pread_exact(fd, want, start + j * cs)
                if len(data) != want:
                    raise OSError("the input file shrank while it was being encrypted")
                out.append(data)
            return out
    else:
        src = Source(infile)
        at_end = [False]  # read no more after the end (a terminal would wait for a second ^D)

        def fetch(i: int) -> list[bytes] | None:
            out: list[bytes] = []
            while len(out) < per_item and not at_end[0]:
                data = src.read_upto(cs)  # short only at the end
                if data:
                    out.append(data)
                at_end[0] = len(data) < cs
            return out or None

    done = 0

    def process(i: int, items: list[bytes]) -> None:
        nonlocal done
        for data in items:
            emit(sealer.seal(data))
            done += len(data)
        if progress is not None:
            progress(done, size)

    run_ordered(fetch, process, parallel_fetch=size is not None,
                threaded=threads > 1 and (size is None or size > 2 * per_item * cs))
    emit(sealer.finish())
    if size is not None:
        _check_end(infile, fd, start, size)
    return done


def _seal_independently(fd: int, start: int, size: int, sealer: IndependentSealer,
                        emit: Callable[[bytes | memoryview], object], progress: Progress | None,
                        threads: int = 2) -> int:
    """A regular file through a sealer whose chunks seal on their own: each pipeline
    thread reads and seals its run of chunks into buffers of its own (no copy, no
    allocation per item), on ``threads`` threads in all, and only the writing stays
    in order."""
    cs = sealer.chunk_size
    chunks = -(-size // cs)
    pipelined, native = _split(threads)
    if hasattr(sealer, "threads"):
        sealer.threads = native  # a sealer that spreads one run over threads of its own
        run = max(1, native * ITEM_BYTES // cs)  # whole chunks per item
    else:
        run = 1
    items = -(-chunks // run)
    # Item i uses the buffers of item i - 2: run_ordered fetches item i only
    # once item i - 2 has been processed (written out).
    slots = [(bytearray(min(run * cs, size)), bytearray(run * sealer.sealed_room)) for _ in range(min(2, items))]

    def fetch(i: int) -> tuple[memoryview, int] | None:
        if i >= items:
            return None
        first = i * run
        want = min(run * cs, size - first * cs)
        plain, sealed = slots[i & 1]
        with memoryview(plain) as view:
            if pread_into(fd, view[:want], start + first * cs) != want:
                raise OSError("the input file shrank while it was being encrypted")
            n = sealer.seal_into(first, view[:want], i == items - 1, sealed)
        return memoryview(sealed)[:n], want

    done = 0

    def process(i: int, item: tuple[memoryview, int]) -> None:
        nonlocal done
        emit(item[0])
        done += item[1]
        if progress is not None:
            progress(done, size)

    run_ordered(fetch, process, parallel_fetch=True, threaded=pipelined and items > 2)
    emit(sealer.finish())
    return done


def _check_end(infile: Readable, fd: int, start: int, size: int) -> None:
    """The input must end where its size said; it is left there."""
    if pread_exact(fd, 1, start + size):
        raise OSError("the input file grew while it was being encrypted")
    infile.seek(start + size)  # type: ignore[attr-defined]


def _decrypt_stream(opener: Opener, write: Callable[[bytes | memoryview], object], progress: Progress | None,
                    threads: int = 2) -> int:
    pipelined, native = _split(threads)
    if "threads" in inspect.signature(opener.batches).parameters:
        # The opener opens each batch on threads of its own: batches of 1 MiB per thread.
        per_item = max(1, native * ITEM_BYTES // opener.chunk_size)
        fetch, parallel, total = opener.batches(per_item, threads=native)  # type: ignore[call-arg]
    else:
        per_item = max(1, ITEM_BYTES // opener.chunk_size)
        fetch, parallel, total = opener.batches(per_item)
    done = 0

    def process(i: int, items: list[object]) -> None:
        nonlocal done
        if opener.complete:
            return  # read ahead past the end before the end was known
        for record in items:
            data = opener.open(record)
            if data:
                write(data)
                done += len(data)
        if progress is not None:
            progress(done, total)

    small = total is not None and total <= 2 * per_item * opener.chunk_size
    run_ordered(fetch, process, parallel_fetch=parallel, threaded=pipelined and not small)
    if not opener.complete:
        raise DecryptionError(TRUNCATED)
    return done
