"""Velora files, version 2: many recipients of several kinds, the header's MAC, the payload's chunks,
re-wrapping. The independent reader and writer is tests/file_oracle_v2.py (from the document alone)."""

from __future__ import annotations

import hashlib
import io
import os
import signal
import struct
import subprocess
import sys
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velora
from velora import DecryptionError, FileFormatError, PrivateKey
from velora.files import Passphrase, rewrap
from velora.files.source import Source
from velora.files.vlr2 import header as h
from velora.files.vlr2.payload import chunk_offset, encrypted_size
from velora.errors import (
    HeaderChangedError,
    IncorrectPassphraseError,
    NoIdentityMatchError,
    PassphraseNeededError,
    RecipientError,
)
from velora.xwing import XWingPrivateKey

import file_oracle_v2 as oracle

CS = 64  # small chunks: many of them in small files


def seed(tag: int) -> bytes:
    return bytes([tag]) * 64


@pytest.fixture(scope="module")
def team() -> dict[str, object]:
    """Keys of every kind, from fixed seeds the oracle rebuilds them from."""
    return {
        "k512": PrivateKey.from_seed(seed(1), 512),
        "k768": PrivateKey.from_seed(seed(2), 768),
        "k1024": PrivateKey.from_seed(seed(3), 1024),
        "xwing": XWingPrivateKey.from_seed(bytes([4]) * 32),
        "other768": PrivateKey.from_seed(seed(5), 768),
    }


ORACLE_IDS = {
    "k512": ("mlkem", seed(1)), "k768": ("mlkem", seed(2)), "k1024": ("mlkem", seed(3)),
    "xwing": ("xwing", bytes([4]) * 32), "other768": ("mlkem", seed(5)),
}


def encrypt(data: bytes, recipients: list[object], chunk_size: int = CS) -> bytes:
    buf = io.BytesIO()
    velora.encrypt_file(io.BytesIO(data), buf, recipients, chunk_size=chunk_size)
    return buf.getvalue()


def decrypt(blob: bytes, identities: object) -> bytes:
    out = io.BytesIO()
    velora.decrypt_file(io.BytesIO(blob), out, identities)
    return out.getvalue()


def decrypt_every_way(blob: bytes, identity: object, tmp_path) -> list[bytes]:
    """decrypt_file from a stream and from a path (offsets, two threads), and the file object."""
    got = [decrypt(blob, identity)]
    src = tmp_path / "in.vlr"
    src.write_bytes(blob)
    velora.decrypt_file(src, tmp_path / "out", identity)
    got.append((tmp_path / "out").read_bytes())
    with velora.DecryptedReader(io.BytesIO(blob), identity) as r:
        got.append(r.read())
    return got


def refused_every_way(blob: bytes, identity: object, tmp_path) -> set[str]:
    """Every reading path raises DecryptionError, and a path destination is not created."""
    messages = set()
    src = tmp_path / "bad.vlr"
    src.write_bytes(blob)
    for attempt in (lambda: decrypt(blob, identity),
                    lambda: velora.decrypt_file(src, tmp_path / "never", identity)):
        with pytest.raises(DecryptionError) as info:
            attempt()
        messages.add(str(info.value))
    assert not (tmp_path / "never").exists()
    return messages


# ---- many recipients ----------------------------------------------------------------------------


@pytest.mark.parametrize("size", [0, 1, CS - 1, CS, CS + 1, 5 * CS + 3])
def test_three_kinds_in_one_file_each_key_alone_opens_it(team, size, tmp_path):
    data = os.urandom(size)
    names = ["k768", "k1024", "xwing"]
    blob = encrypt(data, [team[n].public_key() for n in names])  # type: ignore[attr-defined]
    assert blob[8] == 2 and len(blob) == encrypted_size(size, [h.KIND_MLKEM768, h.KIND_MLKEM1024, h.KIND_XWING], CS)
    for name in names:
        assert decrypt_every_way(blob, team[name], tmp_path) == [data] * 3
        assert oracle.decrypt(blob, [ORACLE_IDS[name]]) == data
    with pytest.raises(NoIdentityMatchError, match="no identity matches"):
        decrypt(blob, team["other768"])
    with pytest.raises(NoIdentityMatchError, match="ML-KEM-1024, ML-KEM-768 and X-Wing"):
        decrypt(blob, team["k512"])  # no identity of the file's kinds
    with pytest.raises(velora.VeloraError):
        decrypt(blob, Passphrase("pw"))
    with pytest.raises(NoIdentityMatchError):
        decrypt(blob, [team["other768"], team["k512"]])


