"""The command line's front: closed pipes, help pages and their examples, -o and --chunk-size,
plural forms, files that are not keys, size limits. Run as a user runs it (subprocesses)."""

from __future__ import annotations

import os
import pathlib
import shlex
import shutil
import subprocess
import sys

import pytest

import velora
from velora import cli

VELORA = [sys.executable, "-m", "velora"]


def run(*args: object, input: bytes | None = None, cwd: pathlib.Path | None = None) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run([*VELORA, *map(str, args)], input=input, capture_output=True, cwd=cwd, timeout=300)


def ok(*args: object, input: bytes | None = None, cwd: pathlib.Path | None = None) -> subprocess.CompletedProcess[bytes]:
    done = run(*args, input=input, cwd=cwd)
    assert done.returncode == 0, done.stderr.decode()
    return done


def error_line(done: subprocess.CompletedProcess[bytes]) -> str:
    assert done.returncode == 1, (done.returncode, done.stderr)
    lines = done.stderr.decode().splitlines()
    assert len(lines) == 1 and lines[0].startswith("velora: error: "), lines
    return lines[0]


@pytest.fixture(scope="module")
def keyfile(tmp_path_factory: pytest.TempPathFactory) -> tuple[pathlib.Path, velora.PrivateKey]:
    key = velora.PrivateKey.generate(768)
    path = tmp_path_factory.mktemp("keys") / "key.pem"
    path.write_text(key.to_pem())
    return path, key


def _age() -> str:
    found = shutil.which("age")
    if found is None:
        message = "Debian's age is not installed (make system installs it)"
        if os.environ.get("CI") == "true":
            pytest.fail(message)
        pytest.skip(message)
    return found


def test_a_closed_pipe_ends_quietly_with_status_141_as_age_does(tmp_path, keyfile) -> None:
    path, key = keyfile
    data = os.urandom(8 << 20)  # several chunks: the reader is gone long before the end
    (tmp_path / "big.vlr").write_bytes(velora.encrypt(data, key.public_key()))
    identity = velora.age.X25519Identity.generate()
    (tmp_path / "id.txt").write_text(str(identity) + "\n")
    (tmp_path / "big.age").write_bytes(velora.encrypt(data, identity.recipient()))
    velora_cmd = " ".join(map(shlex.quote, [*VELORA, "decrypt", "-i", str(path), "big.vlr"]))
    age_cmd = f"{shlex.quote(_age())} -d -i id.txt big.age"
    for command in (velora_cmd, age_cmd):
        script = f"{command} | head -c 10 > head.out; echo ${{PIPESTATUS[0]}}"
        done = subprocess.run(["bash", "-c", script], cwd=tmp_path, capture_output=True, text=True, timeout=300)
        assert done.stdout.strip() == "141", (command, done.stdout, done.stderr)
        assert done.stderr == "", (command, done.stderr)
        assert (tmp_path / "head.out").read_bytes() == data[:10]


