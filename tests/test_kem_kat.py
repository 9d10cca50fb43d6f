"""The ML-KEM known answers of the cryptography-vectors package, through the Python API.

`cryptography_vectors/asymmetric/MLKEM/kat_MLKEM_{512,768,1024}.rsp` hold 1,000
cases a level: seeds d and z, the message, the keys, the capsule and the shared
secret, and an invalid capsule ct_n with its implicit-rejection secret ss_n.
Every case runs through the raw functions and through the key objects.
"""

from __future__ import annotations

from importlib import resources

import pytest

import velora
from conftest import LEVELS, core, record_cases

CASES_PER_LEVEL = 1000


def read_rsp(name: str) -> list[dict[str, bytes]]:
    """The records of one .rsp file: field name -> bytes (hex decoded), `count` kept as text."""
    text = (resources.files("cryptography_vectors") / "asymmetric" / "MLKEM" / name).read_text()
    cases: list[dict[str, bytes]] = []
    for line in text.splitlines():
        key, sep, value = line.partition(" = ")
        if not sep:
            continue
        if key == "count":
            cases.append({"count": value.encode()})
        else:
            cases[-1][key] = bytes.fromhex(value)
    return cases


@pytest.mark.parametrize("lv", LEVELS, ids=repr)
def test_known_answers(lv):
    cases = read_rsp(f"kat_MLKEM_{lv.value}.rsp")
    assert len(cases) == CASES_PER_LEVEL
    failures = []
    for c in cases:
        d, z, msg, ct, ss = c["d"], c["z"], c["msg"], c["ct"], c["ss"]
        pair = core.generate_keypair_deterministic(d, z, lv.member)
        key = velora.PrivateKey.from_seed(d + z, lv.value)
        checks = {
            "keygen": (pair.public_key, pair.secret_key) == (c["pk"], c["sk"]),
            "key object": (key.to_bytes(), key.public_key().to_bytes()) == (c["sk"], c["pk"]),
            "encapsulate": core.encapsulate_deterministic(c["pk"], msg, lv.member) == (ct, ss, msg),
            "decapsulate ct": core.decapsulate(ct, c["sk"], lv.member) == ss,
            "decapsulate ct_n": core.decapsulate(c["ct_n"], c["sk"], lv.member) == c["ss_n"],
            "key object ct_n": key.decapsulate(c["ct_n"]) == c["ss_n"],
        }
        failures += [f"count {c['count'].decode()}: {name}" for name, ok in checks.items() if not ok]
    assert not failures, f"{len(failures)} checks failed:\n" + "\n".join(failures[:25])
    record_cases("ML-KEM known answers (cryptography-vectors)", len(cases))
