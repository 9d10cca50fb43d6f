"""Shared fixtures: the published test vectors and the per-level size table."""

from __future__ import annotations

import os
import pathlib
from dataclasses import dataclass

import pytest
from hypothesis import settings

# No timed assertions: a property test's examples may take as long as a loaded machine needs
# (hypothesis's default 200 ms deadline failed a whole run on a machine busy with other builds).
settings.register_profile("velora", deadline=None)
settings.load_profile("velora")

import velora
from velora import _velora_core as core

REPO_ROOT = pathlib.Path(__file__).resolve().parent.parent


def _main_checkout(root: pathlib.Path) -> pathlib.Path | None:
    """For a `git worktree` checkout, the directory of the main checkout."""
    dot_git = root / ".git"
    if not dot_git.is_file():
        return None
    text = dot_git.read_text().strip()
    if not text.startswith("gitdir:"):
        return None
    gitdir = pathlib.Path(text.split(":", 1)[1].strip())
    common = gitdir / "commondir"
    common_dir = (gitdir / common.read_text().strip()).resolve() if common.is_file() else gitdir
    return common_dir.parent


def _find_vectors() -> pathlib.Path:
    candidates = [REPO_ROOT / ".." / "shared" / "vectors"]
    main = _main_checkout(REPO_ROOT)
    if main is not None:
        candidates.append(main / ".." / "shared" / "vectors")
    for c in candidates:
        if c.is_dir():
            return c.resolve()
    return candidates[0]


VECTORS = _find_vectors()


def shared_vectors(subdir: str) -> pathlib.Path:
    """The folder `subdir` of the published vectors (../shared/vectors beside the checkout).

    Only CI has that folder beside its clone: a lone clone skips the tests that
    need it, with the reason, while under CI=true a missing folder fails them.
    """
    path = VECTORS / subdir
    if not path.exists():
        message = f"published vectors not found: {path} (../shared/vectors beside the checkout; only CI has it)"
        if os.environ.get("CI") == "true":
            pytest.fail(message)
        pytest.skip(message)
    return path


@pytest.fixture(scope="session")
def vectors_dir() -> pathlib.Path:
    """The shared vector folder (skipped in a lone clone, required under CI=true)."""
    shared_vectors("mlkem")
    return VECTORS


# Cases checked by the table-driven vector tests, per suite, shown at the end of the run.
_CASE_COUNTS: dict[str, int] = {}


def record_cases(suite: str, n: int) -> None:
    """Adds n checked vector cases to `suite` for the closing summary."""
    _CASE_COUNTS[suite] = _CASE_COUNTS.get(suite, 0) + n


def pytest_terminal_summary(terminalreporter) -> None:
    for suite, n in _CASE_COUNTS.items():
        terminalreporter.write_line(f"{suite}: {n:,} cases passed")


@dataclass(frozen=True)
class Level:
    """One ML-KEM parameter set as the module exposes it."""

    member: object  # a SecurityLevel member
    value: int
    index: int
    name: str  # Python member name
    engine_name: str  # form used in KeyPair.__repr__
    ek: int  # public key bytes
    dk: int  # secret key bytes
    capsule: int
    b64_len: int  # URL-safe Base64 length of the public key, no padding

    def __repr__(self) -> str:  # readable parametrize ids
        return self.name


LEVELS = [
    Level(core.SecurityLevel.ML_KEM_512, 512, 0, "ML_KEM_512", "MlKem512", 800, 1632, 768, 1067),
    Level(core.SecurityLevel.ML_KEM_768, 768, 1, "ML_KEM_768", "MlKem768", 1184, 2400, 1088, 1579),
    Level(core.SecurityLevel.ML_KEM_1024, 1024, 2, "ML_KEM_1024", "MlKem1024", 1568, 3168, 1568, 2091),
]
LEVEL_BY_VALUE = {lv.value: lv for lv in LEVELS}
DEFAULT_LEVEL = LEVEL_BY_VALUE[768]


@pytest.fixture(params=LEVELS, ids=[lv.name for lv in LEVELS])
def level(request) -> Level:
    return request.param


@pytest.fixture(scope="session")
def keypairs() -> dict[int, object]:
    """One random key pair per level value, shared by read-only tests."""
    return {lv.value: core.generate_keypair(lv.member) for lv in LEVELS}


@pytest.fixture
def keypair(level, keypairs):
    return keypairs[level.value]


def expect_exact(excinfo, cls, message: str) -> None:
    """The raised exception is exactly `cls` (not a subclass) with `message` as its only argument."""
    exc = excinfo.value
    assert type(exc) is cls, f"raised {type(exc).__module__}.{type(exc).__qualname__}, expected {cls.__qualname__}"
    assert exc.args == (message,)
    assert str(exc) == message

