"""File formats: what a reader and a writer of one format provide, and the registry.

A reader finds the format from the first bytes of the input (after removing
ASCII armour); a writer is chosen by the kind of the recipients. Each format
is one object in `FORMATS`; a new format (for example age v1) is a module that
defines such an object and registers it with `register`. The built-in formats
(velora, age) are imported, and so registered, by the first lookup: a program
pays for the modules of a format only once it reads or writes a file.
"""

from __future__ import annotations

import importlib
import itertools
from collections.abc import Callable, Iterator, Sequence
from typing import Protocol, runtime_checkable

from ..errors import FileFormatError, RecipientError
from .source import Source

#: How many leading bytes `FileFormat.detect` is shown (fewer for a shorter input).
PREFIX_BYTES = 32


class Sealer(Protocol):
    """The writer side of one encrypted file.

    ``header`` goes first; then every chunk of the plaintext goes through
    ``seal`` in order, and ``finish`` ends the file. Every chunk but the last
    is exactly ``chunk_size`` bytes; the last is 1 to ``chunk_size`` bytes
    (an empty plaintext has no chunk at all). A format that marks its last
    chunk (as age does) keeps the newest chunk back in ``seal`` and seals it
    as the last in ``finish``.
    """

    chunk_size: int

    @property
    def header(self) -> bytes: ...

    def seal(self, chunk: bytes) -> bytes: ...

    def finish(self) -> bytes: ...


@runtime_checkable
class IndependentSealer(Sealer, Protocol):
    """A sealer whose chunks seal independently of each other (age's: a chunk needs
    only its index and whether it is the last).

    ``seal_into(index, chunk, last, out)`` seals chunk ``index`` into ``out``
    (``sealed_room`` bytes) and returns the sealed length; two calls may run
    at once. `encrypt_file` uses it for a regular file, whose size tells which
    chunk is the last: both threads read and seal, and only the writing stays
    in order. After chunks sealed this way ``finish`` returns what follows the
    last one (nothing, for age), or ends an empty plaintext when there was no
    chunk at all.
    """

    sealed_room: int

    def seal_into(self, index: int, chunk: memoryview, last: bool, out: bytearray) -> int: ...


class Opener(Protocol):
    """The reader side of one encrypted file, its header already read and its key found.

    ``records`` reads (input only, no cryptography) the records that follow,
    in order, and raises `DecryptionError` for a structure that cannot be
    complete (truncated input, a malformed record, data after the end).
    ``open`` authenticates and decrypts one record, in the same order, and
    returns its plaintext (possibly empty; a memoryview of a buffer that stays
    valid until the fetch two items later, for the records of ``batches``), or
    raises the read error a record stands for. ``complete`` is True once the authenticated end has been
    opened; a batch fetched after that (read ahead past the end) is dropped.

    ``batches(n)`` gives ``fetch(i)``, the i-th list of n records (fewer in
    the last, None after it), whether ``fetch`` may run for two indexes at
    once (a regular file read at computed offsets), and the plaintext size if
    the file's size tells it (else None); `sequential_batches` serves any
    format from ``records``.
    """

    chunk_size: int

    def records(self) -> Iterator[object]: ...

    def batches(self, n: int) -> tuple[Callable[[int], list[object] | None], bool, int | None]: ...

    def open(self, record: object) -> bytes | memoryview: ...

    @property
    def complete(self) -> bool: ...


class FileInfo:
    """What a file shows without a key (``velora inspect``); None where unknown."""

    def __init__(self, format: str, version: int, **fields: object) -> None:
        self.format = format
        self.version = version
        self.armored: bool = False
        self.level: int | None = None
        self.chunk_size: int | None = None
        self.header_size: int | None = None
        self.file_size: int | None = None
        self.plaintext_size: int | None = None
        self.data_chunks: int | None = None
        #: Ends with an end marker and nothing after it (not authenticated).
        self.complete: bool | None = None
        #: Why the structure is not complete, if it is not.
        self.problem: str | None = None
        #: Anything else a format tells (e.g. age's recipient stanzas).
        self.details: dict[str, object] = {}
        for name, value in fields.items():
            if not hasattr(self, name):
                raise TypeError(f"FileInfo has no field {name!r}")
            setattr(self, name, value)

    def as_dict(self) -> dict[str, object]:
        return dict(vars(self))

    def __repr__(self) -> str:
        inner = ", ".join(f"{k}={v!r}" for k, v in vars(self).items())
        return f"FileInfo({inner})"


