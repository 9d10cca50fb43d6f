"""`mypy --strict` over tests/typing/misuse.py: each line marked "# misuse[CODE]" is reported with that error
code, no other line is.

mypy checks the installed package (its py.typed and stubs), as a user's code sees it.
"""

from __future__ import annotations

import pathlib
import re
import shutil
import subprocess
import sys

import pytest

MISUSE = pathlib.Path(__file__).resolve().parent.parent / "typing" / "misuse.py"


def test_mypy_strict_rejects_each_marked_misuse_and_nothing_else(tmp_path: pathlib.Path) -> None:
    if shutil.which("mypy", path=str(pathlib.Path(sys.executable).parent)) is None:
        pytest.fail("mypy is a test requirement (requirements-dev.txt)")
    target = tmp_path / "misuse.py"
    target.write_text(MISUSE.read_text())
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--hide-error-context",
                          "--cache-dir", str(tmp_path / "cache"), "misuse.py"],
                         cwd=tmp_path, capture_output=True, text=True, timeout=600)
    reported: dict[int, list[str]] = {}
    for line in run.stdout.splitlines():
        m = re.match(r"misuse\.py:(\d+): error: (.*)", line)
        if m:
            reported.setdefault(int(m.group(1)), []).append(m.group(2))
    lines = MISUSE.read_text().splitlines()
    codes = {n: m.group(1) for n, text in enumerate(lines, 1) if (m := re.search(r"# misuse\[([a-z-]+)\]:", text))}
    marked = set(codes)
    assert len(marked) > 10, "the misuse file lost its marks"
    missed = {n: lines[n - 1].strip() for n in sorted(marked - set(reported))}
    extra = {n: reported[n] for n in sorted(set(reported) - marked)}
    assert not missed, f"mypy --strict accepts these misuses:\n{missed}\n{run.stdout}"
    assert not extra, f"mypy --strict reports lines that are right:\n{extra}"
    wrong_reason = {n: reported[n] for n in sorted(marked) if not any(f"[{codes[n]}]" in e for e in reported[n])}
    assert not wrong_reason, f"reported, but not for the marked reason:\n{wrong_reason}"
    assert run.returncode == 1, run.stdout + run.stderr
