"""The `velora` command line: keygen, pubkey, encrypt, decrypt, rewrap, inspect, sign, verify.

Conventions follow age where they fit: input and output default to standard
input and output, ``-`` names them explicitly, binary output to a terminal is
refused (``-o -`` forces it), ``-a`` writes ASCII armour and decryption
detects it, passphrases are asked on the terminal (or read with
``--passphrase-file`` in scripts), never taken on the command line. Every
error ends the program with one line on standard error and exit status 1
(2 for a usage error); no traceback. When the reader of standard output goes
away (``velora decrypt ... | head -c 10``) the program ends quietly with
status 141, as age and other tools killed by SIGPIPE do.

``-o FILE`` replaces an existing FILE (keygen excepted: it never overwrites a
key), and only once the output is complete: on an error FILE is left as it
was. Key and recipient files are read up to a size (`IDENTITY_FILE_LIMIT`,
`RECIPIENTS_FILE_LIMIT`); a larger input is refused before it is parsed.
"""

from __future__ import annotations

import argparse
import os
import sys

# Only what `velora --version` and argument errors need is imported at start;
# each command imports its own parts (keys, formats, files) when it runs.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Sequence
    from typing import Any, BinaryIO, NoReturn

    from tqdm import tqdm

#: ``velora keygen --type``: the kinds of key `recipients.KEY_KINDS` generates (xwing without -t), then
#: the ML-DSA signing keys of `signing.MLDSA_TYPES`.
KEY_TYPES = ("xwing", "mlkem512", "mlkem768", "mlkem1024", "mlkem", "age", "age-pq", "mldsa44", "mldsa65", "mldsa87")

EXIT_ERROR = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
#: 128 + SIGPIPE: the status of a program killed by a closed pipe (age's, in a shell).
EXIT_BROKEN_PIPE = 141

#: The most an identity file (-i, pubkey) may hold: 1 MiB, many identities.
IDENTITY_FILE_LIMIT = 1024 * 1024
#: The most a recipients file (-R) may hold: 16 MiB, thousands of one-line recipients.
RECIPIENTS_FILE_LIMIT = 16 * 1024 * 1024
#: The most a passphrase file is read.
PASSPHRASE_FILE_LIMIT = 64 * 1024

#: The examples at the end of each --help ("velora" is the top level).
EXAMPLES = {
    "velora": """\
examples:
  velora keygen -o key.pem                       # prints the public key: xwingpub1...
  velora encrypt -r xwingpub1... -o notes.vlr notes.txt
  velora decrypt -i key.pem -o notes.txt notes.vlr
  velora inspect notes.vlr

Each command has its own help: velora COMMAND --help.""",
    "keygen": """\
examples:
  velora keygen -o key.pem                       # X-Wing (ML-KEM-768 + X25519), PKCS#8 PEM (mode 0600)
  velora keygen -t mlkem1024 -p -o locked.pem    # ML-KEM-1024, encrypted PKCS#8, passphrase asked twice
  velora keygen -t age-pq -o key.txt             # an age post-quantum identity (recipient age1pq1...)
  velora keygen -q > key.pem                     # to standard output, no note

-o never replaces an existing file.""",
    "pubkey": """\
examples:
  velora pubkey key.pem                          # the one-line recipient, for -r
  velora pubkey --pem -o key.pub.pem key.pem     # an SPKI public-key file, for -R
  velora pubkey key.txt                          # an age identity file: its age1... line""",
    "encrypt": """\
examples:
  velora encrypt -r mlkem768pub1... -o report.vlr report.pdf
  velora encrypt -R alice.pub.pem -a < notes.txt > notes.txt.vlr
  velora encrypt -r age1... -r age1... -o notes.age notes.txt   # an age file for two recipients
  velora encrypt -p -o secret.age secret.txt                    # to a passphrase (age, scrypt)
  velora encrypt --chunk-size 65536 -r mlkem768pub1... -o small.vlr small.bin

-o replaces an existing file, only once the encrypted file is complete.
--chunk-size: bytes per chunk of a velora file, 32 to 4194304 (default
1048576); age files have fixed 64 KiB chunks.""",
    "decrypt": """\
examples:
  velora decrypt -i key.pem -o report.pdf report.vlr
  velora decrypt -i key.pem report.vlr | head -c 100     # quiet when the pipe closes (status 141)
  velora decrypt -i locked.pem --passphrase-file /dev/fd/3 report.vlr 3< pass.txt
  velora decrypt -p -o secret.txt secret.age              # a file encrypted to a passphrase

-o replaces an existing file, only once the whole input has authenticated.""",
    "inspect": """\
examples:
  velora inspect report.vlr
  velora inspect --json notes.age""",
    "rewrap": """\
examples:
  velora rewrap -i key.pem -r mlkem768pub1... report.vlr           # a colleague joins
  velora rewrap -i key.pem --remove old.pub report.vlr             # a key is retired
  velora rewrap -p secret.vlr                                      # a new passphrase

FILE is replaced atomically (or -o OUTPUT written); the payload is copied unchanged.""",
    "sign": """\
examples:
  velora sign -k signer.pem report.pdf                  # writes report.pdf.vsig
  velora sign -k signer.pem -o - report.pdf > sig.vsig""",
    "verify": """\
examples:
  velora verify -p signer.pem.pub report.pdf            # reads report.pdf.vsig
  velora verify -p signer.pem.pub -s sig.vsig report.pdf""",
}