def test_every_kind_from_the_oracle_and_passphrases(team, tmp_path):
    """Files the oracle writes (from the document) open with our reader; ours open with the oracle."""
    data = os.urandom(3 * 1024 + 17)
    recipients = [("mlkem", 512, team["k512"].public_key().to_bytes()),  # type: ignore[attr-defined]
                  ("mlkem", 768, team["k768"].public_key().to_bytes()),  # type: ignore[attr-defined]
                  ("mlkem", 1024, team["k1024"].public_key().to_bytes()),  # type: ignore[attr-defined]
                  ("xwing", team["xwing"].public_key().to_bytes())]  # type: ignore[attr-defined]
    for chunk_size in (32, 1024, 4096):
        made = oracle.encrypt(data, recipients, chunk_size)
        for name in ("k512", "k768", "k1024", "xwing"):
            assert decrypt_every_way(made, team[name], tmp_path) == [data] * 3
    for plaintext in (b"", data):
        made = oracle.encrypt(plaintext, [("scrypt", b"correct horse", 10)])
        assert decrypt(made, Passphrase("correct horse")) == plaintext
        with pytest.raises(IncorrectPassphraseError, match="incorrect passphrase"):
            decrypt(made, Passphrase("wrong horse"))
        with pytest.raises(PassphraseNeededError):
            decrypt(made, team["k768"])
        ours = encrypt(plaintext, [Passphrase("correct horse", work_factor=10)])
        assert oracle.decrypt(ours, [("scrypt", b"correct horse")]) == plaintext


def test_passphrase_rules(team):
    with pytest.raises(RecipientError, match="only recipient") as info:
        encrypt(b"x", [Passphrase("pw", work_factor=10), team["k768"].public_key()])  # type: ignore[attr-defined]
    assert isinstance(info.value, velora.VeloraError) and isinstance(info.value, ValueError)
    # a passphrase entry beside another, made without velora: refused by the reader
    mixed = oracle.encrypt(b"x", [("scrypt", b"pw", 10), ("mlkem", 768, team["k768"].public_key().to_bytes())])
    with pytest.raises(FileFormatError, match="only recipient"):
        decrypt(mixed, team["k768"])
    # a work factor above the reader's limit is refused before any scrypt work
    heavy = oracle.encrypt(b"x", [("scrypt", b"pw", 12)])
    with pytest.raises(DecryptionError, match="work factor 12"):
        decrypt(heavy, Passphrase("pw", max_work_factor=11))
    assert decrypt(heavy, Passphrase("pw", max_work_factor=12)) == b"x"


def test_refused_recipient_sets_are_velora_errors(team):
    from velora import age

    pk = team["k768"].public_key()  # type: ignore[attr-defined]
    cases = [
        ([pk, age.X25519Identity.generate().recipient()], "cannot share one file"),
        ([], "no recipient"),
        ([PrivateKey.generate(768).public_key() for _ in range(h.MAX_RECIPIENTS + 1)], "at most 1024"),
    ]
    for recipients, message in cases:
        with pytest.raises(velora.VeloraError, match=message) as info:
            encrypt(b"x", recipients)
        assert type(info.value).__name__ not in str(info.value)
    # a text is the wrong type, not a bad value
    with pytest.raises(TypeError, match="str is not a recipient"):
        encrypt(b"x", ["mlkem768:abc"])
    # the same key twice is one entry
    blob = encrypt(b"x", [pk, pk])
    assert struct.unpack_from(">H", blob, 13)[0] == 1


def test_a_thousand_recipients(team):
    keys = [PrivateKey.generate(512).public_key() for _ in range(999)]
    blob = encrypt(b"team secret", [*keys, team["k512"].public_key()])  # type: ignore[attr-defined]
    header = h.parse(Source(io.BytesIO(blob)))
    assert len(header.entries) == 1000 and header.size == 15 + 1000 * 833 + 48
    assert decrypt(blob, team["k512"]) == b"team secret"  # the last entry
    assert oracle.decrypt(blob, [ORACLE_IDS["k512"]]) == b"team secret"


