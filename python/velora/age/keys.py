"""The recipient types and their text forms: parsing recipients and identities
from text and from recipients and identity files (age -R, age -i).

`TYPES` is the one registration of the types with a text form: a new type is
its module (its classes with their ``prefix`` and ``hrp``, and its ``TYPE``)
and its entry here. `parse_recipient` and `parse_identity` pick the type by the longest
prefix that matches.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable, Sequence
from typing import Any, Final, Protocol, TypeVar

from ..errors import KeySerializationError
from . import hybrid, x25519
from .format import Stanza
from .scrypt import ScryptIdentity, ScryptPrompt, ScryptRecipient


class TextRecipient(Protocol):
    """A recipient with a text form (``str()`` gives it back)."""

    def wrap(self, file_key: bytes) -> list[Stanza]: ...


class TextIdentity(Protocol):
    """An identity with a text form, and its recipient."""

    def unwrap(self, stanzas: Sequence[Stanza]) -> bytes | None: ...

    def recipient(self) -> TextRecipient: ...


#: Every recipient type with a text form: a new one is its module and its entry here.
TYPES: Final = (x25519.TYPE, hybrid.TYPE)
#: The classes of all recipients and identities (for the file-format registry).
RECIPIENT_TYPES: Final[tuple[type, ...]] = (*(t.recipient for t in TYPES), ScryptRecipient)
IDENTITY_TYPES: Final[tuple[type, ...]] = (*(t.identity for t in TYPES), ScryptIdentity, ScryptPrompt)


T = TypeVar("T")


def _by_prefix(text: str, classes: Iterable[type[Any]], what: str, fold: str) -> Any:
    if not isinstance(text, str):
        raise TypeError(f"an age {what} must be given as str, not {type(text).__name__}")
    t = text.strip()
    folded = t.upper() if fold == "upper" else t.lower()
    ordered = sorted(classes, key=lambda c: len(c.prefix))
    for cls in reversed(ordered):  # the longest prefix first: age1pq1 before age1
        if folded.startswith(cls.prefix.upper() if fold == "upper" else cls.prefix.lower()):
            return cls.from_string(t)
    expected = " or ".join(f"{c.prefix}..." for c in ordered)
    raise KeySerializationError(f"not an age {what}: expected {expected}")


def parse_recipient(text: str) -> TextRecipient:
    """A recipient from its text: `age1pq1...` or `age1...`."""
    found: TextRecipient = _by_prefix(text, (t.recipient for t in TYPES), "recipient", "lower")
    return found


def parse_identity(text: str) -> TextIdentity:
    """An identity from its text: `AGE-SECRET-KEY-PQ-1...` or `AGE-SECRET-KEY-1...`."""
    found: TextIdentity = _by_prefix(text, (t.identity for t in TYPES), "identity", "upper")
    return found


def _key_lines(text: str) -> Iterable[tuple[int, str]]:
    if not isinstance(text, str):
        raise TypeError(f"a key file's text must be str, not {type(text).__name__}")
    for number, line in enumerate(text.splitlines(), 1):
        stripped = line.strip()
        if stripped and not stripped.startswith("#"):
            yield number, stripped


def _parse_lines(text: str, parse: Callable[[str], T]) -> list[T]:
    out: list[T] = []
    for number, line in _key_lines(text):
        try:
            out.append(parse(line))
        except KeySerializationError as e:
            raise KeySerializationError(f"line {number}: {e}") from None
    return out


def parse_recipients(text: str) -> list[TextRecipient]:
    """The recipients of a recipients file (age -R): one per line; empty lines and lines
    starting with # are ignored. The error names the line."""
    return _parse_lines(text, parse_recipient)


def parse_identities(text: str) -> list[TextIdentity]:
    """The identities of an identity file (age -i), with the same line rules."""
    return _parse_lines(text, parse_identity)


def read_recipients_file(path: str | os.PathLike[str]) -> list[TextRecipient]:
    with open(path, encoding="utf-8") as f:
        return parse_recipients(f.read())


def read_identities_file(path: str | os.PathLike[str]) -> list[TextIdentity]:
    with open(path, encoding="utf-8") as f:
        return parse_identities(f.read())
