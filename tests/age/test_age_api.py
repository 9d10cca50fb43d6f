"""The age file objects and key texts: streaming in any pattern, truncation
and trailing data, bounded memory, recipient rules, key files."""

from __future__ import annotations

import io
import os
import re
import tracemalloc
from pathlib import Path

import pytest

import velora
from velora import age
from velora.age import file_format as age_format
from velora.age.format import read_header
from velora.files.source import Source as ByteSource

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


BATCH = age_format.BATCH  # the file functions read, seal and open batches of this much plaintext


@pytest.mark.parametrize("batches", [0, 1, 2, 3, 7])
@pytest.mark.parametrize("delta", [-1, 0, 1])
def test_file_functions_across_batch_boundaries(
    identity: age.X25519Identity, tmp_path: Path, batches: int, delta: int
) -> None:
    # encrypt_file and decrypt_file work on two batches at once, by index: sizes
    # around whole batches, checked against the streaming reader and writer.
    size = max(0, batches * BATCH + delta)
    data = _data(size)
    (tmp_path / "p").write_bytes(data)
    assert age.encrypt_file(tmp_path / "p", tmp_path / "c", [identity.recipient()]) == size
    blob = (tmp_path / "c").read_bytes()
    assert age.decrypt(blob, [identity]) == data
    (tmp_path / "c2").write_bytes(age.encrypt(data, [identity.recipient()]))
    for sealed in ("c", "c2"):
        assert age.decrypt_file(tmp_path / sealed, tmp_path / "o", [identity]) == size
        assert (tmp_path / "o").read_bytes() == data


def _damaged(blob: bytes, damage: str) -> bytes:
    """The file with its payload gone bad in one way (each an AgePayloadError)."""
    payload = blob.index(b"\n--- ") + 49 + 16  # after the MAC line and the payload nonce
    if damage == "cut by a byte":
        return blob[:-1]
    if damage == "cut after whole batches":
        return blob[: payload + (len(blob) - payload) // age_format.SEALED_BATCH * age_format.SEALED_BATCH]
    if damage == "a byte more":
        return blob + b"\0"
    altered = bytearray(blob)
    altered[payload + 100 if damage == "first chunk altered" else -1] ^= 1
    return bytes(altered)


DAMAGES = ["cut by a byte", "cut after whole batches", "a byte more", "first chunk altered", "last chunk altered"]


@pytest.mark.parametrize("damage", DAMAGES)
@pytest.mark.parametrize("existing", [None, b"old content"], ids=["new", "existing"])
def test_decrypt_file_leaves_the_destination_as_it_was_on_damage(
    identity: age.X25519Identity, tmp_path: Path, damage: str, existing: bytes | None
) -> None:
    data = _data(2 * BATCH + 3 * CHUNK + 7)
    blob = _damaged(age.encrypt(data, [identity.recipient()]), damage)
    (tmp_path / "c").write_bytes(blob)
    dst = tmp_path / "out"
    if existing is not None:
        dst.write_bytes(existing)
    with pytest.raises(age.AgePayloadError):
        age.decrypt_file(tmp_path / "c", dst, [identity])
    assert dst.read_bytes() == existing if existing is not None else not dst.exists()
    assert sorted(os.listdir(tmp_path)) == sorted(["c"] + (["out"] if existing is not None else []))
    # The file object streams instead: the authenticated chunks before the damage come out first.
    released = bytearray()
    with pytest.raises(age.AgePayloadError), age.AgeReader(io.BytesIO(blob), [identity]) as r:
        while chunk := r.read1(CHUNK):
            released += chunk
    assert data.startswith(released) and (damage == "first chunk altered") == (not released)


def test_decrypt_file_header_errors_leave_the_destination_as_it_was(identity: age.X25519Identity, tmp_path: Path) -> None:
    blob = age.encrypt(_data(1000), [identity.recipient()])
    dst = tmp_path / "out"
    dst.write_bytes(b"old content")
    cases = [
        (blob, [age.X25519Identity.generate()], age.AgeNoIdentityMatchError),
        (blob.replace(b"age-encryption.org/v1", b"age-encryption.org/v2"), [identity], age.AgeHeaderError),
        (age.encrypt(_data(1000), [identity.recipient()], armor=True)[:-40], [identity], age.AgeArmorError),
    ]
    for sealed, ids, error in cases:
        (tmp_path / "c").write_bytes(sealed)
        with pytest.raises(error):
            age.decrypt_file(tmp_path / "c", dst, ids)
        assert dst.read_bytes() == b"old content"
    # armor as AgeReader takes it: required, refused, or found from the first byte.
    (tmp_path / "c").write_bytes(blob)
    with pytest.raises(age.AgeArmorError):
        age.decrypt_file(tmp_path / "c", dst, [identity], armor=True)
    (tmp_path / "c").write_bytes(b"\n\t " + age.encrypt(b"armoured", [identity.recipient()], armor=True))
    with pytest.raises(age.AgeHeaderError):
        age.decrypt_file(tmp_path / "c", dst, [identity], armor=False)
    assert dst.read_bytes() == b"old content"
    assert age.decrypt_file(tmp_path / "c", dst, [identity]) == 8 and dst.read_bytes() == b"armoured"


def test_encrypt_file_writes_the_destination_only_when_complete(identity: age.X25519Identity, tmp_path: Path) -> None:
    data = _data(3 * BATCH + 5)
    (tmp_path / "p").write_bytes(data)
    dst = tmp_path / "c.age"
    dst.write_bytes(b"old content")
    seen: list[tuple[int, int | None]] = []

    def progress(done: int, total: int | None) -> None:
        seen.append((done, total))
        assert dst.read_bytes() == b"old content"  # nothing shows before the end
        if done > BATCH:
            raise RuntimeError("stop")

    with pytest.raises(RuntimeError):
        age.encrypt_file(tmp_path / "p", dst, [identity.recipient()], progress=progress)
    assert dst.read_bytes() == b"old content" and sorted(os.listdir(tmp_path)) == ["c.age", "p"]
    seen.clear()
    age.encrypt_file(tmp_path / "p", dst, [identity.recipient()], armor=True,
                     progress=lambda done, total: seen.append((done, total)))
    assert age.decrypt(dst.read_bytes(), [identity]) == data and dst.read_bytes().startswith(b"-----BEGIN AGE")
    assert seen[-1] == (len(data), len(data)) and [d for d, _ in seen] == sorted(d for d, _ in seen)


def test_payload_opening_needs_room_only_for_the_plaintext(identity: age.X25519Identity) -> None:
    """A last chunk shorter than its tag holds no plaintext, but the whole chunks before it
    still need all their room: the new-bytes path sizes for that, and a buffer one byte
    short is refused, not overrun (this once wrote past the end of a new bytes object)."""
    from velora import _velora_native as native

    key = bytes(range(32))
    sealed = native.age_seal_chunks(key, 0, _data(2 * CHUNK), False)
    for tail in (b"", b"x" * 5, b"x" * 16, b"x" * 17):
        data = sealed + tail
        room = 2 * CHUNK + max(0, len(tail) - 16)
        plaintext, finished, ok = native.age_open_chunks(key, 0, data, True)
        assert plaintext == _data(2 * CHUNK) and not finished and not ok
        assert native.age_open_chunks(key, 0, data, True, bytearray(room))[0] == 2 * CHUNK
        with pytest.raises(velora.InvalidParameterError):
            native.age_open_chunks(key, 0, data, True, bytearray(room - 1))
        for threads in (1, 3, None):
            assert native.age_open_chunks(key, 0, data, True, threads=threads)[0] == plaintext


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
