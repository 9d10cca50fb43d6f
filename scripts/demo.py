"""End-to-end demo of velora."""

import os
import tempfile
import time

import velora
from velora import SecurityLevel


def demo_transit_package(pair: velora.KeyPair) -> None:
    message = "Un mensaje para el titular de la clave.".encode()
    package = velora.encrypt_hybrid(pair.public_key, message)
    opened = velora.decrypt_hybrid(package, pair.secret_key)
    print(f"Transit Package: {len(message)} plaintext bytes -> {len(package)} package bytes "
          f"(capsule 1088 + nonce 12 + tag 16 + ciphertext {len(package) - 1116})")
    assert opened == message
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


def demo_stream(pair: velora.KeyPair) -> None:
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
        print(f"Stream: {size / 2**20:.0f} MiB in {frames} chunks of {chunk_size // 1024} KiB -> {written} bytes "
              f"(header 1104 + {frames} x 20 frame overhead + EOF marker 20)")
        print(f"  encrypt {size / 2**20 / (t1 - t0):.0f} MiB/s, decrypt {size / 2**20 / (t2 - t1):.0f} MiB/s "
              f"(file I/O included)")
        with open(plain, "rb") as a, open(back, "rb") as b:
            assert a.read() == b.read()
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
        assert not complete


def main() -> None:
    print("velora", velora.__all__)
    pair = velora.generate_keypair(SecurityLevel.ML_KEM_768)
    print(pair)
    demo_transit_package(pair)
    demo_stream(pair)


if __name__ == "__main__":
    main()
