"""Bad-input sweep: every function and method, every parameter, every kind of wrong value.

One table drives it. Each row names a callable, its parameters with their kind
(`bytes`, `str`, `level`, `u32`), a factory of valid keyword arguments and the
expected outcome of each value variant. From the kind alone come the wrong-type
variants (the argument-conversion `TypeError`, its exact message and its note);
the rows list the wrong-size, empty, huge and random variants with their exact
class and message (or "ok"). After every call the test checks that nothing else
changed: the key pair the arguments came from still holds the same keys, a
mutable argument was not written, and a stream handle kept its state and still
works at the position it was at (checked against AESGCM, not our decryptor).
"""

from __future__ import annotations

import os
import random
from dataclasses import dataclass, field
from typing import Any, Callable

import pytest
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

from velora import _velora_core as core

L = core.SecurityLevel
IPE = core.InvalidParameterError
KSE = core.KeySerializationError
DEC = core.DecryptionError
VE = core.VeloraError
DECRYPTION = "AES-GCM authentication tag verification failed"
HUGE = 1 << 22  # 4 MiB
PASSWORD = b"sweep password"
OK = "ok"
_rng = random.Random(20240611)


def _interpreter_overflow_message() -> str:
    """What the interpreter itself says for an int beyond 64 signed bits."""
    try:
        (2**64).to_bytes(8, "big", signed=True)
    except OverflowError as exc:
        return str(exc)
    raise AssertionError("no OverflowError")


class BytesSub(bytes):
    pass


class StrSub(str):
    pass


# ---- fixtures shared by the rows --------------------------------------------

@dataclass
class World:
    pairs: dict[int, Any]
    snapshot: dict[int, tuple[bytes, bytes]] = field(default_factory=dict)

    def __post_init__(self):
        self.snapshot = {v: (p.public_key, p.secret_key) for v, p in self.pairs.items()}

    def unchanged(self) -> bool:
        return all((p.public_key, p.secret_key) == self.snapshot[v] for v, p in self.pairs.items())


@pytest.fixture(scope="module")
def world() -> World:
    return World({int(lv): core.generate_keypair(lv) for lv in (L.ML_KEM_512, L.ML_KEM_768, L.ML_KEM_1024)})


def be32(i: int) -> bytes:
    return i.to_bytes(4, "big")


def split(frame: bytes) -> tuple[bytes, bytes]:
    n = int.from_bytes(frame[:4], "big")
    return frame[4 : 4 + n], frame[4 + n :]


class StreamCtx:
    """An encryptor and a decryptor two chunks into a stream, and an
    independent view of the stream (the AES key from the capsule)."""

    CHUNK = 64

    def __init__(self, pair):
        self.pair = pair
        self.header, self.enc = core.stream_encryptor_new(pair.public_key, self.CHUNK)
        self.key = core.decapsulate(self.header[:1088], pair.secret_key)
        self.base = self.header[1088:1100]
        self.dec = core.stream_decryptor_from_header(self.header, pair.secret_key, L.ML_KEM_768)
        for i in range(2):
            self.dec.decrypt_chunk(*split(self.enc.encrypt_chunk(b"chunk %d" % i)))
        self.pending = self.oracle_frame(b"the third chunk", 2)  # index 2, not yet fed to dec

    def oracle_frame(self, plaintext: bytes, i: int) -> bytes:
        return be32(len(plaintext)) + AESGCM(self.key).encrypt(be32(i) + self.base[4:], plaintext, be32(i))

    def oracle_open(self, frame: bytes, i: int) -> bytes:
        ct, tag = split(frame)
        return AESGCM(self.key).decrypt(be32(i) + self.base[4:], ct + tag, be32(i))

    def state(self):
        return (self.enc.base_nonce(), self.enc.chunk_size(), self.enc.chunk_index(),
                self.dec.eof_seen(), self.dec.chunk_size(), self.dec.chunk_index())

    def still_works(self, expect_enc: int, expect_dec: int) -> None:
        """Both handles carry on at the index they were at (after the EOF
        marker the decryptor refuses every further chunk)."""
        frame = self.enc.encrypt_chunk(b"after")
        assert self.oracle_open(frame, expect_enc) == b"after"
        assert self.dec.chunk_index() == expect_dec
        ct, tag = split(self.oracle_frame(b"next", expect_dec))
        if self.dec.eof_seen():
            with pytest.raises(DEC):
                self.dec.decrypt_chunk(ct, tag)
            assert self.dec.chunk_index() == expect_dec
        else:
            assert self.dec.decrypt_chunk(ct, tag) == b"next"


