"""Streams: header, frames, EOF marker and the two handles' state machines.

Frames are checked with the `cryptography` package's AESGCM from the header
and the nonce rule (nonce = BE32(i) || base_nonce[4:], AAD = BE32(i)), and
streams built that way are fed to our decryptor."""

import os
import threading
import time

import pytest
from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

from kem_oracle import DECRYPTION_MESSAGE, LEVEL_IDS, LEVELS, keys_for
from velora import _velora_core as core

L = core.SecurityLevel
MiB = 1 << 20
IPE = core.InvalidParameterError


def be32(i: int) -> bytes:
    return i.to_bytes(4, "big")


def nonce_for(base: bytes, i: int) -> bytes:
    return be32(i) + base[4:]


def split_frame(frame: bytes) -> tuple[bytes, bytes]:
    n = int.from_bytes(frame[:4], "big")
    assert len(frame) == n + 20
    return frame[4:4 + n], frame[4 + n:]


class Stream:
    """One encryptor with what an independent reader needs: the AES key from
    the capsule and the base nonce from the header."""

    def __init__(self, level=L.ML_KEM_768, chunk_size=64, keys=None):
        self.level = level
        self.keys = keys or keys_for(level)
        self.header, self.enc = core.stream_encryptor_new(self.keys.public_key, chunk_size, level)
        self.c = len(self.header) - 16
        self.key = self.keys.decapsulate(self.header[:self.c])
        self.base = self.header[self.c:self.c + 12]

    def decryptor(self, header=None):
        return core.stream_decryptor_from_header(header or self.header, self.keys.secret_key, self.level)

    def oracle_open(self, frame: bytes, i: int) -> bytes:
        ct, tag = split_frame(frame)
        return AESGCM(self.key).decrypt(nonce_for(self.base, i), ct + tag, be32(i))

    def oracle_frame(self, plaintext: bytes, i: int) -> bytes:
        return be32(len(plaintext)) + AESGCM(self.key).encrypt(nonce_for(self.base, i), plaintext, be32(i))


def expect_error(exc, message, call, *args, **kwargs):
    with pytest.raises(exc) as info:
        call(*args, **kwargs)
    assert type(info.value) is exc
    if message is not None:
        assert info.value.args == (message,)
    return info.value


# ---- formats, checked independently -----------------------------------------

@pytest.mark.parametrize("level,c", [(lv, c) for lv, c, _, _ in LEVELS], ids=LEVEL_IDS)
def test_frames_decrypt_with_aesgcm_from_header_and_nonce_rule(level, c):
    s = Stream(level, chunk_size=1000)
    assert len(s.header) == c + 16
    assert s.header[c + 12:] == (1000).to_bytes(4, "big")
    assert s.enc.base_nonce() == s.base

    chunks = [os.urandom(1000), b"\x00", b"xyz"]
    frames = [s.enc.encrypt_chunk(p) for p in chunks]
    for i, (frame, plaintext) in enumerate(zip(frames, chunks)):
        assert len(frame) == len(plaintext) + 20
        assert frame[:4] == be32(len(plaintext))
        assert s.oracle_open(frame, i) == plaintext
        with pytest.raises(InvalidTag):  # bound to its index
            s.oracle_open(frame, i + 1)

    eof = s.enc.finalize()
    assert len(eof) == 20 and eof[:4] == b"\0\0\0\0"
    assert s.oracle_open(eof, 3) == b""


@pytest.mark.parametrize("level,c", [(lv, c) for lv, c, _, _ in LEVELS], ids=LEVEL_IDS)
def test_stream_built_with_aesgcm_decrypts_with_ours(level, c):
    keys = keys_for(level)
    capsule, shared = keys.encapsulate()
    base = os.urandom(12)
    header = capsule + base + (100).to_bytes(4, "big")
    chunks = [os.urandom(100), os.urandom(7), b"", os.urandom(1)]
    gcm = AESGCM(shared)
    frames = [be32(len(p)) + gcm.encrypt(nonce_for(base, i), p, be32(i)) for i, p in enumerate(chunks)]
    eof_tag = gcm.encrypt(nonce_for(base, len(chunks)), b"", be32(len(chunks)))

    dec = core.stream_decryptor_from_header(header, keys.secret_key, level)
    assert dec.chunk_size() == 100
    for frame, plaintext in zip(frames, chunks):
        assert dec.decrypt_chunk(*split_frame(frame)) == plaintext
    assert dec.process_eof(eof_tag) is None
    assert dec.eof_seen() is True
    assert dec.chunk_index() == len(chunks) + 1


