"""Random access in DecryptedReader: seek, tell, size and reads at any offset.

The files are made by the independent writer of tests/file_oracle.py (from the
format's documentation, on `cryptography`), so a reader that agrees with itself
but not with the format fails here; every read is checked against the slice of
the plaintext."""

from __future__ import annotations

import io
import os
import random
import threading
import zipfile

import fsspec
import pytest

import velora
from velora import DecryptionError
from velora.files import DecryptedReader

import file_oracle

SEED = bytes(range(64))
KEY = velora.PrivateKey.from_seed(SEED, 768)
CS = 64  # small chunks: many chunk boundaries in a small file


def oracle_file(plaintext: bytes, chunk_size: int = CS) -> bytes:
    return file_oracle.encrypt(plaintext, SEED, 768, chunk_size)


def header_size() -> int:
    return 11 + 1088 + 16 + 52


class CountingIO(io.BytesIO):
    """A seekable input that counts the bytes read from it."""

    def __init__(self, data: bytes) -> None:
        super().__init__(data)
        self.bytes_read = 0

    def read(self, n: int | None = -1) -> bytes:
        out = super().read(n)
        self.bytes_read += len(out)
        return out

    def fileno(self) -> int:
        raise io.UnsupportedOperation("no file descriptor")


def offsets(size: int, cs: int, rng: random.Random) -> list[int]:
    """Every offset class: chunk boundaries and either side, inside chunks, the end, past the end."""
    chunks = -(-size // cs)
    out = [0, 1, max(0, size - 1), size, size + 1, size + cs, size + 10_000]
    for k in range(chunks + 1):
        out += [k * cs - 1, k * cs, k * cs + 1]
    out += [rng.randrange(0, size + 1) for _ in range(2 * chunks + 4)]
    return [o for o in out if o >= 0]


def read_sizes(cs: int, rng: random.Random) -> list[int | None]:
    return [0, 1, 2, cs - 1, cs, cs + 1, 3 * cs + 7, rng.randrange(1, 10 * cs), -1, None]


PLAINTEXT_SIZES = [0, 1, CS - 1, CS, CS + 1, 17 * CS, 40 * CS + 13]


def sources(blob: bytes, tmp_path) -> dict[str, object]:
    path = tmp_path / "f.vel"
    path.write_bytes(blob)
    mem = fsspec.filesystem("memory")
    mem.pipe_file(f"/ra/{len(blob)}.vel", blob)
    return {
        "local file": lambda: open(path, "rb"),
        "BytesIO": lambda: io.BytesIO(blob),
        "fsspec memory file": lambda: mem.open(f"/ra/{len(blob)}.vel", "rb"),
        "fsspec local file": lambda: fsspec.filesystem("file").open(str(path), "rb"),
    }


def test_ten_thousand_seeks_and_reads_equal_the_plaintext_slices(tmp_path):
    rng = random.Random(2026)
    pairs = 0
    for size in PLAINTEXT_SIZES:
        plaintext = rng.randbytes(size)
        blob = oracle_file(plaintext)
        for name, make in sources(blob, tmp_path).items():
            with make() as raw, DecryptedReader(raw, KEY) as r:
                assert r.seekable(), name
                assert r.size == size
                assert r.seek(0, io.SEEK_END) == size
                for _ in range(4 if size > 10 * CS else 10):
                    for off in offsets(size, CS, rng):
                        for n in read_sizes(CS, rng):
                            whence = rng.choice((io.SEEK_SET, io.SEEK_CUR, io.SEEK_END))
                            arg = {io.SEEK_SET: off, io.SEEK_CUR: off - r.tell(), io.SEEK_END: off - size}[whence]
                            assert r.seek(arg, whence) == off
                            got = r.read(n)
                            want = plaintext[off:] if n is None or n < 0 else plaintext[off : off + n]
                            assert got == want, (name, size, off, n)
                            assert r.tell() == off + len(want)
                            pairs += 1
    assert pairs >= 10_000


def test_a_read_opens_only_the_chunks_it_touches():
    plaintext = random.Random(1).randbytes(200 * CS)
    raw = CountingIO(oracle_file(plaintext))
    with DecryptedReader(raw, KEY) as r:
        start = raw.bytes_read  # the header
        r.seek(100 * CS + 5)
        assert r.read(10) == plaintext[100 * CS + 5 : 100 * CS + 15]
        assert raw.bytes_read - start == CS + 20  # one frame
        r.seek(50 * CS - 1)
        assert r.read(2) == plaintext[50 * CS - 1 : 50 * CS + 1]
        assert raw.bytes_read - start == 3 * (CS + 20)  # and the two either side of a boundary
        r.seek(50 * CS + 3)  # kept from the read before
        assert r.read(4) == plaintext[50 * CS + 3 : 50 * CS + 7]
        assert raw.bytes_read - start == 3 * (CS + 20)


def test_readinto_at_offsets_and_zipfile_over_the_reader(tmp_path):
    inner = io.BytesIO()
    members = {f"m{i}.bin": random.Random(i).randbytes(i * 300) for i in range(1, 12)}
    with zipfile.ZipFile(inner, "w", compression=zipfile.ZIP_DEFLATED) as z:
        for name, data in members.items():
            z.writestr(name, data)
    blob = oracle_file(inner.getvalue(), 256)
    with DecryptedReader(io.BytesIO(blob), KEY) as r, zipfile.ZipFile(r) as z:
        assert z.namelist() == list(members)
        for name, data in members.items():
            assert z.read(name) == data
        assert z.testzip() is None
    with DecryptedReader(io.BytesIO(blob), KEY) as r:
        buf = bytearray(700)
        r.seek(1000)
        assert r.readinto(memoryview(buf)[100:]) == 600
        assert bytes(buf[100:]) == inner.getvalue()[1000:1600]


def flip(blob: bytes, at: int) -> bytes:
    out = bytearray(blob)
    out[at] ^= 0x01
    return bytes(out)


@pytest.mark.parametrize("where", ["length field", "ciphertext", "tag"])
def test_a_flipped_byte_in_a_chunk_fails_the_reads_of_that_chunk_only(where):
    plaintext = random.Random(7).randbytes(10 * CS + 9)
    blob = oracle_file(plaintext)
    stride = CS + 20
    chunk = 4
    frame = header_size() + chunk * stride
    at = {"length field": frame + 3, "ciphertext": frame + 4 + 30, "tag": frame + 4 + CS + 5}[where]
    bad = flip(blob, at)
    with DecryptedReader(io.BytesIO(bad), KEY) as r:
        assert r.size == len(plaintext)  # the end is intact
        for off, n in [(chunk * CS, 1), (chunk * CS + 63, 1), (chunk * CS - 1, 2), (0, -1), (2 * CS, 5 * CS)]:
            r.seek(off)
            with pytest.raises(DecryptionError):
                r.read(n)
        for off, n in [(0, CS), (3 * CS + 10, CS - 10), (5 * CS, 5 * CS + 9), (chunk * CS + CS, 1)]:
            r.seek(off)
            assert r.read(n) == plaintext[off : off + n]


@pytest.mark.parametrize("case", ["cut in the end marker", "cut at a frame boundary", "end marker dropped",
                                  "a byte appended", "an end marker appended", "end marker flipped",
                                  "last chunk flipped"])
def test_the_size_is_trusted_only_after_the_end_authenticates(case):
    plaintext = random.Random(3).randbytes(6 * CS + 20)
    blob = oracle_file(plaintext)
    stride = CS + 20
    last = header_size() + 6 * stride
    bad = {
        "cut in the end marker": blob[:-7],
        "cut at a frame boundary": blob[: header_size() + 3 * stride],
        "end marker dropped": blob[:-20],
        "a byte appended": blob + b"\0",
        "an end marker appended": blob + blob[-20:],
        "end marker flipped": flip(blob, len(blob) - 1),
        "last chunk flipped": flip(blob, last + 10),
    }[case]
    with DecryptedReader(io.BytesIO(bad), KEY) as r:
        with pytest.raises(DecryptionError):
            r.size
        with pytest.raises(DecryptionError):
            r.seek(0, io.SEEK_END)
        r.seek(len(plaintext) - 1)
        with pytest.raises(DecryptionError):
            r.read(1)
        r.seek(CS)  # a chunk before the damage still reads
        assert r.read(CS) == plaintext[CS : 2 * CS]


def test_front_to_back_reading_of_a_seekable_input_fails_where_a_pipe_would():
    """Without a seek, a cut file gives the chunks that authenticate, then raises."""
    plaintext = random.Random(4).randbytes(6 * CS)
    cut = oracle_file(plaintext)[: header_size() + 3 * (CS + 20)]
    with DecryptedReader(io.BytesIO(cut), KEY) as r:
        assert r.read(3 * CS) == plaintext[: 3 * CS]
        with pytest.raises(DecryptionError, match="truncated"):
            r.read(1)


def test_a_pipe_is_read_front_to_back(tmp_path):
    plaintext = random.Random(5).randbytes(9 * CS + 1)
    blob = oracle_file(plaintext)
    rfd, wfd = os.pipe()

    def feed() -> None:
        with os.fdopen(wfd, "wb") as w:
            w.write(blob)

    t = threading.Thread(target=feed)
    t.start()
    try:
        with os.fdopen(rfd, "rb") as pipe, DecryptedReader(pipe, KEY) as r:
            assert not r.seekable()
            assert r.seek(0, io.SEEK_CUR) == 0
            assert r.read(10) == plaintext[:10]
            assert r.seek(10) == 10 and r.tell() == 10
            for args in [(0,), (100,), (-1, io.SEEK_CUR), (0, io.SEEK_END)]:
                with pytest.raises(io.UnsupportedOperation):
                    r.seek(*args)
            with pytest.raises(io.UnsupportedOperation):
                r.size
            assert r.read() == plaintext[10:]
    finally:
        t.join()


def test_armour_is_read_front_to_back(tmp_path):
    plaintext = b"armoured " * 100
    src, dst = tmp_path / "p", tmp_path / "a.vel"
    src.write_bytes(plaintext)
    velora.encrypt_file(src, dst, KEY.public_key(), armor=True)
    with DecryptedReader(dst, KEY) as r:
        assert r.armored and not r.seekable()
        assert r.read() == plaintext


def test_seek_arguments():
    with DecryptedReader(io.BytesIO(oracle_file(b"abc" * 50)), KEY) as r:
        with pytest.raises(ValueError):
            r.seek(-1)
        with pytest.raises(ValueError):
            r.seek(0, 3)
        with pytest.raises(TypeError):
            r.seek(1.5)  # type: ignore[arg-type]
        assert r.seek(-3, io.SEEK_END) == 147 and r.read() == b"abc"
    with pytest.raises(ValueError):
        r.seek(0)


def test_default_chunk_size_file_on_disk(tmp_path):
    """1 MiB chunks, the writers' default, through a path (os.pread)."""
    rng = random.Random(9)
    plaintext = rng.randbytes(3 * 1024 * 1024 + 12345)
    src, dst = tmp_path / "p", tmp_path / "f.vel"
    src.write_bytes(plaintext)
    velora.encrypt_file(src, dst, KEY.public_key())
    assert file_oracle.decrypt(dst.read_bytes(), SEED) == plaintext
    with DecryptedReader(dst, KEY) as r:
        for _ in range(200):
            off = rng.randrange(0, len(plaintext) + 10)
            n = rng.choice([1, 4096, 1024 * 1024, 2 * 1024 * 1024 + 3])
            r.seek(off)
            assert r.read(n) == plaintext[off : off + n]


# ---- age files (64 KiB chunks, the final flag in the last chunk's nonce), made by Debian's age ----

AGE_CHUNK = 64 * 1024
AGE_SIZES = [0, 1, AGE_CHUNK - 1, AGE_CHUNK, AGE_CHUNK + 1, 3 * AGE_CHUNK, 5 * AGE_CHUNK + 4321]


def age_binary() -> str:
    import shutil

    path = shutil.which("age")
    if path is None:
        message = "Debian's age is not installed (make system installs it)"
        if os.environ.get("CI") == "true":
            pytest.fail(message)
        pytest.skip(message)
    return path


@pytest.fixture(scope="module")
def age_files():
    """(identity, {size: (plaintext, file made by the age command)})."""
    import subprocess

    from velora import age

    binary = age_binary()
    identity = age.X25519Identity.generate()
    rng = random.Random(21)
    files = {}
    for size in AGE_SIZES:
        plaintext = rng.randbytes(size)
        blob = subprocess.run([binary, "-r", str(identity.recipient())], input=plaintext, capture_output=True,
                              check=True).stdout
        files[size] = (plaintext, blob)
    return identity, files


def readers(identity):
    from velora import age

    return {"DecryptedReader": lambda f: DecryptedReader(f, identity),
            "AgeReader": lambda f: age.AgeReader(f, [identity])}


def test_age_ten_thousand_seeks_and_reads(age_files, tmp_path):
    identity, files = age_files
    rng = random.Random(22)
    pairs = 0
    for size, (plaintext, blob) in files.items():
        for source_name, make in sources(blob, tmp_path).items():
            for reader_name, open_reader in readers(identity).items():
                with make() as raw, open_reader(raw) as r:
                    assert r.seekable() and r.size == size, (reader_name, source_name)
                    for off in offsets(size, AGE_CHUNK, rng)[:40]:
                        for n in [0, 1, 2, 4096, AGE_CHUNK - 1, AGE_CHUNK, AGE_CHUNK + 1, 3 * AGE_CHUNK + 7, -1]:
                            assert r.seek(off) == off
                            got = r.read(n)
                            want = plaintext[off:] if n < 0 else plaintext[off : off + n]
                            assert got == want, (reader_name, source_name, size, off, n)
                            assert r.tell() == off + len(want)
                            pairs += 1
    assert pairs >= 10_000


@pytest.mark.parametrize("reader_name", ["DecryptedReader", "AgeReader"])
def test_age_damage_and_truncation(age_files, reader_name):
    identity, files = age_files
    plaintext, blob = files[5 * AGE_CHUNK + 4321]
    payload = len(blob) - (5 * (AGE_CHUNK + 16) + 4321 + 16)
    open_reader = readers(identity)[reader_name]
    bad = flip(blob, payload + 2 * (AGE_CHUNK + 16) + 100)  # inside chunk 2
    with open_reader(io.BytesIO(bad)) as r:
        assert r.size == len(plaintext)
        r.seek(2 * AGE_CHUNK + 5)
        with pytest.raises(DecryptionError):
            r.read(1)
        r.seek(AGE_CHUNK)
        assert r.read(AGE_CHUNK) == plaintext[AGE_CHUNK : 2 * AGE_CHUNK]
        r.seek(3 * AGE_CHUNK)
        assert r.read() == plaintext[3 * AGE_CHUNK :]
    # Cut after a whole chunk: the last one there has no final flag, so no size is trusted.
    for cut in (blob[: payload + 3 * (AGE_CHUNK + 16)], blob[:-1], blob + b"\0"):
        with open_reader(io.BytesIO(cut)) as r:
            with pytest.raises(DecryptionError):
                r.seek(0, io.SEEK_END)
            r.seek(10)
            assert r.read(10) == plaintext[10:20]


# ---- version 2 files (the writers' format): chunks at header + i * (S + 16), the last flag in the nonce ----

@pytest.mark.parametrize("size", [0, 1, 31, 32, 33, 1000, 3 * 64 * 1024 + 5])
@pytest.mark.parametrize("chunk_size", [32, 64 * 1024])
def test_version_2_seek_read_and_damaged_end(tmp_path, size, chunk_size):
    rng = random.Random(size * 7 + chunk_size)
    plaintext = rng.randbytes(size)
    src, dst = tmp_path / "p", tmp_path / "f.vel"
    src.write_bytes(plaintext)
    velora.encrypt_file(src, dst, KEY.public_key(), chunk_size=chunk_size)
    sealed = dst.read_bytes()
    assert file_oracle.decrypt(sealed, SEED) == plaintext
    with DecryptedReader(dst, KEY) as r:
        assert r.seekable() and r.seek(0, io.SEEK_END) == size
        for _ in range(300):
            off = rng.randrange(0, size + 40)
            n = rng.choice([1, 7, chunk_size, 4096 + 3])
            r.seek(off)
            assert r.read(n) == plaintext[off : off + n]
    # A changed last byte, a cut file, and one byte appended: no size is answered.
    for bad in (sealed[:-1] + bytes([sealed[-1] ^ 1]), sealed[:-1], sealed + b"\0"):
        dst.write_bytes(bad)
        with DecryptedReader(dst, KEY) as r, pytest.raises(velora.DecryptionError):
            r.seek(0, io.SEEK_END)
