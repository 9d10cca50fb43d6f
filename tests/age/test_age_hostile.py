"""Hostile age input found from outside, each bounded: payloads no honest writer makes (written
by an independent oracle, tests/age/age_oracle.py), floods of white space, headers of many
stanzas, scrypt work factors; and the refusals of key objects and arguments of the wrong kind."""

from __future__ import annotations

import copy
import io
import os
import pickle
from pathlib import Path

import pyrage
import pytest

import velora
from velora import _velora_native as native
from velora import age
from velora.files.armor import MAX_LEADING_WHITESPACE

import age_oracle
from flood import READ_BOUND, Flood

CHUNK = 64 * 1024


@pytest.fixture(scope="module")
def identity() -> age.X25519Identity:
    return age.X25519Identity.generate()


def _decrypt_every_way(blob: bytes, identity: age.X25519Identity, tmp_path: Path) -> dict[str, object]:
    """Each way of reading an age file: its plaintext, or the exception it raised (and then no
    file may be left at a path destination)."""
    src = tmp_path / "in.age"
    src.write_bytes(blob)
    ways = {
        "age.decrypt": lambda: age.decrypt(blob, [identity]),
        "AgeReader": lambda: age.AgeReader(io.BytesIO(blob), [identity]).read(),
        "AgeReader.read1": lambda: b"".join(iter(age.AgeReader(io.BytesIO(blob), [identity]).read1, b"")),
        "age.decrypt_file": lambda: (age.decrypt_file(src, tmp_path / "a.out", [identity]),
                                     (tmp_path / "a.out").read_bytes())[1],
        "velora.decrypt_file (pipe)": lambda: _to_sink(lambda s: velora.decrypt_file(io.BytesIO(blob), s, identity)),
        "velora.decrypt_file": lambda: (velora.decrypt_file(src, tmp_path / "v.out", identity),
                                        (tmp_path / "v.out").read_bytes())[1],
        "DecryptedReader": lambda: velora.DecryptedReader(io.BytesIO(blob), identity).read(),
    }
    out: dict[str, object] = {}
    for name, way in ways.items():
        try:
            out[name] = way()
        except velora.DecryptionError as exc:
            out[name] = exc
            assert not (tmp_path / "a.out").exists() and not (tmp_path / "v.out").exists(), name
    assert sorted(p.name for p in tmp_path.iterdir() if p.name.startswith(".")) == [], "a temporary file was left"
    for made in ("a.out", "v.out"):
        (tmp_path / made).unlink(missing_ok=True)
    return out


def _to_sink(run: object) -> bytes:
    sink = io.BytesIO()
    run(sink)  # type: ignore[operator]
    return sink.getvalue()


def test_the_oracle_writes_files_that_age_and_velora_read(identity: age.X25519Identity, tmp_path: Path) -> None:
    plaintext = b"a" * CHUNK + b"b"
    blob = age_oracle.age_file(identity.recipient().to_bytes(), [(b"a" * CHUNK, False), (b"b", True)])
    assert pyrage.decrypt(blob, [pyrage.x25519.Identity.from_str(str(identity))]) == plaintext
    assert set(map(bytes, _decrypt_every_way(blob, identity, tmp_path).values())) == {plaintext}


@pytest.mark.parametrize(
    "chunks",
    [
        [(b"a", True), (b"b", True)],  # a second final chunk
        [(b"a", True), (b"b", False)],  # a chunk after the final one
        [(b"a" * CHUNK, True), (b"b", True)],  # after a full-size final chunk
        [(b"a" * CHUNK, False), (b"a" * CHUNK, True), (b"", True)],  # an empty one after the final one
        [(b"a" * CHUNK, False), (b"", True)],  # an empty final chunk after a full one
        [(b"a", False)],  # no final chunk
        [(b"a" * CHUNK, False)],  # no final chunk, at a chunk boundary
    ],
    ids=["two-finals", "after-final", "after-full-final", "empty-after-final", "empty-final", "no-final",
         "no-final-full"],
)
def test_payloads_no_writer_makes_are_refused_every_way(
    identity: age.X25519Identity, tmp_path: Path, chunks: list[tuple[bytes, bool]]
) -> None:
    blob = age_oracle.age_file(identity.recipient().to_bytes(), chunks)
    with pytest.raises(Exception):  # the oracle's file is refused by age too
        pyrage.decrypt(blob, [pyrage.x25519.Identity.from_str(str(identity))])
    outcomes = _decrypt_every_way(blob, identity, tmp_path)
    accepted = {name: v for name, v in outcomes.items() if not isinstance(v, Exception)}
    assert not accepted, accepted
    age_ways = {name: v for name, v in outcomes.items() if name.startswith(("age", "Age"))}
    assert all(isinstance(v, age.AgePayloadError) for v in age_ways.values()), age_ways


