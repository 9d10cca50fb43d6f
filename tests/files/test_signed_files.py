"""Signed velora files (version 2) and detached signatures: verified with the right key, refused (and no
output file) otherwise, and checked against tests/file_oracle_signed.py, which `cryptography`'s ML-DSA runs
over the transcript as docs/file-format.md defines it."""

from __future__ import annotations

import io
import os
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velora
from velora import DecryptionError, FileFormatError, PrivateKey
from velora import detached
from velora.errors import SignatureError, UnsignedFileError, UntrustedSignerError
from velora.files import DecryptedReader, EncryptedWriter, decrypt_file, encrypt_file, rewrap
from velora.mldsa import MLDSAPrivateKey, MLDSAPublicKey

import file_oracle_signed as oracle
import file_oracle_v2 as oracle_v2

CS = 64  # small chunks: many of them in small files
KEM_SEED = bytes([7]) * 64
LEVELS = (44, 65, 87)


def dsa_seed(tag: int) -> bytes:
    return bytes([0x30 + tag]) * 32


@pytest.fixture(scope="module")
def keys() -> dict[str, object]:
    return {
        "kem": PrivateKey.from_seed(KEM_SEED, 768),
        "other_kem": PrivateKey.from_seed(bytes([8]) * 64, 768),
        **{f"dsa{level}": MLDSAPrivateKey.from_seed(dsa_seed(level), level) for level in LEVELS},
        "mallory": MLDSAPrivateKey.from_seed(dsa_seed(1), 65),
    }


ORACLE_ID = [("mlkem", KEM_SEED)]


def signed(keys, data: bytes, level: int = 65, chunk_size: int = CS) -> bytes:
    out = io.BytesIO()
    encrypt_file(io.BytesIO(data), out, keys["kem"].public_key(), chunk_size=chunk_size, sign=keys[f"dsa{level}"])
    return out.getvalue()


def read_every_way(blob: bytes, identity: object, verify: object, tmp_path) -> list[bytes]:
    """decrypt_file from a stream and from a path (offsets, two threads), and the file object."""
    out = io.BytesIO()
    decrypt_file(io.BytesIO(blob), out, identity, verify=verify)
    got = [out.getvalue()]
    src = tmp_path / "in.vlr"
    src.write_bytes(blob)
    decrypt_file(src, tmp_path / "out", identity, verify=verify)
    got.append((tmp_path / "out").read_bytes())
    with DecryptedReader(io.BytesIO(blob), identity, verify=verify) as r:
        got.append(r.read())
    with DecryptedReader(src, identity, verify=verify) as r:
        got.append(r.read())
    return got


def refused_every_way(blob: bytes, identity: object, verify: object, tmp_path, error=DecryptionError) -> set[str]:
    """Every reading path raises ``error``, and a path destination is never created."""
    src = tmp_path / "bad.vlr"
    src.write_bytes(blob)
    messages = set()
    attempts = (
        lambda: decrypt_file(io.BytesIO(blob), io.BytesIO(), identity, verify=verify),
        lambda: decrypt_file(src, tmp_path / "never", identity, verify=verify),
        lambda: DecryptedReader(src, identity, verify=verify).read(),
    )
    for attempt in attempts:
        with pytest.raises(error) as info:
            attempt()
        messages.add(str(info.value))
    assert not (tmp_path / "never").exists()
    return messages


# ---- verified with the right key ------------------------------------------------------------------


@pytest.mark.parametrize("level", LEVELS)
@pytest.mark.parametrize("size", [0, 1, CS - 1, CS, CS + 1, 37 * CS + 5])
def test_signed_file_reads_with_its_signer_every_way(keys, level, size, tmp_path):
    data = os.urandom(size)
    blob = signed(keys, data, level)
    public = keys[f"dsa{level}"].public_key()
    for verify in (public, [keys["mallory"].public_key(), public]):
        assert read_every_way(blob, keys["kem"], verify, tmp_path) == [data] * 4
    # A reader that requires no signer reads it as an unsigned file.
    assert read_every_way(blob, keys["kem"], None, tmp_path) == [data] * 4


