"""End-to-end demo of velora: one function per section, main() runs them in order."""

from __future__ import annotations

import os
import secrets
import tempfile
import time

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


def demo_transit_package() -> None:
    """Seal a message into a Transit Package and open it; a flipped bit is refused."""
    heading("Hybrid encryption: Transit Package")
    pair = velora.generate_keypair()
    message = "Un mensaje para el titular de la clave.".encode()
    package = velora.encrypt_hybrid(pair.public_key, message)
    opened = velora.decrypt_hybrid(package, pair.secret_key)
    print(f"{len(message)} plaintext bytes -> {len(package)} package bytes "
          f"(capsule 1088 + nonce 12 + tag 16 + ciphertext {len(package) - 1116})")
    print(f"  opened: {opened.decode()!r}")
    if opened != message:
        raise SystemExit("Transit Package round trip failed")
    tampered = bytearray(package)
    tampered[-1] ^= 1
    try:
        velora.decrypt_hybrid(bytes(tampered), pair.secret_key)
    except velora.DecryptionError as e:
        print(f"  one flipped bit: {type(e).__name__}: {e}")


def encrypt_file(src: str, dst: str, public_key: bytes, chunk_size: int) -> int:
    """Writes header, frames and EOF marker to dst; returns the bytes written."""
    header, enc = velora.stream_encryptor_new(public_key, chunk_size)
    with open(src, "rb") as fin, open(dst, "wb") as fout:
        fout.write(header)
        while chunk := fin.read(chunk_size):
            fout.write(enc.encrypt_chunk(chunk))
        fout.write(enc.finalize())
        return fout.tell()


def decrypt_file(src: str, dst: str, secret_key: bytes, level: SecurityLevel, header_len: int) -> bool:
    """Reads a stream written by encrypt_file; returns whether the EOF marker was seen."""
    with open(src, "rb") as fin, open(dst, "wb") as fout:
        dec = velora.stream_decryptor_from_header(fin.read(header_len), secret_key, level)
        while len(prefix := fin.read(4)) == 4:
            n = int.from_bytes(prefix, "big")
            if n == 0:
                dec.process_eof(fin.read(16))
                break
            fout.write(dec.decrypt_chunk(fin.read(n), fin.read(16)))
        seen = dec.eof_seen()
        dec.finalize()
        return seen


def demo_stream() -> None:
    """Stream a generated file through the handles and back; detect a truncated stream."""
    heading("Streaming encryption")
    pair = velora.generate_keypair()
    size, chunk_size = 8 * 1024 * 1024, 256 * 1024
    with tempfile.TemporaryDirectory() as tmp:
        plain, sealed, back = (os.path.join(tmp, n) for n in ("plain.bin", "stream.bin", "back.bin"))
        with open(plain, "wb") as f:
            f.write(os.urandom(size))

        t0 = time.perf_counter()
        written = encrypt_file(plain, sealed, pair.public_key, chunk_size)
        t1 = time.perf_counter()
        complete = decrypt_file(sealed, back, pair.secret_key, SecurityLevel.ML_KEM_768, 1104)
        t2 = time.perf_counter()
        frames = -(-size // chunk_size)
        print(f"{size / 2**20:.0f} MiB in {frames} chunks of {chunk_size // 1024} KiB -> {written} bytes "
              f"(header 1104 + {frames} x 20 frame overhead + EOF marker 20)")
        print(f"  encrypt {size / 2**20 / (t1 - t0):.0f} MiB/s, decrypt {size / 2**20 / (t2 - t1):.0f} MiB/s "
              f"(file I/O included)")
        with open(plain, "rb") as a, open(back, "rb") as b:
            if a.read() != b.read() or not complete:
                raise SystemExit("stream round trip failed")
        print(f"  round trip identical, eof_seen() = {complete}")

        # Cut the stream after its third frame: every frame still authenticates,
        # only the missing EOF marker tells.
        with open(sealed, "rb") as f:
            data = f.read(1104 + 3 * (chunk_size + 20))
        with open(sealed, "wb") as f:
            f.write(data)
        complete = decrypt_file(sealed, back, pair.secret_key, SecurityLevel.ML_KEM_768, 1104)
        print(f"  truncated after 3 frames: {os.path.getsize(back)} bytes recovered, eof_seen() = {complete}"
              f" -> {'complete' if complete else 'TRUNCATED, rejected'}")
        if complete:
            raise SystemExit("truncation went unnoticed")


def demo_key_io() -> None:
    """A key pair exported in every text form and as encrypted PEM, each loaded back."""
    heading("Key export and import")
    for level in LEVELS:
        pair = velora.generate_keypair(level)
        print(f"{level!r}: {pair!r}")

        pem = pair.public_key_pem()
        ok_pem = velora.load_public_key_pem(pem, level) == pair.public_key
        print(f"  public key PEM-like: {len(pem)} characters, {pem.splitlines()[0]}; round trip ok: {ok_pem}")

        doc = pair.public_key_json()
        key, named = velora.load_public_key_json(doc)
        ok_json = key == pair.public_key and named is level
        print(f"  public key JSON: {len(doc)} characters, {doc[:44]}...; round trip ok: {ok_json}")

        # The wrapped format has no work factor: the password must carry the entropy.
        password = secrets.token_urlsafe(24).encode()
        blob = pair.export_secret_key_raw(password)
        ok_blob = velora.load_secret_key_raw(blob, password) == (pair.secret_key, level)
        print(f"  secret key blob: {len(blob)} bytes, header {blob[:6]!r}; round trip ok: {ok_blob}")

        armoured = pair.export_secret_key_pem(password)
        ok_armoured = velora.load_secret_key_pem(armoured, password) == (pair.secret_key, level)
        print(f"  encrypted secret key PEM-like: {len(armoured)} characters, {armoured.splitlines()[0]}; "
              f"round trip ok: {ok_armoured}")

        try:
            velora.load_secret_key_pem(armoured, password + b"?")
            rejected = False
        except velora.DecryptionError:
            rejected = True
        print(f"  wrong password rejected with DecryptionError: {rejected}")
        if not (ok_pem and ok_json and ok_blob and ok_armoured and rejected):
            raise SystemExit(f"key export/import failed at {level!r}")


def main() -> None:
    print("velora exports", len(velora.__all__), "names")
    demo_kem()
    demo_public_key_b64()
    demo_key_io()
    demo_transit_package()
    demo_stream()


if __name__ == "__main__":
    main()
