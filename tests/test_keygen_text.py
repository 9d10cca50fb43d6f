"""`velora keygen` and `velora pubkey` with the checksummed recipient texts, and mistyped recipients
through `velora encrypt`: subprocesses as a user runs them, and the same `velora.cli.main` in process
for a larger sample of typos.

Oracles: cryptography and pycryptodome read the key files (comment lines included) and derive the
public key the comment and `pubkey` name; the X-Wing public key is derived by the draft's
construction (SHAKE256, ML-KEM-768 in cryptography, X25519 in cryptography); the `bech32m` package
decodes the texts; OpenSSL parses the files.
"""

from __future__ import annotations

import hashlib
import random
import re
import shutil
import subprocess
from pathlib import Path

import pytest

import velora
from velora.cli import main

from test_cli import ok, run  # the command line as a subprocess, as test_cli runs it

bech32m = pytest.importorskip("bech32m.codecs")
ser = pytest.importorskip("cryptography.hazmat.primitives.serialization")
crypto_mlkem = pytest.importorskip("cryptography.hazmat.primitives.asymmetric.mlkem")
x25519 = pytest.importorskip("cryptography.hazmat.primitives.asymmetric.x25519")
UnsupportedAlgorithm = pytest.importorskip("cryptography.exceptions").UnsupportedAlgorithm
MLKEM = pytest.importorskip("Crypto.PublicKey.MLKEM")

BECH32_ALPHABET = "qpzry9x8gf2tvdw0s3jn54khce6mua7l"
PW = b"correct horse battery staple"
XWING_OID = "1.3.6.1.4.1.62253.25722"


def oracle_data(text: str, prefix: str) -> bytes:
    """The bytes of a Bech32m text, decoded by the `bech32m` package (its checksum check, no length bound)."""
    low = text.lower()
    assert low.startswith(prefix + "1")
    words = bytes(BECH32_ALPHABET.index(c) for c in low[len(prefix) + 1 :])
    assert bech32m.bech32_verify_checksum(prefix, words) is bech32m.Encoding.BECH32M
    return bytes(bech32m.convertbits(words[:-6], 5, 8, False))


def xwing_public_key(seed: bytes) -> bytes:
    """The X-Wing public key of a 32-byte seed by the draft's key generation, from other parts."""
    expanded = hashlib.shake_256(seed).digest(96)
    ml_kem = crypto_mlkem.MLKEM768PrivateKey.from_seed_bytes(expanded[:64]).public_key().public_bytes_raw()
    x = x25519.X25519PrivateKey.from_private_bytes(expanded[64:]).public_key()
    return ml_kem + x.public_bytes(ser.Encoding.Raw, ser.PublicFormat.Raw)


def comment_recipient(path: Path) -> str:
    lines = path.read_text().splitlines()
    assert lines[0].startswith("# created: ")
    match = re.fullmatch(r"# public key: (\S+)", lines[1])
    assert match is not None, lines[:2]
    return match.group(1)


def openssl_has_ml_kem() -> bool:
    if shutil.which("openssl") is None:
        return False
    listing = subprocess.run(["openssl", "list", "-kem-algorithms"], capture_output=True, text=True)
    return "ML-KEM" in listing.stdout


# ---- keygen: the kinds, the comment line, the files in other readers ---------------------------


MLKEM_KINDS = [("-t", "mlkem512", 512), ("-t", "mlkem768", 768), ("-t", "mlkem1024", 1024), ("-l", "1024", 1024)]


@pytest.mark.parametrize("flag,value,level", MLKEM_KINDS, ids=[f"{f}{v}" for f, v, _ in MLKEM_KINDS])
def test_ml_kem_key_files_carry_their_recipient_and_load_elsewhere(flag, value, level, tmp_path):
    path = tmp_path / "key.pem"
    shown = ok("keygen", flag, value, "-o", path).stderr.decode().strip()
    recipient = comment_recipient(path)
    assert shown == f"Public key: {recipient}"
    assert ok("pubkey", path).stdout.decode() == recipient + "\n"
    data = path.read_bytes()
    # pycryptodome reads every level (given the PEM block alone: it does not skip leading text).
    theirs = MLKEM.import_key(data[data.index(b"-----BEGIN") :])
    assert oracle_data(recipient, f"mlkem{level}pub") == theirs.public_key().ek
    if level != 512:  # cryptography has ML-KEM-768 and -1024
        key = ser.load_pem_private_key(data, None)
        assert oracle_data(recipient, f"mlkem{level}pub") == key.public_key().public_bytes_raw()
    if shutil.which("openssl"):
        parsed = subprocess.run(["openssl", "asn1parse", "-in", str(path)], check=True, capture_output=True, text=True)
        oid = f"2.16.840.1.101.3.4.4.{ {512: 1, 768: 2, 1024: 3}[level]}"
        assert oid in parsed.stdout or f"ML-KEM-{level}" in parsed.stdout


