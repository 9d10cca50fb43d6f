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
