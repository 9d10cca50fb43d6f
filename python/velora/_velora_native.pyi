"""Native code of the velora package beyond the core module: key formats, protocols and build facts."""

from typing import TypedDict

__all__: list[str]

# ---------------------------------------------------------------------------
# Build facts (build_info.cpp)
# ---------------------------------------------------------------------------

class _BuildInfo(TypedDict):
    """The dict `build_info()` returns (for type checkers; not a class at run time)."""

    aes_gcm: str  # AES-256-GCM backend in use: "ipsec-mb" or "openssl"
    ipsec_mb: str | None  # ipsec-mb version; None: the build did not find the library
    mlkem_kernels: str  # ML-KEM kernels in use: "avx2" or "scalar"
    libcrypto: str  # OpenSSL's version text of the libcrypto in use
    compiler: str  # the compiler that built the engine

def build_info() -> _BuildInfo:
    """What this build runs on: the backends in use and the libraries' versions."""
