"""velora.build_info(): the backends in use and the libraries' versions, against
what the CPU and the libraries loaded into this process say themselves."""

from __future__ import annotations

import ctypes
import os
import pathlib
import re

import pytest

import velora
from velora import _velora_native as native

KEYS = ["aes_gcm", "ipsec_mb", "mlkem_kernels", "libcrypto", "compiler"]


def cpu_flags() -> set[str]:
    text = pathlib.Path("/proc/cpuinfo").read_text()
    match = re.search(r"^flags\s*:(.*)$", text, re.MULTILINE)
    return set(match.group(1).split()) if match else set()


def mapped_libraries(stem: str) -> list[str]:
    """Paths of the shared libraries named stem* mapped into this process."""
    paths = set()
    for line in pathlib.Path("/proc/self/maps").read_text().splitlines():
        path = line.split(maxsplit=5)[-1] if len(line.split()) >= 6 else ""
        if pathlib.Path(path).name.startswith(stem):
            paths.add(path)
    return sorted(paths)


def own_copy(paths: list[str]) -> list[str]:
    """A copy bundled beside the package (a repaired wheel's velora.libs) wins over system copies."""
    bundled = [p for p in paths if "velora.libs" in p]
    return bundled or paths


@pytest.fixture(scope="module")
def info() -> dict[str, str | None]:
    return dict(velora.build_info())


pytestmark = pytest.mark.skipif(not pathlib.Path("/proc/self/maps").exists(), reason="reads /proc (Linux)")


def test_keys_and_types(info):
    assert velora.build_info is native.build_info
    assert list(info) == KEYS
    assert all(isinstance(info[k], str) for k in KEYS if k != "ipsec_mb")
    assert info["ipsec_mb"] is None or isinstance(info["ipsec_mb"], str)
    assert velora.build_info() is not velora.build_info()  # a new dict each call


def test_takes_no_arguments():
    with pytest.raises(TypeError, match=r"^build_info\(\) takes 0 positional arguments but 1 was given$"):
        velora.build_info(1)  # type: ignore[call-arg]
    with pytest.raises(TypeError, match=r"unexpected keyword argument 'verbose'"):
        velora.build_info(verbose=True)  # type: ignore[call-arg]


def test_mlkem_kernels_follow_the_cpu(info):
    # The sanitizer run builds the engine with its test switches and repeats the
    # suite with VELORA_FORCE_SCALAR=1.
    forced = os.environ.get("VELORA_SANITIZED") == "1" and os.environ.get("VELORA_FORCE_SCALAR") == "1"
    expected = "avx2" if "avx2" in cpu_flags() and not forced else "scalar"
    assert info["mlkem_kernels"] == expected


def test_aes_gcm_backend_follows_the_build_and_the_cpu(info):
    fast_cpu = {"avx512f", "vaes", "vpclmulqdq"} <= cpu_flags()
    expected = "ipsec-mb" if info["ipsec_mb"] is not None and fast_cpu else "openssl"
    assert info["aes_gcm"] == expected


def test_libcrypto_version_is_the_loaded_librarys(info):
    paths = own_copy(mapped_libraries("libcrypto"))
    assert paths, "no libcrypto mapped into the process"
    versions = set()
    for path in paths:
        lib = ctypes.CDLL(path)
        lib.OpenSSL_version.restype = ctypes.c_char_p
        lib.OpenSSL_version.argtypes = [ctypes.c_int]
        versions.add(lib.OpenSSL_version(0).decode())  # OPENSSL_VERSION
    assert info["libcrypto"] in versions


def test_ipsec_mb_version_is_the_loaded_librarys(info):
    paths = own_copy(mapped_libraries("libIPSec_MB"))
    if info["ipsec_mb"] is None:
        assert not paths
        return
    assert len(paths) == 1, paths
    lib = ctypes.CDLL(paths[0])
    lib.imb_get_version_str.restype = ctypes.c_char_p
    assert info["ipsec_mb"] == lib.imb_get_version_str().decode()