class Failure(Exception):
    """An error the command line reports as one line (no traceback)."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:  # one line, not usage + message
        self.exit(EXIT_USAGE, f"velora: error: {message} (see '{self.prog} --help')\n")


class _Formatter(argparse.HelpFormatter):
    """Wraps the text as argparse does, but keeps the lines of an indented example block as they are."""

    def _fill_text(self, text: str, width: int, indent: str) -> str:
        out = []
        for part in text.split("\n\n"):
            if "\n  " in part or part.startswith("  "):
                out.append("\n".join(indent + line for line in part.splitlines()))
            else:
                out.append(super()._fill_text(part, width, indent))
        return "\n\n".join(out)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="velora", description="Post-quantum file encryption with ML-KEM and AES-256-GCM.",
                     epilog=EXAMPLES["velora"], formatter_class=_Formatter)
    from .._version import __version__

    parser.add_argument("--version", action="version", version=f"velora {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True

    def quiet(p: argparse.ArgumentParser) -> None:
        p.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no notes on standard error")

    def positive(text: str) -> int:
        value = int(text)
        if value < 1:
            raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
        return value

    def threads(p: argparse.ArgumentParser) -> None:
        p.add_argument("--threads", type=positive, metavar="N",
                       help="threads sharing the chunks of a regular file (default: the usable CPUs)")

    def passphrase_file(p: argparse.ArgumentParser) -> None:
        p.add_argument("--passphrase-file", metavar="PATH",
                       help="read the passphrase from the first line of PATH (e.g. /dev/fd/3) instead of asking")

    p = sub.add_parser("keygen", help="generate a private key (PKCS#8) and print its public key",
                       description="Generate a key pair: by default X-Wing (ML-KEM-768 + X25519, hybrid). The "
                                   "private key is written as PKCS#8 PEM after a '# public key: ...' comment "
                                   "line; its recipient is also printed on standard error. -t mlkem512 / "
                                   "mlkem768 / mlkem1024 make a pure ML-KEM key (encrypted PKCS#8 with "
                                   "--passphrase). --type age / age-pq write an age identity file (X25519 / "
                                   "post-quantum ML-KEM-768 + X25519), as age-keygen does. With --passphrase, "
                                   "X-Wing and age keys are written inside an age file encrypted to it. -t mldsa44 / "
                                   "mldsa65 / mldsa87 make an ML-DSA signing key (PKCS#8), its public key "
                                   "written to PATH.pub with -o, else to standard error.")
    p.add_argument("-l", "--level", type=int, choices=(512, 768, 1024),
                   help="ML-KEM level of -t mlkem; alone, the same as -t mlkemLEVEL")
    p.add_argument("-t", "--type", choices=KEY_TYPES,
                   help="kind of key: xwing, mlkem512, mlkem768, mlkem1024, age or age-pq (xwing); mldsa44, "
                        "mldsa65 or mldsa87 for a signing key")
    p.add_argument("-o", "--output", metavar="PATH", help="write the private key to PATH (never overwritten)")
    p.add_argument("-p", "--passphrase", action="store_true", help="encrypt the private key under a passphrase")
    passphrase_file(p)
    quiet(p)

    p = sub.add_parser("pubkey", help="print the public key of a private key file",
                       description="Print the recipient of a private key file, as one line or (--pem) as an "
                                   "SPKI public-key file.")
    p.add_argument("input", nargs="?", default="-", metavar="KEYFILE", help="private key file (standard input)")
    p.add_argument("-o", "--output", metavar="PATH",
                   help="write to PATH instead of standard output (an existing file is replaced)")
    p.add_argument("--pem", action="store_true", help="SPKI PEM public-key file instead of the one-line form")
    passphrase_file(p)

    p = sub.add_parser("encrypt", help="encrypt a file to recipients",
                       description="Encrypt INPUT (standard input) to OUTPUT (standard output).")
    p.add_argument("input", nargs="?", default="-", metavar="INPUT")
    p.add_argument("-r", "--recipient", action="append", default=[], metavar="RECIPIENT",
                   help="one-line recipient: xwingpub1..., mlkem768pub1... (also 512, 1024), age1... or "
                        "age1pq1... (repeatable)")
    p.add_argument("-R", "--recipients-file", action="append", default=[], metavar="PATH",
                   help="public-key file (SPKI PEM/DER or ML-KEM armour) or a list of one-line recipients")
    p.add_argument("-p", "--passphrase", action="store_true",
                   help="encrypt to a passphrase instead (scrypt); alone, without -r/-R")
    p.add_argument("--format", choices=("velora", "age"), default=None,
                   help="file format (default: velora, or age for age1... recipients); with -p, age writes an "
                        "age passphrase file")
    p.add_argument("-a", "--armor", action="store_true", help="ASCII armour (strict PEM)")
    p.add_argument("-o", "--output", metavar="OUTPUT",
                   help="output file, replaced if it exists, once complete ('-' forces standard output)")
    p.add_argument("--chunk-size", type=int, metavar="BYTES",
                   help="bytes per chunk of a velora file: 32 to 4194304 (1048576); not for age files")
    threads(p)
    p.add_argument("--sign", metavar="KEYFILE",
                   help="sign the file with this ML-DSA private key (velora files only; readers check it with "
                        "decrypt --verify)")
    passphrase_file(p)
    quiet(p)

    p = sub.add_parser("decrypt", help="decrypt a file with an identity",
                       description="Decrypt INPUT (standard input) to OUTPUT (standard output). ASCII armour "
                                   "is detected. An OUTPUT file appears only once the whole file has "
                                   "authenticated; standard output receives each chunk once it has.")
    p.add_argument("input", nargs="?", default="-", metavar="INPUT")
    p.add_argument("-i", "--identity", action="append", default=[], metavar="PATH",
                   help="private key file or age identity file (repeatable)")
    p.add_argument("-p", "--passphrase", action="store_true",
                   help="the file is encrypted to a passphrase: ask for it (also done without -p when the "
                        "file is a passphrase file)")
    p.add_argument("-o", "--output", metavar="OUTPUT",
                   help="output file, replaced if it exists, once all has authenticated ('-' for standard output)")
    threads(p)
    p.add_argument("--verify", action="append", default=[], metavar="PUBKEY",
                   help="require the file to be signed by this ML-DSA public key, or by one of the keys of a file "
                        "of trusted senders (repeatable); the output is completed only once the signature verifies")
    passphrase_file(p)
    quiet(p)

    p = sub.add_parser("sign", help="write a detached ML-DSA signature of a file (FILE.vsig)",
                       description="Sign FILE with an ML-DSA private key: the signature goes to FILE.vsig (or -o). "
                                   "Any file may be signed; velora verify checks it.")
    p.add_argument("input", metavar="FILE")
    p.add_argument("-k", "--key", required=True, metavar="KEYFILE", help="ML-DSA private key (PKCS#8 PEM)")
    p.add_argument("-o", "--output", metavar="SIGFILE", help="signature file (FILE.vsig; '-' for standard output)")
    quiet(p)

    p = sub.add_parser("verify", help="check a detached signature of a file",
                       description="Check that SIGFILE (FILE.vsig) is a signature of FILE by a trusted key. Exit "
                                   "status 0 only when it verifies.")
    p.add_argument("input", metavar="FILE")
    p.add_argument("-p", "--pubkey", action="append", required=True, metavar="PUBKEY",
                   help="a trusted ML-DSA public key, or a file of trusted senders (repeatable)")
    p.add_argument("-s", "--signature", metavar="SIGFILE", help="the signature file (FILE.vsig)")
    quiet(p)

    p = sub.add_parser("rewrap", help="change the recipients of a velora file without re-encrypting it",
                       description="Write a new header for FILE (a velora file, version 2, or a binary age "
                                   "file) for the same file key: add recipients (-r/-R), remove some "
                                   "(--remove; velora files only, as age's stanzas do not name their "
                                   "recipients), or change the passphrase of a passphrase file (-p). The payload bytes are copied "
                                   "unchanged and FILE is replaced atomically (or OUTPUT written).")
    p.add_argument("input", metavar="FILE")
    p.add_argument("-i", "--identity", action="append", default=[], metavar="PATH",
                   help="private key file that opens FILE (repeatable); a passphrase file asks instead")
    p.add_argument("-r", "--recipient", action="append", default=[], metavar="RECIPIENT",
                   help="one-line recipient to add (repeatable)")
    p.add_argument("-R", "--recipients-file", action="append", default=[], metavar="PATH",
                   help="public-key file or list of one-line recipients to add (repeatable)")
    p.add_argument("--remove", action="append", default=[], metavar="RECIPIENT",
                   help="one-line recipient, or public-key file, to remove (repeatable)")
    p.add_argument("-p", "--passphrase", action="store_true",
                   help="a passphrase file: replace its passphrase with a new one (asked twice)")
    p.add_argument("-o", "--output", metavar="OUTPUT", help="write the result to OUTPUT instead of replacing FILE")
    passphrase_file(p)
    quiet(p)

    p = sub.add_parser("inspect", help="tell what an encrypted file is, without a key",
                       description="Print the format, level and sizes of INPUT. Nothing is authenticated: "
                                   "only decryption proves a file whole.")
    p.add_argument("input", nargs="?", default="-", metavar="INPUT")
    p.add_argument("--json", action="store_true", help="one JSON object")

    for name, command in sub.choices.items():
        command.formatter_class = _Formatter
        if name in EXAMPLES:
            command.epilog = EXAMPLES[name]
    return parser


# ---- input, output, passphrases ------------------------------------------------


def _stdin() -> BinaryIO:
    return open(sys.stdin.fileno(), "rb", buffering=0, closefd=False)


def _stdout() -> BinaryIO:
    return open(sys.stdout.fileno(), "wb", buffering=0, closefd=False)


def _read_file(path: str, what: str, limit: int) -> bytes:
    """The contents of ``path`` (``-``: standard input), refused unread past ``limit`` bytes."""
    try:
        if path == "-":
            data = _stdin().read(limit + 1)
        else:
            with open(path, "rb") as f:
                data = f.read(limit + 1)
    except OSError as exc:
        raise Failure(f"cannot read {what} {path!r}: {exc.strerror or exc}") from None
    if len(data) > limit:
        raise Failure(f"{what} {path!r} is larger than {limit} bytes: not a {what}")
    return data


def _open_input(path: str) -> BinaryIO:
    if path == "-":
        return _stdin()
    try:
        return open(path, "rb", buffering=0)
    except OSError as exc:
        raise Failure(f"cannot open {path!r}: {exc.strerror or exc}") from None


class Passphrases:
    """Asks on the terminal, or reads ``--passphrase-file`` (first line, once)."""

    def __init__(self, path: str | None) -> None:
        self._path = path

    def _from_file(self) -> bytes:
        assert self._path is not None
        data = _read_file(self._path, "passphrase file", PASSPHRASE_FILE_LIMIT)
        line = data.split(b"\n", 1)[0]
        if line.endswith(b"\r"):
            line = line[:-1]
        if not line:
            raise Failure(f"the passphrase file {self._path!r} starts with an empty line")
        return line

    def ask(self, prompt: str) -> bytes:
        if self._path is not None:
            return self._from_file()
        return _getpass(prompt).encode("utf-8")

    def new(self) -> bytes:
        """A new passphrase, asked twice on a terminal."""
        if self._path is not None:
            return self._from_file()
        first = _getpass("Enter passphrase: ")
        if not first:
            raise Failure("empty passphrase")
        if _getpass("Confirm passphrase: ") != first:
            raise Failure("the passphrases do not match")
        return first.encode("utf-8")


def _getpass(prompt: str) -> str:
    # getpass falls back to standard input without a terminal, which here may
    # be the data: refuse instead.
    try:
        fd = os.open("/dev/tty", os.O_RDWR | os.O_NOCTTY)
    except OSError:
        raise Failure("a passphrase is needed but there is no terminal to ask on; use --passphrase-file") from None
    os.close(fd)
    import getpass

    try:
        return getpass.getpass(prompt)
    except EOFError:
        raise Failure("no passphrase given") from None


class _Progress:
    """A tqdm bar on standard error, only when it is a terminal and the size is known."""

    def __init__(self, enabled: bool, desc: str) -> None:
        self._enabled = enabled and _stderr_is_terminal()
        self._desc = desc
        self._bar: tqdm[Any] | None = None
        self._done = 0

    def __call__(self, done: int, total: int | None) -> None:
        if not self._enabled or total is None:
            return
        if self._bar is None:
            from tqdm import tqdm

            columns, rows = _terminal_size()

            self._bar = tqdm(total=total, desc=self._desc, unit="B", unit_scale=True, unit_divisor=1024,
                             file=sys.stderr, leave=False, ncols=columns, nrows=rows)
        self._bar.update(done - self._done)
        self._done = done

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


def _terminal_size() -> tuple[int, int]:
    # A terminal that reports no size (0 x 0, as a bare pseudo-terminal does)
    # would get no bar at all from tqdm: assume 80 x 24 then.
    try:
        size = os.get_terminal_size(sys.stderr.fileno())
    except (AttributeError, OSError, ValueError):
        return 80, 24
    return size.columns or 80, size.lines or 24


def _stderr_is_terminal() -> bool:
    try:
        return os.isatty(sys.stderr.fileno())
    except (AttributeError, OSError, ValueError):
        return False


def _note(args: argparse.Namespace, text: str) -> None:
    if not getattr(args, "quiet", False):
        print(text, file=sys.stderr)


# ---- commands ------------------------------------------------------------------


def _key_kind(args: argparse.Namespace) -> tuple[str, int]:
    """(``-t`` kind, ML-KEM level): ``-l`` alone means ML-KEM at that level; with another kind it is refused."""
    from .recipients import DEFAULT_KEY_KIND

    if args.level is None:
        return args.type or DEFAULT_KEY_KIND, 768
    if args.type in (None, "mlkem"):
        return "mlkem", args.level
    if args.type == f"mlkem{args.level}":
        return args.type, args.level
    raise Failure(f"-l {args.level} applies to ML-KEM keys: not to -t {args.type}")


def cmd_keygen(args: argparse.Namespace) -> int:
    from .recipients import KEY_KINDS
    from .signing import MLDSA_TYPES

    if args.type in MLDSA_TYPES:
        return _keygen_mldsa(args)
    kind, level = _key_kind(args)
    password = Passphrases(args.passphrase_file).new() if args.passphrase or args.passphrase_file else None
    key = KEY_KINDS[kind](level, password)
    data = key.key_file.encode("ascii")
    if args.output is None or args.output == "-":
        _stdout().write(data)
    else:
        try:
            fd = os.open(args.output, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
        except FileExistsError:
            raise Failure(f"{args.output!r} already exists; not overwriting a key file") from None
        except OSError as exc:
            raise Failure(f"cannot create {args.output!r}: {exc.strerror or exc}") from None
        with open(fd, "wb") as f:
            f.write(data)
    _note(args, f"Public key: {key.recipient}")
    return 0


def _create_key_file(path: str, data: bytes, mode: int) -> None:
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, mode)
    except FileExistsError:
        raise Failure(f"{path!r} already exists; not overwriting a key file") from None
    except OSError as exc:
        raise Failure(f"cannot create {path!r}: {exc.strerror or exc}") from None
    with open(fd, "wb") as f:
        f.write(data)


def _keygen_mldsa(args: argparse.Namespace) -> int:
    from .signing import generate

    if args.level is not None:
        raise Failure(f"-l {args.level} applies to ML-KEM keys: not to -t {args.type}")
    if args.passphrase or args.passphrase_file:
        raise Failure("an ML-DSA signing key is written as plain PKCS#8: --passphrase is not available for it")
    private, public = generate(args.type)
    if args.output is None or args.output == "-":
        _stdout().write(private.encode("ascii"))
        print(public, file=sys.stderr, end="")
        return 0
    _create_key_file(args.output + ".pub", public.encode("ascii"), 0o644)
    _create_key_file(args.output, private.encode("ascii"), 0o600)
    _note(args, f"Public key written to {args.output + '.pub'}")
    return 0


def _signer(path: str | None) -> Any:
    if path is None:
        return None
    from .signing import SigningFailure, load_signer

    try:
        return load_signer(_read_file(path, "signing key", IDENTITY_FILE_LIMIT), path)
    except SigningFailure as exc:
        raise Failure(str(exc)) from None


def _trusted(paths: Sequence[str]) -> Any:
    if not paths:
        return None
    from .signing import SigningFailure, trusted_from

    try:
        return trusted_from(paths, lambda path, what: _read_file(path, what, RECIPIENTS_FILE_LIMIT))
    except SigningFailure as exc:
        raise Failure(str(exc)) from None


def cmd_sign(args: argparse.Namespace) -> int:
    from .. import detached

    key = _signer(args.key)
    with _open_input(args.input) as f:
        text = detached.sign(f, key)
    output = args.output
    if output is None:
        if args.input == "-":
            raise Failure("standard input is signed to standard output only: give -o -")
        from .signing import SIGNATURE_SUFFIX

        output = args.input + SIGNATURE_SUFFIX
    _write_small(output, text.encode("ascii"))
    return 0


def cmd_verify(args: argparse.Namespace) -> int:
    from .. import detached
    from .signing import SIGNATURE_SUFFIX, describe

    trusted = _trusted(args.pubkey)
    sigpath = args.signature or args.input + SIGNATURE_SUFFIX
    text = _read_file(sigpath, "signature file", IDENTITY_FILE_LIMIT)
    with _open_input(args.input) as f:
        signer = detached.verify(f, text, trusted)
    _note(args, f"Signature verified: {describe(signer)}")
    return 0


def _identities(paths: Sequence[str], passphrases: Passphrases) -> list[object]:
    from .recipients import load_identities

    out: list[object] = []
    for path in paths:
        data = _read_file(path, "identity file", IDENTITY_FILE_LIMIT)
        try:
            out.extend(load_identities(data, passphrases.ask, path))
        except Failure:
            raise
        except Exception as exc:
            xwing = _xwing_key_file(data, public=False)
            if xwing is not None:
                out.append(xwing)
                continue
            from .. import VeloraError

            # A parser's detail ("trailing data after the structure") says nothing about a file
            # that is no key at all; the command line's own messages (ValueError) are kept.
            if isinstance(exc, VeloraError) and not _looks_like_key(data):
                raise Failure(f"identity file {path!r} is not a key file: expected a private key (PKCS#8 PEM or DER, an "
                              "encrypted key) or a file of identities (XWING-SECRET-KEY-1..., AGE-SECRET-KEY-1...)"
                              ) from None
            raise Failure(f"identity file {path!r}: {_message(exc)}") from None
    return out


#: How every key or identity file the command line reads starts, or what it holds near its start.
_KEY_STARTS = (b"\x30", b"VLPK", b"{", b"AGE-ENCRYPTION.ORG/")
_KEY_MARKS = (b"-----BEGIN ", b"SECRET-KEY-")  # PEM; AGE-, XWING-, MLKEM768-SECRET-KEY-1... lines


def _looks_like_key(data: bytes) -> bool:
    """Whether ``data`` could be a key file at all: DER (a SEQUENCE), the VLPK blob, JSON, an
    age file, PEM or an age identity. Anything else gets "not a key file", not a parser's detail."""
    head = data.lstrip()[:4096].upper()
    return data.startswith(_KEY_STARTS) or head.startswith(_KEY_STARTS) or any(m in head for m in _KEY_MARKS)


