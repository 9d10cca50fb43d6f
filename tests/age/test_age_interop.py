"""age files across to the peers: Debian's `age` 1.1.1 (subprocess) and pyrage
1.4.0 (library) both ways, X25519, scrypt and armoured; post-quantum files
checked with `cryptography` alone, following only the format text."""

from __future__ import annotations

import base64
import hashlib
import hmac
import os
import pty
import re
import shutil
import subprocess
from pathlib import Path

import pyrage
import pytest
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives import hpke as peer_hpke
from cryptography.hazmat.primitives.asymmetric import mlkem, x25519
from cryptography.hazmat.primitives.ciphers.aead import ChaCha20Poly1305
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

from velora import age

# Sizes that cross chunk boundaries: empty, one byte, one chunk exactly, one more.
SIZES = [0, 1, 65536, 65537, 3 * 65536 + 100]


def _age_binary() -> str:
    path = shutil.which("age")
    if path is None:
        message = "the age command is missing (make system installs Debian's age)"
        if os.environ.get("CI") == "true":
            pytest.fail(message)
        pytest.skip(message)
    return path


def _plaintext(n: int) -> bytes:
    return hashlib.shake_256(n.to_bytes(8, "big")).digest(n)


def _age_tty(args: list[str], passphrase: str, prompts: int) -> int:
    """Runs age on a pseudo-terminal (it reads passphrases only from one) and answers its prompts."""
    pid, fd = pty.fork()
    if pid == 0:  # pragma: no cover - the child
        os.execvp(args[0], args)
    seen, answered = b"", 0
    while True:
        try:
            data = os.read(fd, 1024)
        except OSError:
            break
        if not data:
            break
        seen += data
        while answered < min(seen.lower().count(b"passphrase"), prompts):
            os.write(fd, passphrase.encode() + b"\n")
            answered += 1
    os.close(fd)
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])


@pytest.fixture(scope="module")
def age_key(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, age.X25519Identity]:
    """An identity made by age-keygen, read through our identity-file parser."""
    binary = _age_binary()
    path = tmp_path_factory.mktemp("keys") / "key.txt"
    subprocess.run([binary + "-keygen", "-o", str(path)], check=True, capture_output=True)
    (identity,) = age.read_identities_file(path)
    assert isinstance(identity, age.X25519Identity)
    # age-keygen's "# public key:" comment is the recipient we derive.
    assert f"# public key: {identity.recipient()}" in path.read_text()
    return path, identity


@pytest.mark.parametrize("armor", [False, True], ids=["binary", "armored"])
@pytest.mark.parametrize("size", SIZES)
def test_x25519_with_age(age_key: tuple[Path, age.X25519Identity], size: int, armor: bool) -> None:
    key_file, identity = age_key
    plaintext = _plaintext(size)
    ours = age.encrypt(plaintext, [identity.recipient()], armor=armor)
    out = subprocess.run(["age", "-d", "-i", str(key_file)], input=ours, capture_output=True, check=True)
    assert out.stdout == plaintext
    theirs = subprocess.run(
        ["age", "-r", str(identity.recipient())] + (["-a"] if armor else []),
        input=plaintext, capture_output=True, check=True,
    ).stdout
    assert theirs.startswith(b"-----BEGIN AGE" if armor else b"age-encryption.org/v1\n")
    assert age.decrypt(theirs, [identity]) == plaintext


@pytest.mark.parametrize("armor", [False, True], ids=["binary", "armored"])
def test_scrypt_with_age(tmp_path: Path, armor: bool) -> None:
    _age_binary()
    plaintext = _plaintext(70000)
    (tmp_path / "plain").write_bytes(plaintext)
    ours = tmp_path / "ours.age"
    ours.write_bytes(age.encrypt(plaintext, [age.ScryptRecipient("correct horse", work_factor=12)], armor=armor))
    assert _age_tty(["age", "-d", "-o", str(tmp_path / "out1"), str(ours)], "correct horse", 1) == 0
    assert (tmp_path / "out1").read_bytes() == plaintext
    theirs = tmp_path / "theirs.age"
    args = ["age", "-p"] + (["-a"] if armor else []) + ["-o", str(theirs), str(tmp_path / "plain")]
    assert _age_tty(args, "battery staple", 2) == 0
    assert age.decrypt(theirs.read_bytes(), [age.ScryptIdentity("battery staple")]) == plaintext
    with pytest.raises(age.AgeNoIdentityMatchError):
        age.decrypt(theirs.read_bytes(), [age.ScryptIdentity("wrong")])