# ---- the table --------------------------------------------------------------

@dataclass
class Param:
    name: str
    kind: str  # "bytes" | "str" | "level" | "u32"
    # (label, make(valid value, world, stream ctx) -> value, expected): expected is OK or (class, message)
    variants: list[tuple[str, Callable[[Any], Any], Any]] = field(default_factory=list)


@dataclass
class Row:
    name: str
    call: Callable[..., Any]  # call(world, ctx, **kwargs)
    params: list[Param]
    valid: Callable[[World, Any], dict]  # (world, ctx) -> keyword arguments
    stream: bool = False  # ctx is a StreamCtx; its state is checked after each call
    # For stream rows: how the indices move on success (encryptor, decryptor).
    advance: tuple[int, int] = (0, 0)


def short(v, _w=None, _c=None):
    return v[:-1]


def long(v, _w=None, _c=None):
    return v + v[:1]


def empty(v, _w=None, _c=None):
    return type(v)()


def huge_bytes(_v, _w=None, _c=None):
    return os.urandom(HUGE)


def random_same_size(v, _w=None, _c=None):
    return os.urandom(len(v))


def huge_text(_v, _w=None, _c=None):
    return "A" * HUGE


def punctuation(v, _w=None, _c=None):
    return "".join(_rng.choice("!#$%&()*,.:;<>?@[]^{|}~") for _ in range(max(len(v), 8)))


def random_unicode(v, _w=None, _c=None):
    return "".join(chr(_rng.choice([_rng.randrange(0x20, 0x7F), _rng.randrange(0xA1, 0x3000)])) for _ in range(64))


def size_variants(wrong_size_error, random_expect=OK, huge=None):
    """empty, one byte short, one byte long, huge and random of the right size."""
    return [
        ("empty", empty, wrong_size_error),
        ("short", short, wrong_size_error),
        ("long", long, wrong_size_error),
        ("huge", huge_bytes, wrong_size_error if huge is None else huge),
        ("random", random_same_size, random_expect),
    ]


def free_bytes_variants():
    """A byte string of any length is accepted."""
    return [("empty", empty, OK), ("huge", huge_bytes, OK), ("random", random_same_size, OK)]


ENC_SIZE = (IPE, "encryption key has incorrect size")
DEC_SIZE = (IPE, "decapsulation key has incorrect size")
NO_PEM_HEADER = (KSE, "PEM header not found")
NO_JSON_FIELD = (KSE, "missing JSON field")
B64_ERROR = (VE, "base64 decode error: invalid base64 URL-safe string")
B64_SIZE = (IPE, "decoded public key has incorrect size for the specified security level")


def pk(world):
    return world.pairs[768].public_key


def sk(world):
    return world.pairs[768].secret_key


def kp(world):
    return world.pairs[768]


LEVEL = Param("level", "level")