def _xwing_key_file(data: bytes, public: bool) -> object | None:
    """An X-Wing key in its X.509 PEM (SubjectPublicKeyInfo, or PKCS#8 for a private key), or None."""
    from ..xwing import XWingPrivateKey, XWingPublicKey

    try:
        return XWingPublicKey.from_pem(data) if public else XWingPrivateKey.from_pem(data)
    except Exception:
        return None


def cmd_pubkey(args: argparse.Namespace) -> int:
    from .recipients import public_of, recipient_line, recipient_pem

    lines = []
    for identity in _identities([args.input], Passphrases(args.passphrase_file)):
        recipient = public_of(identity)
        lines.append(recipient_pem(recipient) if args.pem else recipient_line(recipient) + "\n")
    _write_small(args.output, "".join(lines).encode("ascii"))
    return 0


def _write_small(path: str | None, data: bytes) -> None:
    if path is None or path == "-":
        _stdout().write(data)
        return
    from ..files.output import open_output

    try:
        out = open_output(path)
        out.write(data)
        out.commit()
    except OSError as exc:
        raise Failure(f"cannot write {path!r}: {exc.strerror or exc}") from None


def _recipients(args: argparse.Namespace) -> list[object]:
    from .recipients import LEGACY_WARNING, RecipientReader, for_writing

    if getattr(args, "passphrase", False):
        if args.recipient or args.recipients_file:
            raise Failure("-p encrypts to a passphrase alone: give no -r or -R with it")
        secret = Passphrases(args.passphrase_file).new()
        if getattr(args, "format", None) == "age":
            from ..age import ScryptRecipient

            return [ScryptRecipient(secret)]
        from ..files import Passphrase

        return [Passphrase(secret)]
    reader = RecipientReader()
    out: list[object] = []
    for text in args.recipient:
        try:
            out.append(reader.parse(text))
        except Exception as exc:
            raise Failure(f"-r: {_message(exc)}") from None
    for path in args.recipients_file:
        data = _read_file(path, "recipients file", RECIPIENTS_FILE_LIMIT)
        try:
            out.extend(reader.load(data))
        except Exception as exc:
            xwing = _xwing_key_file(data, public=True)
            if xwing is None:
                raise Failure(f"recipients file {path!r}: {_message(exc)}") from None
            out.append(xwing)
    if not out:
        raise Failure("no recipient: give -r RECIPIENT or -R PATH")
    if reader.legacy:
        print(LEGACY_WARNING, file=sys.stderr)
    return for_writing(out)


