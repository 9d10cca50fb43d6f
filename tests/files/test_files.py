"""Encrypted files: round trips, an independent decoder, and every way a file can be damaged."""

from __future__ import annotations

import io
import os
import random
import struct
import threading
import warnings

import pytest

import velora
from velora import DecryptionError, FileFormatError, PrivateKey
from velora.files import native
from velora.files.transfer import encrypt_with
from velora.files.vlr2.header import KIND_MLKEM512
from velora.files.vlr2.payload import encrypted_size as v2_encrypted_size

import file_oracle

LEVELS = (512, 768, 1024)
CS = 64  # small chunks: many frames in small files
SIZES = (0, 1, CS - 1, CS, CS + 1, 3 * CS + 5)


def seed_for(level: int, tag: int = 1) -> bytes:
    return bytes([tag, level >> 8]) * 32


@pytest.fixture(scope="module")
def keys() -> dict[int, PrivateKey]:
    return {lv: PrivateKey.from_seed(seed_for(lv), lv) for lv in LEVELS}


def encrypt_bytes(data: bytes, key: PrivateKey, chunk_size: int = CS, armor: bool = False) -> bytes:
    """A version 1 file, as earlier writers made them (today's write version 2): readers keep reading them."""
    buf = io.BytesIO()
    encrypt_with(io.BytesIO(data), buf, native.NativeSealer(key.public_key(), chunk_size),
                 native.NATIVE.armor_label if armor else None, None)
    return buf.getvalue()


def decrypt_all_ways(blob: bytes, key: PrivateKey, tmp_path) -> list[bytes]:
    """The plaintext as the reader, decrypt_file from a path (offsets) and from a stream give it."""
    out = []
    with velora.DecryptedReader(io.BytesIO(blob), key) as r:
        out.append(r.read())
    src = tmp_path / "in.vlr"
    src.write_bytes(blob)
    dst = tmp_path / "out.bin"
    velora.decrypt_file(src, dst, key)
    out.append(dst.read_bytes())
    sink = io.BytesIO()
    velora.decrypt_file(io.BytesIO(blob), sink, key)
    out.append(sink.getvalue())
    return out


def expect_rejected(blob: bytes, key: PrivateKey, tmp_path) -> set[str]:
    """Every reading path fails with DecryptionError and leaves nothing at a path destination."""
    messages = set()
    with pytest.raises(DecryptionError) as info:
        with velora.DecryptedReader(io.BytesIO(blob), key) as r:
            while r.read(7):
                pass
    messages.add(str(info.value))
    src = tmp_path / "bad.vlr"
    src.write_bytes(blob)
    dst = tmp_path / "never.bin"
    with pytest.raises(DecryptionError) as info:
        velora.decrypt_file(src, dst, key)
    messages.add(str(info.value))
    assert not dst.exists()
    with pytest.raises(DecryptionError) as info:
        velora.decrypt_file(io.BytesIO(blob), io.BytesIO(), key)
    messages.add(str(info.value))
    assert sorted(os.listdir(tmp_path)) == ["bad.vlr"], "a temporary file was left behind"
    src.unlink()
    return messages


# ---- round trips ----------------------------------------------------------------


@pytest.mark.parametrize("level", LEVELS)
@pytest.mark.parametrize("size", SIZES)
def test_round_trip_through_file_objects_and_paths(level, size, keys, tmp_path):
    data = os.urandom(size)
    key = keys[level]
    blob = encrypt_bytes(data, key)
    assert len(blob) == native.encrypted_size(size, level, CS)
    assert decrypt_all_ways(blob, key, tmp_path) == [data] * 3
    # encrypt_file from a path (offsets, both threads) and from a stream give the same layout
    (tmp_path / "p.bin").write_bytes(data)
    velora.encrypt_file(tmp_path / "p.bin", tmp_path / "p.vlr", key.public_key(), chunk_size=CS)
    sink = io.BytesIO()
    velora.encrypt_file(io.BytesIO(data), sink, key.public_key(), chunk_size=CS)
    for made in ((tmp_path / "p.vlr").read_bytes(), sink.getvalue()):
        assert file_oracle.decrypt(made, seed_for(level)) == data