# ---- the header's integrity --------------------------------------------------------------------


def test_every_header_byte_flipped_is_refused(team, tmp_path):
    blob = encrypt(os.urandom(3 * CS), [team[n].public_key() for n in ("k768", "k512", "xwing")])  # type: ignore[attr-defined]
    size = h.parse(Source(io.BytesIO(blob))).size
    identities = [team["k768"], team["k512"], team["xwing"]]
    for pos in range(size):
        for bit in (0x01, 0x80):
            damaged = bytearray(blob)
            damaged[pos] ^= bit
            with pytest.raises(DecryptionError):
                decrypt(bytes(damaged), identities)
    # the oracle agrees for a sample of them
    for pos in range(0, size, 97):
        damaged = bytearray(blob)
        damaged[pos] ^= 0x01
        with pytest.raises(oracle.OracleError):
            oracle.decrypt(bytes(damaged), [ORACLE_IDS["k768"]])


def _entries(blob: bytes) -> tuple[bytes, list[bytes], bytes]:
    """(first 15 bytes, the entries' bytes, the rest) of a version 2 file, split by the oracle's parser."""
    _, entries, _, _, size = oracle.parse_header(blob)
    pieces = [bytes([k]) + t + s + w for k, t, s, w in entries]
    return blob[:15], pieces, blob[15 + sum(map(len, pieces)) :]


def _with(head: bytes, pieces: list[bytes], rest: bytes) -> bytes:
    return head[:13] + struct.pack(">H", len(pieces)) + b"".join(pieces) + rest


def test_entries_added_dropped_moved_or_changed_are_refused(team, tmp_path):
    names = ("k768", "k1024", "xwing")
    blob = encrypt(os.urandom(100), [team[n].public_key() for n in names])  # type: ignore[attr-defined]
    head, pieces, rest = _entries(blob)
    stranger = encrypt(b"y", [team["other768"].public_key()])  # type: ignore[attr-defined]
    _, foreign, _ = _entries(stranger)
    variants = {
        "dropped": [_with(head, pieces[:i] + pieces[i + 1 :], rest) for i in range(3)],
        "duplicated": [_with(head, pieces + [pieces[i]], rest) for i in range(3)],
        "reordered": [_with(head, pieces[::-1], rest), _with(head, pieces[1:] + pieces[:1], rest)],
        "added": [_with(head, pieces + foreign, rest), _with(head, foreign + pieces, rest)],
        "replaced": [_with(head, pieces[:i] + foreign + pieces[i + 1 :], rest) for i in range(3)],
    }
    for kind, blobs in variants.items():
        for damaged in blobs:
            for name in names:
                with pytest.raises(DecryptionError):
                    decrypt(damaged, team[name])
    # every byte of every entry (kind, tag, share, wrapped key), for every key: refused
    offset = 15
    for piece in pieces:
        for i in range(len(piece)):
            damaged = bytearray(blob)
            damaged[offset + i] ^= 0x04
            for name in names:
                with pytest.raises(DecryptionError):
                    decrypt(bytes(damaged), team[name])
        offset += len(piece)
    # the stranger's own entry, added: the stranger opens it but the MAC (under our file key) fails
    with pytest.raises(HeaderChangedError):
        decrypt(_with(head, pieces + foreign, rest), team["other768"])