def test_nonce_bytes_0_to_3_are_replaced_and_4_to_11_matter():
    s = Stream()
    frame = s.enc.encrypt_chunk(b"payload")
    for pos in range(12):
        header = bytearray(s.header)
        header[s.c + pos] ^= 0x10
        dec = s.decryptor(bytes(header))
        if pos < 4:
            assert dec.decrypt_chunk(*split_frame(frame)) == b"payload", pos
        else:
            expect_error(core.DecryptionError, DECRYPTION_MESSAGE, dec.decrypt_chunk, *split_frame(frame))


def test_same_plaintext_gives_unrelated_frames():
    s, t = Stream(), Stream()
    a, b = s.enc.encrypt_chunk(b"same"), s.enc.encrypt_chunk(b"same")
    c = t.enc.encrypt_chunk(b"same")
    assert len({a, b, c}) == 3
    assert s.header[:s.c] != t.header[:t.c] and s.base != t.base


# ---- encryptor state table ---------------------------------------------------

def enc_in_state(state: str, chunk_size=16):
    s = Stream(chunk_size=chunk_size)
    kind, _, n = state.partition(" ")
    for _ in range(int(n or 1)):
        s.enc.encrypt_chunk(b"setup")
    if kind == "closed":
        s.enc.finalize()
    return s


def check_encryptor_state(s: Stream, state: str):
    if state == "closed":
        assert (s.enc.base_nonce(), s.enc.chunk_size(), s.enc.chunk_index()) == (bytes(12), 0, 0)
        return
    i = int(state.split()[1])
    assert (s.enc.base_nonce(), s.enc.chunk_size(), s.enc.chunk_index()) == (s.base, 16, i)
    assert s.oracle_open(s.enc.encrypt_chunk(b"probe"), i) == b"probe"  # the counter really is i


EMPTY_REFUSED = "empty plaintext chunk refused: its frame would be indistinguishable from the EOF marker"

ENCRYPTOR_TABLE = [
    # state     action          outcome                                            next state
    ("open 0", "encrypt",      ("frame", 0),                                       "open 1"),
    ("open 2", "encrypt",      ("frame", 2),                                       "open 3"),
    ("open 2", "encrypt full", ("frame", 2),                                       "open 3"),
    ("open 2", "encrypt empty", (IPE, EMPTY_REFUSED),                              "open 2"),
    ("open 2", "encrypt over", (IPE, "plaintext exceeds configured chunk_size"),   "open 2"),
    ("open 0", "finalize",     ("eof", 0),                                         "closed"),
    ("open 2", "finalize",     ("eof", 2),                                         "closed"),
    ("closed", "encrypt",      (IPE, "encryptor already finalized"),               "closed"),
    ("closed", "encrypt over", (IPE, "encryptor already finalized"),               "closed"),
    ("closed", "finalize",     (IPE, "encryptor already finalized"),               "closed"),
]

ENCRYPTOR_ACTIONS = {
    "encrypt": lambda e: e.encrypt_chunk(b"hello"),
    "encrypt full": lambda e: e.encrypt_chunk(b"F" * 16),
    "encrypt empty": lambda e: e.encrypt_chunk(plaintext=b""),
    "encrypt over": lambda e: e.encrypt_chunk(b"F" * 17),
    "finalize": lambda e: e.finalize(),
}


@pytest.mark.parametrize("state,action,outcome,after", ENCRYPTOR_TABLE,
                         ids=[f"{r[0]}-{r[1]}" for r in ENCRYPTOR_TABLE])
def test_encryptor_state_table(state, action, outcome, after):
    s = enc_in_state(state)
    what, detail = outcome
    if isinstance(what, type):
        expect_error(what, detail, ENCRYPTOR_ACTIONS[action], s.enc)
    else:
        out = ENCRYPTOR_ACTIONS[action](s.enc)
        assert type(out) is bytes
        if what == "eof":
            assert len(out) == 20 and out[:4] == bytes(4)
        assert s.oracle_open(out, detail) == {"encrypt": b"hello", "encrypt full": b"F" * 16,
                                              "encrypt empty": b"", "finalize": b""}[action]
    check_encryptor_state(s, after)