def test_large_file_at_batch_edges_and_the_writer_object(keys, tmp_path):
    """Whole 1 MiB batches (the pread path: two threads hash at once), and EncryptedWriter writing in odd
    pieces, both verified by the oracle."""
    data = os.urandom(3 * 1024 * 1024 + 17)
    src, dst = tmp_path / "plain", tmp_path / "signed.vlr"
    src.write_bytes(data)
    encrypt_file(src, dst, keys["kem"].public_key(), sign=keys["dsa87"])
    by_path = dst.read_bytes()
    buf = io.BytesIO()
    with EncryptedWriter(buf, keys["kem"].public_key(), sign=keys["dsa87"]) as w:
        for at in range(0, len(data), 777_777):
            w.write(data[at : at + 777_777])
    for blob in (by_path, buf.getvalue()):
        assert oracle.verify(blob, keys["dsa87"].public_key().to_bytes())
        assert read_every_way(blob, keys["kem"], keys["dsa87"].public_key(), tmp_path) == [data] * 4


# ---- the oracle: cryptography's ML-DSA over the documented transcript ---------------------------------


@pytest.mark.parametrize("level", LEVELS)
def test_oracle_verifies_our_signatures_and_we_verify_the_oracles(keys, level, tmp_path):
    data = os.urandom(5 * CS + 9)
    ours = signed(keys, data, level)
    public = keys[f"dsa{level}"].public_key().to_bytes()
    assert public == oracle.public_bytes(dsa_seed(level), level)  # the same FIPS 204 key from the seed
    assert oracle.verify(ours, public)
    assert not oracle.verify(ours, keys["mallory"].public_key().to_bytes())
    # A file written by the oracle (unsigned by the v2 oracle, then signed with cryptography) reads here.
    unsigned = oracle_v2.encrypt(data, [("mlkem", 768, keys["kem"].public_key().to_bytes())], chunk_size=CS)
    theirs = oracle.sign(unsigned, ORACLE_ID, dsa_seed(level), level)
    assert read_every_way(theirs, keys["kem"], MLDSAPublicKey.from_bytes(public), tmp_path) == [data] * 4
    refused_every_way(theirs, keys["kem"], keys["mallory"].public_key(), tmp_path, UntrustedSignerError)


# ---- refused, no output file -----------------------------------------------------------------------


def _flip(blob: bytes, at: int) -> bytes:
    b = bytearray(blob)
    b[at] ^= 0x01
    return bytes(b)


REFUSALS = {
    # name: (make the bad file from (keys, good file, data), verify key name, error)
    "signed by another key": (lambda k, b, d: signed(k, d, 65), "dsa44", UntrustedSignerError),
    "signature stripped": (lambda k, b, d: b[: -3309], "dsa65", DecryptionError),
    "signature cut by one byte": (lambda k, b, d: b[:-1], "dsa65", DecryptionError),
    "one byte appended": (lambda k, b, d: b + b"\x00", "dsa65", DecryptionError),
    "first payload byte changed": (lambda k, b, d: _flip(b, oracle.parse(b)["header_size"]), "dsa65",
                                   DecryptionError),
    "last chunk byte changed": (lambda k, b, d: _flip(b, len(b) - 3309 - 17), "dsa65", DecryptionError),
    "signature byte changed": (lambda k, b, d: _flip(b, len(b) - 100), "dsa65", SignatureError),
    "signer entry changed": (lambda k, b, d: _flip(b, 15 + 40), "dsa65", DecryptionError),
    # A recipient (who holds the file key) re-seals chunk 1 with other bytes: its AES-GCM tag is valid,
    # only the signature tells.
    "chunk re-sealed by a recipient": (lambda k, b, d: oracle.replace_chunk(b, ORACLE_ID, 1, bytes(CS), False),
                                       "dsa65", SignatureError),
    # A recipient strips the signer entry and the signature and recomputes the header MAC.
    "made unsigned by a recipient": (lambda k, b, d: oracle.strip(b, ORACLE_ID), "dsa65", UnsignedFileError),
    # ... and signs it with its own key instead.
    "re-signed by a recipient": (lambda k, b, d: oracle.sign(oracle.strip(b, ORACLE_ID), ORACLE_ID, dsa_seed(1), 65),
                                 "dsa65", UntrustedSignerError),
    "unsigned file": (lambda k, b, d: oracle_v2.encrypt(d, [("mlkem", 768, k["kem"].public_key().to_bytes())], CS),
                      "dsa65", UnsignedFileError),
}


@pytest.mark.parametrize("case", sorted(REFUSALS))
def test_refused_without_output(keys, case, tmp_path):
    data = os.urandom(4 * CS + 3)
    good = signed(keys, data, 65)
    make, verifier, error = REFUSALS[case]
    bad = make(keys, good, data)
    refused_every_way(bad, keys["kem"], keys[verifier].public_key(), tmp_path, error)


