"""Native code of the velora package beyond the core module: key formats, protocols and build facts."""

from types import TracebackType
from typing import Literal, TypedDict, final, overload

from typing_extensions import Buffer as _Buffer

from ._velora_core import SecurityLevel

__all__: list[str]

# ---------------------------------------------------------------------------
# Build facts (build_info.cpp)
# ---------------------------------------------------------------------------

class _BuildInfo(TypedDict):
    """The dict `build_info()` returns (for type checkers; not a class at run time)."""

    aes_gcm: str  # AES-256-GCM backend in use: "ipsec-mb" or "openssl"
    ipsec_mb: str | None  # ipsec-mb version; None: the build did not find the library
    mlkem_kernels: str  # ML-KEM kernels in use: "avx2" or "scalar"
    keccak: str  # Keccak-f[1600] path in use: "avx512", "avx2" or "scalar"
    libcrypto: str  # OpenSSL's version text of the libcrypto in use
    compiler: str  # the compiler that built the engine

def build_info() -> _BuildInfo:
    """What this build runs on: the backends in use and the libraries' versions."""

# ---- keys (src/bindings/native/keys.cpp) ----------------------------------------
# Key objects, the IETF key formats (RFC 9935 SPKI and PKCS#8, encrypted PKCS#8
# with PBES2) and the FIPS 203 input checks. Every bytes argument takes any
# bytes-like object; `level` is a SecurityLevel member (the package converts
# 512 / 768 / 1024). Errors: InvalidParameterError (sizes, levels, settings),
# KeySerializationError (malformed data, failed checks), DecryptionError
# ("wrong password or corrupted key"), RngError.


_Data = str | _Buffer
_Accept = Literal["der", "pem", "any"]

@final
class SecretKeyLease:
    """A short-lived bytes copy of a decapsulation key, wiped when the with block ends."""

    def __enter__(self) -> bytes: ...
    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None, /
    ) -> Literal[False]: ...

@final
class SecretKey:
    """The secrets of an ML-KEM private key in native memory, wiped when released."""

    @property
    def level(self) -> SecurityLevel: ...
    @property
    def has_seed(self) -> bool: ...
    def public_key(self) -> bytes: ...
    def seed(self) -> bytes | None: ...
    def expanded(self) -> bytes: ...
    def decapsulate(self, capsule: _Buffer) -> bytes: ...
    def decrypt(self, package: _Buffer) -> bytes: ...
    def equals(self, other: SecretKey, /) -> bool: ...
    def lease(self) -> SecretKeyLease: ...
    @overload
    def to_pkcs8(
        self,
        form: str,
        password: _Buffer | None = None,
        pem: Literal[False] = False,
        kdf: str = "scrypt",
        scrypt_n: int = 131072,
        scrypt_r: int = 8,
        scrypt_p: int = 1,
        pbkdf2_iterations: int = 600000,
    ) -> bytes: ...
    @overload
    def to_pkcs8(
        self,
        form: str,
        password: _Buffer | None = None,
        *,
        pem: Literal[True],
        kdf: str = "scrypt",
        scrypt_n: int = 131072,
        scrypt_r: int = 8,
        scrypt_p: int = 1,
        pbkdf2_iterations: int = 600000,
    ) -> str: ...
    @overload
    def to_vlpk(self, password: _Buffer, pem: Literal[False] = False) -> bytes: ...
    @overload
    def to_vlpk(self, password: _Buffer, *, pem: Literal[True]) -> str: ...

def secret_key_generate(level: SecurityLevel = ...) -> SecretKey: ...
def secret_key_from_seed(seed: _Buffer, level: SecurityLevel) -> SecretKey: ...
def secret_key_from_expanded(dk: _Buffer, level: SecurityLevel, check: bool = True) -> SecretKey: ...
def secret_key_load(
    data: _Data, password: _Buffer | None = None, check: bool = True, accept: _Accept = "any"
) -> SecretKey: ...
def public_key_load(data: _Data, check: bool = True, accept: _Accept = "any") -> tuple[bytes, SecurityLevel]: ...
@overload
def public_key_to_spki(ek: _Buffer, level: SecurityLevel, pem: Literal[False] = False) -> bytes: ...
@overload
def public_key_to_spki(ek: _Buffer, level: SecurityLevel, *, pem: Literal[True]) -> str: ...
def is_encrypted_private_key(data: _Data) -> bool: ...
def fips203_modulus_check(ek: _Buffer, level: SecurityLevel) -> bool: ...
def fips203_hash_check(dk: _Buffer, level: SecurityLevel) -> bool: ...


# ---- X-Wing (xwing.cpp): raw byte strings; velora.xwing wraps them in key objects ----

def xwing_public_key(seed: bytes) -> bytes:
    """The 1216-byte public key of a 32-byte X-Wing private key (seed)."""