def test_empty_chunk_is_refused_so_no_frame_can_pass_for_the_eof_marker():
    # An empty data frame at index 1 would be exactly the EOF marker at index 1:
    # a stream [a, "", b] cut after the empty frame would then verify as complete.
    s = Stream()
    s.enc.encrypt_chunk(b"a")
    expect_error(IPE, EMPTY_REFUSED, s.enc.encrypt_chunk, b"")
    assert s.enc.chunk_index() == 1
    frame = s.enc.encrypt_chunk(b"b")
    assert s.oracle_open(frame, 1) == b"b"
    assert s.enc.finalize() == s.oracle_frame(b"", 2)


# ---- decryptor state table ---------------------------------------------------

class DecryptorCase:
    """A stream of four data frames, EOF markers for every index (built with
    AESGCM), and a decryptor driven into a named state."""

    def __init__(self, state: str):
        self.s = Stream(chunk_size=16)
        self.plaintexts = [bytes([65 + i]) * (i + 3) for i in range(4)]
        self.frames = [self.s.enc.encrypt_chunk(p) for p in self.plaintexts]
        self.eofs = [split_frame(self.s.oracle_frame(b"", i))[1] for i in range(5)]
        self.dec = self.s.decryptor()
        kind, n = state.split()
        n = int(n)
        for i in range(n - 1 if kind == "eof" else n):
            assert self.dec.decrypt_chunk(*split_frame(self.frames[i])) == self.plaintexts[i]
        if kind == "eof":
            self.dec.process_eof(self.eofs[n - 1])
        if kind == "closed":
            self.dec.finalize()

    def current(self):
        return self.dec.chunk_index()


def _flip(b: bytes) -> bytes:
    return bytes([b[0] ^ 1]) + b[1:]


DECRYPTOR_ACTIONS = {
    "data": lambda c, i: c.dec.decrypt_chunk(*split_frame(c.frames[i])),
    "data kw": lambda c, i: c.dec.decrypt_chunk(tag=split_frame(c.frames[i])[1],
                                                 ciphertext=split_frame(c.frames[i])[0]),
    "data bad tag": lambda c, i: c.dec.decrypt_chunk(split_frame(c.frames[i])[0], _flip(split_frame(c.frames[i])[1])),
    "data tag17": lambda c, i: c.dec.decrypt_chunk(b"x", bytes(17)),
    "data over": lambda c, i: c.dec.decrypt_chunk(bytes(17), bytes(16)),
    "data full": lambda c, i: c.dec.decrypt_chunk(bytes(16), bytes(16)),  # size passes; tag fails
    "eof": lambda c, i: c.dec.process_eof(c.eofs[i]),
    "eof data tag": lambda c, i: c.dec.process_eof(split_frame(c.frames[i])[1]),
    "eof tag15": lambda c, i: c.dec.process_eof(tag=bytes(15)),
    "finalize": lambda c, i: c.dec.finalize(),
}

DEC = (core.DecryptionError, DECRYPTION_MESSAGE)
CLOSED = (IPE, "decryptor already finalized")
DECRYPTOR_TABLE = [
    # state      action           outcome                                              next state
    ("open 0",  "data",          "plaintext",                                          "open 1"),
    ("open 1",  "data kw",       "plaintext",                                          "open 2"),
    ("open 1",  "data bad tag",  DEC,                                                  "open 1"),
    ("open 1",  "data full",     DEC,                                                  "open 1"),
    ("open 1",  "data tag17",    (IPE, "AES-GCM tag must be 16 bytes"),                "open 1"),
    ("open 1",  "data over",     (IPE, "ciphertext exceeds configured chunk_size"),    "open 1"),
    ("open 0",  "eof",           None,                                                 "eof 1"),
    ("open 2",  "eof",           None,                                                 "eof 3"),
    ("open 2",  "eof data tag",  DEC,                                                  "open 2"),
    ("open 2",  "eof tag15",     (IPE, "AES-GCM tag must be 16 bytes"),                "open 2"),
    ("open 2",  "finalize",      None,                                                 "closed 0"),
    ("eof 2",   "data",          DEC,                                                  "eof 2"),
    ("eof 2",   "eof",           DEC,                                                  "eof 2"),
    ("eof 2",   "data tag17",    (IPE, "AES-GCM tag must be 16 bytes"),                "eof 2"),
    ("eof 2",   "data over",     (IPE, "ciphertext exceeds configured chunk_size"),    "eof 2"),
    ("eof 2",   "eof tag15",     (IPE, "AES-GCM tag must be 16 bytes"),                "eof 2"),
    ("eof 2",   "finalize",      None,                                                 "closed 0"),
    ("closed 1", "data",         CLOSED,                                               "closed 0"),
    ("closed 1", "data tag17",   CLOSED,                                               "closed 0"),
    ("closed 1", "eof",          CLOSED,                                               "closed 0"),
    ("closed 1", "eof tag15",    CLOSED,                                               "closed 0"),
    ("closed 1", "finalize",     (IPE, "already finalized"),                           "closed 0"),
]