ROWS = [
    Row("generate_keypair", lambda w, c, **k: core.generate_keypair(**k), [LEVEL], lambda w, c: {"level": L.ML_KEM_768}),
    Row("encapsulate", lambda w, c, **k: core.encapsulate(**k),
        [Param("public_key", "bytes", size_variants(ENC_SIZE)), LEVEL],
        lambda w, c: {"public_key": pk(w), "level": L.ML_KEM_768}),
    Row("decapsulate", lambda w, c, **k: core.decapsulate(**k),
        [Param("capsule", "bytes", size_variants((IPE, "capsule has incorrect size"))),
         Param("secret_key", "bytes", size_variants(DEC_SIZE)), LEVEL],
        lambda w, c: {"capsule": core.encapsulate(pk(w))[0], "secret_key": sk(w), "level": L.ML_KEM_768}),
    Row("serialize_public_key", lambda w, c, **k: core.serialize_public_key(**k),
        [Param("public_key", "bytes", free_bytes_variants())], lambda w, c: {"public_key": pk(w)}),
    Row("deserialize_public_key", lambda w, c, **k: core.deserialize_public_key(**k),
        [Param("b64", "str", [
            ("empty", empty, B64_SIZE),
            ("huge", huge_text, B64_SIZE),
            ("random punctuation", punctuation, B64_ERROR),
            ("random unicode", random_unicode, B64_ERROR),
            ("another level's key", lambda v, w, c: w.pairs[512].public_key_b64(), B64_SIZE),
            ("standard alphabet", lambda v, w, c: v.replace("-", "+").replace("_", "/") + "+", B64_ERROR),
        ]), LEVEL],
        lambda w, c: {"b64": kp(w).public_key_b64(), "level": L.ML_KEM_768}),
    Row("generate_keypair_deterministic", lambda w, c, **k: core.generate_keypair_deterministic(**k),
        [Param("d", "bytes", size_variants((ValueError, "El seed 'd' debe tener exactamente 32 bytes"))),
         Param("z", "bytes", size_variants((ValueError, "El seed 'z' debe tener exactamente 32 bytes"))), LEVEL],
        lambda w, c: {"d": os.urandom(32), "z": os.urandom(32), "level": L.ML_KEM_768}),
    Row("encapsulate_deterministic", lambda w, c, **k: core.encapsulate_deterministic(**k),
        [Param("public_key", "bytes", size_variants((IPE, "encryption key publica tiene tamano incorrecto"))),
         Param("m", "bytes", size_variants((ValueError, "El mensaje 'm' debe tener exactamente 32 bytes"))),
         LEVEL],
        lambda w, c: {"public_key": pk(w), "m": os.urandom(32), "level": L.ML_KEM_768}),
    Row("encrypt_hybrid", lambda w, c, **k: core.encrypt_hybrid(**k),
        [Param("recipient_public_key", "bytes", size_variants(ENC_SIZE)),
         Param("plaintext", "bytes", free_bytes_variants()), LEVEL],
        lambda w, c: {"recipient_public_key": pk(w), "plaintext": b"sweep", "level": L.ML_KEM_768}),
    Row("decrypt_hybrid", lambda w, c, **k: core.decrypt_hybrid(**k),
        [Param("encrypted_package", "bytes", [
            ("empty", empty, (IPE, "Encrypted package too small for the given security level")),
            ("C + 27 bytes", lambda v, w, c: v[:1088 + 27], (IPE, "Encrypted package too small for the given security level")),
            ("short", short, (DEC, DECRYPTION)),
            ("long", long, (DEC, DECRYPTION)),
            ("huge", huge_bytes, (DEC, DECRYPTION)),
            ("random", random_same_size, (DEC, DECRYPTION)),
         ]),
         Param("secret_key", "bytes", size_variants(DEC_SIZE, random_expect=(DEC, DECRYPTION))), LEVEL],
        lambda w, c: {"encrypted_package": core.encrypt_hybrid(pk(w), b"sweep plaintext"), "secret_key": sk(w),
                      "level": L.ML_KEM_768}),
    Row("load_public_key_pem", lambda w, c, **k: core.load_public_key_pem(**k),
        [Param("pem", "str", [
            ("empty", empty, NO_PEM_HEADER),
            ("huge", huge_text, NO_PEM_HEADER),
            ("random punctuation", punctuation, NO_PEM_HEADER),
            ("random unicode", random_unicode, NO_PEM_HEADER),
            ("no footer", lambda v, w, c: v.replace("-----END ML-KEM PUBLIC KEY-----", ""), (KSE, "PEM footer not found")),
            ("body cut", lambda v, w, c: v.replace("=\n-----END", "\n-----END"),
             (KSE, "PEM body is not valid Base64 STANDARD")),
            ("another level's key", lambda v, w, c: w.pairs[512].public_key_pem(),
             (IPE, "public key size does not match the specified security level")),
         ]), LEVEL],
        lambda w, c: {"pem": kp(w).public_key_pem(), "level": L.ML_KEM_768}),
    Row("load_public_key_json", lambda w, c, **k: core.load_public_key_json(**k),
        [Param("json", "str", [
            ("empty", empty, NO_JSON_FIELD),
            ("huge", huge_text, NO_JSON_FIELD),
            ("random punctuation", punctuation, NO_JSON_FIELD),
            ("random unicode", random_unicode, NO_JSON_FIELD),
            ("value cut", lambda v, w, c: v[:-2], (KSE, "unterminated JSON string value")),
            ("number value", lambda v, w, c: v.replace('"level":"ML_KEM_768"', '"level":768'),
             (KSE, "JSON field value is not a string")),
         ])],
        lambda w, c: {"json": kp(w).public_key_json()}),
    Row("load_secret_key_raw", lambda w, c, **k: core.load_secret_key_raw(**k),
        [Param("blob", "bytes", [
            ("empty", empty, (KSE, "wrapped blob is too short to contain a valid header")),
            ("49 bytes", lambda v, w, c: v[:49], (KSE, "wrapped blob is too short to contain a valid header")),
            ("short", short, (DEC, DECRYPTION)),
            ("long", long, (DEC, DECRYPTION)),
            ("huge", huge_bytes, (KSE, "invalid magic bytes in wrapped blob")),
            ("random", lambda v, w, c: b"\0" + os.urandom(len(v) - 1), (KSE, "invalid magic bytes in wrapped blob")),
         ]),
         Param("password", "bytes", [("empty", empty, (DEC, DECRYPTION)), ("huge", huge_bytes, (DEC, DECRYPTION)),
                                     ("random", random_same_size, (DEC, DECRYPTION))])],
        lambda w, c: {"blob": kp(w).export_secret_key_raw(PASSWORD), "password": PASSWORD}),
    Row("load_secret_key_pem", lambda w, c, **k: core.load_secret_key_pem(**k),
        [Param("pem", "str", [
            ("empty", empty, NO_PEM_HEADER),
            ("huge", huge_text, NO_PEM_HEADER),
            ("random punctuation", punctuation, NO_PEM_HEADER),
            ("random unicode", random_unicode, NO_PEM_HEADER),
            ("public-key armour", lambda v, w, c: w.pairs[768].public_key_pem(), NO_PEM_HEADER),
            ("body cut", lambda v, w, c: v.replace("=\n-----END", "\n-----END"),
             (KSE, "PEM ENCRYPTED body is not valid Base64 STANDARD")),
         ]),
         Param("password", "bytes", [("empty", empty, (DEC, DECRYPTION)), ("huge", huge_bytes, (DEC, DECRYPTION)),
                                     ("random", random_same_size, (DEC, DECRYPTION))])],
        lambda w, c: {"pem": kp(w).export_secret_key_pem(PASSWORD), "password": PASSWORD}),
    Row("stream_encryptor_new", lambda w, c, **k: core.stream_encryptor_new(**k),
        [Param("recipient_public_key", "bytes", size_variants(ENC_SIZE)),
         Param("chunk_size", "u32", [
             ("0", lambda v, w, c: 0, (IPE, "chunk_size must be at least 1 byte")),
             ("16 MiB + 1", lambda v, w, c: (1 << 24) + 1, (IPE, "chunk_size exceeds the 16 MiB safety cap")),
             ("-1", lambda v, w, c: -1, (OverflowError, "out of range integral type conversion attempted")),
             ("2**32", lambda v, w, c: 2**32, (OverflowError, "out of range integral type conversion attempted")),
             ("2**63 - 1", lambda v, w, c: 2**63 - 1, (OverflowError, "out of range integral type conversion attempted")),
             ("2**64", lambda v, w, c: 2**64, (OverflowError, _interpreter_overflow_message())),
             ("-2**64", lambda v, w, c: -(2**64), (OverflowError, _interpreter_overflow_message())),
             ("16 MiB", lambda v, w, c: 1 << 24, OK),
         ]), LEVEL],
        lambda w, c: {"recipient_public_key": pk(w), "chunk_size": 64, "level": L.ML_KEM_768}),
    Row("stream_decryptor_from_header", lambda w, c, **k: core.stream_decryptor_from_header(**k),
        [Param("header_bytes", "bytes", [
            ("empty", empty, (IPE, "stream header too short for the given security level")),
            ("short", short, (IPE, "stream header too short for the given security level")),
            ("long", long, OK),
            ("huge", lambda v, w, c: v + os.urandom(HUGE), OK),
            ("random", lambda v, w, c: os.urandom(len(v) - 4) + be32(64), OK),
            ("chunk size 0", lambda v, w, c: v[:-4] + be32(0), (IPE, "chunk_size must be 1..=16 MiB")),
            ("chunk size 16 MiB + 1", lambda v, w, c: v[:-4] + be32((1 << 24) + 1), (IPE, "chunk_size must be 1..=16 MiB")),
         ]),
         Param("secret_key", "bytes", size_variants(DEC_SIZE)), LEVEL],
        lambda w, c: {"header_bytes": core.stream_encryptor_new(pk(w), 64)[0], "secret_key": sk(w),
                      "level": L.ML_KEM_768}),
    Row("KeyPair.export_secret_key_raw", lambda w, c, **k: w.pairs[768].export_secret_key_raw(**k),
        [Param("password", "bytes", free_bytes_variants())], lambda w, c: {"password": PASSWORD}),
    Row("KeyPair.export_secret_key_pem", lambda w, c, **k: w.pairs[768].export_secret_key_pem(**k),
        [Param("password", "bytes", free_bytes_variants())], lambda w, c: {"password": PASSWORD}),
    Row("StreamEncryptorHandle.encrypt_chunk", lambda w, c, **k: c.enc.encrypt_chunk(**k),
        [Param("plaintext", "bytes", [
            ("empty", empty, (IPE, "empty plaintext chunk refused: its frame would be indistinguishable from "
                                   "the EOF marker")),
            ("chunk_size + 1", lambda v, w, c: os.urandom(StreamCtx.CHUNK + 1),
             (IPE, "plaintext exceeds configured chunk_size")),
            ("huge", huge_bytes, (IPE, "plaintext exceeds configured chunk_size")),
            ("random", random_same_size, OK),
            ("chunk_size", lambda v, w, c: os.urandom(StreamCtx.CHUNK), OK),
         ])],
        lambda w, c: {"plaintext": b"sweep chunk"}, stream=True, advance=(1, 0)),
    Row("StreamDecryptorHandle.decrypt_chunk", lambda w, c, **k: c.dec.decrypt_chunk(**k),
        [Param("ciphertext", "bytes", [
            ("empty", empty, (DEC, DECRYPTION)),
            ("short", short, (DEC, DECRYPTION)),
            ("long", long, (DEC, DECRYPTION)),
            ("chunk_size + 1", lambda v, w, c: os.urandom(StreamCtx.CHUNK + 1),
             (IPE, "ciphertext exceeds configured chunk_size")),
            ("huge", huge_bytes, (IPE, "ciphertext exceeds configured chunk_size")),
            ("random", random_same_size, (DEC, DECRYPTION)),
         ]),
         Param("tag", "bytes", [
             ("empty", empty, (IPE, "AES-GCM tag must be 16 bytes")),
             ("short", short, (IPE, "AES-GCM tag must be 16 bytes")),
             ("long", long, (IPE, "AES-GCM tag must be 16 bytes")),
             ("huge", huge_bytes, (IPE, "AES-GCM tag must be 16 bytes")),
             ("random", random_same_size, (DEC, DECRYPTION)),
         ])],
        lambda w, c: dict(zip(("ciphertext", "tag"), split(c.pending))), stream=True, advance=(0, 1)),
    Row("StreamDecryptorHandle.process_eof", lambda w, c, **k: c.dec.process_eof(**k),
        [Param("tag", "bytes", [
            ("empty", empty, (IPE, "AES-GCM tag must be 16 bytes")),
            ("short", short, (IPE, "AES-GCM tag must be 16 bytes")),
            ("long", long, (IPE, "AES-GCM tag must be 16 bytes")),
            ("huge", huge_bytes, (IPE, "AES-GCM tag must be 16 bytes")),
            ("random", random_same_size, (DEC, DECRYPTION)),
            ("a data frame's tag", lambda v, w, c: split(c.pending)[1], (DEC, DECRYPTION)),
        ])],
        lambda w, c: {"tag": split(c.oracle_frame(b"", 2))[1]}, stream=True, advance=(0, 1)),
]