class FileFormat(Protocol):
    """One encrypted file format."""

    #: Short name, e.g. "velora" or "age".
    name: str
    #: The RFC 7468 label of its ASCII armour, e.g. "VELORA ENCRYPTED FILE".
    armor_label: str

    def detect(self, prefix: bytes) -> bool:
        """Whether a file starting with ``prefix`` (`PREFIX_BYTES`, fewer if shorter) is in this format."""
        ...

    def accepts(self, recipients: Sequence[object]) -> bool:
        """Whether this format can encrypt to all of ``recipients``."""
        ...

    def sealer(self, recipients: Sequence[object], chunk_size: int | None) -> Sealer:
        """A writer for ``recipients``; ``chunk_size`` None picks the format's default."""
        ...

    def opener(self, source: Source, identities: Sequence[object]) -> Opener:
        """Reads the header from ``source`` and finds the key among ``identities``."""
        ...

    def inspect(self, source: Source) -> FileInfo:
        """Reads the whole file without a key and tells what it is."""
        ...


def sequential_batches(records: Iterator[object], n: int) -> Callable[[int], list[object] | None]:
    """``fetch(i)`` over an iterator of records: called in index order, one at a time."""

    def fetch(i: int) -> list[object] | None:
        return list(itertools.islice(records, n)) or None

    return fetch


FORMATS: list[FileFormat] = []
#: The modules of the built-in formats, which register them when imported, and
#: their names in the order lookups try them (whichever module was imported first).
BUILTIN: tuple[str, ...] = ("velora.files.native", "velora.age.file_format")
_BUILTIN_ORDER = {"velora": 0, "age": 1}


def formats() -> list[FileFormat]:
    """The registered formats, the built-in ones first (imported if need be), then the others in order."""
    for name in BUILTIN:
        importlib.import_module(name)  # at once when already imported; waits for an import under way
    return sorted(FORMATS, key=lambda f: _BUILTIN_ORDER.get(f.name, len(_BUILTIN_ORDER)))


def register(fmt: FileFormat) -> FileFormat:
    """Adds ``fmt`` to the formats readers detect and writers choose from."""
    if any(f.name == fmt.name for f in FORMATS):
        raise ValueError(f"file format {fmt.name!r} is already registered")
    FORMATS.append(fmt)
    return fmt


def for_prefix(prefix: bytes) -> FileFormat:
    """The format of a file that starts with ``prefix``."""
    for fmt in formats():
        if fmt.detect(prefix):
            return fmt
    names = " or ".join(f.name for f in formats())
    if not prefix:
        raise FileFormatError(f"empty input: not a {names} encrypted file")
    raise FileFormatError(f"not a {names} encrypted file (unknown leading bytes)")


def for_label(label: str) -> FileFormat:
    """The format whose ASCII armour has ``label``."""
    for fmt in formats():
        if fmt.armor_label == label:
            return fmt
    raise FileFormatError(f"unknown armour label {label!r}")


def for_recipients(recipients: Sequence[object]) -> FileFormat:
    """The format that encrypts to ``recipients`` (all of one format's kinds).

    `RecipientError` (a `VeloraError`) when there is none, or when no one
    format takes them all, with a message that names the kinds, not classes.
    """
    if not recipients:
        raise RecipientError("no recipient given")
    for fmt in formats():
        if fmt.accepts(recipients):
            return fmt
    takers = {}
    for r in recipients:
        names = [f.name for f in formats() if f.accepts([r])]
        takers[id(r)] = names
    if any(not names for names in takers.values()):
        raise RecipientError("a recipient is not a key or passphrase any file format encrypts to")
    found = sorted({names[0] for names in takers.values()})
    if len(found) > 1:
        raise RecipientError(f"these recipients cannot share one file: {' and '.join(found)} recipients go in "
                             f"different files (velora: ML-KEM and X-Wing keys; age: age1... keys)")
    raise RecipientError("no file format encrypts to this set of recipients "
                         "(a passphrase must be the only recipient of its file)")