@pytest.mark.parametrize("command", ["inspect", "pubkey", "decrypt"])
def test_a_pipe_closed_before_any_output_gives_141_and_no_message(tmp_path, keyfile, command) -> None:
    path, key = keyfile
    (tmp_path / "f.vlr").write_bytes(velora.encrypt(b"small", key.public_key()))
    args = {"inspect": ["inspect", "f.vlr"], "pubkey": ["pubkey", str(path)],
            "decrypt": ["decrypt", "-i", str(path), "f.vlr"]}[command]
    proc = subprocess.Popen([*VELORA, *args], cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert proc.stdout is not None and proc.stderr is not None
    proc.stdout.close()  # no reader is left: the first write fails with EPIPE, deterministically
    stderr = proc.stderr.read()
    assert proc.wait(timeout=120) == 141 and stderr == b"", (proc.returncode, stderr)


def test_a_closed_pipe_on_help_and_inspect_output(tmp_path) -> None:
    for args in (["--help"], ["encrypt", "--help"]):
        command = " ".join(map(shlex.quote, [*VELORA, *args]))
        done = subprocess.run(["bash", "-c", f"{command} | head -c 1 >/dev/null; echo ${{PIPESTATUS[0]}}"],
                              capture_output=True, text=True, timeout=120)
        assert done.stderr == "" and done.stdout.strip() in ("0", "141"), done


def _examples(text: str) -> list[str]:
    lines = text.split("examples:\n", 1)[1].split("\n\n", 1)[0].splitlines()
    return [line.split("  #", 1)[0].strip() for line in lines]


def _parse_example(example: str) -> None:
    """Parses the velora part of an example line (before a pipe, without redirections)."""
    words = shlex.split(example.split("|", 1)[0])
    assert words[0] == "velora", example
    args: list[str] = []
    skip = False
    for word in words[1:]:
        if skip:
            skip = False
        elif word in ("<", ">") or word.endswith("<") and word[:-1].isdigit():
            skip = True  # a redirection and its file
        else:
            args.append(word)
    cli.build_parser().parse_args(args)  # SystemExit(2) for an option that does not exist


def test_every_help_page_ends_with_examples_that_parse() -> None:
    parser = cli.build_parser()
    sub = next(a for a in parser._actions if a.dest == "command")
    pages = {"velora": ok("--help").stdout.decode()}
    for name in sub.choices:  # type: ignore[union-attr]
        pages[name] = ok(name, "--help").stdout.decode()
    assert set(pages) >= {"velora", "keygen", "pubkey", "encrypt", "decrypt", "inspect"}
    for name, text in pages.items():
        assert "examples:\n" in text, f"velora {name} --help has no examples"
        examples = _examples(text)
        assert examples, name
        for example in examples:
            if name != "velora":
                assert example.split()[1] == name, (name, example)
            _parse_example(example)


def test_help_says_what_o_replaces_and_shows_the_chunk_size() -> None:
    encrypt = " ".join(ok("encrypt", "--help").stdout.decode().split())
    assert "--chunk-size BYTES" in encrypt and "32 to 4194304" in encrypt
    assert "-o replaces an existing file" in encrypt
    assert "-o replaces an existing file" in " ".join(ok("decrypt", "--help").stdout.decode().split())
    assert "-o never replaces an existing file" in " ".join(ok("keygen", "--help").stdout.decode().split())


def test_o_replaces_an_existing_file_and_chunk_size_is_written(tmp_path, keyfile) -> None:
    path, key = keyfile
    recipient = ok("pubkey", path).stdout.decode().strip()
    (tmp_path / "in").write_bytes(b"a" * 200_000)
    (tmp_path / "out.vlr").write_bytes(b"old content")
    ok("encrypt", "-q", "-r", recipient, "--chunk-size", "65536", "-o", "out.vlr", "in", cwd=tmp_path)
    info = velora.inspect_file(tmp_path / "out.vlr")
    assert info.chunk_size == 65536 and info.data_chunks == 4
    (tmp_path / "plain").write_bytes(b"old plaintext")
    ok("decrypt", "-q", "-i", path, "-o", "plain", "out.vlr", cwd=tmp_path)
    assert (tmp_path / "plain").read_bytes() == b"a" * 200_000
    for bad in ("31", "4194305"):
        line = error_line(run("encrypt", "-q", "-r", recipient, "--chunk-size", bad, "-o", "x.vlr", "in", cwd=tmp_path))
        assert "chunk_size must be 32 to 4194304" in line
        assert not (tmp_path / "x.vlr").exists()


@pytest.mark.parametrize(("size", "chunk", "expected"), [
    (0, 1024, "0 bytes in 1 chunk"),  # version 2 seals an empty plaintext as one (last) chunk
    (1, 1024, "1 byte in 1 chunk"),
    (1024, 1024, "1024 bytes in 1 chunk"),
    (1025, 1024, "1025 bytes in 2 chunks"),
])
def test_inspect_speaks_in_the_right_plural(tmp_path, keyfile, size, chunk, expected) -> None:
    _, key = keyfile
    (tmp_path / "f.vlr").write_bytes(velora.encrypt(b"z" * size, key.public_key(), chunk_size=chunk))
    listing = ok("inspect", "f.vlr", cwd=tmp_path).stdout.decode()
    assert f"plaintext:   {expected}\n" in listing


NOT_KEYS = {
    "/etc/passwd": None,
    "text": b"just some words\nover two lines\n",
    "binary": bytes(range(1, 256)) * 4,
    "empty": b"",
}


@pytest.mark.parametrize("name", NOT_KEYS)
def test_a_file_that_is_not_a_key_is_named_so(tmp_path, name) -> None:
    path = pathlib.Path(name) if NOT_KEYS[name] is None else tmp_path / name
    if NOT_KEYS[name] is not None:
        path.write_bytes(NOT_KEYS[name])  # type: ignore[arg-type]
    for args in (["pubkey", path], ["decrypt", "-i", path, "-o", tmp_path / "out", path]):
        line = error_line(run(*args))
        assert f"{str(path)!r} is not a key file" in line, line
        assert "trailing data" not in line


def test_key_and_recipient_files_above_their_limit_are_refused_unread(tmp_path, keyfile) -> None:
    path, key = keyfile
    big = tmp_path / "big.pem"
    big.write_text(path.read_text() + "#" * cli.IDENTITY_FILE_LIMIT)
    line = error_line(run("pubkey", big))
    assert f"is larger than {cli.IDENTITY_FILE_LIMIT} bytes" in line
    line = error_line(run("pubkey", "/dev/zero"))  # endless: refused after the limit
    assert f"is larger than {cli.IDENTITY_FILE_LIMIT} bytes" in line
    line = error_line(run("encrypt", "-R", "/dev/zero", "-o", tmp_path / "o", path))
    assert f"recipients file '/dev/zero' is larger than {cli.RECIPIENTS_FILE_LIMIT} bytes" in line


def test_an_empty_passphrase_is_refused_for_a_key(tmp_path) -> None:
    (tmp_path / "pass").write_bytes(b"\n")
    line = error_line(run("keygen", "-q", "--passphrase-file", "pass", "-o", "k.pem", cwd=tmp_path))
    assert "empty line" in line and not (tmp_path / "k.pem").exists()
