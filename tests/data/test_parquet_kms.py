"""Parquet modular encryption with velora public keys as master keys (velora.parquet).

pyarrow's CryptoFactory drives the KMS client; the wrapped keys it stores are
opened again with `cryptography`'s HPKE (an independent implementation) to
check that they are what the module says: HPKE base mode to the master public
key, the key identifier as info."""

from __future__ import annotations

import base64
import hashlib
import json
from datetime import timedelta

import pyarrow as pa
import pyarrow.parquet as pq
import pyarrow.parquet.encryption as pe
import pytest
from cryptography.hazmat.primitives import hpke as peer
from cryptography.hazmat.primitives.asymmetric import mlkem, x25519

import velora
from velora.parquet import VeloraKmsClient, kms_client_factory, unwrap, wrap
from velora.xwing import XWingPrivateKey

TABLE = pa.table({"id": list(range(500)), "ssn": [f"{i:09d}" for i in range(500)],
                  "salary": [float(i) * 1.5 for i in range(500)]})


def _keys(key_dir):
    footer = velora.load_private_key((key_dir / "identity.pem").read_text())
    columns = XWingPrivateKey.from_pem((key_dir / "xwing.pem").read_text())
    return footer, columns


def _write_and_read(tmp_path, key_dir, *, double_wrapping: bool, plaintext_footer: bool = False):
    footer, columns = _keys(key_dir)
    writer_kms = kms_client_factory(public_keys={"footer": footer.public_key(), "pii": columns.public_key()})
    config = pe.EncryptionConfiguration(
        footer_key="footer", column_keys={"pii": ["ssn", "salary"]}, double_wrapping=double_wrapping,
        plaintext_footer=plaintext_footer, cache_lifetime=timedelta(minutes=1), internal_key_material=True)
    path = tmp_path / f"t-{double_wrapping}-{plaintext_footer}.parquet"
    props = pe.CryptoFactory(writer_kms).file_encryption_properties(pe.KmsConnectionConfig(), config)
    with pq.ParquetWriter(path, TABLE.schema, encryption_properties=props) as w:
        w.write_table(TABLE)
    reader_kms = kms_client_factory(identities={"footer": str(key_dir / "identity.pem"),
                                                "pii": str(key_dir / "xwing.pem")})
    dprops = pe.CryptoFactory(reader_kms).file_decryption_properties(
        pe.KmsConnectionConfig(), pe.DecryptionConfiguration(cache_lifetime=timedelta(minutes=1)))
    return path, pq.read_table(path, decryption_properties=dprops)


@pytest.mark.parametrize("double_wrapping", [True, False], ids=["double wrapping", "single wrapping"])
def test_footer_and_column_keys_round_trip(tmp_path, key_dir, double_wrapping):
    path, table = _write_and_read(tmp_path, key_dir, double_wrapping=double_wrapping)
    assert table.equals(TABLE)
    assert b"000000042" not in path.read_bytes()  # the column is encrypted
    with pytest.raises(OSError):
        pq.read_table(path)  # no keys: the encrypted footer cannot be read


def test_plaintext_footer_keeps_columns_encrypted(tmp_path, key_dir):
    path, table = _write_and_read(tmp_path, key_dir, double_wrapping=True, plaintext_footer=True)
    assert table.equals(TABLE)
    assert pq.read_schema(path).names == ["id", "ssn", "salary"]  # the footer is readable without keys
    with pytest.raises(OSError):
        pq.read_table(path, columns=["ssn"])


def test_a_wrong_private_key_is_refused(tmp_path, key_dir):
    path, _ = _write_and_read(tmp_path, key_dir, double_wrapping=False)
    wrong = kms_client_factory(identities={"footer": str(key_dir / "other.pem"), "pii": str(key_dir / "xwing.pem")})
    dprops = pe.CryptoFactory(wrong).file_decryption_properties(pe.KmsConnectionConfig())
    with pytest.raises(velora.DecryptionError, match="no private key given opens"):
        pq.read_table(path, decryption_properties=dprops)


def _peer_private(key):
    """`cryptography`'s private key for a velora ML-KEM-768 or X-Wing key (from the same seed)."""
    if isinstance(key, XWingPrivateKey):
        expanded = hashlib.shake_256(key.seed).digest(96)
        return peer.MLKEM768X25519PrivateKey(mlkem.MLKEM768PrivateKey.from_seed_bytes(expanded[:64]),
                                             x25519.X25519PrivateKey.from_private_bytes(expanded[64:]))
    return mlkem.MLKEM768PrivateKey.from_seed_bytes(key.seed)