@pytest.mark.parametrize("kind", ["mlkem512", "mlkem768", "mlkem1024"])
def test_openssl_reads_ml_kem_key_files(kind, tmp_path):
    if not openssl_has_ml_kem():
        pytest.skip("this OpenSSL has no ML-KEM (3.5 and later have it); asn1parse is checked above")
    path = tmp_path / "key.pem"
    ok("keygen", "-t", kind, "-o", path)
    public = subprocess.run(["openssl", "pkey", "-in", str(path), "-pubout", "-outform", "DER"], check=True,
                            capture_output=True).stdout
    assert velora.load_public_key(public).to_text() == comment_recipient(path)


def test_ml_kem_key_file_with_a_passphrase_loads_in_cryptography(tmp_path):
    (tmp_path / "pw").write_bytes(PW + b"\n")
    path = tmp_path / "key.pem"
    ok("keygen", "-t", "mlkem768", "-p", "--passphrase-file", tmp_path / "pw", "-o", path)
    recipient = comment_recipient(path)
    key = ser.load_pem_private_key(path.read_bytes(), PW)
    assert oracle_data(recipient, "mlkem768pub") == key.public_key().public_bytes_raw()
    assert ok("pubkey", "--passphrase-file", tmp_path / "pw", path).stdout.decode().strip() == recipient


@pytest.mark.parametrize("args", [(), ("-t", "xwing")], ids=["default", "explicit"])
def test_x_wing_is_the_default_kind(args, tmp_path):
    path = tmp_path / "key.pem"
    shown = ok("keygen", *args, "-o", path).stderr.decode().strip()
    recipient = comment_recipient(path)
    assert shown == f"Public key: {recipient}" and recipient.startswith("xwingpub1")
    assert ok("pubkey", path).stdout.decode() == recipient + "\n"
    data = path.read_bytes()
    # cryptography has no X-Wing private keys: it reads the PEM block and PKCS#8 up to the algorithm.
    with pytest.raises(UnsupportedAlgorithm, match=re.escape(XWING_OID)):
        ser.load_pem_private_key(data, None)
    seed = velora.XWingPrivateKey.from_pem(data).seed
    assert oracle_data(recipient, "xwingpub") == xwing_public_key(seed)
    if shutil.which("openssl"):
        parsed = subprocess.run(["openssl", "asn1parse", "-in", str(path)], check=True, capture_output=True, text=True)
        assert XWING_OID in parsed.stdout


def test_x_wing_key_encrypts_and_decrypts_through_the_command_line(tmp_path):
    ok("keygen", "-q", "-o", tmp_path / "key.pem")
    recipient = comment_recipient(tmp_path / "key.pem")
    (tmp_path / "plain").write_bytes(b"team data " * 1000)
    ok("encrypt", "-r", recipient, "-o", tmp_path / "c", tmp_path / "plain")
    ok("decrypt", "-i", tmp_path / "key.pem", "-o", tmp_path / "back", tmp_path / "c")
    assert (tmp_path / "back").read_bytes() == (tmp_path / "plain").read_bytes()
    # A velora file (version 2) with one X-Wing entry, which the independent reader opens with the key's seed.
    import file_oracle_v2

    blob = (tmp_path / "c").read_bytes()
    seed = velora.XWingPrivateKey.from_pem((tmp_path / "key.pem").read_text()).seed
    assert blob[8] == 2 and blob[15] == 0x04
    assert file_oracle_v2.decrypt(blob, [("xwing", seed)]) == (tmp_path / "plain").read_bytes()