def xwing_encapsulate(public_key: bytes) -> tuple[bytes, bytes]:
    """(ciphertext, shared_secret), 1120 and 32 bytes. InvalidParameterError for a wrong size or
    an ML-KEM half that fails the modulus check."""

def xwing_encapsulate_derand(public_key: bytes, eseed: bytes) -> tuple[bytes, bytes]:
    """Encapsulation with the 64 bytes of randomness given (known-answer tests only)."""

def xwing_decapsulate(ciphertext: bytes, seed: bytes) -> bytes:
    """The 32-byte shared secret; DecapsulationError when the X25519 half gives all zeros."""

# ---- HPKE base mode, single-shot (hpke.cpp); identifiers as RFC 9180 registers them ----

def hpke_derive_key_pair(kem_id: int, ikm: bytes) -> tuple[bytes, bytes]:
    """DeriveKeyPair(ikm): (private_key, public_key)."""

def hpke_generate_key_pair(kem_id: int) -> tuple[bytes, bytes]:
    """GenerateKeyPair(): (private_key, public_key)."""

def hpke_public_key(kem_id: int, private_key: bytes) -> bytes:
    """The serialized public key of a serialized private key."""

def hpke_seal(
    kem_id: int, kdf_id: int, aead_id: int, public_key: bytes, info: bytes, aad: bytes, plaintext: bytes,
    ikm_e: bytes | None = None,
) -> tuple[bytes, bytes]:
    """SealBase: (enc, ciphertext || tag). ikm_e derandomizes the encapsulation (tests only)."""

def hpke_open(
    kem_id: int, kdf_id: int, aead_id: int, private_key: bytes, enc: bytes, info: bytes, aad: bytes,
    ciphertext: bytes,
) -> bytes:
    """OpenBase: the plaintext; DecryptionError when it does not authenticate."""

def hpke_send_export(
    kem_id: int, kdf_id: int, aead_id: int, public_key: bytes, info: bytes, exporter_context: bytes,
    length: int, ikm_e: bytes | None = None,
) -> tuple[bytes, bytes]:
    """SendExportBase: (enc, exported secret of `length` bytes)."""

def hpke_receive_export(
    kem_id: int, kdf_id: int, aead_id: int, private_key: bytes, enc: bytes, info: bytes,
    exporter_context: bytes, length: int,
) -> bytes:
    """ReceiveExportBase: the exported secret."""

# ---- age v1 cryptography (age.cpp); velora.age parses the text around it ----

def age_x25519_public_key(identity: bytes) -> bytes:
    """X25519(identity, 9): the recipient of a 32-byte identity."""

def age_wrap_x25519(file_key: bytes, recipient: bytes) -> tuple[bytes, bytes]:
    """An X25519 stanza for a 16-byte file key: (ephemeral share, 32-byte body)."""

def age_unwrap_x25519(identity: bytes, share: bytes, body: bytes) -> bytes | None:
    """The file key, or None when the body does not open; DecapsulationError for an all-zero
    X25519 result; InvalidParameterError for wrong sizes."""

def age_unwrap_x25519_many(identity: bytes, shares: bytes, bodies: bytes) -> bytes | None:
    """age_unwrap_x25519 over n stanzas in order (shares and bodies: n 32-byte values each,
    concatenated): the file key of the first that opens, or None; DecapsulationError for the
    first all-zero X25519 result before it. One X25519 per stanza: the identity's key is made
    once."""

def age_wrap_scrypt(file_key: bytes, passphrase: bytes, log_n: int) -> tuple[bytes, bytes]:
    """An scrypt stanza: (16-byte salt, body)."""

def age_unwrap_scrypt(passphrase: bytes, salt: bytes, log_n: int, body: bytes) -> bytes | None:
    """The file key, or None when the body does not open. The caller bounds log_n."""

def age_wrap_hybrid(file_key: bytes, recipient: bytes) -> tuple[bytes, bytes]:
    """An mlkem768x25519 stanza for a 1216-byte recipient: (1120-byte enc, body)."""

def age_unwrap_hybrid(identity: bytes, enc: bytes, body: bytes) -> bytes | None:
    """The file key, or None when the body does not open; DecapsulationError for an all-zero
    X25519 result."""

def age_header_mac(file_key: bytes, header: bytes) -> bytes:
    """HMAC-SHA-256 under HKDF(file key, "header") of the header up to and including "---"."""

def age_payload_key(file_key: bytes, nonce: bytes) -> bytes:
    """HKDF-SHA-256(file key, nonce, "payload"): the 32-byte payload key."""

@overload
def age_seal_chunks(
    key: bytes, counter: int, data: _Buffer, final: bool, out: _Buffer, threads: int | None = None
) -> int: ...
@overload
def age_seal_chunks(
    key: bytes, counter: int, data: _Buffer, final: bool, out: None = None, threads: int | None = None
) -> bytes:
    """Seals data as the STREAM chunks numbered from counter into out (the bytes written), or
    into a new bytes object. Without final, data is a whole number of 64 KiB chunks. threads:
    at most this many threads share the chunks (None or 0: all cores from 8 chunks on)."""