@pytest.mark.parametrize("kind", ["ML-KEM-768", "X-Wing"])
def test_wrapped_keys_are_hpke_that_cryptography_opens(key_dir, kind):
    footer, columns = _keys(key_dir)
    key = footer if kind == "ML-KEM-768" else columns
    peer_kem = peer.KEM.MLKEM768 if kind == "ML-KEM-768" else peer.KEM.MLKEM768_X25519
    suite = peer.Suite(peer_kem, peer.KDF.HKDF_SHA256, peer.AEAD.AES_256_GCM)
    data_key = bytes(range(16))
    wrapped = wrap(data_key, key.public_key(), "footer")
    prefix, kem_hex, enc, ct = wrapped.split(":")
    assert prefix == "velora-hpke-1"
    blob = base64.b64decode(enc) + base64.b64decode(ct)
    assert suite.decrypt(blob, _peer_private(key), info=b"footer") == data_key
    with pytest.raises(Exception):
        suite.decrypt(blob, _peer_private(key), info=b"another id")
    # And the other way: cryptography wraps, velora unwraps.
    other = suite.encrypt(data_key, _peer_private(key).public_key(), info=b"pii")
    n = len(base64.b64decode(enc))
    text = f"{prefix}:{kem_hex}:{base64.b64encode(other[:n]).decode()}:{base64.b64encode(other[n:]).decode()}"
    assert unwrap(text, key, "pii") == data_key
    with pytest.raises(velora.DecryptionError):
        unwrap(text, key, "footer")  # the identifier is bound


def test_the_client_refuses_what_it_cannot_do(key_dir):
    footer, _ = _keys(key_dir)
    writer = VeloraKmsClient(public_keys={"footer": footer.public_key()})
    wrapped = writer.wrap_key(b"k" * 16, "footer")
    with pytest.raises(ValueError, match="no identities"):
        writer.unwrap_key(wrapped, "footer")
    with pytest.raises(KeyError):
        writer.wrap_key(b"k" * 16, "unknown")
    with pytest.raises(TypeError, match="reference"):
        VeloraKmsClient(identities=footer).unwrap_key(wrapped, "footer")
    with pytest.raises(TypeError, match="ML-KEM-512"):
        VeloraKmsClient(public_keys={"x": velora.PrivateKey.generate(512).public_key()})
    reader = VeloraKmsClient(identities=str(key_dir / "identity.pem"))  # one reference for every identifier
    assert reader.unwrap_key(wrapped, "footer") == b"k" * 16


@pytest.mark.parametrize("double_wrapping", [True, False], ids=["double wrapping", "single wrapping"])
def test_polars_crypto_factory_takes_the_client_and_reads_pyarrow_files(tmp_path, key_dir, double_wrapping):
    """Polars' own Parquet encryption (polars.io.parquet.encryption.CryptoFactory) accepts the
    client: Polars writes a file that pyarrow reads, and reads the file pyarrow wrote."""
    pl = pytest.importorskip("polars")
    enc = pytest.importorskip("polars.io.parquet.encryption")
    footer, columns = _keys(key_dir)
    publics = {"footer": footer.public_key(), "pii": columns.public_key()}
    identities = {"footer": str(key_dir / "identity.pem"), "pii": str(key_dir / "xwing.pem")}
    frame = pl.from_arrow(TABLE)
    path = tmp_path / "polars.parquet"
    frame.write_parquet(path, encryption=enc.ParquetEncryptionConfig(
        enc.CryptoFactory(kms_client_factory(public_keys=publics)), enc.KmsConnectionConfig(),
        enc.EncryptionConfiguration("footer", column_keys={"pii": ["ssn", "salary"]},
                                    double_wrapping=double_wrapping)))
    assert b"000000042" not in path.read_bytes()
    decryption = enc.ParquetDecryptionConfig(enc.CryptoFactory(kms_client_factory(identities=identities)),
                                             enc.KmsConnectionConfig(), enc.DecryptionConfiguration())
    assert pl.read_parquet(path, decryption=decryption).equals(frame)
    dprops = pe.CryptoFactory(kms_client_factory(identities=identities)).file_decryption_properties(
        pe.KmsConnectionConfig())
    assert pq.read_table(path, decryption_properties=dprops).to_pydict() == TABLE.to_pydict()  # large_string there
    arrow_path, _ = _write_and_read(tmp_path, key_dir, double_wrapping=double_wrapping)
    assert pl.read_parquet(arrow_path, decryption=decryption).equals(frame)