def test_x_wing_key_with_a_passphrase(tmp_path):
    (tmp_path / "pw").write_bytes(PW + b"\n")
    (tmp_path / "bad").write_bytes(b"wrong\n")
    path = tmp_path / "key.age"
    shown = ok("keygen", "-p", "--passphrase-file", tmp_path / "pw", "-o", path).stderr.decode().strip()
    recipient = shown.split(": ", 1)[1]
    assert recipient.startswith("xwingpub1") and recipient.encode() not in path.read_bytes()
    assert ok("pubkey", "--passphrase-file", tmp_path / "pw", path).stdout.decode().strip() == recipient
    ok("encrypt", "-r", recipient, "-o", tmp_path / "c", input=b"secret")
    done = ok("decrypt", "-i", path, "--passphrase-file", tmp_path / "pw", tmp_path / "c")
    assert done.stdout == b"secret"
    assert run("decrypt", "-i", path, "--passphrase-file", tmp_path / "bad", tmp_path / "c").returncode == 1


@pytest.mark.parametrize("args,message", [
    (("-t", "xwing", "-l", "512"), "-l 512 applies to ML-KEM keys"),
    (("-t", "mlkem768", "-l", "1024"), "-l 1024 applies to ML-KEM keys"),
    (("-t", "rsa",), "invalid choice"),
])
def test_keygen_refuses_contradictory_kinds(args, message, tmp_path):
    done = run("keygen", *args, "-o", tmp_path / "k")
    assert done.returncode in (1, 2) and message in done.stderr.decode()
    assert not (tmp_path / "k").exists()


# ---- mistyped recipients through encrypt: refused, no file ------------------------------------


def _texts() -> dict[str, str]:
    rng = random.Random("cli-texts")
    out = {f"mlkem{lv}": velora.PrivateKey.from_seed(rng.randbytes(64), lv).public_key().to_text()
           for lv in (512, 768, 1024)}
    out["xwing"] = velora.XWingPrivateKey.from_seed(rng.randbytes(32)).public_key().to_text()
    return out


TEXTS = _texts()


def typos(text: str, rng: random.Random, substitutions: int, swaps: int) -> list[str]:
    out = []
    for _ in range(substitutions):
        i = rng.randrange(len(text))
        out.append(text[:i] + rng.choice([c for c in BECH32_ALPHABET if c != text[i]]) + text[i + 1 :])
    for i in rng.sample([i for i in range(len(text) - 1) if text[i] != text[i + 1]], swaps):
        out.append(text[:i] + text[i + 1] + text[i] + text[i + 2 :])
    return out


@pytest.mark.parametrize("kind", sorted(TEXTS))
def test_mistyped_recipients_make_no_file_in_process(kind, tmp_path, capsys):
    """`velora encrypt -r TYPO -o OUT`: status 1, the checksum message, no OUT (a sample of typos)."""
    (tmp_path / "plain").write_bytes(b"data")
    out = tmp_path / "out"
    for typo in typos(TEXTS[kind], random.Random(kind), 40, 20):
        assert main(["encrypt", "-q", "-r", typo, "-o", str(out), str(tmp_path / "plain")]) == 1
        err = capsys.readouterr().err
        assert "fails its checksum" in err and err.count("\n") == 1, err
        assert not out.exists()


