"""Hostile input to encrypted files and what an interrupted decryption leaves behind.

A flood of white space before an armour is refused after a bounded, linear read; a temporary
file (where the unnamed O_TMPFILE kind is not available) is its owner's alone until complete,
and the leftovers of a killed run are removed by the next run to the same destination.
"""

from __future__ import annotations

import io
import os
import signal
import stat
import subprocess
import sys
from pathlib import Path

import pytest

import velora
from velora import FileFormatError, PrivateKey
from velora.files.armor import MAX_LEADING_WHITESPACE
from velora.files.output import AtomicOutput, remove_leftovers

from flood import READ_BOUND, Flood


@pytest.fixture(scope="module")
def key() -> PrivateKey:
    return PrivateKey.generate()


@pytest.mark.parametrize("way", ["decrypt_file", "DecryptedReader", "inspect_file"])
def test_a_flood_of_white_space_is_refused_after_a_bounded_read(key: PrivateKey, way: str) -> None:
    flood = Flood(1 << 30)  # 1 GiB, never held: the refusal reads a bounded prefix
    with pytest.raises(FileFormatError, match="white space"):
        if way == "decrypt_file":
            velora.decrypt_file(flood, io.BytesIO(), key)  # type: ignore[arg-type]
        elif way == "DecryptedReader":
            velora.DecryptedReader(flood, key)  # type: ignore[arg-type]
        else:
            velora.inspect_file(flood)  # type: ignore[arg-type]
    assert flood.served <= READ_BOUND, flood.served


def test_white_space_before_the_armour_up_to_the_limit(key: PrivateKey) -> None:
    sink = io.BytesIO()
    velora.encrypt_file(io.BytesIO(b"inside"), sink, key.public_key(), armor=True)
    for spaces in (0, 1, 4095, MAX_LEADING_WHITESPACE):
        assert velora.DecryptedReader(Flood(spaces, sink.getvalue()), key).read() == b"inside"  # type: ignore[arg-type]
    with pytest.raises(FileFormatError, match="white space"):
        velora.DecryptedReader(Flood(MAX_LEADING_WHITESPACE + 1, sink.getvalue()), key)  # type: ignore[arg-type]


@pytest.fixture
def named_only(monkeypatch: pytest.MonkeyPatch) -> None:
    """The output path of systems without O_TMPFILE (a hidden name beside the destination)."""
    monkeypatch.delattr(os, "O_TMPFILE", raising=False)


def _temps(directory: Path) -> list[str]:
    return sorted(p.name for p in directory.iterdir() if p.name.endswith(".tmp"))


@pytest.mark.parametrize("umask", [0o022, 0o000])
def test_a_named_temporary_file_is_the_owner_s_alone_until_commit(
    tmp_path: Path, named_only: None, umask: int
) -> None:
    old = os.umask(umask)
    try:
        out = AtomicOutput(tmp_path / "plain.txt")
        out.write(b"secret so far")
        (temp,) = _temps(tmp_path)
        assert stat.S_IMODE(os.stat(tmp_path / temp).st_mode) == 0o600
        out.commit()
    finally:
        os.umask(old)
    assert _temps(tmp_path) == []
    assert stat.S_IMODE(os.stat(tmp_path / "plain.txt").st_mode) == 0o666 & ~umask


def test_leftovers_of_a_killed_run_are_removed_and_nothing_else(tmp_path: Path, named_only: None) -> None:
    dest = tmp_path / "out.bin"
    kept = [".out.bin.tmp", ".out.bin.0123456789AB.tmp", ".out.bin.x.0123456789ab.tmp", ".other.0123456789ab.tmp",
            "out.bin.0123456789ab.tmp"]
    for name in kept:
        (tmp_path / name).write_bytes(b"not ours")
    busy = AtomicOutput(dest)  # another output to the same destination, under way: it holds its lock
    (busy_temp,) = set(_temps(tmp_path)) - set(kept)
    stale = tmp_path / ".out.bin.0123456789ab.tmp"  # a killed run's: nobody holds its lock
    stale.write_bytes(b"partial plaintext")
    out = AtomicOutput(dest)
    assert not stale.exists()
    (out_temp,) = set(_temps(tmp_path)) - set(kept) - {busy_temp}
    assert sorted(_temps(tmp_path)) == sorted({*(n for n in kept if n.endswith(".tmp")), busy_temp, out_temp})
    busy.write(b"one")
    busy.commit()
    out.write(b"two")
    out.commit()
    assert dest.read_bytes() == b"two"
    assert remove_leftovers(str(dest)) == []


def test_a_killed_decrypt_leaves_an_owner_only_file_that_the_next_run_removes(tmp_path: Path, key: PrivateKey) -> None:
    src, dest = tmp_path / "big.vlr", tmp_path / "big.out"
    with open(tmp_path / "big.bin", "wb") as f:
        f.write(os.urandom(1 << 20) * 48)
    velora.encrypt_file(tmp_path / "big.bin", src, key.public_key())
    pem = key.to_pem()
    code = (
        "import os, sys, velora\n"
        "del os.O_TMPFILE\n"
        "key = velora.load_private_key(sys.stdin.read())\n"
        "def progress(done, total):\n"
        "    if done >= 8 << 20: os.kill(os.getpid(), 9)\n"
        f"velora.decrypt_file({str(src)!r}, {str(dest)!r}, key, progress=progress)\n"
    )
    done = subprocess.run([sys.executable, "-c", code], input=pem, text=True, capture_output=True, timeout=300)
    assert done.returncode == -signal.SIGKILL, done.stderr
    (left,) = _temps(tmp_path)
    assert stat.S_IMODE(os.stat(tmp_path / left).st_mode) == 0o600 and not dest.exists()
    velora.decrypt_file(src, dest, key)
    assert _temps(tmp_path) == [] and dest.read_bytes() == (tmp_path / "big.bin").read_bytes()
