"""age files through the package's file objects and the `velora` command line:
keygen of age identities, encrypt/decrypt with age1/age1pq1 recipients, age
identity files of several kinds, passphrases, armour; checked against Debian's
age 1.1.1 (and, for the post-quantum keys, against cryptography's X-Wing)."""

from __future__ import annotations

import hashlib
import io
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from cryptography.hazmat.primitives.asymmetric import mlkem, x25519
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat

import velora
from velora import age

from test_age_interop import _age_tty

VELORA = [sys.executable, "-m", "velora"]
SIZE = 200_000


def run(*args: object, input: bytes | None = None) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run([*VELORA, *map(str, args)], input=input, capture_output=True, timeout=120)


def ok(*args: object, input: bytes | None = None) -> subprocess.CompletedProcess[bytes]:
    done = run(*args, input=input)
    assert done.returncode == 0, done.stderr.decode()
    return done


def _age() -> str:
    path = shutil.which("age")
    if path is None:
        if os.environ.get("CI") == "true":
            pytest.fail("the age command is missing (make system installs Debian's age)")
        pytest.skip("the age command is missing")
    return path


@pytest.fixture
def plain(tmp_path: Path) -> Path:
    path = tmp_path / "plain"
    path.write_bytes(hashlib.shake_256(b"plain").digest(SIZE))
    return path


def _public_key_line(key_file: Path) -> str:
    (line,) = [l for l in key_file.read_text().splitlines() if l.startswith("# public key: ")]
    return line.split(": ", 1)[1]


def test_keygen_age_identities(tmp_path: Path) -> None:
    _age()
    ok("keygen", "-t", "age", "-q", "-o", tmp_path / "x.txt")
    # age-keygen -y derives the recipient from our identity file: the same as our comment.
    derived = subprocess.run(["age-keygen", "-y", tmp_path / "x.txt"], capture_output=True, check=True).stdout
    assert derived.decode().strip() == _public_key_line(tmp_path / "x.txt")
    assert ok("pubkey", tmp_path / "x.txt").stdout.decode().strip() == _public_key_line(tmp_path / "x.txt")

    ok("keygen", "--type", "age-pq", "-q", "-o", tmp_path / "pq.txt")
    (identity,) = age.read_identities_file(tmp_path / "pq.txt")
    assert isinstance(identity, age.HybridIdentity)
    recipient = _public_key_line(tmp_path / "pq.txt")
    assert recipient.startswith("age1pq1") and len(recipient) == 1959
    # The recipient is the X-Wing public key of the seed, as cryptography computes it.
    expanded = hashlib.shake_256(identity.private_key().seed).digest(96)
    peer_public = (
        mlkem.MLKEM768PrivateKey.from_seed_bytes(expanded[:64]).public_key().public_bytes_raw()
        + x25519.X25519PrivateKey.from_private_bytes(expanded[64:]).public_key().public_bytes(
            Encoding.Raw, PublicFormat.Raw
        )
    )
    assert age.HybridRecipient.from_string(recipient).public_key().to_bytes() == peer_public
    assert ok("pubkey", tmp_path / "pq.txt").stdout.decode().strip() == recipient
    pem = ok("pubkey", "--pem", tmp_path / "pq.txt").stdout.decode()
    assert velora.XWingPublicKey.from_pem(pem).to_bytes() == peer_public
    # Never overwritten.
    assert "already exists" in run("keygen", "-t", "age", "-o", tmp_path / "x.txt").stderr.decode()


def test_keygen_with_a_passphrase_is_an_age_file(tmp_path: Path, plain: Path) -> None:
    _age()
    (tmp_path / "pw").write_text("a long passphrase\n")
    ok("keygen", "-t", "age", "-p", "--passphrase-file", tmp_path / "pw", "-q", "-o", tmp_path / "key.age")
    assert (tmp_path / "key.age").read_bytes().startswith(b"-----BEGIN AGE ENCRYPTED FILE-----\n")
    # age itself opens it with the passphrase and finds the identity file inside.
    assert _age_tty(["age", "-d", "-o", str(tmp_path / "key.txt"), str(tmp_path / "key.age")], "a long passphrase", 1) == 0
    recipient = _public_key_line(tmp_path / "key.txt")
    ok("encrypt", "-q", "-r", recipient, "-o", tmp_path / "c.age", plain)
    ok("decrypt", "-q", "-i", tmp_path / "key.age", "--passphrase-file", tmp_path / "pw", "-o", tmp_path / "out",
       tmp_path / "c.age")
    assert (tmp_path / "out").read_bytes() == plain.read_bytes()


@pytest.mark.parametrize("armor", [False, True], ids=["binary", "armored"])
def test_x25519_files_with_age(tmp_path: Path, plain: Path, armor: bool) -> None:
    _age()
    subprocess.run(["age-keygen", "-o", tmp_path / "key.txt"], check=True, capture_output=True)
    recipient = _public_key_line(tmp_path / "key.txt")
    a = ["-a"] if armor else []
    ok("encrypt", "-q", *a, "-r", recipient, "-o", tmp_path / "ours.age", plain)
    out = subprocess.run(["age", "-d", "-i", tmp_path / "key.txt", tmp_path / "ours.age"], capture_output=True)
    assert out.returncode == 0 and out.stdout == plain.read_bytes()
    subprocess.run(["age", *a, "-r", recipient, "-o", tmp_path / "theirs.age", plain], check=True)
    assert ok("inspect", tmp_path / "theirs.age").stdout.decode().startswith("format:      age v1")
    ok("decrypt", "-q", "-i", tmp_path / "key.txt", "-o", tmp_path / "out", tmp_path / "theirs.age")
    assert (tmp_path / "out").read_bytes() == plain.read_bytes()