# ---- wrong types, from the kind alone ----------------------------------------

def wrong_types(kind: str, valid: Any) -> list[tuple[str, Any, str]]:
    """(label, value, expected type name in the message)."""
    if kind == "bytes":
        return [("bytearray", bytearray(valid), "bytes"), ("memoryview", memoryview(valid), "bytes"),
                ("str", "text", "bytes"), ("int", 7, "bytes"), ("None", None, "bytes"), ("list", [1, 2], "bytes")]
    if kind == "str":
        return [("bytes", valid.encode("utf-8", "surrogatepass"), "str"), ("bytearray", bytearray(b"x"), "str"),
                ("int", 7, "str"), ("None", None, "str")]
    if kind == "level":
        return [("int 768", 768, "SecurityLevel"), ("int 512", 512, "SecurityLevel"), ("None", None, "SecurityLevel"),
                ("str", "ML_KEM_768", "SecurityLevel"), ("float", 768.0, "SecurityLevel"),
                ("the class", L, "SecurityLevel")]
    if kind == "u32":
        return [("str", "64", "int"), ("None", None, "int"), ("float", 64.0, "int"), ("bytes", b"\x40", "int")]
    raise AssertionError(kind)


def type_message(value: Any, expected: str) -> str:
    if value is None:
        return f"'None' is not an instance of '{expected}'"
    return f"'{type(value).__name__}' object is not an instance of '{expected}'"


