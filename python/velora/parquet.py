"""Post-quantum master keys for Parquet modular encryption (pyarrow.parquet.encryption).

Parquet encrypts its footer and columns with data keys, which a KMS client
wraps with master keys named by identifiers. `VeloraKmsClient` makes the master
keys velora public keys, ML-KEM-768, ML-KEM-1024 or X-Wing: `wrap_key` seals
the data key (or, with double wrapping, the key-encryption key) to the master
public key with HPKE base mode (RFC 9180; HKDF-SHA256, AES-256-GCM), the key
identifier as HPKE's info, and `unwrap_key` opens it with the private key. A
writer needs only the public keys; only a reader holds a private key, given by
reference (a key file's path, ``"env:NAME"``, or a callable; see `velora.fs`),
loaded when a key is first unwrapped.

    import pyarrow.parquet.encryption as pe  # type: ignore[import-untyped]
    factory = pe.CryptoFactory(kms_client_factory(public_keys={"footer": pk1, "pii": pk2}))
    config = pe.EncryptionConfiguration(footer_key="footer", column_keys={"pii": ["ssn"]})
    props = factory.file_encryption_properties(pe.KmsConnectionConfig(), config)

The wrapped key that Parquet stores in the file's key material is the text
``velora-hpke-1:<KEM id in hex>:<Base64 of enc>:<Base64 of ciphertext>``.
"""

from __future__ import annotations

import base64
import binascii
import os
import threading
from collections.abc import Callable, Mapping
from typing import Any

import pyarrow.parquet.encryption as pe  # type: ignore[import-untyped]

from ._velora_core import DecryptionError, KeySerializationError, VeloraError
from .hpke import AEAD, KDF, KEM, PrivateKeyLike, PublicKeyLike, Suite
from .keys import PrivateKey, PublicKey
from .xwing import XWingPrivateKey, XWingPublicKey

PREFIX = "velora-hpke-1"

_ML_KEM = {768: KEM.ML_KEM_768, 1024: KEM.ML_KEM_1024}


def kem_of(key: object) -> KEM:
    """The HPKE KEM of a velora key object (ML-KEM-768, ML-KEM-1024 or X-Wing)."""
    if isinstance(key, (XWingPublicKey, XWingPrivateKey)):
        return KEM.MLKEM768_X25519
    if isinstance(key, (PublicKey, PrivateKey)):
        kem = _ML_KEM.get(int(key.level))
        if kem is None:
            raise TypeError(f"HPKE has no ML-KEM-{int(key.level)}: use an ML-KEM-768, ML-KEM-1024 or X-Wing key")
        return kem
    raise TypeError(f"a master key must be a velora ML-KEM or X-Wing key, not {type(key).__name__}")


def _suite(kem: KEM) -> Suite:
    return Suite(kem, KDF.HKDF_SHA256, AEAD.AES_256_GCM)


def wrap(data_key: bytes, public_key: PublicKeyLike, key_id: str) -> str:
    """The wrapped form of ``data_key`` for ``public_key`` (see the module)."""
    kem = kem_of(public_key)
    enc, ct = _suite(kem).seal(public_key, data_key, info=key_id.encode("utf-8"))
    b64 = base64.b64encode
    return f"{PREFIX}:{int(kem):04x}:{b64(enc).decode('ascii')}:{b64(ct).decode('ascii')}"


def unwrap(wrapped: str, private_key: PrivateKeyLike, key_id: str) -> bytes:
    """The data key of a `wrap` result; `DecryptionError` for another key or identifier."""
    parts = wrapped.split(":")
    if len(parts) != 4 or parts[0] != PREFIX:
        raise KeySerializationError("not a velora-wrapped Parquet key")
    try:
        kem = KEM(int(parts[1], 16))
        enc = base64.b64decode(parts[2], validate=True)
        ct = base64.b64decode(parts[3], validate=True)
    except (ValueError, binascii.Error):
        raise KeySerializationError("malformed velora-wrapped Parquet key") from None
    if kem_of(private_key) is not kem:
        raise DecryptionError(f"the key {key_id!r} was wrapped for {kem.name}, the private key given is another kind")
    return _suite(kem).open(private_key, enc, ct, info=key_id.encode("utf-8"))