@pytest.mark.parametrize("level", LEVELS)
def test_round_trip_through_pipes(level, keys):
    """No seeking: the writer writes into a pipe, the reader reads from one."""
    data = os.urandom(5 * CS + 3)
    key = keys[level]
    r_fd, w_fd = os.pipe()
    with open(w_fd, "wb", buffering=0) as wpipe, open(r_fd, "rb", buffering=0) as rpipe:
        def produce():
            with velora.EncryptedWriter(wpipe, key.public_key(), chunk_size=CS) as w:
                for i in range(0, len(data), 10):
                    w.write(data[i : i + 10])
            wpipe.close()

        t = threading.Thread(target=produce)
        t.start()
        with velora.DecryptedReader(rpipe, key) as r:
            got = r.read()
        t.join()
    assert got == data


def test_large_file_through_both_threads(keys, tmp_path):
    """Default 1 MiB chunks, several of them: the two-thread paths, from a path and from a pipe."""
    key = keys[768]
    data = os.urandom(5 * 1024 * 1024 + 12345)
    src = tmp_path / "big.bin"
    src.write_bytes(data)
    calls = []
    velora.encrypt_file(src, tmp_path / "big.vlr", key.public_key(), progress=lambda d, t: calls.append((d, t)))
    assert calls[-1] == (len(data), len(data)) and [d for d, _ in calls] == sorted(d for d, _ in calls)
    blob = (tmp_path / "big.vlr").read_bytes()
    assert file_oracle.decrypt(blob, seed_for(768)) == data
    calls.clear()
    velora.decrypt_file(tmp_path / "big.vlr", tmp_path / "big.out", key, progress=lambda d, t: calls.append((d, t)))
    assert (tmp_path / "big.out").read_bytes() == data
    assert calls[-1] == (len(data), len(data))
    r_fd, w_fd = os.pipe()
    feeder = threading.Thread(target=_feed, args=(w_fd, blob))
    feeder.start()
    sink = io.BytesIO()
    with open(r_fd, "rb", buffering=0) as rpipe:
        velora.decrypt_file(rpipe, sink, key)
    feeder.join()
    assert sink.getvalue() == data


def _feed(fd: int, data: bytes) -> None:
    with open(fd, "wb", buffering=0) as f:
        view = memoryview(data)
        while view:
            view = view[f.write(view[: 1 << 16]) :]


def test_writer_chunking_does_not_depend_on_write_sizes(keys):
    """Every chunk but the last is full, however the plaintext arrives."""
    key = keys[512]
    data = os.urandom(10 * CS + 7)
    rng = random.Random(5)
    buf = io.BytesIO()
    with velora.EncryptedWriter(buf, key.public_key(), chunk_size=CS) as w:
        pos = 0
        while pos < len(data):
            n = rng.choice([0, 1, 5, CS - 1, CS, CS + 1, 3 * CS])
            assert w.write(memoryview(data)[pos : pos + n]) == len(data[pos : pos + n])
            pos += n
        assert w.tell() == len(data)
    assert len(buf.getvalue()) == v2_encrypted_size(len(data), [KIND_MLKEM512], CS)
    assert file_oracle.decrypt(buf.getvalue(), seed_for(512)) == data


# ---- the independent decoder -------------------------------------------------------


@pytest.mark.parametrize("level", LEVELS)
@pytest.mark.parametrize("size", [0, 100, 4 * CS])
def test_oracle_reads_ours_and_we_read_the_oracles(level, size, keys, tmp_path):
    data = os.urandom(size)
    seed = seed_for(level)
    assert file_oracle.decrypt(encrypt_bytes(data, keys[level]), seed) == data
    assert file_oracle.decrypt(file_oracle.dearmor(encrypt_bytes(data, keys[level], armor=True)), seed) == data
    made = file_oracle.encrypt(data, seed, level, CS)
    assert decrypt_all_ways(made, keys[level], tmp_path) == [data] * 3


def test_layout_sizes_match_the_document():
    for level, c in ((512, 768), (768, 1088), (1024, 1568)):
        assert native.header_size(level) == 79 + c
    assert native.MAGIC == b"\x89VLR\r\n\x1a\n"
    assert native.make_preamble(768) == native.MAGIC + b"\x01\x03\x00"


# ---- damage ----------------------------------------------------------------------


