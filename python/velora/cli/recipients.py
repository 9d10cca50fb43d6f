"""Recipients, identities and key generation as the command line names them.

This is the one place where `velora encrypt -r/-R`, `velora decrypt -i` and
`velora keygen` turn text and files into key objects; another format's keys
(for example age's ``age1…`` recipients and ``AGE-SECRET-KEY-…`` identities)
are added here, to `RECIPIENT_FORMS`, `load_identities` and `KEY_KINDS` (and its name to
`velora.cli.KEY_TYPES`).

age keys are the Bech32 lines of age itself: recipients ``age1...`` (X25519)
and ``age1pq1...`` (post-quantum hybrid), identity files of
``AGE-SECRET-KEY-1...`` / ``AGE-SECRET-KEY-PQ-1...`` lines (``#`` comments),
possibly encrypted as a passphrase-protected age file, as age-keygen writes
them; one list or file may mix kinds.

The one-line text form of a velora recipient is the level's name, a colon and
the encapsulation key in URL-safe Base64 without padding:

    mlkem768:9mK1w3...   (1579 Base64 characters at ML-KEM-768)

with the names mlkem512, mlkem768 and mlkem1024. It has no checksum: copy it,
do not type it. Key files are what `velora.load_public_key` and
`velora.load_private_key` read (SPKI / PKCS#8 PEM or DER, encrypted PKCS#8,
and the older velora armours).
"""

from __future__ import annotations

import base64
import binascii
import re
from collections.abc import Callable
from typing import Final

import velora

from .. import age as _age
from ..keys import PrivateKey, PublicKey
from ..levels import PUBLIC_KEY_SIZE

#: ``passphrase(prompt)`` returns the passphrase for an encrypted key file.
PassphraseSource = Callable[[str], bytes]

_ONE_LINE = re.compile(r"mlkem(512|768|1024):([A-Za-z0-9_-]+)")


def recipient_text(key: PublicKey) -> str:
    """The one-line text form of a velora public key."""
    body = base64.urlsafe_b64encode(key.to_bytes()).rstrip(b"=").decode("ascii")
    return f"mlkem{int(key.level)}:{body}"