def check_decryptor_state(case: DecryptorCase, state: str):
    kind, n = state.split()
    d = case.dec
    expected = {"open": (False, 16, int(n)), "eof": (True, 16, int(n)), "closed": (False, 0, 0)}[kind]
    assert (d.eof_seen(), d.chunk_size(), d.chunk_index()) == expected
    if kind == "open":  # the counter really is n: frame n decrypts now
        assert d.decrypt_chunk(*split_frame(case.frames[int(n)])) == case.plaintexts[int(n)]


@pytest.mark.parametrize("state,action,outcome,after", DECRYPTOR_TABLE,
                         ids=[f"{r[0]}-{r[1]}" for r in DECRYPTOR_TABLE])
def test_decryptor_state_table(state, action, outcome, after):
    case = DecryptorCase(state)
    i = case.current()
    if isinstance(outcome, tuple):
        expect_error(*outcome, DECRYPTOR_ACTIONS[action], case, i)
    else:
        result = DECRYPTOR_ACTIONS[action](case, i)
        assert result == (case.plaintexts[i] if outcome == "plaintext" else None)
    check_decryptor_state(case, after)


def test_empty_frame_passed_as_data_is_an_empty_chunk_not_the_end():
    case = DecryptorCase("open 1")
    assert case.dec.decrypt_chunk(b"", case.eofs[1]) == b""
    assert (case.dec.eof_seen(), case.dec.chunk_index()) == (False, 2)


def test_full_stream_round_trip_and_truncation_detection():
    s = Stream(chunk_size=5)
    data = os.urandom(23)
    frames = [s.enc.encrypt_chunk(data[i:i + 5]) for i in range(0, len(data), 5)]
    assert s.enc.chunk_index() == 5
    eof = s.enc.finalize()

    dec = s.decryptor()
    assert b"".join(dec.decrypt_chunk(*split_frame(f)) for f in frames) == data
    assert dec.process_eof(split_frame(eof)[1]) is None
    assert (dec.eof_seen(), dec.chunk_index()) == (True, 6)
    assert dec.finalize() is None

    cut = s.decryptor()  # the same stream cut short at a frame boundary
    for f in frames[:3]:
        cut.decrypt_chunk(*split_frame(f))
    assert cut.eof_seen() is False  # the only sign of truncation
    assert cut.finalize() is None   # finalize does not check it


# ---- tampering ---------------------------------------------------------------

def _frame_at(s: Stream, i: int, plaintext: bytes) -> bytes:
    while s.enc.chunk_index() < i:
        s.enc.encrypt_chunk(b"skip")
    return s.enc.encrypt_chunk(plaintext)


def _tamper_cases():
    def flip_ct(f):
        b = bytearray(f)
        b[5] ^= 0x01
        return bytes(b)

    def flip_tag(f):
        b = bytearray(f)
        b[-1] ^= 0x80
        return bytes(b)

    # (name, frames fed successfully first, the bad call, the retry that must then work)
    return [
        ("swapped", 0, lambda c: c.dec.decrypt_chunk(*split_frame(c.frames[1]))),
        ("dropped", 1, lambda c: c.dec.decrypt_chunk(*split_frame(c.frames[2]))),
        ("repeated", 1, lambda c: c.dec.decrypt_chunk(*split_frame(c.frames[0]))),
        ("flipped ciphertext", 1, lambda c: c.dec.decrypt_chunk(*split_frame(flip_ct(c.frames[1])))),
        ("flipped tag", 1, lambda c: c.dec.decrypt_chunk(*split_frame(flip_tag(c.frames[1])))),
        ("ciphertext cut by one byte", 1,
         lambda c: c.dec.decrypt_chunk(split_frame(c.frames[1])[0][:-1], split_frame(c.frames[1])[1])),
        ("frame from another stream", 1,
         lambda c: c.dec.decrypt_chunk(*split_frame(_frame_at(c.other, 1, c.plaintexts[1])))),
        ("eof with a data frame's tag", 1, lambda c: c.dec.process_eof(split_frame(c.frames[1])[1])),
        ("eof marker while frames unread", 1, lambda c: c.dec.process_eof(c.eofs[4])),
        ("eof marker of another stream", 1,
         lambda c: c.dec.process_eof(split_frame(c.other.oracle_frame(b"", 1))[1])),
    ]


