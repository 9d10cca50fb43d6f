"""The age file objects and key texts: streaming in any pattern, truncation
and trailing data, bounded memory, recipient rules, key files."""

from __future__ import annotations

import io
import re
import tracemalloc
from pathlib import Path

import pytest

import velora
from velora import age
from velora.age_header import read_header, ByteSource

from conftest import shared_vectors

CHUNK = 64 * 1024


def _data(n: int) -> bytes:
    return bytes((i * 7 + i // 251) & 0xFF for i in range(n))


@pytest.fixture(scope="module")
def identity() -> age.X25519Identity:
    return age.X25519Identity.generate()


@pytest.mark.parametrize("size", [0, 1, CHUNK - 1, CHUNK, CHUNK + 1, 16 * CHUNK, 16 * CHUNK + 1, 33 * CHUNK + 5])
@pytest.mark.parametrize("step", [1000, CHUNK, 300_001])
def test_streaming_round_trip(identity: age.X25519Identity, size: int, step: int) -> None:
    plaintext = _data(size)
    sink = io.BytesIO()
    with age.AgeWriter(sink, [identity.recipient()]) as w:
        for i in range(0, size, step):
            assert w.write(memoryview(plaintext)[i : i + step]) == len(plaintext[i : i + step])
    blob = sink.getvalue()
    chunks = max(1, -(-size // CHUNK))
    assert len(blob) == blob.index(b"\n---") + 49 + 16 + size + 16 * chunks
    out = bytearray()
    with age.AgeReader(io.BytesIO(blob), [identity]) as r:
        buf = bytearray(step)
        while n := r.readinto(buf):
            out += buf[:n]
    assert out == plaintext


@pytest.mark.parametrize("cut", [1, 16, CHUNK + 16, CHUNK + 17])
def test_truncation_is_an_error_after_the_authenticated_prefix(identity: age.X25519Identity, cut: int) -> None:
    plaintext = _data(2 * CHUNK + 10)
    blob = age.encrypt(plaintext, [identity.recipient()])
    r = age.AgeReader(io.BytesIO(blob[:-cut]), [identity])
    released = bytearray()
    with pytest.raises(age.AgePayloadError):
        while chunk := r.read1(4096):
            released += chunk
    # Only whole authenticated chunks came out, and they are the file's.
    assert len(released) % CHUNK == 0 and plaintext.startswith(released)


@pytest.mark.parametrize("extra", [b"x", b"\n", bytes(CHUNK + 16)])
def test_trailing_data_is_an_error(identity: age.X25519Identity, extra: bytes) -> None:
    blob = age.encrypt(_data(100), [identity.recipient()])
    with pytest.raises(age.AgePayloadError):
        age.decrypt(blob + extra, [identity])


def test_forged_header_and_payload(identity: age.X25519Identity) -> None:
    blob = bytearray(age.encrypt(_data(5000), [identity.recipient()]))
    mac_at = blob.index(b"\n---") + 5
    forged = bytearray(blob)
    forged[mac_at] ^= 1  # still canonical Base64? only if the letter stays in the alphabet
    if re.fullmatch(rb"[A-Za-z0-9+/]{43}", forged[mac_at : mac_at + 43]):
        with pytest.raises((age.AgeHmacError, age.AgeHeaderError)):
            age.decrypt(bytes(forged), [identity])
    blob[-1] ^= 1
    with pytest.raises(age.AgePayloadError):
        age.decrypt(bytes(blob), [identity])
    with pytest.raises(age.AgeNoIdentityMatchError):
        age.decrypt(bytes(blob), [age.X25519Identity.generate()])


def test_memory_stays_bounded_for_a_large_stream(identity: age.X25519Identity, tmp_path: Path) -> None:
    # 64 MiB through writer and reader in 1 MiB steps, to and from a file: the
    # Python-side allocations stay a few batches, not the stream.
    size = 64 * 1024 * 1024
    block = _data(1024 * 1024)
    path = tmp_path / "big.age"
    tracemalloc.start()
    try:
        with open(path, "wb") as f, age.AgeWriter(f, [identity.recipient()]) as w:
            for _ in range(size // len(block)):
                w.write(block)
        _, write_peak = tracemalloc.get_traced_memory()
        tracemalloc.reset_peak()
        total = 0
        with open(path, "rb") as f, age.AgeReader(f, [identity]) as r:
            while chunk := r.read1(1 << 20):
                total += len(chunk)
        _, read_peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert total == size
    bound = 8 * age.BATCH_CHUNKS * age.SEALED_CHUNK  # a few batches (about 16 MiB), far below the stream
    assert write_peak < bound, write_peak
    assert read_peak < bound, read_peak


def test_recipient_rules() -> None:
    x = age.X25519Identity.generate().recipient()
    pq = age.HybridIdentity.generate().recipient()
    with pytest.raises(velora.InvalidParameterError, match="post-quantum"):
        age.encrypt(b"", [x, pq])
    with pytest.raises(velora.InvalidParameterError, match="only recipient"):
        age.encrypt(b"", [age.ScryptRecipient("a", 10), x])
    with pytest.raises(velora.InvalidParameterError, match="at least one"):
        age.encrypt(b"", [])


def test_scrypt_work_factor_is_capped_when_reading() -> None:
    blob = age.encrypt(b"secret", [age.ScryptRecipient("pw", work_factor=12)])
    assert age.decrypt(blob, [age.ScryptIdentity("pw", max_work_factor=12)]) == b"secret"
    with pytest.raises(age.AgeHeaderError, match="above the limit"):
        age.decrypt(blob, [age.ScryptIdentity("pw", max_work_factor=11)])


def test_spec_example_keys() -> None:
    """The example identity and recipient printed in the format text."""
    text = (shared_vectors("age").parent.parent / "standards" / "age" / "c2sp-age.md").read_text()
    pq_identity = re.search(r"AGE-SECRET-KEY-PQ-1[0-9A-Z]+", text)
    pq_recipient = re.search(r"age1pq1[0-9a-z]{1900,}", text)
    x_identity = re.search(r"AGE-SECRET-KEY-1[0-9A-Z]{58}", text)
    x_recipient = re.search(r"\bage1[02-9ac-hj-np-z]{58}\b", text)
    assert pq_identity and pq_recipient and x_identity and x_recipient
    assert len(pq_recipient.group()) == 1959
    assert str(age.HybridIdentity.from_string(pq_identity.group()).recipient()) == pq_recipient.group()
    assert str(age.X25519Identity.from_string(x_identity.group()).recipient()) == x_recipient.group()
    # The text forms round-trip exactly.
    assert str(age.parse_identity(pq_identity.group())) == pq_identity.group()
    assert str(age.parse_recipient(pq_recipient.group())) == pq_recipient.group()


def test_key_files_of_several_kinds(tmp_path: Path) -> None:
    ids = [age.X25519Identity.generate(), age.HybridIdentity.generate(), age.X25519Identity.generate()]
    (tmp_path / "ids.txt").write_text(
        "# created: today\n# public key: ...\n\n" + "\n".join(f"{i}\n# comment" for i in ids) + "\n"
    )
    loaded = age.read_identities_file(tmp_path / "ids.txt")
    assert [str(i) for i in loaded] == [str(i) for i in ids]
    (tmp_path / "rs.txt").write_text("\n".join(f"  {i.recipient()}  " for i in ids[::2]) + "\n#x\n")
    recipients = age.read_recipients_file(tmp_path / "rs.txt")
    blob = age.encrypt(b"hello", recipients)
    assert age.decrypt(blob, [ids[2]]) == b"hello"
    pq_blob = age.encrypt(b"pq", [ids[1].recipient()])
    assert age.decrypt(pq_blob, loaded) == b"pq"  # identities of every kind, in any order
    (tmp_path / "bad.txt").write_text("# fine\nage1notakey\n")
    with pytest.raises(velora.KeySerializationError, match="line 2"):
        age.read_recipients_file(tmp_path / "bad.txt")


def test_header_round_trip_keeps_bytes(identity: age.X25519Identity) -> None:
    blob = age.encrypt(b"x", [identity.recipient(), age.X25519Identity.generate().recipient()])
    header = read_header(ByteSource(io.BytesIO(blob).read))
    assert [s.type for s in header.stanzas] == ["X25519", "X25519"]
    assert blob.startswith(header.signed) and header.signed.endswith(b"\n---")


def test_file_objects_behave(identity: age.X25519Identity) -> None:
    blob = age.encrypt(b"abcdef", [identity.recipient()])
    r = age.AgeReader(io.BytesIO(blob), [identity])
    assert r.readable() and not r.writable() and not r.seekable()
    assert r.read(2) == b"ab" and r.read() == b"cdef" and r.read() == b""
    r.close()
    with pytest.raises(ValueError):
        r.read()
    w = age.AgeWriter(io.BytesIO(), [identity.recipient()])
    w.close()
    with pytest.raises(ValueError):
        w.write(b"x")
    assert is_age(blob) and not is_age(b"VLPK")


def is_age(head: bytes) -> bool:
    return age.is_age_file(head)


@pytest.mark.parametrize("batches", [0, 1, 2, 3, 7])
@pytest.mark.parametrize("delta", [-1, 0, 1])
def test_file_functions_across_batch_boundaries(
    identity: age.X25519Identity, tmp_path: Path, batches: int, delta: int
) -> None:
    # encrypt_file reads ahead on a second thread and decrypt_file too: sizes around
    # whole batches, and a truncated file that still releases only its authenticated prefix.
    size = max(0, batches * age.BATCH_CHUNKS * CHUNK + delta)
    data = _data(size)
    (tmp_path / "p").write_bytes(data)
    age.encrypt_file(tmp_path / "p", tmp_path / "c", [identity.recipient()])
    blob = (tmp_path / "c").read_bytes()
    assert age.decrypt(blob, [identity]) == data
    age.decrypt_file(tmp_path / "c", tmp_path / "o", [identity])
    assert (tmp_path / "o").read_bytes() == data
    (tmp_path / "c").write_bytes(blob[:-1])
    with pytest.raises(age.AgePayloadError):
        age.decrypt_file(tmp_path / "c", tmp_path / "o", [identity])
    assert data.startswith((tmp_path / "o").read_bytes())


def test_an_exception_inside_the_writer_leaves_an_incomplete_file(identity: age.X25519Identity) -> None:
    sink = io.BytesIO()
    with pytest.raises(RuntimeError):
        with age.AgeWriter(sink, [identity.recipient()]) as w:
            w.write(_data(3 * CHUNK))
            raise RuntimeError("the producer failed")
    assert w.closed
    r = age.AgeReader(io.BytesIO(sink.getvalue()), [identity])
    with pytest.raises(age.AgePayloadError):
        r.read()