def _parse_mlkem(text: str) -> PublicKey:
    match = _ONE_LINE.fullmatch(text)
    if match is None:
        raise ValueError("malformed mlkem recipient: expected mlkemLEVEL: and URL-safe Base64 without padding")
    level = int(match.group(1))
    body = match.group(2)
    chars = -(-PUBLIC_KEY_SIZE[level] * 4 // 3)  # unpadded Base64 of the key
    if len(body) != chars:
        raise ValueError(f"malformed mlkem{level} recipient: expected {chars} Base64 characters, got {len(body)} "
                         f"(a truncated or altered copy?)")
    try:
        raw = base64.urlsafe_b64decode(body + "=" * (-len(body) % 4))
    except (binascii.Error, ValueError):
        raise ValueError("malformed mlkem recipient: invalid Base64") from None
    if base64.urlsafe_b64encode(raw).rstrip(b"=").decode() != body:
        raise ValueError(f"malformed mlkem{level} recipient: non-canonical Base64")
    try:
        return PublicKey.from_bytes(raw, level)
    except velora.VeloraError as exc:  # e.g. the FIPS 203 modulus check
        raise ValueError(f"malformed mlkem{level} recipient: {exc}") from None


def _parse_age(text: str) -> object:
    try:
        return _age.parse_recipient(text)
    except velora.VeloraError as exc:
        raise ValueError(f"malformed age recipient: {exc}") from None


#: (prefix, parser) for each one-line recipient form (the first prefix that matches).
RECIPIENT_FORMS: list[tuple[str, Callable[[str], object]]] = [
    ("mlkem512:", _parse_mlkem),
    ("mlkem768:", _parse_mlkem),
    ("mlkem1024:", _parse_mlkem),
    ("age1pq1", _parse_age),
    ("age1", _parse_age),
]


def parse_recipient(text: str) -> object:
    """The recipient named by one line of text (``-r``, or a line of a ``-R`` file)."""
    text = text.strip()
    for prefix, parse in RECIPIENT_FORMS:
        if text.startswith(prefix):
            return parse(text)
    shown = text if len(text) <= 24 else text[:20] + "..."
    forms = ", ".join(p + "..." for p, _ in RECIPIENT_FORMS)
    raise ValueError(f"unknown recipient {shown!r}: expected {forms} (a key file goes with -R)")


def _looks_like_key_file(data: bytes) -> bool:
    return b"-----BEGIN" in data or data[:1] == b"\x30" or data.lstrip()[:1] == b"{"


def load_recipients(data: bytes) -> list[object]:
    """The recipients of a ``-R`` file: one public-key file, or one-line recipients (# comments)."""
    if _looks_like_key_file(data):
        return [velora.load_public_key(data)]
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        raise ValueError("neither a public-key file nor a text list of recipients") from None
    out: list[object] = []
    for number, line in enumerate(text.splitlines(), 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        try:
            out.append(parse_recipient(line))
        except ValueError as exc:
            raise ValueError(f"line {number}: {exc}") from None
    if not out:
        raise ValueError("no recipient in the file")
    return out


def _age_identities(text: str) -> list[object]:
    try:
        return list(_age.parse_identities(text))
    except velora.VeloraError as exc:
        raise ValueError(f"malformed age identity: {exc}") from None


_PUBLIC_KEY_STARTS: Final = (b"-----BEGIN PUBLIC KEY-----", b"-----BEGIN ML-KEM PUBLIC KEY-----", b'{"algorithm"',
                              *(prefix.encode("ascii") for prefix, _ in RECIPIENT_FORMS))


def _holds_public_key(data: bytes) -> bool:
    """Whether a key file's first non-comment line is a public key's (a likely mix-up of -i and -R)."""
    for line in data.splitlines():
        line = line.strip()
        if line and not line.startswith(b"#"):
            return line.startswith(_PUBLIC_KEY_STARTS)
    return False


def load_identities(data: bytes, passphrase: PassphraseSource, name: str) -> list[object]:
    """The identities of a ``-i`` file; asks ``passphrase`` when the key is encrypted.

    A velora key file (PKCS#8 and the older forms), an age identity file (one
    identity per line, ``#`` comments, X25519 and post-quantum mixed), or an
    age file encrypted with a passphrase that holds such an identity file.
    """
    if _holds_public_key(data):
        raise ValueError(f"identity file {name!r} holds a public key (a recipient, for -r or -R), not a private key")
    if _age.is_age_file(data[:64]):
        identity = _age.ScryptIdentity(passphrase(f"Enter passphrase for identity file {name!r}: "))
        return _age_identities(_age.decrypt(data, [identity]).decode("utf-8"))
    if b"AGE-SECRET-KEY-" in data.upper():
        return _age_identities(data.decode("utf-8"))
    if velora.is_encrypted_private_key(data):
        return [velora.load_private_key(data, password=passphrase(f"Enter passphrase for identity file {name!r}: "))]
    return [velora.load_private_key(data)]


def public_of(identity: object) -> object:
    """The recipient of an identity (``velora pubkey``)."""
    if isinstance(identity, PrivateKey):
        return identity.public_key()
    if isinstance(identity, (_age.X25519Identity, _age.HybridIdentity)):
        return identity.recipient()
    raise TypeError(f"no public key for {type(identity).__name__}")


def recipient_line(recipient: object) -> str:
    """The one-line form of a recipient, as ``velora pubkey`` prints it."""
    if isinstance(recipient, PublicKey):
        return recipient_text(recipient)
    if isinstance(recipient, (_age.X25519Recipient, _age.HybridRecipient)):
        return str(recipient)
    raise TypeError(f"no text form for {type(recipient).__name__}")


def recipient_pem(recipient: object) -> str:
    """A recipient as a public-key file (``velora pubkey --pem``)."""
    if isinstance(recipient, PublicKey):
        return recipient.to_pem()
    if isinstance(recipient, _age.HybridRecipient):
        return recipient.public_key().to_pem()  # the X-Wing SubjectPublicKeyInfo
    raise TypeError(f"no key file form for {type(recipient).__name__}")


class NewKey:
    """A generated identity: the key file's text and the recipient line to show."""

    def __init__(self, key_file: str, recipient: str) -> None:
        self.key_file, self.recipient = key_file, recipient


def _generate_mlkem(level: int, password: bytes | None) -> NewKey:
    key = PrivateKey.generate(level)
    return NewKey(key.to_pem(password=password), recipient_text(key.public_key()))


def _age_key_file(identity: _age.X25519Identity | _age.HybridIdentity, password: bytes | None) -> NewKey:
    """An identity file as age-keygen writes it; with a passphrase, armoured inside an age file
    encrypted to it (what ``age -d -i`` and ``velora decrypt -i`` accept)."""
    import datetime

    recipient = str(identity.recipient())
    created = datetime.datetime.now(datetime.timezone.utc).astimezone().replace(microsecond=0).isoformat()
    text = f"# created: {created}\n# public key: {recipient}\n{identity}\n"
    if password is not None:
        text = _age.encrypt(text.encode("utf-8"), [_age.ScryptRecipient(password)], armor=True).decode("ascii")
    return NewKey(text, recipient)


def _generate_age(level: int, password: bytes | None) -> NewKey:
    return _age_key_file(_age.X25519Identity.generate(), password)


def _generate_age_pq(level: int, password: bytes | None) -> NewKey:
    return _age_key_file(_age.HybridIdentity.generate(), password)


#: ``velora keygen --type NAME``: name -> generator(level, passphrase or None).
#: age and age-pq ignore the level (X25519; ML-KEM-768 + X25519).
KEY_KINDS: dict[str, Callable[[int, bytes | None], NewKey]] = {
    "mlkem": _generate_mlkem,
    "age": _generate_age,
    "age-pq": _generate_age_pq,
}
