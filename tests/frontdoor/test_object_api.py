"""velora.encrypt / velora.decrypt: whole files in memory, read back by independent readers
(tests/file_oracle.py for velora files, pyrage for age files) and read from what they write."""

from __future__ import annotations

import pathlib

import pyrage
import pytest

import velora
from velora import age

import file_oracle

PLAINTEXTS = [b"", b"x", b"hello world" * 1000, bytes(range(256)) * 8193]  # the last spans two 1 MiB chunks


@pytest.mark.parametrize("level", [512, 768, 1024])
@pytest.mark.parametrize("plaintext", PLAINTEXTS, ids=lambda p: f"{len(p)}B")
def test_velora_files_read_by_the_oracle(level: int, plaintext: bytes) -> None:
    key = velora.PrivateKey.generate(level)
    sealed = velora.encrypt(plaintext, key.public_key())
    assert key.seed is not None
    assert file_oracle.decrypt(sealed, key.seed) == plaintext
    assert velora.decrypt(sealed, key) == plaintext


def test_velora_files_written_by_the_oracle_decrypt() -> None:
    key = velora.PrivateKey.generate(768)
    assert key.seed is not None
    sealed = file_oracle.encrypt(b"from the oracle" * 500, key.seed, 768, 4096)
    assert velora.decrypt(sealed, [velora.PrivateKey.generate(768), key]) == b"from the oracle" * 500


def test_armour_as_bytes_and_as_str() -> None:
    key = velora.PrivateKey.generate(768)
    text = velora.encrypt(b"armoured", key.public_key(), armor=True)
    assert text.startswith(b"-----BEGIN VELORA ENCRYPTED FILE-----\n")
    assert key.seed is not None
    assert file_oracle.decrypt(file_oracle.dearmor(text), key.seed) == b"armoured"
    assert velora.decrypt(text, key) == velora.decrypt(text.decode("ascii"), key) == b"armoured"
    with pytest.raises(velora.FileFormatError, match="must be ASCII armour"):
        velora.decrypt("-----BEGIN VELORA ENCRYPTED FILE-----\né", key)


def test_age_recipients_make_age_files_for_two_recipients() -> None:
    alice, bob = age.X25519Identity.generate(), age.X25519Identity.generate()
    sealed = velora.encrypt(b"for two", [alice.recipient(), bob.recipient()])
    assert sealed.startswith(b"age-encryption.org/v1\n")
    for who in (alice, bob):
        assert pyrage.decrypt(sealed, [pyrage.x25519.Identity.from_str(str(who))]) == b"for two"
        assert velora.decrypt(sealed, who) == b"for two"
    theirs = pyrage.encrypt(b"from pyrage", [pyrage.x25519.Recipient.from_str(str(bob.recipient()))])
    assert velora.decrypt(theirs, [alice, bob]) == b"from pyrage"


def test_post_quantum_age_and_passphrase_files() -> None:
    pq = [age.HybridIdentity.generate() for _ in range(2)]
    sealed = velora.encrypt(b"pq", [i.recipient() for i in pq])
    assert velora.decrypt(sealed, pq[1]) == b"pq"
    locked = velora.encrypt(b"pw", age.ScryptRecipient("correct horse", work_factor=10))
    assert pyrage.passphrase.decrypt(locked, "correct horse") == b"pw"
    assert velora.decrypt(locked, age.ScryptIdentity("correct horse")) == b"pw"


DAMAGE = {
    "one byte of a chunk flipped": lambda b: b[:-30] + bytes([b[-30] ^ 1]) + b[-29:],
    "cut at the end marker": lambda b: b[:-20],
    "a byte appended": lambda b: b + b"\x00",
    "the header changed": lambda b: b[:20] + bytes([b[20] ^ 1]) + b[21:],
}


@pytest.mark.parametrize("damage", DAMAGE.values(), ids=DAMAGE.keys())
def test_nothing_is_returned_from_a_damaged_file(damage) -> None:
    key = velora.PrivateKey.generate(768)
    sealed = velora.encrypt(b"intact" * 10_000, key.public_key(), chunk_size=4096)
    with pytest.raises(velora.DecryptionError):
        velora.decrypt(damage(sealed), key)


def test_the_wrong_key_and_foreign_data() -> None:
    sealed = velora.encrypt(b"mine", velora.PrivateKey.generate(768).public_key())
    with pytest.raises(velora.DecryptionError, match="no identity matches"):
        velora.decrypt(sealed, velora.PrivateKey.generate(768))
    with pytest.raises(velora.DecryptionError, match="ML-KEM-768 key"):
        velora.decrypt(sealed, velora.PrivateKey.generate(1024))
    with pytest.raises(velora.FileFormatError):
        velora.decrypt(b"plain text, not encrypted", velora.PrivateKey.generate(768))
    with pytest.raises(velora.DecryptionError, match="no age identity"):
        velora.decrypt(velora.encrypt(b"a", age.X25519Identity.generate().recipient()), velora.PrivateKey.generate(768))


def test_loaders_read_a_path_and_take_str_as_text(tmp_path: pathlib.Path) -> None:
    key = velora.PrivateKey.generate(768)
    priv, pub = tmp_path / "key.pem", tmp_path / "key.pub.der"
    priv.write_text(key.to_pem())
    pub.write_bytes(key.public_key().to_der())
    assert velora.load_private_key(priv) == key
    assert velora.load_public_key(pub) == key.public_key()
    assert not velora.is_encrypted_private_key(priv)
    with pytest.raises(velora.KeySerializationError, match=r"not a file name: pass pathlib.Path\("):
        velora.load_private_key(str(priv))
    with pytest.raises(velora.KeySerializationError, match="cannot read the key file"):
        velora.load_public_key(tmp_path / "absent.pem")


def test_loaders_refuse_big_inputs_without_reading_them(tmp_path: pathlib.Path) -> None:
    limit = velora.MAX_KEY_FILE_SIZE
    key_pem = velora.PrivateKey.generate(1024).to_pem("both", password=b"pw", scrypt_n=2**10)
    assert len(key_pem) < limit  # the largest key file fits
    padded = key_pem + " " * (limit + 1 - len(key_pem))
    for data in (padded, padded.encode()):
        with pytest.raises(velora.KeySerializationError, match="larger than 65536"):
            velora.load_private_key(data, password=b"pw")
    big = tmp_path / "big"
    with open(big, "wb") as f:
        f.truncate(1 << 40)  # a sparse terabyte: refused after reading limit + 1 bytes
    with pytest.raises(velora.KeySerializationError, match="larger than 65536 bytes"):
        velora.load_public_key(big)
    with pytest.raises(velora.KeySerializationError, match="larger than 65536 bytes"):
        velora.load_private_key(pathlib.Path("/dev/zero"))


def test_an_empty_password_is_refused_for_every_key_encryption() -> None:
    key = velora.PrivateKey.generate(512)
    for write in (key.to_pem, key.to_der):
        for empty in (b"", bytearray(), memoryview(b"")):
            with pytest.raises(velora.InvalidParameterError, match="empty password"):
                write(password=empty)
    for write in (key.to_vlpk, key.to_vlpk_pem):
        with pytest.raises(velora.InvalidParameterError, match="empty password"):
            write(b"")
    assert velora.load_private_key(key.to_pem(password=b"p", scrypt_n=2**10), password=b"p") == key