@pytest.mark.parametrize("armor", [False, True], ids=["binary", "armored"])
def test_with_pyrage(armor: bool) -> None:
    plaintext = _plaintext(200_000)
    identity = age.X25519Identity.generate()
    theirs_identity = pyrage.x25519.Identity.from_str(str(identity))
    assert str(theirs_identity.to_public()) == str(identity.recipient())

    ours = age.encrypt(plaintext, [identity.recipient()], armor=armor)
    assert pyrage.decrypt(ours, [theirs_identity]) == plaintext
    theirs = pyrage.encrypt(plaintext, [theirs_identity.to_public()], armored=armor)
    assert age.decrypt(theirs, [identity]) == plaintext

    ours = age.encrypt(plaintext, [age.ScryptRecipient("pw", work_factor=10)], armor=armor)
    assert pyrage.passphrase.decrypt(ours, "pw") == plaintext
    theirs = pyrage.passphrase.encrypt(plaintext, "pw", armored=armor)
    assert age.decrypt(theirs, [age.ScryptIdentity("pw")]) == plaintext


@pytest.mark.parametrize("armor", [False, True], ids=["binary", "armored"])
def test_file_functions_with_age(age_key: tuple[Path, age.X25519Identity], tmp_path: Path, armor: bool) -> None:
    """encrypt_file / decrypt_file seal and open a regular file's batches two at a time, by
    index: their files against age's, at sizes around those batches."""
    key_file, identity = age_key
    batch = 32 * 65536
    for size in (0, 1, batch - 1, batch, batch + 1, 3 * batch + 65536 + 5):
        plaintext = _plaintext(size)
        plain = tmp_path / "plain"
        plain.write_bytes(plaintext)
        assert age.encrypt_file(plain, tmp_path / "ours.age", [identity.recipient()], armor=armor) == size
        out = subprocess.run(["age", "-d", "-i", str(key_file), str(tmp_path / "ours.age")], capture_output=True,
                             check=True)
        assert out.stdout == plaintext
        subprocess.run(["age", "-r", str(identity.recipient()), *(["-a"] if armor else []), "-o",
                        str(tmp_path / "theirs.age"), str(plain)], check=True)
        assert age.decrypt_file(tmp_path / "theirs.age", tmp_path / "out", [identity]) == size
        assert (tmp_path / "out").read_bytes() == plaintext


def test_several_recipients_each_decrypt(age_key: tuple[Path, age.X25519Identity]) -> None:
    key_file, identity = age_key
    others = [age.X25519Identity.generate() for _ in range(3)]
    plaintext = _plaintext(1000)
    ours = age.encrypt(plaintext, [o.recipient() for o in others] + [identity.recipient()])
    assert subprocess.run(["age", "-d", "-i", str(key_file)], input=ours, capture_output=True).stdout == plaintext
    for o in others:
        assert pyrage.decrypt(ours, [pyrage.x25519.Identity.from_str(str(o))]) == plaintext


# ---- post-quantum: cryptography's HPKE and ChaCha20Poly1305, from the format text alone ----

HYBRID_INFO = b"age-encryption.org/mlkem768x25519"
PEER_SUITE = peer_hpke.Suite(peer_hpke.KEM.MLKEM768_X25519, peer_hpke.KDF.HKDF_SHA256, peer_hpke.AEAD.CHACHA20_POLY1305)


def _b64(text: str) -> bytes:
    return base64.b64decode(text + "=" * (-len(text) % 4), validate=True)


def _hkdf(ikm: bytes, salt: bytes, info: bytes) -> bytes:
    return HKDF(hashes.SHA256(), 32, salt, info).derive(ikm)


