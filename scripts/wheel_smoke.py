#!/usr/bin/env python3
"""Smoke test of an installed velora wheel: run it with `python -I` in a fresh
virtual environment where the wheel is the only thing of the project.

It shows where the package and its native libraries were loaded from, prints
velora.build_info(), requires the fast backends wherever the CPU has what they
need (AVX2 for the ML-KEM kernels; AVX-512 with VAES and VPCLMULQDQ for ipsec-mb's
AES-256-GCM), checks a published ML-KEM known answer, round trips every API
family, pickles the levels and, on CPython 3.12 and later, confirms that an
isolated sub-interpreter refuses the modules. Exits non-zero on any failure.
"""

from __future__ import annotations

import hashlib
import io
import json
import pathlib
import pickle
import platform
import re
import subprocess
import sys
import sysconfig

# count = 0 of kat_MLKEM_768.rsp (cryptography-vectors); SHA3-256 of the long fields.
KAT_D = "6dbbc4375136df3b07f7c70e639e223e177e7fd53b161b3f4d57791794f12624"
KAT_Z = "f696484048ec21f96cf50a56d0759c448f3779752f0383d37449690694cf7a68"
KAT_MSG = "20a7b7e10f70496cc38220b944def699bf14d14e55cf4c90a12c1b33fc80ffff"
KAT_SS = "b408d5d115713f0a93047dbbea832e4340787686d59a9a2d106bd662ba0aa035"
KAT_PK_SHA3 = "6ff694a73b6701f2a7408773f9909118ef52e1c89285b2cde465a0b04980120a"
KAT_CT_SHA3 = "8ba9d8e8e0ecf99c9ef71573644f18dfb56029a6bce2de62252ea430912919de"


def check(condition: bool, what: str) -> None:
    if not condition:
        raise SystemExit(f"wheel smoke test: FAILED: {what}")


def cpu_flags() -> set[str]:
    try:
        text = pathlib.Path("/proc/cpuinfo").read_text()
    except OSError:
        return set()
    match = re.search(r"^flags\s*:(.*)$", text, re.MULTILINE)
    return set(match.group(1).split()) if match else set()


def mapped(stem: str) -> list[str]:
    paths = set()
    for line in pathlib.Path("/proc/self/maps").read_text().splitlines():
        fields = line.split(maxsplit=5)
        if len(fields) == 6 and pathlib.Path(fields[5]).name.startswith(stem):
            paths.add(fields[5])
    return sorted(paths)


# Runs in a sub-interpreter: creates the module from its file (the slot check
# happens there, before its exec step) and records the outcome in a file.
PROBE = """
import importlib.util as u
try:
    u.module_from_spec(u.spec_from_file_location({name!r}, {path!r}))
    outcome = "loaded"
except ImportError as exc:
    outcome = "refused: " + str(exc)
with open({record!r}, "a") as f:
    f.write({name!r} + " " + outcome + "\\n")
"""


def run_in_sub_interpreter(code: str, check_extensions: bool) -> None:
    """Runs code in a sub-interpreter that shares the main interpreter's GIL.

    check_extensions: the sub-interpreter accepts only extension modules that
    declare sub-interpreter support (check_multi_interp_extensions). Sharing the
    GIL keeps the own-GIL rule out, so a refusal there comes from the module's
    own Py_mod_multiple_interpreters slot. Uses CPython's private entry points
    (3.12: _testcapi; 3.13 and later: _interpreters).
    """
    if sys.version_info >= (3, 13):
        import _interpreters  # type: ignore[import-not-found]

        config = _interpreters.new_config("legacy")
        config.check_multi_interp_extensions = check_extensions
        interp = _interpreters.create(config)
        try:
            failure = _interpreters.run_string(interp, code)
        finally:
            _interpreters.destroy(interp)
        check(failure is None, f"sub-interpreter failed: {failure}")
        return
    import _testcapi  # type: ignore[import-not-found]

    flags = dict(use_main_obmalloc=True, allow_fork=True, allow_exec=True, allow_threads=True,
                 allow_daemon_threads=True, check_multi_interp_extensions=check_extensions)
    try:
        status = _testcapi.run_in_subinterp_with_config(code, **flags, gil=1)  # 1: shared (3.12.0, 3.12.1)
    except TypeError:
        status = _testcapi.run_in_subinterp_with_config(code, **flags, own_gil=False)
    check(status == 0, "sub-interpreter failed")


