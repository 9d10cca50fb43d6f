"""encrypt_file / decrypt_file and the command line on N threads: the same bytes out, in order,
and the same refusals, whatever N. The independent reader and writer of tests/file_oracle.py
check both directions."""

from __future__ import annotations

import os
import random
import subprocess
import sys

import pytest

import velora

import file_oracle

SEED = bytes(range(1, 65))
KEY = velora.PrivateKey.from_seed(SEED, 768)
CS = 4096
SIZES = [0, 1, CS, 5 * 1024 * 1024 + 7]
THREADS = [1, 2, 3, 8]


@pytest.fixture(scope="module")
def plaintexts(tmp_path_factory):
    d = tmp_path_factory.mktemp("plain")
    rng = random.Random(11)
    out = {}
    for size in SIZES:
        p = d / f"p{size}"
        p.write_bytes(rng.randbytes(size))
        out[size] = p
    return out


@pytest.mark.parametrize("threads", THREADS)
@pytest.mark.parametrize("size", SIZES)
def test_encrypt_and_decrypt_on_n_threads(tmp_path, plaintexts, size, threads):
    src = plaintexts[size]
    plaintext = src.read_bytes()
    enc, out = tmp_path / "f.vel", tmp_path / "f.out"
    assert velora.encrypt_file(src, enc, KEY.public_key(), chunk_size=CS, threads=threads) == size
    assert file_oracle.decrypt(enc.read_bytes(), SEED) == plaintext
    # The writers' format (version 2, one ML-KEM-768 entry): its size from the document's formula.
    header = 15 + (1 + 16 + 1088 + 48) + 16 + 32
    assert len(enc.read_bytes()) == header + size + max(1, -(-size // CS)) * 16
    foreign = tmp_path / "oracle.vel"
    foreign.write_bytes(file_oracle.encrypt(plaintext, SEED, 768, CS))
    for blob in (enc, foreign):
        assert velora.decrypt_file(blob, out, KEY, threads=threads) == size
        assert out.read_bytes() == plaintext


@pytest.mark.parametrize("threads", THREADS)
@pytest.mark.parametrize("damage", ["a flipped byte deep inside", "cut in the middle", "end marker dropped",
                                    "a byte appended"])
def test_damage_fails_on_n_threads_and_leaves_the_destination(tmp_path, plaintexts, threads, damage):
    plaintext = plaintexts[SIZES[-1]].read_bytes()
    blob = bytearray(file_oracle.encrypt(plaintext, SEED, 768, CS))
    if damage == "a flipped byte deep inside":
        blob[len(blob) * 3 // 4] ^= 0x10
    elif damage == "cut in the middle":
        del blob[len(blob) // 2 :]
    elif damage == "end marker dropped":
        del blob[-20:]
    else:
        blob += b"\0"
    src, dst = tmp_path / "bad.vel", tmp_path / "out"
    src.write_bytes(bytes(blob))
    dst.write_bytes(b"old contents")
    with pytest.raises(velora.DecryptionError):
        velora.decrypt_file(src, dst, KEY, threads=threads)
    assert dst.read_bytes() == b"old contents"
    assert sorted(os.listdir(tmp_path)) == ["bad.vel", "out"]  # no temporary file left beside it


@pytest.mark.parametrize("bad", [0, -1, True, 1.5, "2"])
def test_thread_counts_are_checked(tmp_path, plaintexts, bad):
    with pytest.raises((TypeError, ValueError)):
        velora.encrypt_file(plaintexts[1], tmp_path / "x", KEY.public_key(), threads=bad)
    assert not (tmp_path / "x").exists()


def test_age_files_on_n_threads(tmp_path, plaintexts):
    age = pytest.importorskip("velora.age")
    identity = age.X25519Identity.generate()
    src = plaintexts[SIZES[-1]]
    enc, out = tmp_path / "f.age", tmp_path / "f.out"
    for threads in THREADS:
        velora.encrypt_file(src, enc, identity.recipient(), threads=threads)
        velora.decrypt_file(enc, out, identity, threads=threads)
        assert out.read_bytes() == src.read_bytes()


def test_command_line_threads(tmp_path, plaintexts, key_dir):
    src = plaintexts[SIZES[-1]]
    enc, out = tmp_path / "c.vel", tmp_path / "c.out"
    run = [sys.executable, "-m", "velora"]
    subprocess.run(run + ["encrypt", "-q", "--threads", "2", "-R", str(key_dir / "recipient.pem"), "-o", str(enc),
                          str(src)], check=True)
    subprocess.run(run + ["decrypt", "-q", "--threads", "3", "-i", str(key_dir / "identity.pem"), "-o", str(out),
                          str(enc)], check=True)
    assert out.read_bytes() == src.read_bytes()
    bad = subprocess.run(run + ["decrypt", "--threads", "0", "-i", str(key_dir / "identity.pem"), str(enc)],
                         capture_output=True, text=True)
    assert bad.returncode == 2 and "--threads" in bad.stderr