def _peer_private_key(seed: bytes) -> peer_hpke.MLKEM768X25519PrivateKey:
    expanded = hashlib.shake_256(seed).digest(96)  # ML-KEM-768 d || z, then the X25519 key
    return peer_hpke.MLKEM768X25519PrivateKey(
        mlkem.MLKEM768PrivateKey.from_seed_bytes(expanded[:64]),
        x25519.X25519PrivateKey.from_private_bytes(expanded[64:]),
    )


def _peer_decrypt(data: bytes, seed: bytes) -> bytes:
    """A minimal age reader for mlkem768x25519 files written from the format text."""
    header, sep, rest = data.partition(b"\n---")
    mac_line, _, payload = rest.partition(b"\n")
    lines = header.decode().split("\n")
    assert lines[0] == "age-encryption.org/v1"
    file_key = None
    i = 1
    while i < len(lines):
        args = lines[i][3:].split(" ")
        body_text = ""
        i += 1
        while True:
            body_text += lines[i]
            i += 1
            if len(lines[i - 1]) < 64:
                break
        if args[0] == "mlkem768x25519" and file_key is None:
            file_key = PEER_SUITE.decrypt(_b64(args[1]) + _b64(body_text), _peer_private_key(seed), info=HYBRID_INFO)
    assert file_key is not None and len(file_key) == 16
    mac = hmac.new(_hkdf(file_key, b"", b"header"), header + sep, "sha256").digest()
    assert _b64(mac_line.decode().strip()) == mac
    nonce, chunks = payload[:16], payload[16:]
    aead = ChaCha20Poly1305(_hkdf(file_key, nonce, b"payload"))
    out = bytearray()
    for n, start in enumerate(range(0, max(len(chunks), 1), 65536 + 16)):
        last = start + 65536 + 16 >= len(chunks)
        out += aead.decrypt(n.to_bytes(11, "big") + bytes([last]), chunks[start : start + 65536 + 16], None)
    return bytes(out)


def _peer_encrypt(plaintext: bytes, recipient: bytes) -> bytes:
    """A minimal age writer for one mlkem768x25519 recipient, from the format text."""
    file_key = os.urandom(16)
    pk = peer_hpke.MLKEM768X25519PublicKey(
        mlkem.MLKEM768PublicKey.from_public_bytes(recipient[:1184]),
        x25519.X25519PublicKey.from_public_bytes(recipient[1184:]),
    )
    blob = PEER_SUITE.encrypt(file_key, pk, info=HYBRID_INFO)
    enc, body = blob[:1120], blob[1120:]
    b64 = lambda b: base64.b64encode(b).rstrip(b"=")  # noqa: E731
    body_text = b64(body)
    header = b"age-encryption.org/v1\n-> mlkem768x25519 " + b64(enc) + b"\n" + body_text + b"\n---"
    mac = hmac.new(_hkdf(file_key, b"", b"header"), header, "sha256").digest()
    nonce = os.urandom(16)
    aead = ChaCha20Poly1305(_hkdf(file_key, nonce, b"payload"))
    pieces = [plaintext[i : i + 65536] for i in range(0, len(plaintext), 65536)] or [b""]
    chunks = [aead.encrypt(n.to_bytes(11, "big") + bytes([n == len(pieces) - 1]), p, None) for n, p in enumerate(pieces)]
    return header + b" " + b64(mac) + b"\n" + nonce + b"".join(chunks)


@pytest.mark.parametrize("size", SIZES)
def test_hybrid_files_with_cryptography(size: int) -> None:
    identity = age.HybridIdentity.generate()
    seed = identity.private_key().seed
    recipient_bytes = identity.recipient().public_key().to_bytes()
    plaintext = _plaintext(size)
    ours = age.encrypt(plaintext, [identity.recipient(), age.HybridIdentity.generate().recipient()])
    assert re.search(rb"\n-> mlkem768x25519 [A-Za-z0-9+/]{1494}\n", ours)
    assert _peer_decrypt(ours, seed) == plaintext
    assert age.decrypt(_peer_encrypt(plaintext, recipient_bytes), [identity]) == plaintext