def test_passphrase_files_with_age(tmp_path: Path, plain: Path) -> None:
    _age()
    (tmp_path / "pw").write_text("correct horse\n")
    ok("encrypt", "-q", "-p", "--format", "age", "--passphrase-file", tmp_path / "pw", "-o", tmp_path / "ours.age",
       plain)
    assert _age_tty(["age", "-d", "-o", str(tmp_path / "o1"), str(tmp_path / "ours.age")], "correct horse", 1) == 0
    assert (tmp_path / "o1").read_bytes() == plain.read_bytes()
    assert _age_tty(["age", "-p", "-o", str(tmp_path / "theirs.age"), str(plain)], "correct horse", 2) == 0
    ok("decrypt", "-q", "-p", "--passphrase-file", tmp_path / "pw", "-o", tmp_path / "o2", tmp_path / "theirs.age")
    assert (tmp_path / "o2").read_bytes() == plain.read_bytes()
    (tmp_path / "wrong").write_text("wrong\n")
    done = run("decrypt", "-q", "-p", "--passphrase-file", tmp_path / "wrong", "-o", tmp_path / "o3",
               tmp_path / "theirs.age")
    assert done.returncode == 1 and "incorrect passphrase" in done.stderr.decode()  # as age words it
    assert not (tmp_path / "o3").exists()
    assert "alone" in run("encrypt", "-p", "-r", "age1x", plain).stderr.decode()


def test_recipient_and_identity_files_of_several_kinds(tmp_path: Path, plain: Path) -> None:
    ok("keygen", "-t", "age", "-q", "-o", tmp_path / "x.txt")
    ok("keygen", "-t", "age-pq", "-q", "-o", tmp_path / "pq.txt")
    ok("keygen", "-t", "mlkem768", "-q", "-o", tmp_path / "mlkem.pem")
    x, pq = _public_key_line(tmp_path / "x.txt"), _public_key_line(tmp_path / "pq.txt")
    mlkem_line = ok("pubkey", tmp_path / "mlkem.pem").stdout.decode().strip()
    # One identity file holding both age kinds, and a velora key beside it.
    (tmp_path / "ids.txt").write_text((tmp_path / "x.txt").read_text() + "\n" + (tmp_path / "pq.txt").read_text())
    (tmp_path / "pq-recipients.txt").write_text(f"# Alice\n{pq}\n\n# Bob\n{pq}\n")
    for recipients, name in ((["-r", x], "x"), (["-R", tmp_path / "pq-recipients.txt"], "pq"), (["-r", mlkem_line], "v")):
        ok("encrypt", "-q", *recipients, "-o", tmp_path / f"{name}.enc", plain)
        ok("decrypt", "-q", "-i", tmp_path / "mlkem.pem", "-i", tmp_path / "ids.txt", "-o", tmp_path / f"{name}.out",
           tmp_path / f"{name}.enc")
        assert (tmp_path / f"{name}.out").read_bytes() == plain.read_bytes()
    assert (tmp_path / "v.enc").read_bytes()[:4] != b"age-"
    assert (tmp_path / "pq.enc").read_bytes().count(b"\n-> mlkem768x25519 ") == 2
    # Kinds that no one format takes together are refused before anything is written.
    (tmp_path / "mixed.txt").write_text(f"{x}\n{mlkem_line}\n")
    done = run("encrypt", "-R", tmp_path / "mixed.txt", "-o", tmp_path / "m.enc", plain)
    assert done.returncode == 1 and "cannot share one file" in done.stderr.decode()
    done = run("encrypt", "-r", x, "-r", pq, "-o", tmp_path / "m.enc", plain)
    assert done.returncode == 1 and "post-quantum" in done.stderr.decode()
    (tmp_path / "bad.txt").write_text(f"# ok\n{x[:-1]}{'p' if x.endswith('q') else 'q'}\n")  # checksum broken
    assert "line 2" in run("encrypt", "-R", tmp_path / "bad.txt", plain).stderr.decode()


def test_file_objects_and_whole_file_functions(tmp_path: Path, plain: Path) -> None:
    identity = age.HybridIdentity.generate()
    velora.encrypt_file(plain, tmp_path / "c.age", [identity.recipient()], armor=True)
    velora.decrypt_file(tmp_path / "c.age", tmp_path / "out", [identity])
    assert (tmp_path / "out").read_bytes() == plain.read_bytes()
    # The package's own reader and velora.age read each other's output.
    assert age.decrypt((tmp_path / "c.age").read_bytes(), [identity]) == plain.read_bytes()
    blob = age.encrypt(plain.read_bytes(), [identity.recipient()])
    with velora.DecryptedReader(io.BytesIO(blob), [identity]) as r:
        assert r.format == "age" and r.read() == plain.read_bytes()
    sink = io.BytesIO()
    with velora.EncryptedWriter(sink, [identity.recipient()]) as w:
        w.write(plain.read_bytes())
    assert age.decrypt(sink.getvalue(), [identity]) == plain.read_bytes()
    # Damage is an age error (a DecryptionError) and nothing unauthenticated comes out.
    damaged = bytearray(blob)
    damaged[-5] ^= 1
    with pytest.raises(velora.DecryptionError):
        velora.DecryptedReader(io.BytesIO(bytes(damaged)), [identity]).read()
    with pytest.raises(age.AgeNoIdentityMatchError):
        velora.DecryptedReader(io.BytesIO(blob), [age.HybridIdentity.generate()])
    info = velora.inspect_file(io.BytesIO(blob))
    assert (info.format, info.plaintext_size, info.complete) == ("age", SIZE, True)
    assert info.details["recipients"] == "mlkem768x25519"