def _check_stdin_free(args: argparse.Namespace, *option_lists: Sequence[str]) -> None:
    if args.input == "-" and any("-" in options for options in option_lists):
        raise Failure("standard input is already used for keys: give INPUT as a file")


def _destination(args: argparse.Namespace, binary: bool) -> str | BinaryIO:
    if args.output is None:
        if binary and os.isatty(sys.stdout.fileno()):
            raise Failure("refusing to write binary output to a terminal: use -a, -o FILE, or -o - to force")
        return _stdout()
    if args.output == "-":
        return _stdout()
    return str(args.output)


def cmd_encrypt(args: argparse.Namespace) -> int:
    from ..files import encrypt_file
    from ..types import as_recipients
    from ..files.allocator import keep_freed_buffers

    keep_freed_buffers()

    _check_stdin_free(args, args.recipients_file, [args.sign or ""])
    signer = _signer(args.sign)
    recipients = _recipients(args)
    _check_format(args, recipients)
    destination = _destination(args, binary=not args.armor)
    source = _open_input(args.input)
    progress = _Progress(not args.quiet, "encrypting")
    try:
        encrypt_file(source, destination, as_recipients(recipients), armor=args.armor, chunk_size=args.chunk_size,
                     progress=progress, threads=args.threads, sign=signer)
    finally:
        progress.close()
    return 0


