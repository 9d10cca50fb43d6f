"""End-to-end demo of velora: one function per section, main() runs them in order."""

from __future__ import annotations

import velora
from velora import SecurityLevel

LEVELS = [SecurityLevel.ML_KEM_512, SecurityLevel.ML_KEM_768, SecurityLevel.ML_KEM_1024]


def heading(title: str) -> None:
    print()
    print(title)
    print("-" * len(title))


def demo_kem() -> None:
    """Key pair per level, encapsulation to its public key, decapsulation with its secret key."""
    heading("ML-KEM key encapsulation")
    for level in LEVELS:
        pair = velora.generate_keypair(level)
        capsule, sent = velora.encapsulate(pair.public_key, level)
        received = velora.decapsulate(capsule, pair.secret_key, level)
        print(f"{level!r}: {pair!r}")
        print(f"  public key {len(pair.public_key)} B, secret key {len(pair.secret_key)} B, "
              f"capsule {len(capsule)} B, shared secret {len(sent)} B")
        print(f"  shared secrets match: {sent == received}")
        if sent != received:
            raise SystemExit(f"decapsulation failed at {level!r}")


def demo_public_key_b64() -> None:
    """A public key as URL-safe Base64 text and back."""
    heading("Public key as URL-safe Base64")
    for level in LEVELS:
        pair = velora.generate_keypair(level)
        text = pair.public_key_b64()
        back = velora.deserialize_public_key(text, level)
        print(f"{level!r}: {len(text)} characters, {text[:24]}...; round trip ok: {back == pair.public_key}")


def main() -> None:
    print("velora exports", len(velora.__all__), "names")
    demo_kem()
    demo_public_key_b64()


if __name__ == "__main__":
    main()