@pytest.mark.parametrize("kind", sorted(TEXTS))
def test_mistyped_recipients_make_no_file(kind, tmp_path):
    (tmp_path / "plain").write_bytes(b"data")
    text = TEXTS[kind]
    rng = random.Random(f"sub-{kind}")
    cases = [*typos(text, rng, 2, 1), text[:-1], text[: len(text) // 2]]
    for typo in cases:
        done = run("encrypt", "-r", typo, "-o", tmp_path / "out", tmp_path / "plain")
        assert done.returncode == 1 and "fails its checksum" in done.stderr.decode()
        assert not (tmp_path / "out").exists()
    # In a recipients file the error names the line.
    (tmp_path / "list").write_text(f"# team\n{cases[0]}\n")
    done = run("encrypt", "-R", tmp_path / "list", "-o", tmp_path / "out", tmp_path / "plain")
    assert done.returncode == 1 and "line 2" in done.stderr.decode() and "fails its checksum" in done.stderr.decode()
    assert not (tmp_path / "out").exists()
    # The intact text goes through.
    ok("encrypt", "-r", text, "-o", tmp_path / "out", tmp_path / "plain")
    assert (tmp_path / "out").exists()


# ---- the older form ----------------------------------------------------------------------------


def test_older_form_encrypts_with_one_warning(tmp_path):
    import base64

    ok("keygen", "-t", "mlkem768", "-q", "-o", tmp_path / "key.pem")
    data = (tmp_path / "key.pem").read_bytes()
    theirs = MLKEM.import_key(data[data.index(b"-----BEGIN") :])
    old = "mlkem768:" + base64.urlsafe_b64encode(theirs.public_key().ek).rstrip(b"=").decode()
    (tmp_path / "list").write_text(f"{old}\n")
    for args in (["-r", old], ["-R", tmp_path / "list"], ["-r", old, "-R", tmp_path / "list"]):
        done = run("encrypt", *args, "-o", tmp_path / "c", input=b"old key")
        assert done.stderr.decode().count("has no checksum") == 1, done.stderr.decode()
        if done.returncode == 0:
            back = ok("decrypt", "-i", tmp_path / "key.pem", tmp_path / "c").stdout
            assert back == b"old key"
            (tmp_path / "c").unlink()
    done = run("encrypt", "-r", ok("pubkey", tmp_path / "key.pem").stdout.decode().strip(), input=b"x")
    assert done.returncode == 0 and "checksum" not in done.stderr.decode()


# ---- identity files of one-line identity texts ---------------------------------------------------


def test_identity_file_of_one_line_texts_of_several_kinds(tmp_path):
    ml = velora.PrivateKey.generate(1024)
    xw = velora.XWingPrivateKey.generate()
    theirs = pytest.importorskip("pyrage").x25519.Identity.generate()
    (tmp_path / "ids.txt").write_text(f"# team keys\n{ml.to_text()}\n\n{xw.to_text()}\n{theirs}\n")
    listed = ok("pubkey", tmp_path / "ids.txt").stdout.decode().split()
    assert listed == [ml.public_key().to_text(), xw.public_key().to_text(), str(theirs.to_public())]
    for recipient in listed:
        ok("encrypt", "-r", recipient, "-o", tmp_path / "c", input=b"for the team")
        assert ok("decrypt", "-i", tmp_path / "ids.txt", tmp_path / "c").stdout == b"for the team"
        (tmp_path / "c").unlink()
    bad = xw.to_text()
    (tmp_path / "bad.txt").write_text(f"{ml.to_text()}\n{bad[:20]}{'Q' if bad[20] != 'Q' else 'P'}{bad[21:]}\n")
    done = run("pubkey", tmp_path / "bad.txt")
    assert done.returncode == 1 and "line 2" in done.stderr.decode() and "fails its checksum" in done.stderr.decode()


def test_x_wing_public_key_file_goes_with_dash_r_upper(tmp_path):
    """`pubkey --pem` of an X-Wing key is its SubjectPublicKeyInfo (OID checked by OpenSSL); -R reads it back."""
    ok("keygen", "-q", "-o", tmp_path / "key.pem")
    pem = ok("pubkey", "--pem", tmp_path / "key.pem").stdout
    (tmp_path / "pub.pem").write_bytes(pem)
    if shutil.which("openssl"):
        parsed = subprocess.run(["openssl", "asn1parse", "-in", str(tmp_path / "pub.pem")], check=True,
                                capture_output=True, text=True)
        assert XWING_OID in parsed.stdout and "BIT STRING" in parsed.stdout
    ok("encrypt", "-R", tmp_path / "pub.pem", "-o", tmp_path / "c", input=b"via a key file")
    assert ok("decrypt", "-i", tmp_path / "key.pem", tmp_path / "c").stdout == b"via a key file"
    # The public key file is refused as an identity, the private one as a recipient.
    assert "holds a public key" in run("decrypt", "-i", tmp_path / "pub.pem", tmp_path / "c").stderr.decode()
    assert run("encrypt", "-R", tmp_path / "key.pem", input=b"x").returncode == 1