@pytest.mark.parametrize("name,fed,bad", _tamper_cases(), ids=[t[0] for t in _tamper_cases()])
def test_tampering_is_refused_and_changes_nothing(name, fed, bad):
    case = DecryptorCase(f"open {fed}")
    case.other = Stream(keys=case.s.keys, chunk_size=16)  # same recipient, another stream
    expect_error(core.DecryptionError, DECRYPTION_MESSAGE, bad, case)
    assert (case.dec.eof_seen(), case.dec.chunk_index()) == (False, fed)
    # Retry at the same index with the genuine frame.
    assert case.dec.decrypt_chunk(*split_frame(case.frames[fed])) == case.plaintexts[fed]


def test_flipped_capsule_gives_a_decryptor_whose_first_chunk_fails():
    s = Stream()
    frame = s.enc.encrypt_chunk(b"secret")
    header = bytearray(s.header)
    header[17] ^= 0x01
    dec = s.decryptor(bytes(header))  # implicit rejection: no error here
    expect_error(core.DecryptionError, DECRYPTION_MESSAGE, dec.decrypt_chunk, *split_frame(frame))
    expect_error(core.DecryptionError, DECRYPTION_MESSAGE, dec.process_eof, split_frame(s.enc.finalize())[1])
    assert dec.chunk_index() == 0


def test_lowered_header_chunk_size_refuses_larger_genuine_chunks():
    s = Stream(chunk_size=64)
    frame = s.enc.encrypt_chunk(b"z" * 40)
    header = s.header[:-4] + (39).to_bytes(4, "big")
    expect_error(IPE, "ciphertext exceeds configured chunk_size", s.decryptor(header).decrypt_chunk,
                 *split_frame(frame))
    raised = s.header[:-4] + (1000).to_bytes(4, "big")
    assert s.decryptor(raised).decrypt_chunk(*split_frame(frame)) == b"z" * 40


# ---- constructors: conversion, order and failure rows ------------------------

OUT_OF_RANGE = "out of range integral type conversion attempted"


@pytest.mark.parametrize("chunk_size,exc,message", [
    (-1, OverflowError, OUT_OF_RANGE),
    (4294967296, OverflowError, OUT_OF_RANGE),
    (2**63 - 1, OverflowError, OUT_OF_RANGE),
    (-(2**63), OverflowError, OUT_OF_RANGE),
    (2**63, OverflowError, None),        # the interpreter's own message
    (-(2**63) - 1, OverflowError, None),
    (2**100, OverflowError, None),
    (0, IPE, "chunk_size must be at least 1 byte"),
    (16777217, IPE, "chunk_size exceeds the 16 MiB safety cap"),
    (4294967295, IPE, "chunk_size exceeds the 16 MiB safety cap"),
])
def test_chunk_size_conversion_and_range(chunk_size, exc, message):
    keys = keys_for(L.ML_KEM_768)
    err = expect_error(exc, message, core.stream_encryptor_new, keys.public_key, chunk_size)
    if message is None:
        assert str(err) != OUT_OF_RANGE


@pytest.mark.parametrize("chunk_size", [1.0, "16", None, b"\x10"], ids=lambda v: type(v).__name__)
def test_non_integer_chunk_size_is_a_type_error(chunk_size):
    err = expect_error(TypeError, None, core.stream_encryptor_new, keys_for(L.ML_KEM_768).public_key, chunk_size)
    assert "while processing 'chunk_size'" in err.__notes__