def cases():
    for row in ROWS:
        for p in row.params:
            yield pytest.param(row, p, "type", None, id=f"{row.name}-{p.name}-wrong types")
            for label, make, expected in p.variants:
                yield pytest.param(row, p, label, (make, expected), id=f"{row.name}-{p.name}-{label}")
            if p.kind in ("bytes", "str"):
                yield pytest.param(row, p, "subclass", None, id=f"{row.name}-{p.name}-subclass accepted")


def run(row: Row, world: World, ctx, kwargs: dict):
    before = ctx.state() if row.stream else None
    try:
        result = row.call(world, ctx, **kwargs)
    except BaseException as exc:  # noqa: BLE001 - compared below
        return None, exc, before
    return result, None, before


def check_after(row: Row, world: World, ctx, before, succeeded: bool, mutable_copies: list):
    assert world.unchanged(), "a key pair changed"
    for original, copy in mutable_copies:
        assert original == copy, "a mutable argument was written"
    if not row.stream:
        return
    enc_i, dec_i = before[2], before[5]
    if succeeded:
        enc_i += row.advance[0]
        dec_i += row.advance[1]
    else:
        assert ctx.state() == before, "a failed call changed the handle's state"
    ctx.still_works(enc_i, dec_i)


@pytest.mark.parametrize("row,param,label,variant", list(cases()))
def test_bad_input(world, row: Row, param: Param, label: str, variant):
    ctx = StreamCtx(world.pairs[768]) if row.stream else None
    valid = row.valid(world, ctx)

    if label == "type":
        for tlabel, value, expected_type in wrong_types(param.kind, valid[param.name]):
            kwargs = dict(valid, **{param.name: value})
            copies = [(value, bytearray(value))] if isinstance(value, bytearray) else []
            result, exc, before = run(row, world, ctx, kwargs)
            assert exc is not None, f"{tlabel}: accepted"
            assert type(exc) is TypeError, f"{tlabel}: {exc!r}"
            assert exc.args == (type_message(value, expected_type),), tlabel
            assert getattr(exc, "__notes__", None) == [f"while processing '{param.name}'"], tlabel
            check_after(row, world, ctx, before, False, copies)
        return

    if label == "subclass":
        sub = BytesSub(valid[param.name]) if param.kind == "bytes" else StrSub(valid[param.name])
        result, exc, before = run(row, world, ctx, dict(valid, **{param.name: sub}))
        assert exc is None, f"a {type(sub).__name__} was refused: {exc!r}"
        check_after(row, world, ctx, before, True, [])
        return

    make, expected = variant
    value = make(valid[param.name], world, ctx)
    result, exc, before = run(row, world, ctx, dict(valid, **{param.name: value}))
    if expected == OK:
        assert exc is None, f"refused: {exc!r}"
    else:
        cls, message = expected
        assert exc is not None, f"accepted, expected {cls.__name__}: {message}"
        assert type(exc) is cls, f"raised {exc!r}, expected {cls.__name__}: {message}"
        assert exc.args == (message,)
        assert not getattr(exc, "__notes__", None)
    check_after(row, world, ctx, before, exc is None, [])


