"""The README's python examples run, as one program in reading order, as a reader would run them."""

from __future__ import annotations

import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


def test_readme_examples_run(tmp_path):
    program = tmp_path / "readme.py"
    subprocess.run([sys.executable, str(ROOT / "scripts" / "readme_examples.py"), str(ROOT / "README.md"), str(program)],
                   check=True, capture_output=True)
    run = subprocess.run([sys.executable, str(program)], cwd=tmp_path, capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr[-4000:]
