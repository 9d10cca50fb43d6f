"""The age testkit (C2SP/CCTV): every case gives its expected outcome, and the
plaintext released (also before a payload failure) hashes to its `payload`;
through `decrypt_file`, the same outcome with nothing at the destination on a
failure."""

from __future__ import annotations

import hashlib
import io
import zlib
from collections import defaultdict
from pathlib import Path

import pytest

from velora import age
from velora.errors import (
    AgeArmorError,
    AgeError,
    AgeHeaderError,
    AgeHmacError,
    AgeNoIdentityMatchError,
    AgePayloadError,
)

from conftest import shared_vectors

OUTCOME = {
    AgeHeaderError: "header failure",
    AgeNoIdentityMatchError: "no match",
    AgeHmacError: "HMAC failure",
    AgePayloadError: "payload failure",
    AgeArmorError: "armor failure",
}


def _cases() -> list[str]:
    try:
        folder = shared_vectors("age") / "testdata"
    except BaseException:  # skipped or failed: let the test report it
        return ["<vectors>"]
    return sorted(p.name for p in folder.iterdir())


def _load(name: str) -> tuple[dict[str, list[str]], bytes]:
    raw = (shared_vectors("age") / "testdata" / name).read_bytes()
    head, _, body = raw.partition(b"\n\n")
    fields: dict[str, list[str]] = defaultdict(list)
    for line in head.decode().split("\n"):
        key, _, value = line.partition(": ")
        fields[key].append(value)
    if fields.get("compressed") == ["zlib"]:
        body = zlib.decompress(body)
    return fields, body


def test_the_testkit_is_complete() -> None:
    names = sorted(p.name for p in (shared_vectors("age") / "testdata").iterdir())
    assert len(names) == 143
    assert sum(n.startswith("hybrid") or n == "armor_hybrid" for n in names) == 19


@pytest.mark.parametrize("name", _cases())
def test_case(name: str) -> None:
    fields, body = _load(name)
    identities: list[age.Identity] = [age.parse_identity(i) for i in fields.get("identity", [])]
    identities += [age.ScryptIdentity(p) for p in fields.get("passphrase", [])]
    released = bytearray()
    outcome = "success"
    try:
        # Small reads: the released plaintext is what a streaming consumer sees.
        with age.AgeReader(io.BytesIO(body), identities, armor=fields.get("armored") == ["yes"]) as reader:
            while chunk := reader.read1(7919):
                released += chunk
    except AgeError as e:
        outcome = OUTCOME[type(e)]
    assert outcome == fields["expect"][0]
    if "payload" in fields:
        assert hashlib.sha256(released).hexdigest() == fields["payload"][0]
    else:
        assert not released
    if outcome == "success" and fields.get("armored") != ["yes"]:
        # Whole reads give the same plaintext, and the header re-encodes to its bytes.
        assert age.decrypt(body, identities) == bytes(released)


@pytest.mark.parametrize("name", _cases())
def test_case_through_decrypt_file(name: str, tmp_path: Path) -> None:
    """decrypt_file gives each case's outcome too, and its destination exists only on success."""
    fields, body = _load(name)
    identities: list[age.Identity] = [age.parse_identity(i) for i in fields.get("identity", [])]
    identities += [age.ScryptIdentity(p) for p in fields.get("passphrase", [])]
    (tmp_path / "in").write_bytes(body)
    out = tmp_path / "out"
    outcome = "success"
    try:
        age.decrypt_file(tmp_path / "in", out, identities, armor=fields.get("armored") == ["yes"])
    except AgeError as e:
        outcome = OUTCOME[type(e)]
    assert outcome == fields["expect"][0]
    assert out.exists() == (outcome == "success")
    if outcome == "success" and "payload" in fields:
        assert hashlib.sha256(out.read_bytes()).hexdigest() == fields["payload"][0]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in"] + (["out"] if out.exists() else [])


def test_auto_detection_of_the_armour() -> None:
    fields, body = _load("armor_x25519")
    identities = [age.parse_identity(i) for i in fields["identity"]]
    assert hashlib.sha256(age.decrypt(body, identities)).hexdigest() == fields["payload"][0]
    with pytest.raises(AgeHeaderError):
        age.decrypt(body, identities, armor=False)
    fields, body = _load("x25519")
    with pytest.raises(AgeArmorError):
        age.decrypt(body, [age.parse_identity(i) for i in fields["identity"]], armor=True)
