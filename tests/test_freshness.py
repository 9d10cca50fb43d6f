"""Every salt and nonce the module draws is fresh in every byte: over several
exports or encryptions, each byte position takes more than one value. (A source
that left a few bytes fixed, or a copy that dropped some, would pass a check that
only compares two whole values.)"""

from __future__ import annotations

import base64

import pytest

from conftest import DEFAULT_LEVEL, core

PASSWORD = b"correct horse battery staple"
SAMPLES = 8  # a random byte repeats over all of them with probability 256**-7


def pem_blob(text: str) -> bytes:
    body = [line for line in text.splitlines() if line and not line.startswith("-----")]
    return base64.b64decode("".join(body), validate=True)


C = DEFAULT_LEVEL.capsule
# field name -> draws one value from a fresh output of the default-level key pair kp
FIELDS = {
    "wrapped blob salt": lambda kp: kp.export_secret_key_raw(PASSWORD)[6:22],
    "wrapped blob nonce": lambda kp: kp.export_secret_key_raw(PASSWORD)[22:34],
    "PEM wrapped blob salt": lambda kp: pem_blob(kp.export_secret_key_pem(PASSWORD))[6:22],
    "PEM wrapped blob nonce": lambda kp: pem_blob(kp.export_secret_key_pem(PASSWORD))[22:34],
    "Transit Package nonce": lambda kp: core.encrypt_hybrid(kp.public_key, b"x")[C:C + 12],
    "stream base nonce": lambda kp: core.stream_encryptor_new(kp.public_key, 64)[0][C:C + 12],
}


@pytest.mark.parametrize("field", FIELDS)
def test_every_byte_varies(keypairs, field):
    kp = keypairs[DEFAULT_LEVEL.value]
    samples = [FIELDS[field](kp) for _ in range(SAMPLES)]
    width = {len(s) for s in samples}
    assert width in ({16}, {12}), width
    fixed = [i for i in range(len(samples[0])) if len({s[i] for s in samples}) == 1]
    assert not fixed, f"{field}: byte positions {fixed} never changed over {SAMPLES} samples"