def _load_private(data: bytes) -> object:
    """A velora ML-KEM or X-Wing private key from its file."""
    from .loaders import load_private_key

    try:
        return load_private_key(data)
    except VeloraError as first:
        for loader in (XWingPrivateKey.from_pem, XWingPrivateKey.from_der):
            try:
                return loader(data)
            except (VeloraError, ValueError, TypeError):
                continue
        raise first


def resolve_private(ref: object) -> list[object]:
    """The private keys a reference names: a path, ``"env:NAME"`` or a callable."""
    if isinstance(ref, (PrivateKey, XWingPrivateKey)):
        raise TypeError("give the private key by reference (a path, 'env:NAME' or a callable), not the key itself")
    if callable(ref):
        got = ref()
        return list(got) if isinstance(got, (list, tuple)) else [got]
    if isinstance(ref, str) and ref.startswith("env:"):
        value = os.environ.get(ref[4:])
        if value is None:
            raise KeyError(f"the environment variable {ref[4:]!r} named as a key is not set")
        return [_load_private(value.encode("utf-8"))]
    if isinstance(ref, (str, os.PathLike)):
        with open(ref, "rb") as f:
            return [_load_private(f.read())]
    raise TypeError(f"a private key reference is a path, 'env:NAME' or a callable, not {type(ref).__name__}")


class VeloraKmsClient(pe.KmsClient):  # type: ignore[misc]
    """A KMS client whose master keys are velora public keys (see the module).

    ``public_keys`` maps master key identifiers to public keys (for writing);
    ``identities`` maps them to private key references, or is one reference
    (or a list) tried for every identifier (for reading).
    """

    def __init__(self, public_keys: Mapping[str, PublicKeyLike] | None = None,
                 identities: Mapping[str, object] | object = None) -> None:
        pe.KmsClient.__init__(self)
        self._public = dict(public_keys or {})
        for key_id, key in self._public.items():
            kem_of(key)
        self._identities = identities
        self._resolved: dict[str, list[object]] = {}
        self._lock = threading.Lock()

    def wrap_key(self, key_bytes: bytes, master_key_identifier: str) -> str:
        key = self._public.get(master_key_identifier)
        if key is None:
            raise KeyError(f"no public key for the master key {master_key_identifier!r}")
        return wrap(bytes(key_bytes), key, master_key_identifier)

    def _private_keys(self, key_id: str) -> list[object]:
        with self._lock:
            if key_id not in self._resolved:
                refs = self._identities
                if isinstance(refs, Mapping):
                    if key_id not in refs:
                        raise KeyError(f"no private key for the master key {key_id!r}")
                    refs = refs[key_id]
                if refs is None:
                    raise ValueError("this KMS client has no identities: it can wrap keys but not unwrap them")
                items = refs if isinstance(refs, (list, tuple)) else [refs]
                self._resolved[key_id] = [k for r in items for k in resolve_private(r)]
            return self._resolved[key_id]

    def unwrap_key(self, wrapped_key: str, master_key_identifier: str) -> bytes:
        candidates = self._private_keys(master_key_identifier)
        kind = wrapped_key.split(":")[1] if wrapped_key.count(":") == 3 else ""
        last: Exception | None = None
        for key in candidates:
            try:
                if kind and f"{int(kem_of(key)):04x}" != kind:
                    continue
                return unwrap(wrapped_key, key, master_key_identifier)  # type: ignore[arg-type]
            except (DecryptionError, TypeError) as exc:
                last = exc
        raise DecryptionError(f"no private key given opens the data key wrapped for {master_key_identifier!r}") from last


def kms_client_factory(public_keys: Mapping[str, PublicKeyLike] | None = None,
                       identities: Mapping[str, object] | object = None) -> Callable[[Any], VeloraKmsClient]:
    """The ``kms_client_factory`` of `pyarrow.parquet.encryption.CryptoFactory` for these keys.

    The connection configuration pyarrow passes is not used: the keys are these."""

    def factory(_config: Any) -> VeloraKmsClient:
        return VeloraKmsClient(public_keys, identities)

    return factory


__all__ = ["PREFIX", "VeloraKmsClient", "kem_of", "kms_client_factory", "resolve_private", "unwrap", "wrap"]
