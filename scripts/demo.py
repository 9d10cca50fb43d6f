"""End-to-end demo of velora."""

import secrets

import velora
from velora import SecurityLevel


def key_io_demo() -> None:
    """Exports a key pair in every text form and as encrypted PEM, then loads each back."""
    for level in (SecurityLevel.ML_KEM_512, SecurityLevel.ML_KEM_768, SecurityLevel.ML_KEM_1024):
        pair = velora.generate_keypair(level)
        print(f"\n{pair}")

        b64 = pair.public_key_b64()
        assert velora.deserialize_public_key(b64, level) == pair.public_key
        print(f"  public key, URL-safe Base64: {len(b64)} chars, {b64[:24]}...")

        pem = pair.public_key_pem()
        assert velora.load_public_key_pem(pem, level) == pair.public_key
        first_lines = pem.splitlines()[:2]
        print(f"  public key, PEM-like: {len(pem)} chars, {first_lines[0]} / {first_lines[1][:24]}...")

        doc = pair.public_key_json()
        key, loaded_level = velora.load_public_key_json(doc)
        assert key == pair.public_key and loaded_level is level
        print(f"  public key, JSON: {len(doc)} chars, {doc[:48]}...")

        # No work factor in the format: use a high-entropy password.
        password = secrets.token_urlsafe(24).encode()
        blob = pair.export_secret_key_raw(password)
        assert velora.load_secret_key_raw(blob, password) == (pair.secret_key, level)
        print(f"  secret key, wrapped blob: {len(blob)} bytes, header {blob[:6]!r}")

        encrypted = pair.export_secret_key_pem(password)
        secret, loaded_level = velora.load_secret_key_pem(encrypted, password)
        assert secret == pair.secret_key and loaded_level is level
        print(f"  secret key, encrypted PEM: {len(encrypted)} chars, {encrypted.splitlines()[0]}")

        try:
            velora.load_secret_key_pem(encrypted, password + b"?")
        except velora.DecryptionError as e:
            print(f"  wrong password -> DecryptionError: {e}")
        else:
            raise AssertionError("a wrong password was accepted")


def main() -> None:
    print("velora", velora.__all__)
    key_io_demo()


if __name__ == "__main__":
    main()