def frame_offsets(blob: bytes, level: int) -> list[int]:
    """Start of the binding frame, of every data frame and of the end marker, then the end."""
    pos = 11 + native.stream_header_size(level)
    out = []
    while pos < len(blob):
        out.append(pos)
        (length,) = struct.unpack_from(">I", blob, pos)
        pos += 4 + length + 16
    out.append(len(blob))
    return out


@pytest.fixture(scope="module")
def sample(keys):
    """A 512-level file of four full chunks and a short one."""
    data = os.urandom(4 * CS + 9)
    return data, encrypt_bytes(data, keys[512])


def test_truncation_at_every_frame_boundary_and_field(sample, keys, tmp_path):
    data, blob = sample
    cuts = set(frame_offsets(blob, 512)[:-1])
    cuts |= {0, 1, 8, 9, 10, 11, 11 + 768, 11 + 768 + 12, 11 + 784 - 1}
    cuts |= {o + d for o in frame_offsets(blob, 512)[:-1] for d in (1, 3, 4, 5) if o + d < len(blob)}
    cuts |= {len(blob) - 1, len(blob) - 16}
    for cut in sorted(cuts):
        messages = expect_rejected(blob[:cut], keys[512], tmp_path)
        assert messages, cut


def test_truncation_at_random_offsets(sample, keys, tmp_path):
    _, blob = sample
    rng = random.Random(1)
    for cut in rng.sample(range(len(blob)), 40):
        expect_rejected(blob[:cut], keys[512], tmp_path)


def test_reader_hands_out_only_authenticated_chunks_then_fails(sample, keys):
    """A file cut after its third data frame: the reader gives those chunks, then raises, and keeps raising."""
    data, blob = sample
    offsets = frame_offsets(blob, 512)
    cut = blob[: offsets[4]]  # binding frame + 3 data frames
    with velora.DecryptedReader(io.BytesIO(cut), keys[512]) as r:
        assert r.read(3 * CS) == data[: 3 * CS]
        with pytest.raises(DecryptionError, match="truncated"):
            r.read(1)
        with pytest.raises(DecryptionError, match="truncated"):
            r.read()


def test_reordered_duplicated_dropped_and_spliced_frames(sample, keys, tmp_path):
    data, blob = sample
    o = frame_offsets(blob, 512)
    head, frames = blob[: o[1]], [blob[o[i] : o[i + 1]] for i in range(1, len(o) - 1)]
    assert len(frames) == 6  # 5 data frames + end marker
    other = encrypt_bytes(data, keys[512])
    oo = frame_offsets(other, 512)
    cases = {
        "swap 1,2": head + frames[1] + frames[0] + b"".join(frames[2:]),
        "duplicate 2": head + b"".join(frames[:2]) + frames[1] + b"".join(frames[2:]),
        "drop 3": head + b"".join(frames[:2]) + b"".join(frames[3:]),
        "end marker early": head + b"".join(frames[:3]) + frames[-1],
        "end marker twice": blob + frames[-1],
        "short frame moved first": head + frames[4] + b"".join(frames[:4]) + frames[-1],
        "header of another file": other[: oo[1]] + b"".join(frames),
        "frames of another file": head + other[oo[1] :],
        "binding frame of another file": blob[: o[0]] + other[oo[0] : oo[1]] + b"".join(frames),
    }
    for name, damaged in cases.items():
        assert expect_rejected(damaged, keys[512], tmp_path), name


def test_a_flipped_bit_anywhere_is_an_error(keys, tmp_path):
    key = keys[512]
    data = os.urandom(2 * CS + 3)
    blob = encrypt_bytes(data, key)
    for pos in range(len(blob)):
        damaged = bytearray(blob)
        damaged[pos] ^= 1 << (pos % 8)
        with pytest.raises(DecryptionError):
            with velora.DecryptedReader(io.BytesIO(bytes(damaged)), key) as r:
                r.read()
    # every path, on a sample of positions (the reader above covered them all)
    for pos in random.Random(2).sample(range(len(blob)), 12) + [8, 9, 10, 11 + 768 + 1, 11 + 768 + 15]:
        damaged = bytearray(blob)
        damaged[pos] ^= 0x80
        expect_rejected(bytes(damaged), key, tmp_path)