def _check_format(args: argparse.Namespace, recipients: Sequence[object]) -> None:
    """--format against the format the recipients choose; a mix of formats in one clear line."""
    from ..files.formats import for_recipients

    fmt = for_recipients(recipients)  # RecipientError: one line, no class names
    if args.format is not None and fmt.name != args.format:
        raise Failure(f"--format {args.format}: these recipients make a {fmt.name} file")


class _Asked:
    """A passphrase asked at most once, for whichever format's passphrase entry needs it."""

    def __init__(self, passphrases: Passphrases) -> None:
        self._passphrases = passphrases
        self.value: bytes | None = None

    def __call__(self) -> bytes:
        if self.value is None:
            self.value = self._passphrases.ask("Enter passphrase: ")
        return self.value


def _passphrase_identities(asked: _Asked) -> list[object]:
    """Identities that ask for the passphrase only when the file is encrypted to one (velora or age)."""
    from ..age import ScryptPrompt
    from ..files import Passphrase

    return [Passphrase(ask=asked), ScryptPrompt(asked)]


def cmd_decrypt(args: argparse.Namespace) -> int:
    from .. import VeloraError
    from ..files import decrypt_file
    from ..types import as_identities
    from ..files.allocator import keep_freed_buffers

    keep_freed_buffers()

    _check_stdin_free(args, args.identity, args.verify)
    from .recipients import for_reading

    trusted = _trusted(args.verify)
    passphrases = Passphrases(args.passphrase_file)
    identities = for_reading(_identities(args.identity, passphrases))
    asked = _Asked(passphrases)
    identities.extend(_passphrase_identities(asked))
    destination = _destination(args, binary=False)
    source = _open_input(args.input)
    progress = _Progress(not args.quiet, "decrypting")
    try:
        decrypt_file(source, destination, as_identities(identities), progress=progress, threads=args.threads,
                     verify=trusted)
    except VeloraError as exc:
        _explain_no_match(args, asked, exc)
        raise
    finally:
        progress.close()
    return 0