@overload
def age_open_chunks(
    key: bytes, counter: int, data: _Buffer, at_end: bool, out: _Buffer, threads: int | None = None
) -> tuple[int, bool, bool]: ...
@overload
def age_open_chunks(
    key: bytes, counter: int, data: _Buffer, at_end: bool, out: None = None, threads: int | None = None
) -> tuple[bytes, bool, bool]:
    """Opens STREAM chunks into out (or a new bytes object): (plaintext bytes released, or the
    plaintext; final chunk opened; payload good so far). Stops at the first chunk that does not
    authenticate. out needs 64 KiB per whole chunk and a shorter last chunk's length less its
    tag. threads as for age_seal_chunks."""

# ---- velora files, version 2: payload chunks (vfile.cpp); velora.files.vlr2 builds the header ----

def vfile_derive(ikm: bytes, salt: bytes, info: bytes) -> bytes:
    """HKDF-SHA-256, 32 bytes; an empty salt is HKDF's default (32 zero bytes)."""

def vfile_mac(key: bytes, message: bytes) -> bytes:
    """HMAC-SHA-256."""

def vfile_wrap(wrap_key: bytes, aad: bytes, file_key: bytes) -> bytes:
    """AES-256-GCM of a 32-byte file key under a zero nonce (the wrap key is used once): 48 bytes."""

def vfile_unwrap(wrap_key: bytes, aad: bytes, wrapped: bytes) -> bytes | None:
    """The file key, or None when the 48-byte wrapped key does not open under wrap_key and aad."""

@overload
def vfile_seal_chunks(key: bytes, chunk_size: int, counter: int, data: _Buffer, final: bool, out: _Buffer) -> int: ...
@overload
def vfile_seal_chunks(key: bytes, chunk_size: int, counter: int, data: _Buffer, final: bool,
                      out: None = None) -> bytes:
    """Seals data as the AES-256-GCM chunks (nonce BE88(index) || last flag) numbered from counter into
    out (the bytes written), or into a new bytes object. Without final, data is a whole number of
    chunks; chunk_size is 32 to 4194304."""

def vfile_open_chunks(
    key: bytes, chunk_size: int, counter: int, data: _Buffer, at_end: bool, out: _Buffer
) -> tuple[int, bool, bool]:
    """Opens chunks into out: (plaintext bytes released, last chunk opened, payload good so far). Stops at
    the first chunk that does not authenticate; nothing after the released plaintext is left in out."""

# ---- ML-DSA (mldsa.cpp): raw byte strings; velora.mldsa wraps them in key objects ----
# The level follows from the key's length. rnd None: hedged (32 fresh random bytes);
# 32 bytes: used as given (32 zero bytes: the deterministic variant).

_HashAlgorithm = Literal[
    "sha224", "sha256", "sha384", "sha512", "sha512_224", "sha512_256",
    "sha3_224", "sha3_256", "sha3_384", "sha3_512", "shake128", "shake256",
]

def mldsa_keygen(seed: bytes, level: Literal[44, 65, 87]) -> tuple[bytes, bytes]:
    """(public_key, expanded private key) from the 32-byte seed."""

def mldsa_public_key_of_expanded(private_key: bytes) -> bytes:
    """The public key of an expanded private key; KeySerializationError unless it is consistent."""

def mldsa_sign(private_key: bytes, message: _Buffer, context: bytes, rnd: bytes | None = None) -> bytes:
    """Pure ML-DSA signature; InvalidParameterError for a context over 255 bytes or a bad key."""

def mldsa_verify(public_key: bytes, message: _Buffer, context: bytes, signature: _Buffer) -> bool:
    """Whether the pure ML-DSA signature is valid."""

def mldsa_hash_sign(
    private_key: bytes, hash_algorithm: _HashAlgorithm, message: _Buffer, context: bytes, rnd: bytes | None = None
) -> bytes:
    """HashML-DSA signature of the message hashed with hash_algorithm."""

def mldsa_hash_verify(
    public_key: bytes, hash_algorithm: _HashAlgorithm, message: _Buffer, context: bytes, signature: _Buffer
) -> bool:
    """Whether the HashML-DSA signature is valid."""

def mldsa_mu(public_key: bytes, message: _Buffer, context: bytes) -> bytes:
    """The 64-byte message representative mu of pure ML-DSA."""

def mldsa_sign_mu(private_key: bytes, mu: bytes, rnd: bytes | None = None) -> bytes:
    """Signature of an externally computed mu."""

def mldsa_verify_mu(public_key: bytes, mu: bytes, signature: _Buffer) -> bool:
    """Whether the signature is valid for mu."""