def test_chunk_size_bounds_are_accepted_on_both_sides():
    keys = keys_for(L.ML_KEM_512)
    for size in (1, 16777216):
        header, enc = core.stream_encryptor_new(keys.public_key, size, L.ML_KEM_512)
        assert enc.chunk_size() == size
        assert core.stream_decryptor_from_header(header, keys.secret_key, L.ML_KEM_512).chunk_size() == size


def _setup_rows():
    k512, k768 = keys_for(L.ML_KEM_512), keys_for(L.ML_KEM_768)
    header512, _ = core.stream_encryptor_new(k512.public_key, 64, L.ML_KEM_512)
    short = "stream header too short for the given security level"
    bad_range = "chunk_size must be 1..=16 MiB"
    dk_size = "decapsulation key has incorrect size"

    def with_size(n):
        return header512[:780] + n.to_bytes(4, "big")

    new, from_header = core.stream_encryptor_new, core.stream_decryptor_from_header
    return [
        ("ek short", lambda: new(k768.public_key[:-1], 64), IPE, "encryption key has incorrect size"),
        ("ek checked before chunk_size", lambda: new(b"k", 0), IPE, "encryption key has incorrect size"),
        ("conversion before the key", lambda: new(b"k", -1), OverflowError, OUT_OF_RANGE),
        ("header 783", lambda: from_header(header512[:783], k512.secret_key, L.ML_KEM_512), IPE, short),
        ("header length before key", lambda: from_header(header512[:783], b"k", L.ML_KEM_512), IPE, short),
        ("512 header at 768", lambda: from_header(header512, k768.secret_key, L.ML_KEM_768), IPE, short),
        ("sk short", lambda: from_header(header512, k512.secret_key[:-1], L.ML_KEM_512), IPE, dk_size),
        ("sk of another level", lambda: from_header(header512, k768.secret_key, L.ML_KEM_512), IPE, dk_size),
        ("header chunk_size 0", lambda: from_header(with_size(0), k512.secret_key, L.ML_KEM_512), IPE, bad_range),
        ("header chunk_size 16 MiB + 1",
         lambda: from_header(with_size(16777217), k512.secret_key, L.ML_KEM_512), IPE, bad_range),
        ("header chunk_size 2^32 - 1",
         lambda: from_header(with_size(2**32 - 1), k512.secret_key, L.ML_KEM_512), IPE, bad_range),
        ("key checked before header chunk_size", lambda: from_header(with_size(0), b"k", L.ML_KEM_512),
         IPE, dk_size),
        ("level is required", lambda: from_header(header512, k512.secret_key), TypeError, None),
    ]


@pytest.mark.parametrize("name,call,exc,message", _setup_rows(), ids=[r[0] for r in _setup_rows()])
def test_setup_failure_rows(name, call, exc, message):
    expect_error(exc, message, call)


def test_header_length_edges_and_default_level():
    keys = keys_for(L.ML_KEM_512)
    header, enc = core.stream_encryptor_new(keys.public_key, 64, L.ML_KEM_512)
    assert len(header) == 784
    frame = enc.encrypt_chunk(b"tail ignored")
    padded = core.stream_decryptor_from_header(header + os.urandom(16), keys.secret_key, L.ML_KEM_512)
    assert padded.decrypt_chunk(*split_frame(frame)) == b"tail ignored"

    k768 = keys_for(L.ML_KEM_768)
    header768, _ = core.stream_encryptor_new(recipient_public_key=k768.public_key, chunk_size=8)
    assert len(header768) == 1104


def test_header_of_another_level_long_enough_fails_at_the_first_chunk():
    s = Stream(L.ML_KEM_768)
    frame = s.enc.encrypt_chunk(b"x")
    k512 = keys_for(L.ML_KEM_512)
    # 1104 >= 784 bytes, so the length passes; the chunk-size field then lies
    # inside the 768 capsule (rarely within range) and the key is unrelated.
    with pytest.raises((core.DecryptionError, IPE)):
        dec = core.stream_decryptor_from_header(s.header, k512.secret_key, L.ML_KEM_512)
        dec.decrypt_chunk(*split_frame(frame))


def test_two_streams_to_one_key_are_unrelated():
    keys = keys_for(L.ML_KEM_768)
    a, _ = core.stream_encryptor_new(keys.public_key, 8)
    b, _ = core.stream_encryptor_new(keys.public_key, 8)
    assert a[:1088] != b[:1088] and a[1088:1100] != b[1088:1100]
    assert keys.decapsulate(a[:1088]) != keys.decapsulate(b[:1088])