def test_every_function_and_argument_is_swept():
    """The table covers every registered function and every argument it takes."""
    import inspect

    swept = {row.name: {p.name for p in row.params} for row in ROWS}
    for name in core.__all__:
        obj = getattr(core, name)
        if isinstance(obj, type):
            continue
        params = set(inspect.signature(obj).parameters)
        assert swept.get(name) == params, f"{name}: swept {swept.get(name)}, takes {params}"
    for cls, methods in ((core.KeyPair, ("export_secret_key_raw", "export_secret_key_pem")),
                         (core.StreamEncryptorHandle, ("encrypt_chunk",)),
                         (core.StreamDecryptorHandle, ("decrypt_chunk", "process_eof"))):
        for m in methods:
            params = set(inspect.signature(getattr(cls, m)).parameters) - {"self"}
            assert swept[f"{cls.__name__}.{m}"] == params


NO_ARGUMENT_METHODS = [
    ("KeyPair", "public_key_b64"), ("KeyPair", "public_key_pem"), ("KeyPair", "public_key_json"),
    ("StreamEncryptorHandle", "finalize"), ("StreamEncryptorHandle", "base_nonce"),
    ("StreamEncryptorHandle", "chunk_size"), ("StreamEncryptorHandle", "chunk_index"),
    ("StreamDecryptorHandle", "finalize"), ("StreamDecryptorHandle", "eof_seen"),
    ("StreamDecryptorHandle", "chunk_size"), ("StreamDecryptorHandle", "chunk_index"),
]


@pytest.mark.parametrize("cls,method", NO_ARGUMENT_METHODS, ids=[f"{c}.{m}" for c, m in NO_ARGUMENT_METHODS])
@pytest.mark.parametrize("arg", [None, b"", os.urandom(HUGE)], ids=["None", "empty", "huge"])
def test_methods_without_parameters_refuse_any_argument(world, cls, method, arg):
    ctx = StreamCtx(world.pairs[768])
    target = {"KeyPair": world.pairs[768], "StreamEncryptorHandle": ctx.enc, "StreamDecryptorHandle": ctx.dec}[cls]
    before = ctx.state()
    with pytest.raises(TypeError) as info:
        getattr(target, method)(arg)
    assert type(info.value) is TypeError
    assert info.value.args == (f"{cls}.{method}() takes no arguments (1 given)",)
    assert ctx.state() == before and world.unchanged()
    ctx.still_works(before[2], before[5])
