"""A few DER building blocks for tests that need structures no library writes
(malformed keys, hostile encryption parameters). Test inputs only: never an
oracle for what the library under test writes."""

from __future__ import annotations


def length(n: int) -> bytes:
    if n < 0x80:
        return bytes([n])
    body = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(body)]) + body


def tlv(tag: int, body: bytes) -> bytes:
    return bytes([tag]) + length(len(body)) + body


def seq(*items: bytes) -> bytes:
    return tlv(0x30, b"".join(items))


def integer(v: int) -> bytes:
    body = v.to_bytes(max(1, (v.bit_length() + 8) // 8), "big")
    return tlv(0x02, body)


def octets(b: bytes) -> bytes:
    return tlv(0x04, b)


def bits(b: bytes, unused: int = 0) -> bytes:
    return tlv(0x03, bytes([unused]) + b)


def null() -> bytes:
    return b"\x05\x00"


def oid(dotted: str) -> bytes:
    parts = [int(p) for p in dotted.split(".")]
    body = bytearray([40 * parts[0] + parts[1]])
    for p in parts[2:]:
        chunk = [p & 0x7F]
        p >>= 7
        while p:
            chunk.append(0x80 | (p & 0x7F))
            p >>= 7
        body += bytes(reversed(chunk))
    return tlv(0x06, bytes(body))


ML_KEM_OID = {512: "2.16.840.1.101.3.4.4.1", 768: "2.16.840.1.101.3.4.4.2", 1024: "2.16.840.1.101.3.4.4.3"}
PBES2 = "1.2.840.113549.1.5.13"
SCRYPT = "1.3.6.1.4.1.11591.4.11"
PBKDF2 = "1.2.840.113549.1.5.12"
HMAC_SHA256 = "1.2.840.113549.2.9"
AES256_CBC = "2.16.840.1.101.3.4.1.42"
AES128_CBC = "2.16.840.1.101.3.4.1.2"


def spki(level: int, key: bytes, params: bytes = b"", unused: int = 0) -> bytes:
    return seq(seq(oid(ML_KEM_OID[level]) + params), bits(key, unused))


def pkcs8(level: int, private_key: bytes, version: int = 0, params: bytes = b"", extra: bytes = b"") -> bytes:
    return seq(integer(version), seq(oid(ML_KEM_OID[level]) + params), octets(private_key), extra)


def scrypt_epki(n: int, r: int, p: int, ciphertext: bytes = bytes(96), salt: bytes = bytes(16),
                cipher: str = AES256_CBC, iv: bytes = bytes(16)) -> bytes:
    kdf = seq(oid(SCRYPT), seq(octets(salt), integer(n), integer(r), integer(p)))
    enc = seq(oid(cipher), octets(iv))
    return seq(seq(oid(PBES2), seq(kdf, enc)), octets(ciphertext))


def pbkdf2_epki(iterations: int, prf: bytes | None = None, ciphertext: bytes = bytes(96)) -> bytes:
    params = octets(bytes(16)) + integer(iterations) + (prf if prf is not None else b"")
    kdf = seq(oid(PBKDF2), seq(params))
    enc = seq(oid(AES256_CBC), octets(bytes(16)))
    return seq(seq(oid(PBES2), seq(kdf, enc)), octets(ciphertext))