@pytest.mark.parametrize("method,args,name", [
    ("encrypt_chunk", [None], "plaintext"),
    ("encrypt_chunk", [bytearray(b"p")], "plaintext"),
    ("decrypt_chunk", ["c", b"t" * 16], "ciphertext"),
    ("decrypt_chunk", [b"c", memoryview(b"t" * 16)], "tag"),
    ("process_eof", [bytearray(16)], "tag"),
])
def test_method_arguments_must_be_bytes(method, args, name):
    s = Stream()
    handle = s.enc if method == "encrypt_chunk" else s.decryptor()
    err = expect_error(TypeError, None, getattr(handle, method), *args)
    assert f"while processing '{name}'" in err.__notes__
    assert handle.chunk_index() == 0


@pytest.mark.parametrize("call", [
    lambda s, d: s.enc.encrypt_chunk(),
    lambda s, d: s.enc.encrypt_chunk(b"a", b"b"),
    lambda s, d: s.enc.encrypt_chunk(data=b"a"),
    lambda s, d: s.enc.finalize(b"x"),
    lambda s, d: d.decrypt_chunk(b"c"),
    lambda s, d: d.process_eof(b"t" * 16, tag=b"t" * 16),
    lambda s, d: d.eof_seen(1),
])
def test_bad_argument_lists_are_type_errors(call):
    s = Stream()
    with pytest.raises(TypeError):
        call(s, s.decryptor())


# ---- the classes -------------------------------------------------------------

DOCS = [
    (core.StreamEncryptorHandle, None,
     "Handle de cifrador de stream. Conserva el shared_secret entre llamadas."),
    (core.StreamDecryptorHandle, None,
     "Handle de descifrador de stream. Conserva el shared_secret entre llamadas."),
    (core.stream_encryptor_new, "(recipient_public_key, chunk_size, level=...)",
     "Encapsula + crea un StreamEncryptor.\n\nReturns:\n    (header_bytes, encryptor_handle).\n\n"
     "El header se antepone al primer output. El encryptor se mantiene\n"
     "entre llamadas para emitir chunks y el EOF marker."),
    (core.stream_decryptor_from_header, "(header_bytes, secret_key, level)",
     "Decapsula + crea un StreamDecryptor desde un header.\n\nArgs:\n"
     "    header_bytes: header serializado [capsule | base_nonce | chunk_size].\n"
     "    secret_key: clave secreta ML-KEM del receptor.\n\nErrors:\n"
     "    VeloraError::InvalidParameter si header mal formado."),
    (core.StreamEncryptorHandle.encrypt_chunk, "($self, plaintext)",
     "Cifra un chunk de plaintext. Retorna el frame `[len || ciphertext || tag]`.\n\n"
     "Libera el GIL durante AES-GCM."),
    (core.StreamEncryptorHandle.finalize, "($self)",
     "Emite el EOF marker (frame de longitud 0 con un tag sobre plaintext vacio).\n\n"
     "Tras llamar `finalize`, el encryptor ya no puede usarse."),
    (core.StreamEncryptorHandle.base_nonce, "($self)", "Base nonce (12 bytes aleatorios por stream)."),
    (core.StreamEncryptorHandle.chunk_size, "($self)", "Tamano maximo de ciphertext por chunk."),
    (core.StreamEncryptorHandle.chunk_index, "($self)", "Chunks emitidos hasta ahora."),
    (core.StreamDecryptorHandle.decrypt_chunk, "($self, ciphertext, tag)",
     "Descifra un chunk. Retorna el plaintext.\n\nLibera el GIL durante AES-GCM."),
    (core.StreamDecryptorHandle.process_eof, "($self, tag)", "Procesa el EOF marker (frame de longitud 0)."),
    (core.StreamDecryptorHandle.finalize, "($self)", "Verifica que el EOF marker fue visto."),
    (core.StreamDecryptorHandle.eof_seen, "($self)", "True si el EOF marker fue procesado."),
    (core.StreamDecryptorHandle.chunk_size, "($self)", "Tamano maximo del ciphertext por chunk."),
    (core.StreamDecryptorHandle.chunk_index, "($self)", "Chunks descifrados hasta ahora."),
]