def test_recipient_made_files_read_without_a_required_signer(keys, tmp_path):
    """What a recipient can make (re-sealed chunk aside) is accepted by a reader that requires no signer:
    the header MAC and the tags authenticate the holders of the file key, not the sender."""
    data = os.urandom(4 * CS + 3)
    good = signed(keys, data, 65)
    assert read_every_way(oracle.strip(good, ORACLE_ID), keys["kem"], None, tmp_path) == [data] * 4
    resealed = oracle.replace_chunk(good, ORACLE_ID, 1, bytes(CS), False)
    assert read_every_way(resealed, keys["kem"], None, tmp_path)[0] == data[:CS] + bytes(CS) + data[2 * CS :]


def test_the_end_of_the_plaintext_waits_for_the_signature(keys, tmp_path):
    """A file object gets the authenticated chunks before the last batch as they open, never the last one
    when the signature fails; a path destination gets nothing."""
    data = os.urandom(3 * 1024 * 1024 + 11)
    src = tmp_path / "p"
    src.write_bytes(data)
    blob_path = tmp_path / "s.vlr"
    encrypt_file(src, blob_path, keys["kem"].public_key(), sign=keys["dsa65"])
    bad = _flip(blob_path.read_bytes(), -1)
    released = io.BytesIO()
    with pytest.raises(SignatureError):
        decrypt_file(io.BytesIO(bad), released, keys["kem"], verify=keys["dsa65"].public_key())
    assert released.getvalue() == data[: len(released.getvalue())]
    assert len(released.getvalue()) <= len(data) - (len(data) % (1024 * 1024))
    reader = DecryptedReader(io.BytesIO(bad), keys["kem"], verify=keys["dsa65"].public_key())
    got = bytearray()
    with pytest.raises(SignatureError):
        while piece := reader.read1(1 << 16):
            got += piece
    assert len(got) < len(data) and bytes(got) == data[: len(got)]
    refused_every_way(bad, keys["kem"], keys["dsa65"].public_key(), tmp_path, SignatureError)


HEADERS = {
    "two signer entries": lambda e: [e[0], e[0]] + e[1:],
    "a signer and no recipient": lambda e: [e[0]],
    "the signer entry last": lambda e: e[1:] + [e[0]],
}


@pytest.mark.parametrize("case", sorted(HEADERS))
def test_signer_entry_rules(keys, case, tmp_path):
    data = os.urandom(2 * CS)
    good = signed(keys, data)
    bad = oracle.rebuild(good, ORACLE_ID, HEADERS[case](oracle.entries_of(good)))
    if case == "the signer entry last":
        # Readers take the entry at any place, but the header changed: the signature over it fails.
        refused_every_way(bad, keys["kem"], keys["dsa65"].public_key(), tmp_path, SignatureError)
        assert read_every_way(bad, keys["kem"], None, tmp_path) == [data] * 4
    else:
        refused_every_way(bad, keys["kem"], None, tmp_path, FileFormatError)


def test_only_velora_version_2_files_carry_a_signer(keys, tmp_path):
    from velora.age import ScryptRecipient

    with pytest.raises(velora.errors.RecipientError):
        encrypt_file(io.BytesIO(b"x"), io.BytesIO(), ScryptRecipient(b"pw"), sign=keys["dsa65"])
    with pytest.raises(TypeError):
        encrypt_file(io.BytesIO(b"x"), io.BytesIO(), keys["kem"].public_key(), sign=keys["dsa65"].public_key())
    with pytest.raises(TypeError):
        decrypt_file(io.BytesIO(signed(keys, b"x")), io.BytesIO(), keys["kem"], verify=[keys["kem"]])


def test_rewrap_refuses_a_signed_file(keys, tmp_path):
    path = tmp_path / "s.vlr"
    path.write_bytes(signed(keys, b"payload"))
    before = path.read_bytes()
    with pytest.raises(FileFormatError, match="signed"):
        rewrap(path, keys["kem"], add=[keys["other_kem"].public_key()])
    assert path.read_bytes() == before


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.data())
def test_mutated_signed_files_are_refused_with_decryption_errors(keys, data):
    """Any byte of a signed file changed or cut: a DecryptionError (SignatureError among them), never another
    exception and never the plaintext."""
    plain = b"signed and sealed" * 9
    good = signed(keys, plain)
    at = data.draw(st.integers(0, len(good) - 1))
    bad = data.draw(st.sampled_from([_flip(good, at), good[:at]]))
    with pytest.raises(DecryptionError):
        decrypt_file(io.BytesIO(bad), io.BytesIO(), keys["kem"], verify=keys["dsa65"].public_key())