def _explain_no_match(args: argparse.Namespace, asked: _Asked, exc: BaseException) -> None:
    """The no-match errors as age words them: a wrong passphrase, or no identity given at all."""
    from ..errors import AgeNoIdentityMatchError, NoIdentityMatchError

    if not isinstance(exc, (AgeNoIdentityMatchError, NoIdentityMatchError)) and "no velora private key" not in str(exc):
        return
    if asked.value is not None:
        raise Failure("incorrect passphrase") from None
    if not args.identity:
        raise Failure("no identity: give -i PATH (the file is not encrypted to a passphrase)") from None


def _recipient_or_file(text: str) -> list[object]:
    """A --remove argument: a one-line recipient, or a public-key file."""
    from .recipients import RecipientReader

    reader = RecipientReader()
    if os.path.exists(text):
        data = _read_file(text, "recipients file", RECIPIENTS_FILE_LIMIT)
        try:
            return reader.load(data)
        except Exception:
            xwing = _xwing_key_file(data, public=True)
            if xwing is None:
                raise
            return [xwing]
    return [reader.parse(text)]


def cmd_rewrap(args: argparse.Namespace) -> int:
    from ..files import Passphrase, rewrap

    passphrases = Passphrases(args.passphrase_file)
    identities = _identities(args.identity, passphrases)
    asked = _Asked(passphrases)
    identities.extend(_passphrase_identities(asked))
    add: list[object] = []
    remove: list[object] = []
    if args.recipient or args.recipients_file:
        add.extend(_recipients(argparse.Namespace(passphrase=False, recipient=args.recipient,
                                                  recipients_file=args.recipients_file,
                                                  passphrase_file=args.passphrase_file)))
    for text in args.remove:
        try:
            remove.extend(_recipient_or_file(text))
        except Failure:
            raise
        except Exception as exc:
            raise Failure(f"--remove: {_message(exc)}") from None
    if args.passphrase:
        remove.append(Passphrase(b"-"))  # the file's passphrase entry, whatever its passphrase
        add.append(Passphrase(passphrases.new() if args.passphrase_file is None else asked()))
    if not add and not remove:
        raise Failure("nothing to change: give -r/-R to add, --remove to remove, or -p for a new passphrase")
    from .. import VeloraError

    try:
        result = rewrap(args.input, identities, add=add, remove=remove, output=args.output)
    except VeloraError as exc:
        _explain_no_match(args, asked, exc)
        raise
    except OSError as exc:
        raise Failure(f"cannot rewrap {args.input!r}: {exc.strerror or exc}") from None
    _note(args, f"recipients: {result.kept} kept, {result.added} added, {result.removed} removed; "
                f"{result.payload_bytes} payload bytes copied unchanged")
    return 0