@pytest.mark.parametrize(
    ("armor", "error"),
    [(None, age.AgeArmorError), (True, age.AgeArmorError), (False, age.AgeHeaderError)],
)
def test_a_flood_of_white_space_is_refused_after_a_bounded_read(
    identity: age.X25519Identity, armor: bool | None, error: type[Exception]
) -> None:
    flood = Flood(64 << 20)
    with pytest.raises(error):
        age.AgeReader(flood, [identity], armor=armor)  # type: ignore[arg-type]
    assert flood.served <= READ_BOUND, flood.served


def test_white_space_before_the_armour_up_to_the_limit(identity: age.X25519Identity) -> None:
    text = age.encrypt(b"inside", [identity.recipient()], armor=True)
    for spaces in (0, 1, 4095, MAX_LEADING_WHITESPACE - 1, MAX_LEADING_WHITESPACE):
        assert age.AgeReader(Flood(spaces, text), [identity]).read() == b"inside", spaces  # type: ignore[arg-type]
        assert age.decrypt(b" " * spaces + text, [identity]) == b"inside"
    with pytest.raises(age.AgeArmorError, match="white space"):
        age.decrypt(b" " * (MAX_LEADING_WHITESPACE + 1) + text, [identity])


def test_x25519_stanzas_are_tried_in_one_engine_call_in_order() -> None:
    """An identity hands the engine all its X25519 stanzas at once (its key object, and the
    public key libcrypto computes with it, made once): the first that opens wins, an all-zero
    share before it is an error, and wrong sizes are refused."""
    key = bytes(range(32))
    public = native.age_x25519_public_key(key)
    (share_a, body_a), (share_b, body_b) = (native.age_wrap_x25519(k * 16, public) for k in (b"a", b"b"))
    stranger = native.age_wrap_x25519(b"c" * 16, native.age_x25519_public_key(bytes(32 * [7])))
    assert native.age_unwrap_x25519_many(key, share_a, body_a) == b"a" * 16
    assert native.age_unwrap_x25519_many(key, stranger[0] + share_b + share_a, stranger[1] + body_b + body_a) == b"b" * 16
    assert native.age_unwrap_x25519_many(key, stranger[0] * 3, stranger[1] * 3) is None
    assert native.age_unwrap_x25519_many(key, b"", b"") is None
    with pytest.raises(velora.DecapsulationError):
        native.age_unwrap_x25519_many(key, stranger[0] + bytes(32) + share_a, stranger[1] + body_a + body_a)
    assert native.age_unwrap_x25519_many(key, share_a + bytes(32), body_a + body_a) == b"a" * 16
    # Many stanzas (spread over the cores): still the lowest decisive one, in order.
    n = 300
    for zero_at, match_at, expect in ((150, 290, "zero"), (290, 150, "match"), (None, 299, "match"), (None, None, None)):
        shares = [stranger[0]] * n
        bodies = [stranger[1]] * n
        if zero_at is not None:
            shares[zero_at] = bytes(32)
        if match_at is not None:
            shares[match_at], bodies[match_at] = share_a, body_a
        if expect == "zero":
            with pytest.raises(velora.DecapsulationError):
                native.age_unwrap_x25519_many(key, b"".join(shares), b"".join(bodies))
        else:
            got = native.age_unwrap_x25519_many(key, b"".join(shares), b"".join(bodies))
            assert got == (b"a" * 16 if expect == "match" else None), (zero_at, match_at)
    for shares, bodies in ((share_a[:31], body_a), (share_a, body_a + b"x"), (share_a * 2, body_a)):
        with pytest.raises(velora.InvalidParameterError):
            native.age_unwrap_x25519_many(key, shares, bodies)


def test_a_malformed_x25519_stanza_counts_only_if_none_before_it_opens(identity: age.X25519Identity) -> None:
    file_key = os.urandom(16)
    good = age_oracle.x25519_stanza(file_key, identity.recipient().to_bytes())
    bad = b"-> X25519 short\n" + age_oracle._b64(os.urandom(32)) + b"\n"
    payload = age_oracle.payload(file_key, [(b"ok", True)])
    assert age.decrypt(age_oracle.header(file_key, [good, bad]) + payload, [identity]) == b"ok"
    with pytest.raises(age.AgeHeaderError, match="ephemeral share"):
        age.decrypt(age_oracle.header(file_key, [bad, good]) + payload, [identity])


