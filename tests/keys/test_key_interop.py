"""Interoperability both ways with cryptography (ML-KEM-768 and -1024) and pycryptodome
(ML-KEM-512, -768, -1024): public keys, private keys in each form they write, encrypted keys.
Keys written on one side load on the other, and the loaded keys agree on shared secrets."""

from __future__ import annotations

import pytest

import velora
from velora import PrivateKey, PublicKey

crypto_mlkem = pytest.importorskip("cryptography.hazmat.primitives.asymmetric.mlkem")
ser = pytest.importorskip("cryptography.hazmat.primitives.serialization")
MLKEM = pytest.importorskip("Crypto.PublicKey.MLKEM")

CRYPTO_LEVELS = {768: crypto_mlkem.MLKEM768PrivateKey, 1024: crypto_mlkem.MLKEM1024PrivateKey}
DOME_SETS = {512: MLKEM.ML_KEM_512, 768: MLKEM.ML_KEM_768, 1024: MLKEM.ML_KEM_1024}
PW = b"correct horse battery staple"


def agree(ours: PrivateKey, their_encapsulate, their_decapsulate) -> None:
    """Secrets agree both ways: they encapsulate, we decapsulate; we encapsulate, they decapsulate."""
    capsule, secret = their_encapsulate()
    assert ours.decapsulate(capsule) == secret
    capsule, secret = ours.public_key().encapsulate()
    assert their_decapsulate(capsule) == secret


# ---- cryptography ------------------------------------------------------------------------------


@pytest.mark.parametrize("n", sorted(CRYPTO_LEVELS))
def test_cryptography_keys_load_here(n):
    theirs = CRYPTO_LEVELS[n].generate()
    pub = theirs.public_key()
    for encoding in (ser.Encoding.DER, ser.Encoding.PEM):
        spki = pub.public_bytes(encoding, ser.PublicFormat.SubjectPublicKeyInfo)
        assert velora.load_public_key(spki).to_bytes() == pub.public_bytes_raw()
        for protection, password in ((ser.NoEncryption(), None), (ser.BestAvailableEncryption(PW), PW)):
            data = theirs.private_bytes(encoding, ser.PrivateFormat.PKCS8, protection)
            ours = velora.load_private_key(data, password)
            assert ours.level == velora.as_level(n) and ours.seed == theirs.private_bytes_raw()
            assert ours.public_key().to_bytes() == pub.public_bytes_raw()
    agree(ours, lambda: pub.encapsulate()[::-1], theirs.decapsulate)  # it returns (secret, capsule)


@pytest.mark.parametrize("n", sorted(CRYPTO_LEVELS))
def test_keys_written_here_load_in_cryptography(n):
    ours = PrivateKey.generate(n)
    pub = ser.load_der_public_key(ours.public_key().to_der())
    assert pub.public_bytes_raw() == ours.public_key().to_bytes()
    assert ser.load_pem_public_key(ours.public_key().to_pem().encode()).public_bytes_raw() == pub.public_bytes_raw()
    written = [
        ser.load_der_private_key(ours.to_der(), None),
        ser.load_pem_private_key(ours.to_pem().encode(), None),
        ser.load_der_private_key(ours.to_der(password=PW, scrypt_n=2**12), PW),
        ser.load_pem_private_key(ours.to_pem(password=PW, kdf="pbkdf2", pbkdf2_iterations=2048).encode(), PW),
    ]
    for theirs in written:
        assert theirs.private_bytes_raw() == ours.seed
    agree(ours, lambda: pub.encapsulate()[::-1], written[-1].decapsulate)


# ---- pycryptodome -----------------------------------------------------------------------------

DOME_PROTECTIONS = ["PBKDF2WithHMAC-SHA256AndAES256-CBC", "scryptAndAES256-CBC"]
DOME_PARAMS = {"PBKDF2WithHMAC-SHA256AndAES256-CBC": {"iteration_count": 2048},
               "scryptAndAES256-CBC": {"iteration_count": 2**10}}


def dome_agree(ours: PrivateKey, theirs) -> None:
    def their_encapsulate():
        secret, capsule = theirs._encaps()  # pycryptodome's KEM step, as its HPKE module calls it
        return capsule, secret

    agree(ours, their_encapsulate, theirs._decaps)


@pytest.mark.parametrize("n", sorted(DOME_SETS))
def test_pycryptodome_keys_load_here(n):
    theirs = MLKEM.generate(param_set=DOME_SETS[n])
    assert velora.load_public_key(theirs.public_key().export_key(format="PEM")).to_bytes() == theirs.ek
    assert velora.load_public_key(theirs.public_key().export_key()).to_bytes() == theirs.ek
    loaded = [velora.load_private_key(theirs.export_key()), velora.load_private_key(theirs.export_key(format="PEM"))]
    # Without the seed it writes the expandedKey form.
    expanded_only = MLKEM.construct(param_set=DOME_SETS[n], expanded_dk=theirs.expanded_dk)
    loaded.append(velora.load_private_key(expanded_only.export_key()))
    for protection in DOME_PROTECTIONS:
        data = theirs.export_key(passphrase=PW, protection=protection, prot_params=DOME_PARAMS[protection])
        loaded.append(velora.load_private_key(data, PW))
    for ours in loaded:
        assert ours.to_bytes() == theirs.expanded_dk and ours.level == velora.as_level(n)
    assert loaded[0].seed == theirs.seed and loaded[2].seed is None
    dome_agree(loaded[-1], theirs)


@pytest.mark.parametrize("n", sorted(DOME_SETS))
def test_keys_written_here_load_in_pycryptodome(n):
    ours = PrivateKey.generate(n)
    assert MLKEM.import_key(ours.public_key().to_der()).ek == ours.public_key().to_bytes()
    assert MLKEM.import_key(ours.public_key().to_pem()).ek == ours.public_key().to_bytes()
    for form in ("seed", "expanded", "both"):
        theirs = MLKEM.import_key(ours.to_der(form))
        assert theirs.expanded_dk == ours.to_bytes()
        assert MLKEM.import_key(ours.to_pem(form)).expanded_dk == ours.to_bytes()
    for kdf in ("scrypt", "pbkdf2"):
        data = ours.to_pem(password=PW, kdf=kdf, scrypt_n=2**12, pbkdf2_iterations=2048)
        theirs = MLKEM.import_key(data, PW)
        assert theirs.seed == ours.seed
    dome_agree(ours, theirs)


def test_pycryptodome_reads_the_default_scrypt_cost():
    ours = PrivateKey.generate(768)
    assert MLKEM.import_key(ours.to_der(password=PW), PW).seed == ours.seed


def test_public_keys_agree_between_the_three(keypairs):
    pair = keypairs[768]
    spki = PublicKey.from_bytes(pair.public_key, 768).to_der()
    assert ser.load_der_public_key(spki).public_bytes_raw() == MLKEM.import_key(spki).ek == pair.public_key
