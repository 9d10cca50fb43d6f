"""The command line for teams: several recipients of several kinds, passphrase files, rewrap."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

import velora
from velora.files.source import Source
from velora.files.vlr2 import header as h
from velora.xwing import XWingPrivateKey

import file_oracle_v2 as oracle

VELORA = [sys.executable, "-m", "velora"]


def run(*args: object, input: bytes | None = None, **kw: object) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run([*VELORA, *map(str, args)], input=input, capture_output=True, timeout=120, **kw)  # type: ignore[call-overload, no-any-return]


def ok(*args: object, input: bytes | None = None) -> subprocess.CompletedProcess[bytes]:
    done = run(*args, input=input)
    assert done.returncode == 0, done.stderr.decode()
    return done


def error_line(done: subprocess.CompletedProcess[bytes]) -> str:
    err = done.stderr.decode()
    assert done.returncode == 1, (done.returncode, err)
    lines = err.splitlines()
    assert len(lines) == 1 and lines[0].startswith("velora: error: ") and "Traceback" not in err, err
    return lines[0]


@pytest.fixture(scope="module")
def keys(tmp_path_factory: pytest.TempPathFactory) -> dict[str, tuple[Path, object]]:
    """Key files (private, public) of ML-KEM-768, ML-KEM-1024, X-Wing, and an unrelated ML-KEM-768 key."""
    d = tmp_path_factory.mktemp("keys")
    out: dict[str, tuple[Path, object]] = {}
    for name, key in (("k768", velora.PrivateKey.from_seed(bytes([1]) * 64, 768)),
                      ("k1024", velora.PrivateKey.from_seed(bytes([2]) * 64, 1024)),
                      ("xwing", XWingPrivateKey.from_seed(bytes([3]) * 32)),
                      ("stranger", velora.PrivateKey.from_seed(bytes([4]) * 64, 768))):
        (d / f"{name}.pem").write_text(key.to_pem())
        (d / f"{name}.pub.pem").write_text(key.public_key().to_pem())
        out[name] = (d / name, key)
    return out


ORACLE = {"k768": ("mlkem", bytes([1]) * 64), "k1024": ("mlkem", bytes([2]) * 64), "xwing": ("xwing", bytes([3]) * 32)}


def test_three_kinds_in_one_file_each_key_alone_decrypts(keys, tmp_path):
    data = b"minutes of the meeting\n" * 5000
    (tmp_path / "plain").write_bytes(data)
    args = [a for name in ("k768", "k1024", "xwing") for a in ("-R", f"{keys[name][0]}.pub.pem")]
    ok("encrypt", *args, "-o", tmp_path / "team.vlr", tmp_path / "plain")
    blob = (tmp_path / "team.vlr").read_bytes()
    header = h.parse(Source(open(tmp_path / "team.vlr", "rb")))
    assert sorted(e.kind for e in header.entries) == [h.KIND_MLKEM768, h.KIND_MLKEM1024, h.KIND_XWING]
    for name in ("k768", "k1024", "xwing"):
        assert ok("decrypt", "-i", f"{keys[name][0]}.pem", tmp_path / "team.vlr").stdout == data
        assert oracle.decrypt(blob, [ORACLE[name]]) == data
    line = error_line(run("decrypt", "-i", f"{keys['stranger'][0]}.pem", "-o", tmp_path / "no", tmp_path / "team.vlr"))
    assert "no identity matches any of the file's recipients" in line and not (tmp_path / "no").exists()
    assert "ML-KEM-768, ML-KEM-1024, X-Wing" in ok("inspect", tmp_path / "team.vlr").stdout.decode()


def test_passphrase_files_are_recognised_and_asked_for(tmp_path):
    (tmp_path / "pw").write_text("correct horse battery staple\n")
    (tmp_path / "wrong").write_text("wrong horse\n")
    ok("encrypt", "-p", "--passphrase-file", tmp_path / "pw", "-o", tmp_path / "p.vlr", input=b"diary")
    blob = (tmp_path / "p.vlr").read_bytes()
    assert blob[8] == 2 and blob[15] == h.KIND_SCRYPT
    assert oracle.decrypt(blob, [("scrypt", b"correct horse battery staple")]) == b"diary"
    # no -p: the file says it is a passphrase file
    assert ok("decrypt", "--passphrase-file", tmp_path / "pw", tmp_path / "p.vlr").stdout == b"diary"
    assert error_line(run("decrypt", "--passphrase-file", tmp_path / "wrong", tmp_path / "p.vlr")) == \
        "velora: error: incorrect passphrase"
    # with no terminal to ask on: refused (standard input is not read)
    assert "no terminal" in error_line(run("decrypt", tmp_path / "p.vlr", start_new_session=True))
    # the same for an age passphrase file
    ok("encrypt", "-p", "--format", "age", "--passphrase-file", tmp_path / "pw", "-o", tmp_path / "p.age",
       input=b"diary")
    assert (tmp_path / "p.age").read_bytes().startswith(b"age-encryption.org/v1\n-> scrypt ")
    assert ok("decrypt", "--passphrase-file", tmp_path / "pw", tmp_path / "p.age").stdout == b"diary"
    assert error_line(run("decrypt", "--passphrase-file", tmp_path / "wrong", tmp_path / "p.age")) == \
        "velora: error: incorrect passphrase"


REFUSED = [
    # (arguments, part of the one line)
    (["encrypt", "-R", "K768", "-r", "AGE"], "cannot share one file"),
    (["encrypt", "-p", "--passphrase-file", "PW", "-R", "K768"], "passphrase alone"),
    (["encrypt", "-R", "K768", "--format", "age"], "--format age: these recipients make a velora file"),
    (["decrypt", "FILE"], "no identity: give -i PATH"),
    (["rewrap", "-i", "K768KEY", "FILE"], "nothing to change"),
    (["rewrap", "-i", "K768KEY", "--remove", "STRANGER", "FILE"], "cannot remove a recipient the file does not have"),
    (["rewrap", "-i", "STRANGERKEY", "-R", "K1024", "FILE"], "no identity matches"),
    (["rewrap", "-i", "K768KEY", "-p", "--passphrase-file", "PW", "FILE"], "not encrypted to a passphrase"),
]


@pytest.mark.parametrize("args,message", REFUSED, ids=[" ".join(a) for a, _ in REFUSED])
def test_refusals_are_one_clear_line(args, message, keys, tmp_path):
    from velora import age

    (tmp_path / "pw").write_text("pw\n")
    ok("encrypt", "-R", f"{keys['k768'][0]}.pub.pem", "-o", tmp_path / "f.vlr", input=b"x")
    before = (tmp_path / "f.vlr").read_bytes()
    names = {"K768": f"{keys['k768'][0]}.pub.pem", "K1024": f"{keys['k1024'][0]}.pub.pem",
             "K768KEY": f"{keys['k768'][0]}.pem", "STRANGERKEY": f"{keys['stranger'][0]}.pem",
             "STRANGER": f"{keys['stranger'][0]}.pub.pem", "PW": str(tmp_path / "pw"), "FILE": str(tmp_path / "f.vlr"),
             "AGE": str(age.X25519Identity.generate().recipient())}
    line = error_line(run(*[names.get(a, a) for a in args], input=b"x"))
    assert message in line, line
    assert "Error" not in line.split("velora: error: ", 1)[1].split()[0]  # no class name in front
    assert (tmp_path / "f.vlr").read_bytes() == before


def test_rewrap_from_the_command_line(keys, tmp_path):
    data = bytes(range(256)) * 20000
    (tmp_path / "plain").write_bytes(data)
    path = tmp_path / "team.vlr"
    ok("encrypt", "-R", f"{keys['k768'][0]}.pub.pem", "-R", f"{keys['k1024'][0]}.pub.pem", "-o", path,
       tmp_path / "plain")
    before = path.read_bytes()
    old_size = h.parse(Source(open(path, "rb"))).size
    done = ok("rewrap", "-i", f"{keys['k768'][0]}.pem", "-R", f"{keys['xwing'][0]}.pub.pem",
              "--remove", f"{keys['k1024'][0]}.pub.pem", path)
    assert "1 kept, 1 added, 1 removed" in done.stderr.decode()
    after = path.read_bytes()
    assert after[h.parse(Source(open(path, "rb"))).size :] == before[old_size:]
    assert ok("decrypt", "-i", f"{keys['xwing'][0]}.pem", path).stdout == data
    assert "no identity matches" in error_line(run("decrypt", "-i", f"{keys['k1024'][0]}.pem", path))
    # -o: the original stays as it is
    ok("rewrap", "-q", "-i", f"{keys['xwing'][0]}.pem", "-R", f"{keys['k1024'][0]}.pub.pem", "-o",
       tmp_path / "copy.vlr", path)
    assert path.read_bytes() == after
    assert ok("decrypt", "-i", f"{keys['k1024'][0]}.pem", tmp_path / "copy.vlr").stdout == data
