"""Safe to embed: levels cross process boundaries by pickle, key pairs do not,
a released KeyPair leaves no secret key behind, and sub-interpreters that need
isolation are refused."""

from __future__ import annotations

import copy
import ctypes
import importlib.util
import multiprocessing
import os
import pathlib
import pickle
import sys
from concurrent.futures import ProcessPoolExecutor

import pytest

import velora
from conftest import LEVELS, REPO_ROOT, core

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


# ---- SecurityLevel: by reference, to the same singletons ------------------------


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_levels_unpickle_to_the_same_singletons(protocol):
    members = [lv.member for lv in LEVELS]
    back = pickle.loads(pickle.dumps(members, protocol))
    assert all(b is m for b, m in zip(back, members, strict=True))
    # By reference: the pickle names the class attribute, it carries no state.
    assert b"ML_KEM_1024" in pickle.dumps(core.SecurityLevel.ML_KEM_1024, protocol)


def test_copies_of_levels_are_the_singletons():
    for lv in LEVELS:
        assert copy.copy(lv.member) is lv.member
        assert copy.deepcopy({"level": lv.member})["level"] is lv.member


def _seal_in_worker(public_key: bytes, level: object, plaintext: bytes) -> tuple[bytes, object, bool]:
    """Runs in a worker process: seals with the level it was passed, reports it back."""
    same = level is getattr(velora.SecurityLevel, f"ML_KEM_{int(level)}")  # type: ignore[call-overload]
    return velora.encrypt_hybrid(public_key, plaintext, level), level, same


def test_process_pool_encrypts_with_levels_passed_as_arguments(keypairs):
    # spawn: a fresh interpreter that receives everything by pickle, as
    # distributed engines ship task arguments.
    context = multiprocessing.get_context("spawn")
    jobs = [(lv, f"message at {lv.name}".encode()) for lv in LEVELS]
    with ProcessPoolExecutor(max_workers=2, mp_context=context) as pool:
        futures = [pool.submit(_seal_in_worker, keypairs[lv.value].public_key, lv.member, text) for lv, text in jobs]
        results = [f.result(timeout=120) for f in futures]
    for (lv, text), (package, level_back, same_in_worker) in zip(jobs, results, strict=True):
        assert same_in_worker, f"{lv.name} did not arrive as the worker's own singleton"
        assert level_back is lv.member
        assert core.decrypt_hybrid(package, keypairs[lv.value].secret_key, lv.member) == text


# ---- KeyPair: not picklable, wiped on release -----------------------------------

KEYPAIR_REFUSAL = (
    "cannot pickle a KeyPair: a secret key does not leave a process silently; export it with "
    "export_secret_key_raw() or export_secret_key_pem(), or pass the public key alone"
)


@pytest.mark.parametrize(
    "attempt",
    [*(lambda kp, p=p: pickle.dumps(kp, p) for p in PROTOCOLS),
     lambda kp: pickle.dumps({"pair": [kp]}), copy.copy, copy.deepcopy],
    ids=[*(f"pickle-{p}" for p in PROTOCOLS), "pickle-nested", "copy", "deepcopy"],
)
def test_keypair_refuses_pickle_and_copy(keypairs, attempt):
    with pytest.raises(TypeError) as excinfo:
        attempt(keypairs[768])
    assert str(excinfo.value) == KEYPAIR_REFUSAL


@pytest.mark.skipif(os.environ.get("VELORA_SANITIZED") == "1",
                    reason="reads freed heap memory, which AddressSanitizer reports by design")
@pytest.mark.skipif(sys.implementation.name != "cpython", reason="reads a CPython object layout")
def test_keypair_overwrites_its_secret_key_on_release():
    # KeyPair is PyObject_HEAD followed by a pointer to the key buffers
    # (std::vector ek, then dk: begin, end, capacity pointers each).
    lv = LEVELS[2]
    pair = core.generate_keypair(lv.member)
    secret = pair.secret_key
    keys = ctypes.c_void_p.from_address(id(pair) + object.__basicsize__).value
    dk_begin, dk_end = (ctypes.c_void_p.from_address(keys + 24 + 8 * i).value for i in range(2))
    assert dk_end - dk_begin == lv.dk
    assert ctypes.string_at(dk_begin, lv.dk) == secret, "layout assumption does not hold"
    seen = ctypes.create_string_buffer(lv.dk)  # allocated before the release, so the copy allocates nothing
    del pair
    ctypes.memmove(seen, dk_begin, lv.dk)
    # The allocator may keep its own links in the first words of a freed block.
    assert seen.raw[32:] == bytes(lv.dk - 32)


# ---- sub-interpreters ---------------------------------------------------------------


@pytest.mark.skipif(sys.version_info < (3, 12), reason="Py_mod_multiple_interpreters exists from CPython 3.12 on")
def test_sub_interpreters_that_require_support_refuse_the_modules():
    # The same check as the wheel's smoke test (make wheel-check runs it on every CPython found).
    spec = importlib.util.spec_from_file_location("wheel_smoke", REPO_ROOT / "scripts" / "wheel_smoke.py")
    smoke = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(smoke)
    smoke.check_sub_interpreters(pathlib.Path(velora.__file__).parent)