# ---- detached signatures ---------------------------------------------------------------------------


@pytest.mark.parametrize("level", LEVELS)
def test_detached_signature_verifies_here_and_in_the_oracle(keys, level):
    content = os.urandom(100_000)
    key = keys[f"dsa{level}"]
    text = detached.sign(io.BytesIO(content), key)
    assert oracle.detached_verify(text.encode(), content, key.public_key().to_bytes())
    assert detached.verify(io.BytesIO(content), text.encode(), [keys["mallory"].public_key(), key.public_key()]) \
        == key.public_key()
    with pytest.raises(SignatureError):
        detached.verify(io.BytesIO(content + b"!"), text.encode(), key.public_key())
    with pytest.raises(UntrustedSignerError):
        detached.verify(io.BytesIO(content), text.encode(), keys["mallory"].public_key())


@settings(max_examples=200, deadline=None)
@given(st.binary(max_size=9000) | st.builds(lambda cut, b: b[:cut], st.integers(0, 4600), st.just(
    detached.sign(io.BytesIO(b"x"), MLDSAPrivateKey.from_seed(bytes(32), 65)).encode())))
def test_detached_parser_on_hostile_input(text):
    try:
        detached.parse(text)
    except FileFormatError:
        pass


# ---- command line ----------------------------------------------------------------------------------


def run(*args: object, cwd) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "velora", *map(str, args)], capture_output=True, cwd=cwd,
                          timeout=120)


def test_command_line_sign_encrypt_decrypt_verify(tmp_path):
    for name, kind in (("alice", "mldsa65"), ("bob", "mldsa44"), ("carol", "mldsa87")):
        assert run("keygen", "-t", kind, "-o", name, "-q", cwd=tmp_path).returncode == 0
    assert MLDSAPublicKey.from_pem((tmp_path / "carol.pub").read_bytes()).level == 87
    kem = run("keygen", "-o", "kem.pem", cwd=tmp_path)
    recipient = kem.stderr.decode().split("Public key: ")[1].strip()
    data = os.urandom(300_000)
    (tmp_path / "plain").write_bytes(data)
    done = run("encrypt", "-q", "-r", recipient, "--sign", "alice", "-o", "s.vlr", "plain", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    pub = MLDSAPublicKey.from_pem((tmp_path / "alice.pub").read_bytes())
    assert oracle.verify((tmp_path / "s.vlr").read_bytes(), pub.to_bytes())
    (tmp_path / "trusted").write_bytes(b"# bob\n" + (tmp_path / "bob.pub").read_bytes()
                                       + b"# alice\n" + (tmp_path / "alice.pub").read_bytes())
    for trusted in ("alice.pub", "trusted"):
        done = run("decrypt", "-q", "-i", "kem.pem", "--verify", trusted, "-o", "out", "s.vlr", cwd=tmp_path)
        assert done.returncode == 0, done.stderr
        assert (tmp_path / "out").read_bytes() == data
        (tmp_path / "out").unlink()
    done = run("decrypt", "-q", "-i", "kem.pem", "--verify", "bob.pub", "-o", "out", "s.vlr", cwd=tmp_path)
    assert done.returncode == 1 and b"not among the trusted" in done.stderr and b"Traceback" not in done.stderr
    assert not (tmp_path / "out").exists()
    # Detached signatures of any file.
    assert run("sign", "-k", "bob", "plain", cwd=tmp_path).returncode == 0
    text = (tmp_path / "plain.vsig").read_bytes()
    assert oracle.detached_verify(text, data, MLDSAPublicKey.from_pem((tmp_path / "bob.pub").read_bytes()).to_bytes())
    done = run("verify", "-p", "trusted", "plain", cwd=tmp_path)
    assert done.returncode == 0 and b"Signature verified: ML-DSA-44" in done.stderr
    assert run("verify", "-p", "alice.pub", "plain", cwd=tmp_path).returncode == 1
    (tmp_path / "plain").write_bytes(data + b"\n")
    done = run("verify", "-p", "bob.pub", "plain", cwd=tmp_path)
    assert done.returncode == 1 and b"does not verify" in done.stderr