def check_sub_interpreters(package: pathlib.Path) -> None:
    """Both modules refuse a sub-interpreter that requires support, and load in a legacy one."""
    import tempfile

    for check_extensions, expected in ((True, "refused: module {name} does not support loading in subinterpreters"),
                                       (False, "loaded")):
        with tempfile.TemporaryDirectory() as tmp:
            record = pathlib.Path(tmp) / "outcome"
            for path in sorted(package.glob("_velora_*.so")):
                name = "velora." + path.name.split(".")[0]
                run_in_sub_interpreter(PROBE.format(name=name, path=str(path), record=str(record)), check_extensions)
                outcome = record.read_text().splitlines()[-1]
                check(outcome == f"{name} " + expected.format(name=name), f"sub-interpreter: {outcome}")


def main() -> None:
    import velora
    from velora import SecurityLevel as SL

    package = pathlib.Path(velora.__file__).resolve().parent
    site = pathlib.Path(sysconfig.get_paths()["platlib"]).resolve()
    print(f"python      {platform.python_implementation()} {platform.python_version()} ({sys.executable})")
    print(f"velora      {velora.__version__} from {package}")
    check(package.parent == site, f"velora was not imported from this environment's site-packages ({site})")
    import importlib.metadata as metadata

    dist = metadata.distribution("velora-pq")
    check(dist.version == velora.__version__, f"distribution velora-pq {dist.version} is not velora {velora.__version__}")
    check(metadata.packages_distributions().get("velora") == ["velora-pq"],
          f"the import name velora comes from {metadata.packages_distributions().get('velora')}")
    print(f"dist        {dist.metadata['Name']} {dist.version} (import name velora)")
    modules = sorted(p.name for p in package.glob("_velora_*.so"))
    print(f"modules     {', '.join(modules)}")
    check(all(name.endswith(".abi3.so") for name in modules) and len(modules) == 2, "two abi3 modules expected")

    info = velora.build_info()
    print("build_info  " + json.dumps(info, indent=2).replace("\n", "\n            "))
    libs = {stem: mapped(stem) for stem in ("libcrypto", "libIPSec_MB")}
    for stem, paths in libs.items():
        print(f"{stem + ':':12}{', '.join(paths) or 'not loaded'}")
    # auditwheel puts the bundled libraries beside the package, named after the distribution.
    bundled = package.parent / "velora_pq.libs"
    check(any(pathlib.Path(p).parent == bundled for p in libs["libcrypto"]), "the bundled libcrypto is not in use")
    check(info["ipsec_mb"] is not None, "the wheel was built without ipsec-mb")
    check(any(pathlib.Path(p).parent == bundled for p in libs["libIPSec_MB"]), "the bundled ipsec-mb is not in use")

    flags = cpu_flags()
    want_kernels = "avx2" if "avx2" in flags else "scalar"
    want_gcm = "ipsec-mb" if {"avx512f", "vaes", "vpclmulqdq"} <= flags else "openssl"
    bmi_avx2 = {"avx2", "bmi1", "bmi2"} <= flags
    want_keccak = "avx512" if bmi_avx2 and {"avx512f", "avx512vl"} <= flags else "avx2" if bmi_avx2 else "scalar"
    check(info["mlkem_kernels"] == want_kernels, f"ML-KEM kernels {info['mlkem_kernels']}, expected {want_kernels}")
    check(info["keccak"] == want_keccak, f"Keccak path {info['keccak']}, expected {want_keccak}")
    check(info["aes_gcm"] == want_gcm, f"AES-256-GCM backend {info['aes_gcm']}, expected {want_gcm}")
    print(f"fast paths  ML-KEM kernels {info['mlkem_kernels']}, Keccak {info['keccak']}, AES-256-GCM {info['aes_gcm']}"
          f" (as this CPU allows)")

    # A published known answer, then each API family once.
    pair = velora.generate_keypair_deterministic(bytes.fromhex(KAT_D), bytes.fromhex(KAT_Z), SL.ML_KEM_768)
    check(hashlib.sha3_256(pair.public_key).hexdigest() == KAT_PK_SHA3, "KAT public key")
    capsule, secret, _ = velora.encapsulate_deterministic(pair.public_key, bytes.fromhex(KAT_MSG), SL.ML_KEM_768)
    check(hashlib.sha3_256(capsule).hexdigest() == KAT_CT_SHA3 and secret.hex() == KAT_SS, "KAT encapsulation")
    check(velora.decapsulate(capsule, pair.secret_key, SL.ML_KEM_768).hex() == KAT_SS, "KAT decapsulation")
    for level in (SL.ML_KEM_512, SL.ML_KEM_768, SL.ML_KEM_1024):
        keys = velora.generate_keypair(level)
        package_ = velora.encrypt_hybrid(keys.public_key, b"smoke" * 1000, level)
        check(velora.decrypt_hybrid(package_, keys.secret_key, level) == b"smoke" * 1000, f"hybrid at {level}")
        header, enc = velora.stream_encryptor_new(keys.public_key, 1 << 20, level)
        frame, eof = enc.encrypt_chunk(bytes(1 << 20)), enc.finalize()
        dec = velora.stream_decryptor_from_header(header, keys.secret_key, level)
        check(dec.decrypt_chunk(frame[4:-16], frame[-16:]) == bytes(1 << 20), f"stream at {level}")
        dec.process_eof(eof[4:])
        check(dec.eof_seen(), f"stream end at {level}")
        blob = keys.export_secret_key_raw(b"passphrase")
        check(velora.load_secret_key_raw(blob, b"passphrase") == (keys.secret_key, level), f"key wrap at {level}")
        check(pickle.loads(pickle.dumps(level)) is level, f"pickle of {level}")
    try:
        pickle.dumps(pair)
        check(False, "a KeyPair was pickled")
    except TypeError:
        pass

    # The package layer: key files, encrypted files, age, and the console script.
    key = velora.PrivateKey.generate(1024)
    pem = key.to_pem(password=b"passphrase", scrypt_n=1 << 10)
    check(velora.load_private_key(pem, password=b"passphrase") == key, "encrypted PKCS#8 round trip")
    check(velora.load_public_key(key.public_key().to_pem()) == key.public_key(), "SPKI round trip")
    plain, sealed, opened = io.BytesIO(b"file" * 50_000), io.BytesIO(), io.BytesIO()
    velora.encrypt_file(plain, sealed, key.public_key())
    velora.decrypt_file(io.BytesIO(sealed.getvalue()), opened, key)
    check(opened.getvalue() == b"file" * 50_000, "velora file round trip")
    two = [velora.PrivateKey.generate(768), velora.PrivateKey.generate(768)]
    sealed_bytes = velora.encrypt(b"object api" * 1000, two[0].public_key())
    check(velora.decrypt(sealed_bytes, two) == b"object api" * 1000, "velora.encrypt / velora.decrypt round trip")
    identity = velora.age.HybridIdentity.generate()
    aged = velora.age.encrypt(b"age" * 1000, [identity.recipient()])
    check(velora.age.decrypt(aged, [identity]) == b"age" * 1000, "age round trip (mlkem768x25519)")
    script = pathlib.Path(sys.executable).with_name("velora")
    version = subprocess.run([str(script), "--version"], capture_output=True, text=True, check=True).stdout
    check(velora.__version__ in version, f"console script: {version!r}")
    print(f"package     key files, velora files, age files and `{script.name} --version` work")

    if sys.version_info >= (3, 12):
        check_sub_interpreters(package)
        print("subinterp   sub-interpreters that require support refuse both modules; legacy ones load them")
    print("wheel smoke test: OK")


if __name__ == "__main__":
    main()