def test_header_bounds_on_hostile_input():
    """However many entries the input offers, the parser reads at most one bounded header."""

    class Endless(io.RawIOBase):
        def __init__(self, prefix: bytes) -> None:
            self.prefix, self.served = prefix, 0

        def readable(self) -> bool:
            return True

        def readinto(self, b) -> int:  # type: ignore[override]
            n = len(b)
            data = (self.prefix[self.served :] + bytes([h.KIND_MLKEM1024]) * n)[:n]
            b[:n] = data
            self.served += n
            return n

    for count, error in ((1024, None), (1025, "invalid recipient count"), (0, "invalid recipient count")):
        src = Endless(h.MAGIC + struct.pack(">BIH", 2, 1024, count))
        if error:
            with pytest.raises(FileFormatError, match=error):
                h.parse(Source(src))
        else:
            header = h.parse(Source(src))
            assert len(header.entries) == 1024
        assert src.served <= h.MAX_HEADER_SIZE + 65536
    for fixed in (h.MAGIC + struct.pack(">BIH", 2, 31, 1), h.MAGIC + struct.pack(">BIH", 2, 4 * 1024 * 1024 + 1, 1)):
        with pytest.raises(FileFormatError, match="invalid chunk size"):
            h.parse(Source(io.BytesIO(fixed + bytes(2000))))


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.data())
def test_parser_on_mutated_headers_only_raises_decryption_errors(team, data):
    blob = _SAMPLE.setdefault("blob", encrypt(b"sample", [team["k512"].public_key()]))  # type: ignore[attr-defined]
    mutated = bytearray(blob)
    for _ in range(data.draw(st.integers(1, 4))):
        pos = data.draw(st.integers(0, len(mutated) - 1))
        mutated[pos] = data.draw(st.integers(0, 255))
    cut = data.draw(st.integers(0, len(mutated)))
    candidate = bytes(mutated[:cut])
    try:
        got = decrypt(candidate, team["k512"])
    except DecryptionError:
        return
    assert candidate == blob and got == b"sample"


_SAMPLE: dict[str, bytes] = {}


# ---- the payload ---------------------------------------------------------------------------------