@pytest.mark.parametrize("obj,signature,doc", DOCS, ids=[d[0].__qualname__ for d in DOCS])
def test_docstrings(obj, signature, doc):
    assert obj.__doc__ == doc
    if signature is not None:
        assert obj.__text_signature__ == signature


@pytest.mark.parametrize("cls", [core.StreamEncryptorHandle, core.StreamDecryptorHandle])
def test_handles_have_no_constructor(cls):
    assert cls.__module__ == "velora"
    with pytest.raises(TypeError):
        cls()


def test_registration_positions():
    names = core.__all__
    i = names.index("encapsulate_deterministic")
    assert names[i + 1:i + 3] == ["encrypt_hybrid", "decrypt_hybrid"]
    assert names[-4:] == ["StreamEncryptorHandle", "StreamDecryptorHandle",
                          "stream_encryptor_new", "stream_decryptor_from_header"]
    header, enc = core.stream_encryptor_new(keys_for(L.ML_KEM_768).public_key, 8)
    assert type(enc) is core.StreamEncryptorHandle
    assert type(Stream().decryptor()) is core.StreamDecryptorHandle


# ---- concurrency -------------------------------------------------------------

def _busy_setup(side: str):
    """A handle, a call that keeps it busy for a while with the lock released,
    and probes that leave it unchanged when it is free."""
    s = Stream(chunk_size=16 * MiB)
    big = os.urandom(16 * MiB)
    if side == "encryptor":
        h = s.enc
        return s, h, (lambda: h.encrypt_chunk(big)), (lambda: h.encrypt_chunk(None)), h.chunk_index
    # A 16 MiB chunk with a wrong tag: a full GCM pass, then DecryptionError,
    # state unchanged, so it can be repeated at the same index.
    h = s.decryptor()

    def work():
        with pytest.raises(core.DecryptionError):
            h.decrypt_chunk(big, bytes(16))
    return s, h, work, (lambda: h.process_eof(None)), h.eof_seen


@pytest.mark.parametrize("side", ["encryptor", "decryptor"])
def test_busy_handle_refuses_other_calls_at_once(side):
    s, handle, work, probe_exclusive, probe_shared = _busy_setup(side)
    seen, failures, done = set(), [], []
    stop = threading.Event()

    def worker():
        try:
            for _ in range(200):  # bounded; stops as soon as both errors were seen
                if stop.is_set():
                    return
                work()
                done.append(1)
        except BaseException as e:  # noqa: BLE001 - reported below
            failures.append(e)

    t = threading.Thread(target=worker)
    t.start()
    deadline = time.monotonic() + 120  # a bound on the loop, not a speed check
    while t.is_alive() and len(seen) < 2 and time.monotonic() < deadline:
        for kind, probe in (("exclusive", probe_exclusive), ("shared", probe_shared)):
            try:
                probe()
            except RuntimeError as e:
                seen.add((kind, str(e)))
            except TypeError:  # the exclusive probe on a free handle
                pass
    stop.set()
    t.join(120)
    assert not t.is_alive(), "worker did not finish"
    assert not failures, failures
    assert seen == {("exclusive", "Already borrowed"), ("shared", "Already mutably borrowed")}

    # The handle is intact afterwards.
    if side == "encryptor":
        n = len(done)
        assert handle.chunk_index() == n
        assert s.oracle_open(handle.encrypt_chunk(b"after"), n) == b"after"
    else:
        assert (handle.chunk_index(), handle.eof_seen()) == (0, False)
        assert handle.decrypt_chunk(*split_frame(s.enc.encrypt_chunk(b"after"))) == b"after"


def test_distinct_handles_work_in_parallel():
    streams = [Stream(chunk_size=MiB) for _ in range(4)]
    chunk = os.urandom(MiB)
    results, failures = {}, []

    def run(k):
        try:
            s = streams[k]
            dec = s.decryptor()
            out = [dec.decrypt_chunk(*split_frame(s.enc.encrypt_chunk(chunk))) for _ in range(6)]
            dec.process_eof(split_frame(s.enc.finalize())[1])
            results[k] = (all(o == chunk for o in out), dec.eof_seen(), dec.chunk_index())
        except BaseException as e:  # noqa: BLE001
            failures.append(e)

    threads = [threading.Thread(target=run, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert not any(t.is_alive() for t in threads)
    assert not failures, failures
    assert results == {k: (True, True, 7) for k in range(4)}
