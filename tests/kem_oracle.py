"""Shared helpers for the hybrid and stream tests: key pairs from fixed seeds
and an ML-KEM side that does not go through our own code where possible.

For ML-KEM-768 and ML-KEM-1024 the `cryptography` package's ML-KEM (keys
rebuilt from the same d || z seed) encapsulates and decapsulates; ML-KEM-512
(which it lacks) falls back to our own `encapsulate` / `decapsulate`, so at
that level only the AES-GCM side is independent.
"""

from __future__ import annotations

import dataclasses

from velora import _velora_core as core

try:
    from cryptography.hazmat.primitives.asymmetric import mlkem as _crypto_mlkem
except ImportError:  # older cryptography: no ML-KEM at all
    _crypto_mlkem = None

L = core.SecurityLevel

# level, capsule size, public key size, secret key size
LEVELS = [
    (L.ML_KEM_512, 768, 800, 1632),
    (L.ML_KEM_768, 1088, 1184, 2400),
    (L.ML_KEM_1024, 1568, 1568, 3168),
]
LEVEL_IDS = ["512", "768", "1024"]

DECRYPTION_MESSAGE = "AES-GCM authentication tag verification failed"


def _crypto_class(level):
    if _crypto_mlkem is None:
        return None
    return {768: getattr(_crypto_mlkem, "MLKEM768PrivateKey", None),
            1024: getattr(_crypto_mlkem, "MLKEM1024PrivateKey", None)}.get(int(level))


@dataclasses.dataclass
class Keys:
    level: object
    seed: bytes
    public_key: bytes
    secret_key: bytes

    def decapsulate(self, capsule: bytes) -> bytes:
        cls = _crypto_class(self.level)
        if cls is not None:
            return cls.from_seed_bytes(self.seed).decapsulate(capsule)
        return core.decapsulate(capsule, self.secret_key, self.level)

    def encapsulate(self) -> tuple[bytes, bytes]:
        """(capsule, shared secret) for this key pair."""
        cls = _crypto_class(self.level)
        if cls is not None:
            shared, capsule = cls.from_seed_bytes(self.seed).public_key().encapsulate()
            return capsule, shared
        return core.encapsulate(self.public_key, self.level)


def keys_for(level, tag: int = 1) -> Keys:
    d = bytes([tag]) * 32
    z = bytes([tag ^ 0xFF]) * 32
    kp = core.generate_keypair_deterministic(d, z, level)
    keys = Keys(level, d + z, kp.public_key, kp.secret_key)
    cls = _crypto_class(level)
    if cls is not None:  # the two implementations must agree on the key
        assert cls.from_seed_bytes(keys.seed).public_key().public_bytes_raw() == keys.public_key
    return keys