def test_chunks_sit_at_offsets_the_header_gives_and_open_alone(team):
    data = os.urandom(7 * CS + 9)
    blob = encrypt(data, [team["k768"].public_key(), team["xwing"].public_key()])  # type: ignore[attr-defined]
    key, s, size, nonce = oracle.file_key(blob, [ORACLE_IDS["xwing"]])
    from cryptography.hazmat.primitives.ciphers.aead import AESGCM

    aead = AESGCM(oracle.hkdf(key, nonce, b"velora-file-v2 payload"))
    chunks = -(-len(data) // s)
    for i in range(chunks):
        at = chunk_offset(size, s, i)
        piece = blob[at : at + s + 16]
        opened = aead.decrypt(oracle._chunk_nonce(i, i == chunks - 1), piece, None)
        assert opened == data[i * s : (i + 1) * s]


def test_truncated_reordered_appended_payloads_are_refused(team, tmp_path):
    data = os.urandom(5 * CS)  # five full chunks: the last one full as well
    blob = encrypt(data, [team["k768"].public_key()])  # type: ignore[attr-defined]
    key, s, size, nonce = oracle.file_key(blob, [ORACLE_IDS["k768"]])
    sealed = s + 16
    head, body = blob[:size], blob[size:]
    chunks = [body[i : i + sealed] for i in range(0, len(body), sealed)]
    from cryptography.hazmat.primitives.ciphers.aead import AESGCM

    aead = AESGCM(oracle.hkdf(key, nonce, b"velora-file-v2 payload"))
    cases = {
        "cut at each boundary": [head + b"".join(chunks[:k]) for k in range(5)],
        "cut inside": [blob[:-1], blob[:-16], blob[: size + 10]],
        "swapped": [head + chunks[1] + chunks[0] + b"".join(chunks[2:])],
        "dropped": [head + b"".join(chunks[:2] + chunks[3:])],
        "duplicated": [head + b"".join(chunks[:3] + chunks[2:])],
        "appended": [blob + b"\0", blob + chunks[-1], blob + aead.encrypt(oracle._chunk_nonce(5, True), b"more", None)],
        # the last chunk sealed as a middle one (a writer that stopped): nothing says the file ended
        "no last flag": [head + b"".join(chunks[:4]) + aead.encrypt(oracle._chunk_nonce(4, False), data[4 * s :], None)],
        # a middle chunk sealed as the last one: what follows it is refused
        "early last flag": [head + aead.encrypt(oracle._chunk_nonce(0, True), data[:s], None) + b"".join(chunks[1:])],
    }
    for name, blobs in cases.items():
        for damaged in blobs:
            refused_every_way(damaged, team["k768"], tmp_path)
    assert "truncated" in " ".join(refused_every_way(head + b"".join(chunks[:3]), team["k768"], tmp_path))


def test_the_writer_and_reader_agree_at_batch_edges(team, tmp_path):
    """Chunk sizes below, at and above the 1 MiB batch, file sizes around the batch edges, by path and stream."""
    key = team["k1024"]
    for chunk_size, size in ((4096, 1024 * 1024), (4096, 1024 * 1024 + 1), (1024 * 1024, 3 * 1024 * 1024 - 1),
                             (3 * 1024 * 1024, 3 * 1024 * 1024), (32, 100_000)):
        data = os.urandom(size)
        src = tmp_path / "plain"
        src.write_bytes(data)
        velora.encrypt_file(src, tmp_path / "c.vlr", key.public_key(), chunk_size=chunk_size)  # type: ignore[attr-defined]
        blob = (tmp_path / "c.vlr").read_bytes()
        assert encrypt(data, [key.public_key()], chunk_size)[:13] == blob[:13]  # type: ignore[attr-defined]
        assert decrypt_every_way(blob, key, tmp_path) == [data] * 3
        assert oracle.decrypt(blob, [ORACLE_IDS["k1024"]]) == data


def test_version_1_files_still_read(team):
    """Readers keep reading version 1 (the format's first version), made here by its oracle."""
    import file_oracle

    made = file_oracle.encrypt(b"old file", seed(2), 768, 64)
    assert made[8] == 1 and decrypt(made, team["k768"]) == b"old file"
    info = velora.inspect_file(io.BytesIO(made))
    assert info.version == 1 and info.level == 768


# ---- re-wrapping -------------------------------------------------------------------------------


def test_rewrap_adds_and_removes_and_keeps_the_payload(team, tmp_path):
    data = os.urandom(10 * CS + 5)
    path = tmp_path / "team.vlr"
    path.write_bytes(encrypt(data, [team["k768"].public_key(), team["k1024"].public_key()]))  # type: ignore[attr-defined]
    before = path.read_bytes()
    old_size = h.parse(Source(io.BytesIO(before))).size
    result = rewrap(path, team["k1024"], add=[team["xwing"].public_key()],  # type: ignore[attr-defined]
                    remove=[team["k768"].public_key()])  # type: ignore[attr-defined]
    assert (result.kept, result.added, result.removed) == (1, 1, 1)
    after = path.read_bytes()
    new_size = h.parse(Source(io.BytesIO(after))).size
    assert after[new_size:] == before[old_size:]  # the payload bytes, unchanged
    assert decrypt(after, team["xwing"]) == data and decrypt(after, team["k1024"]) == data
    assert oracle.decrypt(after, [ORACLE_IDS["xwing"]]) == data
    with pytest.raises(NoIdentityMatchError):
        decrypt(after, team["k768"])
    # refusals, each leaving the file as it was
    refusals = [
        (dict(identities=team["k768"], add=[team["k512"].public_key()]), NoIdentityMatchError),  # type: ignore[attr-defined]
        (dict(identities=team["k1024"], remove=[team["other768"].public_key()]), RecipientError),  # type: ignore[attr-defined]
        (dict(identities=team["k1024"], remove=[team["k1024"].public_key(), team["xwing"].public_key()]),  # type: ignore[attr-defined]
         RecipientError),
        (dict(identities=team["k1024"], add=[Passphrase("pw", work_factor=10)]), RecipientError),
    ]
    for kwargs, error in refusals:
        ids = kwargs.pop("identities")
        with pytest.raises(error):
            rewrap(path, ids, **kwargs)  # type: ignore[arg-type]
        assert path.read_bytes() == after
    assert sorted(os.listdir(tmp_path)) == ["team.vlr"]
    # adding a recipient the file already has adds nothing
    assert rewrap(path, team["k1024"], add=[team["xwing"].public_key()]).added == 0  # type: ignore[attr-defined]


def test_rewrap_changes_a_passphrase(tmp_path):
    path = tmp_path / "p.vlr"
    path.write_bytes(encrypt(b"diary", [Passphrase("old", work_factor=10)]))
    rewrap(path, Passphrase("old"), remove=[Passphrase("any", work_factor=10)], add=[Passphrase("new", work_factor=10)])
    assert decrypt(path.read_bytes(), Passphrase("new")) == b"diary"
    with pytest.raises(IncorrectPassphraseError):
        decrypt(path.read_bytes(), Passphrase("old"))
    with pytest.raises(FileFormatError, match="velora files of version 2 and binary age files only"):
        import file_oracle

        (tmp_path / "v1.vlr").write_bytes(file_oracle.encrypt(b"x", seed(2), 768, 64))
        rewrap(tmp_path / "v1.vlr", PrivateKey.from_seed(seed(2), 768), add=[Passphrase("x")])


_KILL_CHILD = r"""
import sys, velora
from velora.files import rewrap
key = velora.PrivateKey.from_seed(bytes([2]) * 64, 768)
new = velora.PrivateKey.from_seed(bytes([9]) * 64, 768).public_key()
print("ready", flush=True)
sys.stdin.readline()
rewrap(sys.argv[1], key, add=[new])
print("done", flush=True)
"""


def test_sigkill_during_rewrap_leaves_the_original_whole(team, tmp_path):
    data = os.urandom(64 * 1024 * 1024)
    path = tmp_path / "big.vlr"
    velora.encrypt_file(io.BytesIO(data), path, team["k768"].public_key())  # type: ignore[attr-defined]
    original = path.read_bytes()
    digest = hashlib.sha256(original).digest()
    outcomes = set()
    for delay in (0.0, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2):
        child = subprocess.Popen([sys.executable, "-c", _KILL_CHILD, str(path)], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE)
        assert child.stdout is not None and child.stdin is not None
        assert child.stdout.readline() == b"ready\n"
        child.stdin.write(b"go\n")
        child.stdin.flush()
        time.sleep(delay)
        child.send_signal(signal.SIGKILL)
        child.wait()
        now = path.read_bytes()
        assert os.listdir(tmp_path) == ["big.vlr"], "a partial file was left beside it"
        if hashlib.sha256(now).digest() == digest:
            outcomes.add("original")
        else:  # the rename happened before the kill: the whole new file
            new_key = PrivateKey.from_seed(bytes([9]) * 64, 768)
            assert decrypt(now, new_key) == data
            outcomes.add("rewrapped")
            path.write_bytes(original)
    assert "original" in outcomes


def _age_command() -> str:
    import shutil

    path = shutil.which("age")
    if path is None:
        if os.environ.get("CI") == "true":
            pytest.fail("the age command is missing (make system installs Debian's age)")
        pytest.skip("the age command is missing")
    return path


def test_rewrap_an_age_file_adds_recipients_debian_age_reads_it(tmp_path):
    """age's stanzas do not name their recipients: rewrap adds (and replaces a passphrase), never removes."""
    from velora import age

    binary = _age_command()
    alice, bob = age.X25519Identity.generate(), age.X25519Identity.generate()
    data = os.urandom(200_000)
    path = tmp_path / "f.age"
    path.write_bytes(age.encrypt(data, [alice.recipient()]))
    before = path.read_bytes()
    result = rewrap(path, alice, add=[bob.recipient()])
    after = path.read_bytes()
    assert (result.kept, result.added) == (1, 1)
    # the payload (nonce and chunks) unchanged after the new header
    assert after.endswith(before[len(before) - result.payload_bytes :])
    (tmp_path / "bob.txt").write_text(f"{bob}\n")
    got = subprocess.run([binary, "-d", "-i", str(tmp_path / "bob.txt"), str(path)], capture_output=True)
    assert got.returncode == 0 and got.stdout == data
    assert age.decrypt(after, [alice]) == data
    for kwargs, message in ((dict(remove=[bob.recipient()]), "not removed"),
                            (dict(add=[age.HybridIdentity.generate().recipient()]), "post-quantum and classic"),
                            (dict(add=[age.ScryptRecipient("pw", work_factor=10)]), "only recipient")):
        with pytest.raises(RecipientError, match=message):
            rewrap(path, alice, **kwargs)  # type: ignore[arg-type]
        assert path.read_bytes() == after
    path.write_bytes(age.encrypt(data, [age.ScryptRecipient("old", work_factor=10)]))
    rewrap(path, age.ScryptIdentity("old"), remove=[Passphrase("old")], add=[Passphrase("new", work_factor=10)])
    assert age.decrypt(path.read_bytes(), [age.ScryptIdentity("new")]) == data