def cmd_inspect(args: argparse.Namespace) -> int:
    from ..files import inspect_file

    info = inspect_file(_open_input(args.input))
    if args.json:
        import json

        print(json.dumps(info.as_dict(), sort_keys=True))
    else:
        rows: list[tuple[str, object]] = [
            ("format", f"{info.format} v{info.version}" + (" (armoured)" if info.armored else "")),
            ("level", f"ML-KEM-{info.level}" if info.level else None),
            ("chunk size", info.chunk_size),
            ("header", _count(info.header_size, "byte") if info.header_size is not None else None),
            ("file size", _count(info.file_size, "byte") if info.file_size is not None else None),
            ("plaintext", f"{_count(info.plaintext_size, 'byte')} in {_count(info.data_chunks or 0, 'chunk')}"
             if info.plaintext_size is not None else None),
            ("structure", "complete (not authenticated without the key)" if info.complete
             else f"incomplete: {info.problem}"),
        ]
        rows.extend((str(k), v) for k, v in info.details.items())
        for name, value in rows:
            if value is not None:
                print(f"{name + ':':<12} {value}")
    if not info.complete:
        raise Failure(f"damaged file: {info.problem}")
    return 0


COMMANDS: dict[str, Callable[[argparse.Namespace], int]] = {
    "keygen": cmd_keygen,
    "pubkey": cmd_pubkey,
    "encrypt": cmd_encrypt,
    "decrypt": cmd_decrypt,
    "inspect": cmd_inspect,
    "rewrap": cmd_rewrap,
    "sign": cmd_sign,
    "verify": cmd_verify,
}