def test_changed_level_version_and_magic(keys, tmp_path):
    data = os.urandom(CS + 1)
    blob = encrypt_bytes(data, keys[768])
    all_keys = list(keys.values())
    for value in (0, 2, 255):
        damaged = blob[:8] + bytes([value]) + blob[9:]
        # 2 reads the rest as a version 2 header, which these bytes are not
        with pytest.raises(FileFormatError, match="unsupported velora file version" if value != 2 else ""):
            velora.DecryptedReader(io.BytesIO(damaged), all_keys)
        expect_rejected(damaged, keys[768], tmp_path)
    for level in (512, 1024, 0, 769, 65535):
        damaged = blob[:9] + struct.pack(">H", level) + blob[11:]
        with pytest.raises(DecryptionError):  # with every key at hand, the right one included
            with velora.DecryptedReader(io.BytesIO(damaged), all_keys) as r:
                r.read()
        expect_rejected(damaged, keys[768], tmp_path)
    with pytest.raises(FileFormatError, match="not a velora"):
        velora.DecryptedReader(io.BytesIO(b"\x88" + blob[1:]), keys[768])


def test_changed_chunk_size_and_ignored_nonce_bytes_are_caught_by_the_binding_frame(keys, tmp_path):
    """Fields the stream does not authenticate: the binding digest does."""
    key = keys[512]
    blob = encrypt_bytes(b"x" * 10, key)
    c = 768
    size_at = 11 + c + 12
    for new_size in (CS + 1, 4 * 1024 * 1024):
        damaged = blob[:size_at] + struct.pack(">I", new_size) + blob[size_at + 4 :]
        assert "binding digest" in " ".join(expect_rejected(damaged, key, tmp_path))
    damaged = bytearray(blob)
    damaged[11 + c] ^= 0xFF  # base nonce byte 0: not part of any frame nonce
    assert "binding digest" in " ".join(expect_rejected(bytes(damaged), key, tmp_path))
    damaged = blob[:size_at] + struct.pack(">I", 31) + blob[size_at + 4 :]
    with pytest.raises(FileFormatError, match="invalid chunk size 31"):
        velora.DecryptedReader(io.BytesIO(damaged), key)


def test_trailing_bytes(sample, keys, tmp_path):
    _, blob = sample
    for extra in (b"\0", b"x", bytes(20), blob[-20:], blob):
        assert expect_rejected(blob + extra, keys[512], tmp_path) == {
            "trailing data after the end of the encrypted stream"
        }


def test_wrong_keys(keys):
    blob = encrypt_bytes(b"secret", keys[768])
    other = PrivateKey.from_seed(seed_for(768, tag=9), 768)
    with pytest.raises(DecryptionError, match="wrong key"):
        velora.DecryptedReader(io.BytesIO(blob), other)
    with pytest.raises(DecryptionError, match="encrypted to an ML-KEM-768 key"):
        velora.DecryptedReader(io.BytesIO(blob), [keys[512], keys[1024]])
    with velora.DecryptedReader(io.BytesIO(blob), [other, keys[512], keys[768]]) as r:
        assert r.read() == b"secret"


# ---- file object behaviour ------------------------------------------------------------


def test_reader_is_a_buffered_binary_file(keys):
    data = b"line one\nline two\n" * 20
    blob = encrypt_bytes(data, keys[512])
    with velora.DecryptedReader(io.BytesIO(blob), keys[512]) as r:
        assert isinstance(r, io.BufferedIOBase) and r.readable() and not r.seekable() and not r.writable()
        assert r.format == "velora" and not r.armored
        buf = bytearray(5)
        assert r.readinto(buf) == 5 and bytes(buf) == data[:5]
        assert r.read1(3) == data[5:8]
        assert r.readline() == data[8:9]
        assert r.tell() == 9
        assert r.read() == data[9:]
        assert r.read() == b"" and r.read(5) == b""
    assert r.closed
    with pytest.raises(ValueError):
        r.read()
    text = io.TextIOWrapper(velora.DecryptedReader(io.BytesIO(blob), keys[512]), encoding="ascii")
    assert text.readlines()[:2] == ["line one\n", "line two\n"]