def test_many_stanzas_unwrap_with_the_last_matching(identity: age.X25519Identity) -> None:
    file_key = os.urandom(16)
    others = [age.X25519Identity.generate().recipient().to_bytes() for _ in range(3)]
    stanzas = [age_oracle.x25519_stanza(file_key, r) for r in others * 100]
    stanzas.append(age_oracle.x25519_stanza(file_key, identity.recipient().to_bytes()))
    blob = age_oracle.header(file_key, stanzas) + age_oracle.payload(file_key, [(b"found", True)])
    strangers = [age.X25519Identity.generate(), age.X25519Identity.generate()]
    assert age.decrypt(blob, [*strangers, identity]) == b"found"
    with pytest.raises(age.AgeNoIdentityMatchError):
        age.decrypt(blob, strangers)


def _scrypt_header(work_factor: str) -> bytes:
    file_key = os.urandom(16)
    salt = age_oracle._b64(os.urandom(16))
    stanza = b"-> scrypt " + salt + b" " + work_factor.encode() + b"\n" + age_oracle._b64(os.urandom(32)) + b"\n"
    return age_oracle.header(file_key, [stanza]) + age_oracle.payload(file_key, [(b"", True)])


def test_scrypt_work_factor_limit_is_age_s_unless_lowered() -> None:
    """The default limit is age's 22 (4 GiB of memory at the limit); 23 is refused before any
    derivation, and a caller lowers the limit per identity."""
    assert age.ScryptIdentity("pw")._max_work_factor == 22
    with pytest.raises(age.AgeHeaderError, match="above the limit 22"):
        age.decrypt(_scrypt_header("23"), [age.ScryptIdentity("pw")])
    with pytest.raises(age.AgeHeaderError, match="above the limit 22"):
        age.decrypt(_scrypt_header("23"), [age.ScryptPrompt(lambda: "pw")])
    with pytest.raises(age.AgeHeaderError, match="above the limit 14"):
        age.decrypt(_scrypt_header("15"), [age.ScryptIdentity("pw", max_work_factor=14)])


@pytest.mark.parametrize("limit", [0, 31, True, "22", 22.0, None])
def test_scrypt_limits_out_of_range_are_refused(limit: object) -> None:
    for make in (lambda: age.ScryptIdentity("pw", max_work_factor=limit),  # type: ignore[arg-type]
                 lambda: age.ScryptPrompt(lambda: "pw", max_work_factor=limit)):  # type: ignore[arg-type]
        with pytest.raises(velora.InvalidParameterError):
            make()


SECRETS = {
    "X25519Identity": lambda: age.X25519Identity.generate(),
    "HybridIdentity": lambda: age.HybridIdentity.generate(),
    "ScryptIdentity": lambda: age.ScryptIdentity("pw"),
    "ScryptRecipient": lambda: age.ScryptRecipient("pw", 10),
}


@pytest.mark.parametrize("kind", sorted(SECRETS))
@pytest.mark.parametrize("how", [pickle.dumps, copy.copy, copy.deepcopy], ids=["pickle", "copy", "deepcopy"])
def test_secret_holding_age_objects_do_not_pickle_or_copy(kind: str, how: object) -> None:
    obj = SECRETS[kind]()
    with pytest.raises(TypeError, match=rf"\b{kind}\b"):
        how(obj)  # type: ignore[operator]


def test_public_age_objects_still_copy() -> None:
    r = age.X25519Identity.generate().recipient()
    assert copy.copy(r) == r and pickle.loads(pickle.dumps(r)) == r


@pytest.mark.parametrize(
    "call",
    [
        lambda i, blob: age.parse_recipient(None),
        lambda i, blob: age.parse_identity(b"AGE-SECRET-KEY-1"),
        lambda i, blob: age.parse_recipients(None),
        lambda i, blob: age.AgeReader(b"x", [i]),
        lambda i, blob: age.AgeWriter(b"x", [i.recipient()]),
        lambda i, blob: age.decrypt(blob, "str"),
        lambda i, blob: age.decrypt(blob, i),
        lambda i, blob: age.decrypt(blob, [str(i)]),
        lambda i, blob: age.decrypt(5, [i]),
        lambda i, blob: age.decrypt("text", [i]),
        lambda i, blob: age.encrypt(b"x", "age1..."),
        lambda i, blob: age.encrypt(b"x", [str(i.recipient())]),
        lambda i, blob: age.encrypt("text", [i.recipient()]),
        lambda i, blob: age.is_age_file(None),
    ],
)
def test_arguments_of_the_wrong_type_raise_type_error(identity: age.X25519Identity, call: object) -> None:
    blob = age.encrypt(b"x", [identity.recipient()])
    with pytest.raises(TypeError):
        call(identity, blob)  # type: ignore[operator]