def _count(n: int, noun: str) -> str:
    """"1 chunk", "2 chunks", "0 bytes"."""
    return f"{n} {noun}" if n == 1 else f"{n} {noun}s"


def _message(exc: BaseException) -> str:
    text = str(exc) or type(exc).__name__
    if isinstance(exc, OSError) and exc.strerror:
        text = f"{exc.strerror}: {exc.filename!r}" if exc.filename else exc.strerror
    return " ".join(text.split())  # one line


def _quiet_stdout() -> None:
    """Points standard output at /dev/null, so that nothing more (the interpreter's final flush
    included) writes to a pipe whose reader has gone."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def _broken_pipe(exc: BaseException) -> bool:
    import errno

    return isinstance(exc, BrokenPipeError) or (isinstance(exc, OSError) and exc.errno == errno.EPIPE)


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    status = _run(argv)
    if argv is None and status != 0:
        _leave_with_workers_running(status)
    return status


def _leave_with_workers_running(status: int) -> None:
    """Ends the process at once when a failed run left a file worker inside the engine.

    A failed `decrypt_file` returns without waiting for its other worker (it
    may be blocked on a slow input); an interpreter that then shuts down while
    that thread is in a native call aborts the process instead of exiting with
    ``status`` (a closed pipe gave 134, not 141)."""
    import threading

    if any(t.name.startswith("velora-file-") and t.is_alive() for t in threading.enumerate()):
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except (OSError, ValueError):
                pass
        os._exit(status)


def _run(argv: Sequence[str] | None) -> int:
    try:
        args = build_parser().parse_args(argv)
        status = COMMANDS[args.command](args)
        sys.stdout.flush()  # here, where a closed pipe is still caught, not at the interpreter's exit
        return status
    except Failure as exc:
        print(f"velora: error: {_message(exc)}", file=sys.stderr)
    except KeyboardInterrupt:
        print("velora: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except Exception as exc:  # every other error still ends in one line
        if _broken_pipe(exc):
            # The reader of standard output went away: nothing to report, as age (SIGPIPE) does.
            _quiet_stdout()
            return EXIT_BROKEN_PIPE
        from .. import VeloraError

        kind = "" if isinstance(exc, (VeloraError, OSError, ValueError)) else f"{type(exc).__name__}: "
        print(f"velora: error: {kind}{_message(exc)}", file=sys.stderr)
    return EXIT_ERROR