def test_closing_a_reader_early_is_fine(sample, keys, tmp_path):
    _, blob = sample
    path = tmp_path / "f.vlr"
    path.write_bytes(blob)
    r = velora.DecryptedReader(path, keys[512])
    assert len(r.read(10)) == 10
    r.close()
    r.close()


def test_writer_completes_only_on_close(keys, tmp_path):
    key = keys[512]
    path = tmp_path / "out.vlr"
    with pytest.raises(RuntimeError):
        with velora.EncryptedWriter(path, key.public_key(), chunk_size=CS) as w:
            w.write(b"a" * 1000)
            raise RuntimeError("stop")
    assert not path.exists() and os.listdir(tmp_path) == []

    buf = io.BytesIO()
    with pytest.raises(RuntimeError):
        with velora.EncryptedWriter(buf, key.public_key(), chunk_size=CS) as w:
            w.write(b"a" * 1000)
            raise RuntimeError("stop")
    with pytest.raises(DecryptionError, match="truncated"):
        velora.DecryptedReader(io.BytesIO(buf.getvalue()), key).read()

    buf = io.BytesIO()
    w = velora.EncryptedWriter(buf, key.public_key(), chunk_size=CS)
    w.write(b"b" * 1000)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        del w
    assert any(issubclass(c.category, ResourceWarning) for c in caught)
    with pytest.raises(DecryptionError, match="truncated"):
        velora.DecryptedReader(io.BytesIO(buf.getvalue()), key).read()

    with velora.EncryptedWriter(path, key.public_key()) as w:
        assert not path.exists()  # only on close
        w.write(b"done")
    with velora.DecryptedReader(path, key) as r:
        assert r.read() == b"done"


def test_writer_rejects_what_it_cannot_write(keys, tmp_path):
    pk = keys[512].public_key()
    with pytest.raises(ValueError, match="chunk_size must be 32 to 4194304"):
        velora.EncryptedWriter(io.BytesIO(), pk, chunk_size=31)
    with pytest.raises(velora.VeloraError, match="passphrase must be the only recipient"):
        velora.EncryptedWriter(io.BytesIO(), [pk, velora.files.Passphrase("pw", work_factor=10)])
    with pytest.raises(velora.VeloraError, match="not a key or passphrase"):
        velora.EncryptedWriter(io.BytesIO(), "mlkem768:abc")
    with pytest.raises(IsADirectoryError):
        velora.EncryptedWriter(tmp_path, pk)


# ---- whole files at a path ---------------------------------------------------------------


def test_failed_decryption_leaves_an_existing_destination_alone(sample, keys, tmp_path):
    _, blob = sample
    dst = tmp_path / "precious.txt"
    dst.write_bytes(b"old content")
    os.chmod(dst, 0o640)
    src = tmp_path / "in.vlr"
    for damaged in (blob[:-1], blob + b"!", blob[:900] + bytes([blob[900] ^ 1]) + blob[901:]):
        src.write_bytes(damaged)
        with pytest.raises(DecryptionError):
            velora.decrypt_file(src, dst, keys[512])
        assert dst.read_bytes() == b"old content"
    assert sorted(os.listdir(tmp_path)) == ["in.vlr", "precious.txt"]
    src.write_bytes(blob)
    velora.decrypt_file(src, dst, keys[512])
    assert dst.read_bytes() == sample[0]
    assert (os.stat(dst).st_mode & 0o777) == 0o640  # a replaced file keeps its mode


def test_inspect_without_a_key(sample, keys, tmp_path):
    data, blob = sample
    info = velora.inspect_file(io.BytesIO(blob))
    assert (info.format, info.version, info.level, info.chunk_size) == ("velora", 1, 512, CS)
    assert (info.plaintext_size, info.data_chunks, info.complete) == (len(data), 5, True)
    assert info.file_size == len(blob) and info.header_size == 847
    armored = encrypt_bytes(data, keys[512], armor=True)
    info = velora.inspect_file(io.BytesIO(armored))
    assert info.armored and info.plaintext_size == len(data) and info.file_size == len(armored)
    for bad, problem in ((blob[:-3], "truncated"), (blob + b"x", "trailing")):
        info = velora.inspect_file(io.BytesIO(bad))
        assert info.complete is False and problem in info.problem
